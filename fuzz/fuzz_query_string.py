"""_sanitize_query_string_for_log over arbitrary query strings."""

import atheris

from harness_common import Finding, expect_whole_text_result, expect_no_token, pick_client, rest_with_token, run


def test_one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    token, client = pick_client(fdp)
    query = rest_with_token(fdp, token)
    shown = client._sanitize_query_string_for_log(query)
    expect_no_token(token, "_sanitize_query_string_for_log", query, shown)
    expect_whole_text_result("_sanitize_query_string_for_log", query,
                               lambda: client._sanitize_query_string_for_log(query), shown)
    if "password=" in query and "password=" in shown and "password=%2A%2A%2A" not in shown:
        raise Finding(f"a password value kept in {shown!r} for {query!r}")


if __name__ == "__main__":
    run(test_one_input)
