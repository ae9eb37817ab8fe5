"""_curl_command over prepared requests built from the input."""

import shlex

import atheris
import requests
from requests.structures import CaseInsensitiveDict

from harness_common import Finding, expect_no_token, pick_client, rest_with_token, run, with_token

METHODS = ("GET", "POST", "PUT", "PATCH", "DELETE")
HEADER_NAMES = ("Authorization", "authorization", "Content-Type", "content-type", "Accept", "Proxy-Authorization",
                "X-Api-Key")
CONTENT_TYPES = ("application/json", "application/x-www-form-urlencoded", "text/plain",
                 "multipart/form-data; boundary=b", "")


def test_one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    token, client = pick_client(fdp)
    request = requests.PreparedRequest()
    request.method = METHODS[fdp.ConsumeIntInRange(0, len(METHODS) - 1)]
    headers = CaseInsensitiveDict()
    for _ in range(fdp.ConsumeIntInRange(0, 4)):
        name = HEADER_NAMES[fdp.ConsumeIntInRange(0, len(HEADER_NAMES) - 1)]
        if fdp.ConsumeBool():
            value = CONTENT_TYPES[fdp.ConsumeIntInRange(0, len(CONTENT_TYPES) - 1)]
        else:
            value = fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 40))
        headers[name] = with_token(fdp, token, value)
    request.headers = headers
    request.url = with_token(fdp, token, "http://h/" + fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 200)))
    body_kind = fdp.ConsumeIntInRange(0, 2)
    body = rest_with_token(fdp, token)
    request.body = None if body_kind == 0 else body if body_kind == 1 else body.encode("utf-8", "surrogatepass")
    command = client._curl_command(request)
    expect_no_token(token, "_curl_command", request.__dict__, command)
    # The method word goes in as it is, unquoted.
    if not command.startswith(f"curl -X {request.method} "):
        raise Finding(f"command does not start with curl -X {request.method}: {command!r}")
    # Read back as a shell reads it: the multipart word ends in a comment, and
    # any other "#" stands inside quotes, where shlex (comments on) keeps it
    # too. shlex raises only for a quote left open.
    try:
        words = shlex.split(command, comments=True)
    except ValueError as error:
        raise Finding(f"command is not valid shell ({error}): {command!r}") from None
    url = client._sanitize_url_for_log(request.url)
    if words[3:4] != [url]:
        raise Finding(f"the URL word reads {words[3:4]!r} in the shell, not {url!r}: {command!r}")


if __name__ == "__main__":
    run(test_one_input)
