"""What every harness shares: clients with a known token, and the checks.

A finding is a crash (ASan or the interpreter), an exception a method does
not document, or the API token showing up in anything a method returns or
raises. Each harness raises `Finding` for the last two so atheris records the
input as a crash artifact.
"""

from __future__ import annotations

import types

import atheris

with atheris.instrument_imports(include=["quillon_agent"]):
    from quillon_agent import platform_client

# Tokens as platforms issue them: plain, base64 (with "+", "/" and "="), and
# one with characters that URL and form encoding rewrite.
TOKENS = (
    "tok-SECRET-1234567890",
    "c2VjcmV0+dG9r/ZW4x=",
    "sk.a~b_c%d!e*f",
)


class Finding(Exception):
    pass


def make_client(token: str, verbose: bool = False):
    config = types.SimpleNamespace(platform_url="http://127.0.0.1:9", api_token=token, insecure=False,
                                   ca_bundle=None, timeout=5, verbose=verbose)
    return platform_client.PlatformClient(config)


CLIENTS = {(token, verbose): make_client(token, verbose) for token in TOKENS for verbose in (False, True)}


def pick_client(fdp: atheris.FuzzedDataProvider):
    token = TOKENS[fdp.ConsumeIntInRange(0, len(TOKENS) - 1)]
    verbose = fdp.ConsumeBool()
    return token, CLIENTS[(token, verbose)]


def with_token(fdp: atheris.FuzzedDataProvider, token: str, text: str) -> str:
    """Splices the token into the text at a fuzzer-chosen place, some of the time."""
    if not fdp.ConsumeBool():
        return text
    where = fdp.ConsumeIntInRange(0, len(text))
    return text[:where] + token + text[where:]


def rest_with_token(fdp: atheris.FuzzedDataProvider, token: str, prefix: str = "") -> str:
    """The prefix and the rest of the input as text, with the token spliced in
    at a fuzzer-chosen place some of the time.

    The splice is decided before the text is taken: once the text has used up
    the input, every choice made from it comes out false or zero.
    """
    splice = fdp.ConsumeBool()
    where = fdp.ConsumeIntInRange(0, 0xFFFF) if splice else 0
    text = prefix + fdp.ConsumeUnicodeNoSurrogates(fdp.remaining_bytes())
    if not splice:
        return text
    where %= len(text) + 1
    return text[:where] + token + text[where:]


def expect_no_token(token: str, method: str, data, output) -> None:
    if not isinstance(output, str):
        raise Finding(f"{method} returned {type(output).__name__}, not str, for {data!r}")
    if token in output:
        raise Finding(f"{method} let the token {token!r} through for {data!r}: {output!r}")


def expect_whole_text_result(method: str, data, compute, shown) -> None:
    """compute() again with the text pass replaced by an equal wrapper, so a
    long rendering is masked whole instead of as far as it is shown: what is
    shown must not change. Nesting at the depth limit is left out."""
    client_class = platform_client.PlatformClient
    own = client_class._sanitize_text_for_log
    client_class._sanitize_text_for_log = lambda self, text: own(self, text)
    try:
        whole = compute()
    except RecursionError:
        return
    finally:
        client_class._sanitize_text_for_log = own
    if whole != shown and "<unrenderable payload>" not in (whole, shown):
        raise Finding(f"{method} showed {shown!r} but {whole!r} when masked whole for {data!r}")


def run(test_one_input) -> None:
    import sys

    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
