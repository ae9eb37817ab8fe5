"""_format_payload_for_log over JSON-decoded values.

Half of the inputs are JSON text decoded with json.loads; the other half build
a JSON value directly (objects keyed by sensitive and ordinary names, URLs in
strings), since random text rarely decodes to anything nested.
"""

import json

import atheris

from harness_common import (Finding, expect_whole_text_result, expect_no_token, pick_client, rest_with_token, run,
                            with_token)

KEYS = ("name", "password", "Authorization", "api_key", "monkey", "items", "url", "X-Token", "data", "1")
PREFIXES = ("", "http://", "https://u:p@h/?token=", "see https://h/?a=1&secret=", "file:///")


def json_value(fdp, token, depth=0):
    kind = fdp.ConsumeIntInRange(0, 7 if depth < 6 else 4)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeBool()
    if kind == 2:
        return fdp.ConsumeInt(8)
    if kind == 3:
        return fdp.ConsumeRegularFloat()
    if kind == 4:
        prefix = PREFIXES[fdp.ConsumeIntInRange(0, len(PREFIXES) - 1)]
        return with_token(fdp, token, prefix + fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 60)))
    if kind == 5:
        return [json_value(fdp, token, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    result = {}
    for _ in range(fdp.ConsumeIntInRange(0, 4)):
        key = KEYS[fdp.ConsumeIntInRange(0, len(KEYS) - 1)] if fdp.ConsumeBool() else with_token(
            fdp, token, fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 12)))
        result[key] = json_value(fdp, token, depth + 1)
    return result


def test_one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    token, client = pick_client(fdp)
    if fdp.ConsumeBool():
        payload = json_value(fdp, token)
    else:
        text = rest_with_token(fdp, token)
        try:
            payload = json.loads(text)
        except (ValueError, RecursionError):
            return  # not a JSON value: nothing for the method to render
    rendered = client._format_payload_for_log(payload)
    expect_no_token(token, "_format_payload_for_log", payload, rendered)
    expect_whole_text_result("_format_payload_for_log", payload, lambda: client._format_payload_for_log(payload),
                               rendered)
    if len(rendered) > 2000 + len("...<truncated>"):
        raise Finding(f"rendering of {len(rendered)} characters escaped the cap")


if __name__ == "__main__":
    run(test_one_input)
