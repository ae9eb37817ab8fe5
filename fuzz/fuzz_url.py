"""_sanitize_url_for_log over arbitrary text, URL-shaped some of the time."""

from urllib.parse import urlsplit

import atheris

from harness_common import Finding, expect_whole_text_result, expect_no_token, pick_client, rest_with_token, run

SCHEMES = ("", "http://", "https://", "ftp://", "http://user:pass@", "https://[")


def test_one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    token, client = pick_client(fdp)
    prefix = SCHEMES[fdp.ConsumeIntInRange(0, len(SCHEMES) - 1)]
    url = rest_with_token(fdp, token, prefix)
    shown = client._sanitize_url_for_log(url)
    expect_no_token(token, "_sanitize_url_for_log", url, shown)
    expect_whole_text_result("_sanitize_url_for_log", url, lambda: client._sanitize_url_for_log(url), shown)
    try:
        urlsplit(url)
    except ValueError:
        return  # an unsplittable URL only gets its token masked
    # User information never survives in the authority: everything before its
    # last "@" becomes "***", so what follows the mask up to the path holds no
    # "@". The one exception is the final token masking: a token with "/"
    # that straddles host and path joins them ("***@h***user:pass@x"), and
    # that text comes from the path.
    if url.startswith("http://user:pass@"):
        if not shown.startswith("http://***@"):
            raise Finding(f"credentials kept in {shown!r} for {url!r}")
        host = _up_to_path(shown[len("http://***@"):])
        if "@" in host and "***" not in host:
            raise Finding(f"user information up to an inner '@' kept in {shown!r} for {url!r}")


def _up_to_path(rest: str) -> str:
    for delimiter in "/?#":
        rest = rest.split(delimiter, 1)[0]
    return rest


if __name__ == "__main__":
    run(test_one_input)
