"""Native shortcuts give exactly what the general path gives, and step aside
as soon as a host rebinds a global or overrides a method they stand in for.

The general path is forced by rebinding a global to an equal wrapper: the
output must not change, only the route."""

from __future__ import annotations

import decimal
import functools
import json
import re
import shlex
import sys
import types
import urllib.parse

import pytest
import requests
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from token_strategies import tokens

TOKEN = "tok-SECRET-1234567890"
SETTINGS = settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


def new_client(pc, token=TOKEN):
    return pc.PlatformClient(types.SimpleNamespace(
        platform_url="http://127.0.0.1:9", api_token=token, insecure=False, ca_bundle=None, timeout=5,
        verbose=False))


def general(pc, name):
    """A context in which the module global `name` is an equal wrapper, so the
    shortcut that depends on it cannot be taken."""
    original = getattr(pc, name)
    if callable(original):
        wrapper = lambda *a, **k: original(*a, **k)  # noqa: E731
    else:
        wrapper = types.SimpleNamespace(**{n: getattr(original, n) for n in dir(original) if not n.startswith("__")})
    patch = pytest.MonkeyPatch()
    patch.setattr(pc, name, wrapper)
    return patch


def assert_same_as_general_path(pc, name, compute):
    """compute() gives the same result with the module global `name` replaced
    by an equal wrapper, which forces the general path."""
    fast = compute()
    patch = general(pc, name)
    try:
        slow = compute()
    finally:
        patch.undo()
    assert fast == slow


def calls_to(target, name, monkeypatch):
    """Records the calls that reach target.name, passing them on."""
    seen = []
    original = getattr(target, name)

    def recorder(*args, **kwargs):
        seen.append(args)
        return original(*args, **kwargs)

    monkeypatch.setattr(target, name, recorder)
    return seen


# --- URLs ----------------------------------------------------------------------

URL_PIECES = ["http://", "https://", "HTTP://", "ftp://", "http:", "//", "/", "@", ":", "%", "%2F", "?", "#", "&",
              "=", "[", "]", "\\", " ", "\t", "é", "token=", "a", "b.c", "-", "_", "~", "+", "*", "::1", "x@y"]


@st.composite
def token_and_url(draw):
    token = draw(st.one_of(st.none(), st.just(""), tokens, st.sampled_from(["/p", "/", "h", "@", "tok/en", "a"])))
    pieces = URL_PIECES + ([token] if token else [])
    head = draw(st.sampled_from(["http://", "https://", "http://", "https://", "HTTPS://", "", "mailto:"]))
    body = draw(st.lists(st.one_of(st.sampled_from(pieces), st.text(max_size=3)), max_size=12))
    return token, head + "".join(body)


@SETTINGS
@given(case=token_and_url())
def test_url_shortcut_equals_the_general_path(pc, case):
    token, url = case
    client = new_client(pc, token)
    assert_same_as_general_path(pc, "urlsplit", lambda: client._sanitize_url_for_log(url))


@pytest.mark.parametrize(("token", "url", "expected"), [
    (TOKEN, "https://host/p", "https://host/p"),
    (TOKEN, "http://host", "http://host"),
    (TOKEN, "https://user:pw@a@host:443/p%41", "https://***@host:443/p%41"),
    (TOKEN, f"https://host/{TOKEN}/x", "https://host/***/x"),
    ("/p", "https://host/p", "https://host/***"),
    ("host", "https://host/p", "https://***/p"),
    ("t/x", "https://hos/t/x", "https://hos/***"),
])
def test_simple_urls(pc, token, url, expected):
    assert new_client(pc, token)._sanitize_url_for_log(url) == expected


@pytest.mark.parametrize("name", ["urlsplit", "urlunsplit", "parse_qsl", "urlencode"])
def test_rebound_url_globals_are_called(pc, monkeypatch, name):
    seen = calls_to(pc, name, monkeypatch)
    assert new_client(pc)._sanitize_url_for_log("https://u:p@host/p") == "https://***@host/p"
    assert seen


def test_url_functions_replaced_in_the_standard_module_are_called(pc, monkeypatch):
    # The module's binding is rebound to the replaced function too: both
    # point at the host's object, which is not the standard one.
    seen = calls_to(urllib.parse, "urlsplit", monkeypatch)
    monkeypatch.setattr(pc, "urlsplit", urllib.parse.urlsplit)
    new_client(pc)._sanitize_url_for_log("https://host/p")
    assert seen == [("https://host/p",)]


@pytest.mark.parametrize("name", ["_mask_token_only", "_sanitize_query_string_for_log"])
def test_overridden_url_steps_are_called(pc, name):
    seen = []

    def override(self, text):
        seen.append(text)
        return getattr(pc.PlatformClient, name)(self, text)

    Sub = type("Sub", (pc.PlatformClient,), {name: override})
    client = Sub(types.SimpleNamespace(platform_url="http://h", api_token=TOKEN, insecure=False, ca_bundle=None,
                                       timeout=5, verbose=False))
    assert client._sanitize_url_for_log("https://host/p") == "https://host/p"
    assert seen


def test_instance_attribute_shadowing_a_step_is_called(pc):
    client = new_client(pc)
    seen = []
    client._mask_token_only = lambda text: seen.append(text) or text
    client._sanitize_url_for_log("https://host/p")
    assert "/p" in seen


def test_token_property_is_read_by_the_general_path(pc):
    reads = []

    class Sub(pc.PlatformClient):
        @property
        def token(self):
            reads.append(1)
            return "secret"

        @token.setter
        def token(self, value):
            pass

    client = Sub(types.SimpleNamespace(platform_url="http://h", api_token=TOKEN, insecure=False, ca_bundle=None,
                                       timeout=5, verbose=False))
    assert client._sanitize_url_for_log("https://host/secret") == "https://host/***"
    # One read per masking step: query, its raw text and its encoding, path,
    # fragment, and the whole URL.
    assert len(reads) > 1


# --- Free text -----------------------------------------------------------------

@SETTINGS
@given(token=st.one_of(st.none(), tokens), text=st.lists(
    st.one_of(st.sampled_from(["http", "https://h/p", "htt", "p://", " ", "'", "<", "x"]), st.text(max_size=4)),
    max_size=8).map("".join))
def test_text_shortcut_equals_the_general_path(pc, token, text):
    client = new_client(pc, token)
    assert_same_as_general_path(pc, "_URL_IN_TEXT_RE", lambda: client._sanitize_text_for_log(text))


def test_rebound_url_pattern_is_used_for_text_without_http(pc, monkeypatch):
    monkeypatch.setattr(pc, "_URL_IN_TEXT_RE", re.compile(r"ftp://\S+"))
    assert new_client(pc)._sanitize_text_for_log("see ftp://u:p@h/x") == "see ftp://***@h/x"


def test_same_source_with_other_flags_is_used(pc, monkeypatch):
    monkeypatch.setattr(pc, "_URL_IN_TEXT_RE", re.compile(pc._URL_IN_TEXT_RE.pattern, re.IGNORECASE))
    assert new_client(pc)._sanitize_text_for_log("HTTPS://u:p@h/x") == "https://***@h/x"


def test_pattern_wrapper_sees_every_text(pc, monkeypatch):
    seen = []
    pattern = pc._URL_IN_TEXT_RE
    monkeypatch.setattr(pc, "_URL_IN_TEXT_RE", types.SimpleNamespace(
        sub=lambda repl, text: seen.append(text) or pattern.sub(repl, text)))
    new_client(pc)._sanitize_text_for_log("plain words")
    assert seen == ["plain words"]


# --- Bodies --------------------------------------------------------------------

BODY_PIECES = [" ", "\t", "\n", "\ufeff", "{", "}", "[", "]", '"', "1", "-", "n", "t", "f", "N", "I", "null", "true",
               "NaN", "-Infinity", "Infinity", "nul", "-I", "a=1", "&", "=", "password", ":", ",", "https://u:p@h/x",
               "x", "é", "%41", "+", "token=", "?a=1"]


@SETTINGS
@given(token=st.one_of(st.none(), tokens),
       body=st.lists(st.one_of(st.sampled_from(BODY_PIECES), st.text(max_size=3)), max_size=10).map("".join))
def test_body_shortcut_equals_the_general_path(pc, token, body):
    client = new_client(pc, token)
    for name in ("json", "parse_qsl"):
        assert_same_as_general_path(pc, name, lambda: client._sanitize_body_string_for_log(body))


@pytest.mark.parametrize("body", ["a=1&b=2", "plain text", "", "  ", "<html>"])
def test_rebound_json_is_asked_for_every_body(pc, monkeypatch, body):
    seen = []
    monkeypatch.setattr(pc, "json", types.SimpleNamespace(
        loads=lambda text: seen.append(text) or json.loads(text), dumps=json.dumps))
    new_client(pc)._sanitize_body_string_for_log(body)
    assert seen == [body]


def test_replaced_json_loads_is_asked(pc, monkeypatch):
    monkeypatch.setattr(json, "loads", lambda text: {"decoded": text})
    assert new_client(pc)._sanitize_body_string_for_log("a=1") == '{"decoded": "a=1"}'


def test_replaced_default_decoder_is_asked(pc, monkeypatch):
    class Lenient(json.JSONDecoder):
        def decode(self, s, *args, **kwargs):
            return {"lenient": s}

    monkeypatch.setattr(json, "_default_decoder", Lenient())
    assert new_client(pc)._sanitize_body_string_for_log("x") == '{"lenient": "x"}'


@pytest.mark.parametrize(("owner", "name", "replacement"), [
    (lambda: json.decoder.JSONDecoder, "decode", lambda self, s: {"decoded": s}),
    (lambda: json.decoder.JSONDecoder, "raw_decode", lambda self, s, idx=0: ({"raw": s[idx:]}, len(s))),
    (lambda: json._default_decoder, "scan_once", lambda s, idx: ({"scanned": s[idx:]}, len(s))),
], ids=["decode", "raw_decode", "scanner"])
@pytest.mark.parametrize(("body", "standard"), [(' ["a"] ', '["a"]'), ("plain words", "plain words")])
def test_replaced_json_decoding_pieces_are_used_for_bodies(pc, monkeypatch, owner, name, replacement, body, standard):
    monkeypatch.setattr(owner(), name, replacement, raising=False)
    rendered = new_client(pc)._sanitize_body_string_for_log(body)
    assert rendered != standard
    monkeypatch.setattr(pc, "json", types.SimpleNamespace(loads=json.loads, dumps=json.dumps))
    assert rendered == new_client(pc)._sanitize_body_string_for_log(body)


# --- JSON bodies rendered from their text ----------------------------------------

JSON_KEYS = st.one_of(st.sampled_from(["id", "Authorization", "API_KEY", "monkey", "name", "İ", "url", "pass\\word"]),
                      st.text(max_size=4))
JSON_TEXTS = st.one_of(st.sampled_from(["https://u:p@h/x?a=1&password=2#f", "see http://h/?token=1 and 'http://x'",
                                        "ftp://u:p@h", "plain", "http://", "https://[::1", "é http://h/é",
                                        "\x00\x1f\x7f", 'q"uote\\', "\u2028", "\U0001f600"]),
                       st.text(max_size=5))
JSON_LEAVES = st.one_of(JSON_TEXTS, st.integers(), st.integers(-10**30, 10**30), st.booleans(), st.none(),
                        st.floats(allow_nan=False, allow_infinity=False))


@st.composite
def token_and_json_body(draw):
    token = draw(st.one_of(st.none(), tokens, st.sampled_from(["1", "h", "id", "x/a", "é"])))
    leaves = st.one_of(JSON_LEAVES, st.just(token or ""))
    value = draw(st.recursive(leaves, lambda inner: st.one_of(
        st.lists(inner, max_size=3), st.dictionaries(st.one_of(JSON_KEYS, st.just(token or "k")), inner, max_size=4)),
        max_leaves=14))
    text = json.dumps(value, ensure_ascii=draw(st.booleans()), indent=draw(st.sampled_from([None, 0, 2, "\t"])),
                      separators=draw(st.sampled_from([None, (",", ":"), (" , ", " :\n")])))
    if draw(st.booleans()):
        text = text.replace("/", "\\/")  # only strings hold a slash
    return token, draw(st.sampled_from(["", " ", "\n\t"])) + text + draw(st.sampled_from(["", "\r\n"]))


@SETTINGS
@given(case=token_and_json_body())
def test_json_body_rendered_from_its_text_equals_the_general_path(pc, case):
    token, body = case
    client = new_client(pc, token)
    assert_same_as_general_path(pc, "json", lambda: client._sanitize_body_string_for_log(body))


@pytest.mark.parametrize("body", [
    '{"a": 1, "b": 2, "a": 3}', "{" + ", ".join(f'"k{i % 11}": {i}' for i in range(30)) + "}",
    '{"password": {"a": 1, "a": 2}, "x": [1, -0, 1.50, 1E400, -1e400, 2e-3, 1e5, 0.1]}', "-0", "[-0.0, 1e-400]",
    '"\\ud83d\\ude00"', '["\\udc00", "\\ud800x"]', "NaN", '{"token": -Infinity}', "\ufeff{}", '"\x01"', "[1,]",
    '{"a": 1,}', "01", "1.", "1e", "[1e+]", '{"a" 1}', '{"pass\\u0077ord": "x", "u": "http:\\/\\/u:p@h\\/"}',
    '{"password": [1,]}', '{"password": "\\ud800"}', "1" * 700, "-" + "1" * 639, "[" * 40 + "]" * 40,
    "[" * 31 + '{"token": "x"}' + "]" * 31, '"a" "b"', "[true, false, null, nulls]", " [ ] ", "{ }", "",
    '{"s": "' + "x" * 2500 + '"}', '{"t": "xxtok-SECRET-1234567890yy"}', '"tok-SECRET-\\u0031234567890"',
])
def test_json_bodies_the_text_rendering_leaves_or_takes_equal_the_general_path(pc, body):
    client = new_client(pc)
    assert_same_as_general_path(pc, "json", lambda: client._sanitize_body_string_for_log(body))


@pytest.mark.parametrize(("body", "expected"), [
    ('{"password": {"a": [1]}, "n": -0, "f": 1.50, "big": 1e400, "s": "\\/\\u00e9"}',
     '{"password": "***", "n": 0, "f": 1.5, "big": Infinity, "s": "/é"}'),
    ('{"a": 1, "a": 2, "b": 3}', '{"a": 2, "b": 3}'),
    ('{"pass\\u0077ord": 1}', '{"password": "***"}'),
    ('["http:\\/\\/u:p@h\\/x?token=1"]', '["http://***@h/x?token=%2A%2A%2A"]'),
])
def test_json_bodies_rendered(pc, body, expected):
    assert new_client(pc)._sanitize_body_string_for_log(body) == expected


@pytest.mark.parametrize(("settings", "body"), [
    ({"parse_float": decimal.Decimal}, '{"f": 1.10}'),
    ({"parse_int": float}, "[1, 2]"),
    ({"object_pairs_hook": lambda pairs: {"pairs": len(pairs)}}, '{"a": 1}'),
    ({"object_hook": lambda obj: ["hooked"]}, '{"a": 1}'),
    ({"strict": False}, '"a\tb"'),
], ids=["parse_float", "parse_int", "object_pairs_hook", "object_hook", "strict"])
def test_default_decoder_with_other_settings_is_followed(pc, monkeypatch, settings, body):
    standard = new_client(pc)._sanitize_body_string_for_log(body)
    monkeypatch.setattr(json, "_default_decoder", json.JSONDecoder(**settings))
    assert new_client(pc)._sanitize_body_string_for_log(body) != standard


def test_overridden_payload_rendering_is_called_for_json_bodies(pc):
    class Host(pc.PlatformClient):
        def _format_payload_for_log(self, payload):
            return f"host {payload!r}"

    client = new_client(pc)
    client.__class__ = Host
    assert client._sanitize_body_string_for_log('{"a": [1]}') == "host {'a': [1]}"
    client.__class__ = pc.PlatformClient
    client._format_payload_for_log = lambda payload: "instance"
    assert client._sanitize_body_string_for_log("[1]") == "instance"


def test_changed_encoder_separator_is_used_for_json_bodies(pc, monkeypatch):
    monkeypatch.setattr(json.JSONEncoder, "item_separator", ";")
    assert new_client(pc)._sanitize_body_string_for_log('{"a": [1, 2], "b": 3}') == '{"a": [1;2];"b": 3}'


@pytest.mark.parametrize("body", ['[[[["x"]]]]', '{"a": {"b": {"token": [1], "c": "x"}}}', "[1, {]"])
def test_json_body_near_the_depth_limit_renders_as_on_the_general_path(pc, body):
    """The general path here is the markers as a list, which keeps decoding
    and encoding as they are: a wrapped `json` would add frames of its own."""
    client = new_client(pc)

    def at_depth(levels):
        def down(n):
            return down(n - 1) if n else client._sanitize_body_string_for_log(body)
        try:
            return down(levels)
        except RecursionError:
            return RecursionError

    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(400)
    try:
        depths = range(150, 400, 3)
        fast = [at_depth(levels) for levels in depths]
        patch = with_marker_list(pc)
        try:
            slow = [at_depth(levels) for levels in depths]
        finally:
            patch.undo()
    finally:
        sys.setrecursionlimit(limit)
    assert fast == slow


# --- curl quoting --------------------------------------------------------------

QUOTE_PIECES = ["'", '"', " ", "a", "Z", "0", "_", "@", "%", "+", "=", ":", ",", ".", "/", "-", "$", "!", "é", "\n",
                "*", "?", "&"]


@SETTINGS
@given(token=st.one_of(st.none(), tokens),
       url=st.lists(st.sampled_from(QUOTE_PIECES), max_size=8).map(lambda p: "http://h/" + "".join(p)),
       content_type=st.lists(st.sampled_from(QUOTE_PIECES), max_size=6).map("".join),
       body=st.one_of(st.none(), st.lists(st.one_of(st.sampled_from(QUOTE_PIECES + BODY_PIECES), st.text(max_size=3)),
                                          max_size=10).map("".join)))
def test_quoting_shortcut_equals_shlex_quote(pc, token, url, content_type, body):
    client = new_client(pc, token)
    headers = {"Authorization": "x"}
    if content_type:
        headers["Content-Type"] = content_type
    try:
        request = requests.Request("POST", url, headers=headers, data=body).prepare()
    except (requests.RequestException, ValueError):
        return
    fast = client._curl_command(request)
    original = shlex.quote
    patch = pytest.MonkeyPatch()
    patch.setattr(shlex, "quote", lambda s: original(s))
    try:
        slow = client._curl_command(request)
    finally:
        patch.undo()
    assert fast == slow


def test_replaced_shlex_quote_quotes_every_word(pc, monkeypatch):
    seen = calls_to(shlex, "quote", monkeypatch)
    request = requests.Request("POST", "http://h/p", headers={"Content-Type": "text/plain"}, data="a b").prepare()
    new_client(pc)._curl_command(request)
    assert seen == [("http://h/p",), ("Content-Type: text/plain",), ("a b",)]


def test_replaced_shlex_pattern_is_used(pc, monkeypatch):
    monkeypatch.setattr(shlex, "_find_unsafe", re.compile(r"[^a-z]").search)
    request = requests.Request("GET", "http://h/p").prepare()
    assert new_client(pc)._curl_command(request) == "curl -X GET 'http://h/p'"


def test_shlex_module_replaced_in_sys_modules_is_used(pc, monkeypatch):
    monkeypatch.setitem(sys.modules, "shlex", types.SimpleNamespace(quote=lambda s: "<" + s + ">"))
    request = requests.Request("GET", "http://h/p").prepare()
    assert new_client(pc)._curl_command(request) == "curl -X GET <http://h/p>"


def test_quote_replaced_while_the_command_is_built_is_used_from_then_on(pc, monkeypatch):
    class Sub(pc.PlatformClient):
        def _sanitize_url_for_log(self, url):
            monkeypatch.setattr(shlex, "quote", lambda s: "[" + s + "]")
            return url

    client = Sub(types.SimpleNamespace(platform_url="http://h", api_token=TOKEN, insecure=False, ca_bundle=None,
                                       timeout=5, verbose=False))
    request = requests.Request("GET", "http://h/p", headers={"Content-Type": "a"}).prepare()
    assert client._curl_command(request) == "curl -X GET [http://h/p] -H [Content-Type: a]"


# --- Queries -------------------------------------------------------------------

QUERY_PIECES = ["&", "&&", "=", "==", "+", "%", "%2", "%41", "%2B", "%26", "%3D", "%C3%A9", "%FF", "%e2%82", "a", "B",
                "token", "Password", "api_key", "monkey", "next", "http://u:p@h/?x=1", "https://h/p", "://", "~",
                "-._", " ", "*", "é"]


@st.composite
def token_and_query(draw):
    token = draw(st.one_of(st.none(), st.just(""), tokens, st.sampled_from(["a", "%41", "a+b", "x=y", "&"])))
    pieces = QUERY_PIECES + ([token] if token else [])
    return token, "".join(draw(st.lists(st.one_of(st.sampled_from(pieces), st.text(max_size=2)), max_size=12)))


@SETTINGS
@given(case=token_and_query())
def test_query_shortcut_equals_the_general_path(pc, case):
    token, query = case
    client = new_client(pc, token)
    assert_same_as_general_path(pc, "parse_qsl", lambda: client._sanitize_query_string_for_log(query))
    url = "https://u:p@host/p?" + query + "#" + query
    assert_same_as_general_path(pc, "urlsplit", lambda: client._sanitize_url_for_log(url))


@pytest.mark.parametrize(("query", "expected"), [
    ("a=1&b", "a=1&b="),
    ("&&x=%41%2b+y&", "x=A%2B+y"),
    ("password=%FF&k%65y=1", "password=%2A%2A%2A&key=%2A%2A%2A"),
    ("n=%C3%A9%e2%82", "n=%C3%A9%EF%BF%BD"),
    ("next=https://u:p@h/x?token=t&q=%20", "next=https%3A%2F%2F%2A%2A%2A%40h%2Fx%3Ftoken%3D%252A%252A%252A&q=+"),
])
def test_queries(pc, query, expected):
    assert new_client(pc)._sanitize_query_string_for_log(query) == expected


@pytest.mark.parametrize("name", ["quote", "quote_from_bytes", "unquote", pytest.param(
    "unquote_to_bytes", marks=pytest.mark.skipif(sys.version_info >= (3, 12),
                                                 reason="from 3.12 unquote() does not call unquote_to_bytes()"))])
def test_replaced_urllib_helpers_are_called(pc, monkeypatch, name):
    seen = calls_to(urllib.parse, name, monkeypatch)
    new_client(pc)._sanitize_query_string_for_log("a=%41&b=c+d")
    assert seen


# --- Payloads ------------------------------------------------------------------

KEYS = st.one_of(st.sampled_from(["id", "Authorization", "API_KEY", "monkey", "name", "İ", "tokenizer", "url"]),
                 st.integers(-3, 3), st.booleans(), st.none(), st.floats(allow_nan=False), st.text(max_size=4))
TEXTS = st.one_of(st.sampled_from(["https://u:p@h/x?a=1&password=2#f", "see http://h/?token=1 and 'http://x'",
                                   "ftp://u:p@h", "plain", "http://", "https://[::1", "é http://h/é"]),
                  st.text(max_size=6))
LEAVES = st.one_of(TEXTS, st.integers(), st.floats(), st.booleans(), st.none(),
                   st.binary(max_size=4), TEXTS.map(str.encode), st.frozensets(st.integers(0, 3), max_size=2))


@st.composite
def token_and_payload(draw):
    token = draw(st.one_of(st.none(), tokens, st.sampled_from(["1", "h", "id", "x?a"])))
    leaves = st.one_of(LEAVES, st.just(token or ""))
    payload = draw(st.recursive(leaves, lambda inner: st.one_of(
        st.lists(inner, max_size=3), st.lists(inner, max_size=3).map(tuple),
        st.dictionaries(st.one_of(KEYS, st.just(token or "k")), inner, max_size=3)), max_leaves=12))
    return token, payload


def with_marker_list(pc):
    """The markers as an equal list, which only the general path reads."""
    patch = pytest.MonkeyPatch()
    patch.setattr(pc, "_SENSITIVE_PAYLOAD_KEYS", list(pc._SENSITIVE_PAYLOAD_KEYS))
    return patch


@SETTINGS
@given(case=token_and_payload())
def test_payload_walk_equals_the_general_path(pc, case):
    token, payload = case
    client = new_client(pc, token)
    fast = client._sanitize_payload_for_log(payload), client._format_payload_for_log(payload)
    patch = with_marker_list(pc)
    try:
        slow = client._sanitize_payload_for_log(payload), client._format_payload_for_log(payload)
    finally:
        patch.undo()
    assert repr(fast) == repr(slow)
    assert_same_as_general_path(pc, "json", lambda: client._format_payload_for_log(payload))


def test_verdicts_on_keys_hold_past_the_remembered_many_and_a_new_marker_tuple(pc, monkeypatch):
    client = new_client(pc, "tok-0")
    # More distinct keys than are remembered, sensitive ones among them, and
    # the same key texts again under other markers.
    payload = {f"{'Token' if i % 97 == 0 else 'field'}_{i}": i for i in range(5000)}
    fast = client._sanitize_payload_for_log(payload)
    patch = with_marker_list(pc)
    try:
        assert client._sanitize_payload_for_log(payload) == fast
    finally:
        patch.undo()
    assert fast["Token_97"] == "***" and fast["field_98"] == 98
    monkeypatch.setattr(pc, "_SENSITIVE_PAYLOAD_KEYS", ("field",))
    assert client._sanitize_payload_for_log({"Token_97": 1, "field_98": 2}) == {"Token_97": 1, "field_98": "***"}


@pytest.mark.parametrize(("owner", "name", "replacement"), [
    (lambda: json.encoder.JSONEncoder, "item_separator", ";"),
    (lambda: json.encoder.JSONEncoder, "encode", lambda self, o: "<encoded>"),
    (lambda: json.encoder.JSONEncoder, "iterencode", lambda self, o, _one_shot=False: ["<", "chunks>"]),
    (lambda: json.encoder, "encode_basestring", lambda s: "<string>"),
    (lambda: json.encoder, "c_make_encoder", None),
    (lambda: json, "JSONEncoder", type("Encoder", (json.JSONEncoder,), {"key_separator": "="})),
    (lambda: json, "dumps", lambda value, **kwargs: "<dumped>"),
], ids=["separator", "encode", "iterencode", "string encoder", "no C encoder", "encoder class", "dumps"])
def test_replaced_json_pieces_are_used_for_payloads(pc, monkeypatch, owner, name, replacement):
    client = new_client(pc)
    monkeypatch.setattr(owner(), name, replacement)
    rendered = client._format_payload_for_log({"a": ["b", 1]})
    # The general path: the module's json is a namespace, not the module.
    monkeypatch.setattr(pc, "json", types.SimpleNamespace(dumps=json.dumps))
    assert rendered == client._format_payload_for_log({"a": ["b", 1]})
    assert rendered != '{"a": ["b", 1]}' or replacement is None


@pytest.mark.parametrize("method", ["_sanitize_payload_for_log", "_format_payload_for_log"])
@pytest.mark.parametrize("shape", ["lists", "dicts", "text leaf", "query leaf"])
def test_payload_walk_fails_at_the_depth_of_the_general_path(pc, shape, method):
    client = new_client(pc)

    def sanitize(value):
        if getattr(client, method)(value) == "<unrenderable payload>":
            raise RecursionError
    leaf = {"text leaf": "see http://h/x", "query leaf": "https://h/?next=https://h/?a=b"}.get(shape, 1)

    def nested(depth):
        value = leaf
        for _ in range(depth):
            value = {"k": value} if shape == "dicts" else [value]
        return value

    def deepest(sanitize):
        depth = 1
        while True:
            try:
                sanitize(nested(depth))
            except RecursionError:
                return depth
            depth += 1

    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(300)
    try:
        fast = deepest(sanitize)
        patch = with_marker_list(pc)
        try:
            slow = deepest(sanitize)
        finally:
            patch.undo()
    finally:
        sys.setrecursionlimit(limit)
    # Each level costs what it costs on the general path; only urllib's own
    # helper frames under a URL are not counted one by one.
    assert abs(fast - slow) <= (3 if "leaf" in shape else 0)


class Rebinding:
    """A payload value whose repr() replaces a piece of the masking."""

    def __init__(self, action):
        self.action = action

    def __repr__(self):
        self.action()
        return "<rebinding>"


def test_pieces_replaced_during_the_walk_are_used_for_the_rest(pc, monkeypatch):
    client = new_client(pc)
    payload = {
        "first": Rebinding(lambda: monkeypatch.setattr(pc, "_SENSITIVE_PAYLOAD_KEYS", ("later",))),
        "later": "shown before, masked now",
        "again": Rebinding(lambda: monkeypatch.setattr(client, "_mask_token_only", lambda text: text.upper(),
                                                       raising=False)),
        "last": ["tail"],
    }
    assert client._sanitize_payload_for_log(payload) == {
        "first": "<rebinding>", "later": "***", "again": "<REBINDING>", "LAST": ["TAIL"]}


def test_dictionary_changed_during_the_walk_fails_as_in_python(pc):
    payload = {"a": 1}
    payload["b"] = Rebinding(lambda: payload.update(c=3))
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        new_client(pc)._sanitize_payload_for_log(payload)


# --- curl headers --------------------------------------------------------------

class HeaderSubclass(requests.structures.CaseInsensitiveDict):
    """Equal headers in a class of the host's: only the general path reads them."""


HEADER_CASES = {
    "plain": lambda h: None,
    "case variants": lambda h: h.update({"content-TYPE": "text/plain", "AUTHORIZATION": "x"}),
    "no content type": lambda h: h.pop("Content-Type", None),
    "non-ASCII name": lambda h: h.update({"Authörization": "x"}),
    "store key out of step": lambda h: h._store.update(x=("Content-Type", "text/other")),
    "store entry not a pair": lambda h: h._store.update(x=("X",)),
    "value not text": lambda h: h.update({"Content-Type": 5}),
    "store key not text": lambda h: h._store.update({5: ("X", "y")}),
    "multipart in mixed case": lambda h: h.update({"Content-Type": "text/x; Multipart/Form-DATA"}),
    "multipart cut short": lambda h: h.update({"Content-Type": "multipart/form-dat"}),
    "non-ASCII content type": lambda h: h.update({"Content-Type": "multipart/form-data; name=é"}),
}


@pytest.mark.parametrize("change", HEADER_CASES.values(), ids=HEADER_CASES.keys())
def test_header_shortcut_equals_the_general_path(pc, change):
    request = requests.Request("POST", "http://h/p", headers={"Authorization": TOKEN, "Accept": "x"},
                               json={"a": 1}).prepare()
    change(request.headers)
    client = new_client(pc)

    def command():
        try:
            return client._curl_command(request)
        except Exception as error:  # the same failure on both paths
            return type(error), str(error)

    fast = command()
    general_headers = HeaderSubclass()
    general_headers._store = request.headers._store
    request.headers = general_headers
    assert fast == command()


@pytest.mark.parametrize(("owner", "name"), [
    (requests.structures.CaseInsensitiveDict, "__iter__"),
    (requests.structures.CaseInsensitiveDict, "__getitem__"),
    (requests.structures.CaseInsensitiveDict, "items"),
    (requests.structures.CaseInsensitiveDict, "get"),
])
def test_replaced_header_methods_are_called(pc, monkeypatch, owner, name):
    seen = calls_to(owner, name, monkeypatch)
    request = requests.Request("GET", "http://h/p", headers={"Authorization": "t"}).prepare()
    assert new_client(pc)._curl_command(request) == "curl -X GET http://h/p -H 'Authorization: ***'"
    assert seen


@pytest.mark.parametrize("on", ["class", "instance"])
def test_url_step_replaced_after_commands_were_built_is_called(pc, monkeypatch, on):
    client = new_client(pc)
    request = requests.Request("GET", "http://h/p").prepare()
    for _ in range(2):
        assert client._curl_command(request) == "curl -X GET http://h/p"
    target = pc.PlatformClient if on == "class" else client
    monkeypatch.setattr(target, "_sanitize_url_for_log",
                        (lambda self, url: "<" + url + ">") if on == "class" else (lambda url: "<" + url + ">"))
    assert client._curl_command(request) == "curl -X GET '<http://h/p>'"


def test_shlex_being_initialised_makes_the_import_wait_for_it(pc, monkeypatch):
    # The import statement waits on the module's lock while its spec says
    # another thread is still initialising it.
    client = new_client(pc)
    request = requests.Request("GET", "http://h/p").prepare()
    for _ in range(2):
        client._curl_command(request)
    seen = calls_to(sys.modules["_frozen_importlib"], "_lock_unlock_module", monkeypatch)
    monkeypatch.setattr(shlex.__spec__, "_initializing", True)
    assert client._curl_command(request) == "curl -X GET http://h/p"
    assert seen == [("shlex",)]


# --- checks remembered between calls ---------------------------------------------
# The shortcuts remember that their checks passed until something they read
# changes; each case warms them up first, then changes one piece.

def _scan_skipping_semicolons():
    decode = json.decoder.JSONDecoder.decode
    return decode, (re.compile(r"[ \t\n\r;]*").match,)


def _replace_decoder_dict(monkeypatch):
    """A new __dict__ for the default decoder, equal but for its scanner."""
    decoder = json._default_decoder
    monkeypatch.setattr(decoder, "__dict__", dict(vars(decoder), scan_once=lambda s, idx: ({"scanned": s[idx:]}, len(s))))


REMEMBERED_CASES = {
    "decoder __dict__ replaced": (
        lambda mp, pc: _replace_decoder_dict(mp),
        lambda client: client._sanitize_body_string_for_log("[1]") == '{"scanned": "[1]"}'),
    "decode defaults replaced": (
        lambda mp, pc: mp.setattr(_scan_skipping_semicolons()[0], "__defaults__", _scan_skipping_semicolons()[1]),
        lambda client: client._sanitize_body_string_for_log(";[1];") == "[1]"),
    "separator set on the encoder class": (
        lambda mp, pc: mp.setattr(json.encoder.JSONEncoder, "item_separator", ";"),
        lambda client: client._format_payload_for_log([1, 2]) == "[1;2]"),
    "marker tuple rebound": (
        lambda mp, pc: mp.setattr(pc, "_SENSITIVE_PAYLOAD_KEYS", ("name",)),
        lambda client: client._format_payload_for_log({"name": "x", "token": "y"}) == '{"name": "***", "token": "y"}'),
    "method set on the client class": (
        lambda mp, pc: mp.setattr(pc.PlatformClient, "_mask_token_only",
                              lambda self, text: "<" + text + ">"),
        lambda client: "<https://host/</p>" in client._sanitize_url_for_log("https://host/p")),
    "shlex.quote replaced": (
        lambda mp, pc: mp.setattr(shlex, "quote", lambda s: "<" + s + ">"),
        lambda client: client._curl_command(requests.Request("GET", "http://h/p").prepare())
        == "curl -X GET <http://h/p>"),
    "shlex replaced in sys.modules": (
        lambda mp, pc: mp.setitem(sys.modules, "shlex", types.SimpleNamespace(quote=lambda s: "<" + s + ">")),
        lambda client: client._curl_command(requests.Request("GET", "http://h/p").prepare())
        == "curl -X GET <http://h/p>"),
    "header items replaced": (
        lambda mp, pc: mp.setattr(requests.structures.CaseInsensitiveDict, "items",
                              lambda self: [("Authorization", "t"), ("X", "y")]),
        lambda client: client._curl_command(requests.Request("GET", "http://h/p").prepare())
        == "curl -X GET http://h/p -H 'Authorization: ***'"),
    "urlsplit rebound in the module": (
        lambda mp, pc: mp.setattr(pc, "urlsplit",
                              lambda url: urllib.parse.urlsplit(url.replace("host", "other"))),
        lambda client: client._sanitize_url_for_log("https://host/p") == "https://other/p"),
}


@pytest.mark.parametrize("case", REMEMBERED_CASES.values(), ids=REMEMBERED_CASES.keys())
def test_pieces_changed_after_the_checks_passed_are_used(pc, monkeypatch, case):
    change, sees_the_change = case
    client = new_client(pc, token="tok-0")
    request = requests.Request("POST", "http://h/p?a=1", json={"a": "b"}).prepare()
    for _ in range(2):  # the checks pass and are remembered
        client._curl_command(request)
        client._sanitize_body_string_for_log('{"token": "x"}')
        client._format_payload_for_log({"name": "x", "token": "y"})
        client._sanitize_url_for_log("https://host/p")
    change(monkeypatch, pc)
    assert sees_the_change(client)


class _Rendering:
    """A value only str() can encode; str() renders another payload on the
    way, or fails half-way through the encoding."""

    def __init__(self, client, fail=False):
        self.client, self.fail = client, fail

    def __str__(self):
        if self.fail:
            raise ValueError("no text")
        return "inner " + self.client._format_payload_for_log({"inner": [1, {"x": None}]})


def test_encoding_that_renders_or_fails_on_the_way_leaves_later_renderings_intact(pc):
    outer = {"a": [{"b": 1}], "c": {"d": [2, 3]}}

    class Host(pc.PlatformClient):
        def _sanitize_payload_for_log(self, payload):
            return payload  # the encoder meets the host's objects as they are

    client = Host(types.SimpleNamespace(platform_url="http://h", api_token="t", insecure=False, ca_bundle=None,
                                        timeout=5, verbose=False))

    def render(payload):
        try:
            return client._format_payload_for_log(payload)
        except ValueError as error:  # the same failure on both paths
            return type(error), str(error)

    def renderings():
        return [render(dict(outer, e=_Rendering(client))), render(dict(outer, e=_Rendering(client, fail=True))),
                *(render(dict(outer, n=n)) for n in range(3))]

    fast = renderings()
    patch = general(pc, "json")
    try:
        slow = renderings()
    finally:
        patch.undo()
    assert fast == slow
    assert fast[0].startswith('{"a": [{"b": 1}], "c": {"d": [2, 3]}, "e": "inner {')


# --- JSON written for the log ------------------------------------------------------

class _Int(int):
    pass


class _Float(float):
    pass


class _Str(str):
    pass


class _List(list):
    pass


class _Dict(dict):
    pass


_JSON_LEAVES = st.one_of(st.none(), st.booleans(), st.integers(), st.integers(min_value=10**30),
                         st.floats(), st.text(), st.binary(max_size=3), st.builds(_Int, st.integers()),
                         st.builds(_Float, st.floats()), st.builds(_Str, st.text(max_size=3)))
_JSON_KEYS = st.one_of(st.text(max_size=4), st.builds(_Str, st.text(max_size=2)), st.integers(), st.floats(),
                       st.booleans(), st.none())
_JSON_VALUES = st.recursive(_JSON_LEAVES, lambda inner: st.one_of(
    st.lists(inner, max_size=3), st.lists(inner, max_size=3).map(tuple), st.lists(inner, max_size=2).map(_List),
    st.dictionaries(_JSON_KEYS, inner, max_size=3), st.dictionaries(st.text(max_size=2), inner, max_size=2).map(_Dict)),
    max_leaves=12)


def _passing_through(pc):
    """A host whose sanitising hands the value on as it is, so the encoder
    meets every kind of value."""
    class Host(pc.PlatformClient):
        def _sanitize_payload_for_log(self, payload):
            return payload

    return Host(types.SimpleNamespace(platform_url="http://h", api_token=None, insecure=False, ca_bundle=None,
                                      timeout=5, verbose=False))


def _rendered(client, value):
    try:
        return client._format_payload_for_log(value)
    except Exception as error:  # the same failure on both paths
        return type(error), str(error)


@SETTINGS
@given(value=_JSON_VALUES)
def test_log_json_equals_json_dumps(pc, value):
    client = _passing_through(pc)
    assert_same_as_general_path(pc, "json", lambda: _rendered(client, value))


def _self_containing_list():
    loop = [1]
    loop.append({"again": loop})
    return loop


@pytest.mark.parametrize("value", [
    _self_containing_list(),
    [[]] * 3,  # one list met three times is no cycle
    {"n": 10**5000},  # more digits than int() turns into text
    functools.reduce(lambda inner, _: [inner], range(5000), []),
], ids=["cycle", "shared", "huge int", "deep"])
def test_log_json_fails_as_json_dumps_fails(pc, value):
    client = _passing_through(pc)
    assert_same_as_general_path(pc, "json", lambda: _rendered(client, value))
