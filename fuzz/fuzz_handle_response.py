"""_handle_response over responses built from the input: status, headers, body bytes."""

import atheris
import requests
from requests.structures import CaseInsensitiveDict

from harness_common import Finding, expect_no_token, pick_client, platform_client, run, with_token

CONTEXTS = ("get engagement status", "create group", "upload sarif", "submit scan", "")
CONTENT_TYPES = ("application/json", "application/json; charset=utf-8", "text/html; charset=latin-1",
                 "text/plain; charset=bogus", "application/problem+json", "")
ENCODINGS = ("utf-8", "latin-1", "utf-16", None)
STATUSES = (200, 201, 204, 301, 400, 401, 403, 404, 409, 422, 429, 500, 503, 599, 600)


def test_one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    token, client = pick_client(fdp)
    client._last_curl = None if fdp.ConsumeBool() else f"curl -X GET 'http://h/x' -H 'Authorization: ***'"
    response = requests.Response()
    if fdp.ConsumeBool():
        response.status_code = STATUSES[fdp.ConsumeIntInRange(0, len(STATUSES) - 1)]
    else:
        response.status_code = fdp.ConsumeIntInRange(100, 699)
    response.reason = "Reason"
    response.url = "http://127.0.0.1:9/api/v1/x"
    response.headers = CaseInsensitiveDict({"Content-Type": CONTENT_TYPES[fdp.ConsumeIntInRange(0, len(CONTENT_TYPES) - 1)]})
    encoding = ENCODINGS[fdp.ConsumeIntInRange(0, len(ENCODINGS) - 1)]
    response.encoding = encoding
    # Chosen before the body, which may take the rest of the input.
    context = CONTEXTS[fdp.ConsumeIntInRange(0, len(CONTEXTS) - 1)]
    text = fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 4096))
    if fdp.ConsumeBool():
        body = with_token(fdp, token, text).encode(encoding or "utf-8", "replace")
    else:
        body = fdp.ConsumeBytes(fdp.remaining_bytes())
    response._content = body
    response._content_consumed = True
    try:
        result = client._handle_response(response, context, 6)
    except platform_client.PlatformError as error:
        for field in ("message", "curl", "response_body"):
            value = getattr(error, field)
            if value is not None:
                expect_no_token(token, f"PlatformError.{field}", body, value)
        expect_no_token(token, "str(PlatformError)", body, str(error))
        if error.response_body is not None and len(error.response_body) > 500:
            raise Finding(f"response_body of {len(error.response_body)} characters")
        return
    if response.status_code >= 400 and response.status_code < 600:
        raise Finding(f"status {response.status_code} returned {result!r}")
    # The body as requests itself decodes it (an undecodable one is an empty result).
    try:
        expected = response.json()
    except (ValueError, RecursionError):
        expected = {}
    if repr(result) != repr(expected):
        raise Finding(f"decoded {result!r}, requests gives {expected!r}")


if __name__ == "__main__":
    run(test_one_input)
