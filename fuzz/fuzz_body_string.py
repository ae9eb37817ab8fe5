"""_sanitize_body_string_for_log over arbitrary text: JSON, form and plain bodies."""

import atheris

from harness_common import expect_whole_text_result, expect_no_token, pick_client, rest_with_token, run


def test_one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    token, client = pick_client(fdp)
    body = rest_with_token(fdp, token)
    shown = client._sanitize_body_string_for_log(body)
    expect_no_token(token, "_sanitize_body_string_for_log", body, shown)
    expect_whole_text_result("_sanitize_body_string_for_log", body,
                               lambda: client._sanitize_body_string_for_log(body), shown)


if __name__ == "__main__":
    run(test_one_input)
