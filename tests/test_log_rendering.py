"""Payloads, bodies and files as bounded, masked log text; the [HTTP] lines."""

from __future__ import annotations

import io
import json
import logging
import types
from urllib.parse import urlencode

import pytest
import requests
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from support import TOKEN, new_client
from token_strategies import tokens

HIDDEN = "<запуск сканирования>"


def nested(depth, make):
    value = 1
    for _ in range(depth):
        value = make(value)
    return value


# --- payload rendering ---------------------------------------------------------

@pytest.mark.parametrize("payload, expected", [
    ({"password": "p", "a": 1}, '{"password": "***", "a": 1}'),
    ("a=1", '"a=1"'),
    (None, "null"),
    ({}, "{}"),
    ({"имя": "значение", "n": [1.5, True, None]}, '{"имя": "значение", "n": [1.5, true, null]}'),
    ({"see": "docs at https://u:pw@h/p?x=1 now"}, '{"see": "docs at https://***@h/p?x=1+now"}'),
    ([TOKEN, {"t": f"Bearer {TOKEN}"}], '["***", {"t": "Bearer ***"}]'),
    ({1: b"\xff\xfe", 2: {3}}, '{"1": "<2 bytes>", "2": "{3}"}'),
])
def test_format_payload(client, payload, expected):
    assert client._format_payload_for_log(payload) == expected


@pytest.mark.parametrize("length, expected_length, truncated", [(1998, 2000, False), (1999, 2014, True)])
def test_format_payload_cap(client, length, expected_length, truncated):
    rendered = client._format_payload_for_log("é" * length)  # code points, not bytes
    assert len(rendered) == expected_length
    assert rendered.endswith("...<truncated>") is truncated
    if truncated:
        assert rendered == '"' + "é" * 1999 + "...<truncated>"


def test_cap_cannot_complete_a_token_ending_in_a_dot(pc):
    token = "eyJhbGciOiJub25lIn0.eyJzdWIiOiIxIn0."  # unsigned JWT: ends in a dot
    client = new_client(pc, token=token)
    # The cut falls right after the token's text without its final dot.
    rendered = client._format_payload_for_log("x" * (1999 - len(token) + 1) + token[:-1] + "z" * 50)
    assert token not in rendered
    assert rendered.endswith("x***..<truncated>")


def test_token_in_a_key_is_masked_in_the_rendered_text(pc):
    assert new_client(pc, token="0123456789abcdef")._format_payload_for_log({"id 0123456789abcdef": 1}) == \
        '{"id ***": 1}'


def test_format_payload_goes_through_overridden_steps(pc):
    client = new_client(pc)
    client._sanitize_payload_for_log = lambda value: value  # json.dumps rejects the tuple key
    client._sanitize_text_for_log = lambda text: text.upper()
    assert client._format_payload_for_log({(1, 2): "v"}) == "{(1, 2): 'V'}"


@pytest.mark.parametrize("make", [lambda v: [v], lambda v: {"a": v}], ids=["list", "dict"])
def test_format_payload_too_deep(pc, make):
    client = new_client(pc)
    deep = nested(100_000, make)
    assert client._format_payload_for_log(deep) == "<unrenderable payload>"
    # Sanitised, but too deep for json.dumps and for str() alike.
    client._sanitize_payload_for_log = lambda value: value
    assert client._format_payload_for_log(deep) == "<unrenderable payload>"


def test_format_payload_reads_json_at_each_call(pc, client, monkeypatch):
    fake = types.SimpleNamespace(dumps=lambda value, **kw: f"dumped {sorted(kw)}")
    monkeypatch.setattr(pc, "json", fake)
    assert client._format_payload_for_log({"a": 1}) == "dumped ['default', 'ensure_ascii']"


# --- body sanitising -----------------------------------------------------------

@pytest.mark.parametrize("body, expected", [
    ('{"password": "p", "a": 1}', '{"password": "***", "a": 1}'),
    ('{"a":1,"password":{"nested":true}}', '{"a": 1, "password": "***"}'),
    ("123", "123"),
    ('"quoted"', '"quoted"'),
    ("user=u&password=p", "user=u&password=%2A%2A%2A"),
    ("q=a b&flag", "q=a+b&flag="),
    ("next=https://u:p@h/x", "next=https%3A%2F%2F%2A%2A%2A%40h%2Fx"),
    (f"k={TOKEN}&n=1", "k=%2A%2A%2A&n=1"),
    ("flag", "flag"),
    ("&", "&"),
    ("", ""),
    (f"failed for {TOKEN} at https://u:p@h/x/{TOKEN}, retry", "failed for *** at https://***@h/x/***, retry"),
    ("{not json but a=b}", "%7Bnot+json+but+a=b%7D"),
])
def test_sanitize_body(client, body, expected):
    assert client._sanitize_body_string_for_log(body) == expected


def test_json_body_is_capped_but_form_and_text_are_not(client):
    assert len(client._sanitize_body_string_for_log(json.dumps("x" * 3000))) == 2014
    assert len(client._sanitize_body_string_for_log("a=" + "x" * 3000)) == 3002
    assert len(client._sanitize_body_string_for_log("x" * 3000)) == 3000


@pytest.mark.parametrize("body, expected", [
    ("[" * 100_000, None),  # None: shown as the text it is
    ('{"a":' * 100_000 + "1" + "}" * 100_000, None),
    ("[" * 100_000 + "1" + "]" * 100_000, None),
    ("[" * 100_000 + "&password=p", "%5B" * 100_000 + "=&password=%2A%2A%2A"),  # form characters: the form step
])
def test_deep_json_body_is_treated_as_text(client, body, expected):
    assert client._sanitize_body_string_for_log(body) == (body if expected is None else expected)


@pytest.mark.parametrize("token, body, expected", [
    # "+" decodes to a space and would be re-encoded back into the token
    ("ab+cd/ef==XYZ0", "auth=ab+cd/ef==XYZ0&x=1", "auth=***&x=1"),
    # re-encoding spells the token out of "/abcdef12"
    ("2Fabcdef12", "p=/abcdef12&x=1", "p=%***&x=1"),
])
def test_form_reencoding_never_reveals_the_token(pc, token, body, expected):
    assert new_client(pc, token=token)._sanitize_body_string_for_log(body) == expected


def test_form_step_sanitises_each_key_before_its_value(pc):
    calls = []

    class Spy(pc.PlatformClient):
        def _sanitize_text_for_log(self, text):
            calls.append(("text", text))
            return super()._sanitize_text_for_log(text)

        def _sanitize_value_for_log(self, value, key=None):
            calls.append(("value", value, key))
            return super()._sanitize_value_for_log(value, key)

    spy = new_client(pc, cls=Spy)
    assert spy._sanitize_body_string_for_log("user=u&password=p") == "user=u&password=%2A%2A%2A"
    assert calls == [("text", "user"), ("value", "u", "user"), ("text", "u"),
                     ("text", "password"), ("value", "p", "password")]


@pytest.mark.parametrize("call", [
    lambda client, pc, monkeypatch: (
        monkeypatch.setattr(pc, "parse_qsl", lambda body, **kw: [("a", "1", "extra")]),
        client._sanitize_body_string_for_log("a=1")),
    lambda client, pc, monkeypatch: client._files_payload_for_log(
        type("Triples", (dict,), {"items": lambda self: [("f", ("a",), "extra")]})()),
], ids=["form pairs", "file items"])
def test_pairs_are_unpacked_as_the_interpreter_does(client, pc, monkeypatch, call):
    with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
        call(client, pc, monkeypatch)


# --- payload selection and file summaries ----------------------------------------

def generator():
    yield b"x"


REPORT = io.BytesIO(b"{}")


@pytest.mark.parametrize("kwargs, expected", [
    ({"_log_payload": None, "json": {"a": 1}}, None),
    ({"_log_payload": "shown", "data": "ignored"}, "shown"),
    ({"json": {"a": 1}, "data": "ignored"}, {"a": 1}),
    ({"json": {}}, {}),
    ({"json": None, "data": "a=1"}, "a=1"),
    ({"data": b"raw"}, b"raw"),
    ({"data": generator()}, "<generator>"),
    ({"data": REPORT}, "<BytesIO>"),
    ({"data": {"name": "x"}, "files": {"file": ("report.json", REPORT, "application/json")}},
     {"name": "x", "files": {"file": {"filename": "report.json"}}}),
    ({"files": {"file": REPORT}}, {"files": {"file": "<file>"}}),
    ({"data": "raw", "files": {"f": ("a", REPORT)}}, {"data": "raw", "files": {"f": {"filename": "a"}}}),
    ({"data": generator(), "files": {}}, {"data": "<generator>", "files": {}}),
    ({"data": {"files": "old", "a": 1}, "files": {"f": ()}}, {"files": {"f": "<file>"}, "a": 1}),
    ({"data": {}, "files": None}, {}),
    ({"data": None, "files": None}, None),
    ({}, None),
])
def test_payload_from_request_kwargs(client, kwargs, expected):
    before = dict(kwargs)
    result = client._payload_from_request_kwargs(kwargs)
    assert result == expected
    assert list(result.items() if isinstance(result, dict) else []) == list(
        expected.items() if isinstance(expected, dict) else [])
    before.pop("_log_payload", None)
    assert kwargs == before


def test_files_summary(client):
    files = {1: ("a.txt", REPORT, "text/plain"), "empty": (), "bare": REPORT, "listed": ["n.txt", REPORT],
             "odd": (None,)}
    assert client._files_payload_for_log(files) == {
        "1": {"filename": "a.txt"}, "empty": "<file>", "bare": "<file>", "listed": "<file>",
        "odd": {"filename": None}}


# --- the [HTTP] lines ----------------------------------------------------------

def http_lines(agent_log):
    return [(r.levelno, r.getMessage(), r.args) for r in agent_log.records]


@pytest.mark.parametrize("verbose, payload, lines", [
    (True, {}, ["[HTTP] Request payload: {}"]),
    (True, {"password": "p"}, ['[HTTP] Request payload: {"password": "***"}']),
    (True, None, []),
    (False, {"a": 1}, []),
])
def test_request_payload_line(pc, agent_log, verbose, payload, lines):
    client = new_client(pc, verbose=verbose)
    if not verbose:
        client._format_payload_for_log = None  # rendering must not even be attempted
    assert client._log_request_attempt_payload(payload) is None
    assert http_lines(agent_log) == [(logging.DEBUG, line, ()) for line in lines]


def response(url, status):
    answer = requests.Response()
    answer.url, answer.status_code = url, status
    return answer


@pytest.mark.parametrize("verbose, log_url, log_label, line", [
    (True, True, "ignored", "[HTTP] GET https://***@h/p?token=%2A%2A%2A&x=1 -> 200"),
    (True, False, "upload report", "[HTTP] GET upload report -> 200"),
    (True, False, None, "[HTTP] GET <hidden> -> 200"),
    (True, False, "", "[HTTP] GET <hidden> -> 200"),
    (False, True, None, None),
])
def test_response_status_line(pc, agent_log, verbose, log_url, log_label, line):
    client = new_client(pc, verbose=verbose)
    answer = response("https://u:p@h/p?token=t&x=1", 200)
    assert client._log_response_status("GET", answer, log_url=log_url, log_label=log_label) is None
    assert http_lines(agent_log) == ([(logging.DEBUG, line, ())] if line else [])


def test_lines_go_to_the_current_logger(pc, monkeypatch):
    seen = []
    monkeypatch.setattr(pc, "logger", types.SimpleNamespace(debug=lambda *args: seen.append(args)))
    client = new_client(pc, verbose=True)
    client._log_request_attempt_payload([1])
    client._log_response_status("POST", response("http://h/x", 503), log_url=False, log_label="form")
    assert seen == [("[HTTP] Request payload: [1]",), ("[HTTP] POST form -> 503",)]


# --- hiding scan-submission internals ----------------------------------------------

@pytest.mark.parametrize("text, expected", [
    ("POST /api/v1/git/engagement/import_archive/42 failed", f"POST /api/v1/git/engagement/{HIDDEN}/42 failed"),
    ("file 'archive' missing", f"file {HIDDEN} missing"),
    ('field "archive" required', f"field {HIDDEN} required"),
    ("scan_payload in scan.zip", f"{HIDDEN} in {HIDDEN}"),
    ("two archives", f"two {HIDDEN}s"),
    ("ARCHIVE Archive", "ARCHIVE Archive"),
    ("", ""),
    (None, None),
])
def test_hide_scan_submit_internals(client, text, expected):
    assert client._hide_scan_submit_internals(text) == expected


# --- the token never reaches a log line ------------------------------------------



def shapes(token):
    text = st.lists(st.sampled_from(
        [token, token, "x", " ", "/", "?", "&", "=", "+", "%", "#", "@", ":", "https://", "u:p@", "ё", '"', "'"]),
        max_size=8).map("".join)
    urls = st.builds("https://{}@host{}?{}={}#{}".format, text, text, text, text, text)
    leaves = st.one_of(text, urls, text.map(str.encode), st.integers(), st.none(), st.booleans(),
                       st.floats(allow_nan=False))
    values = st.recursive(leaves, lambda inner: st.one_of(
        st.lists(inner, max_size=4), st.lists(inner, max_size=3).map(tuple),
        st.dictionaries(st.one_of(text, st.integers()), inner, max_size=4)), max_leaves=12)
    pairs = st.lists(st.tuples(text, text), min_size=1, max_size=4)
    bodies = st.one_of(
        text, urls,
        values.map(lambda v: json.dumps(v, default=str, ensure_ascii=False)),
        pairs.map(urlencode),
        pairs.map(lambda ps: "&".join(f"{k}={v}" for k, v in ps)),
    )
    return values, bodies


@settings(max_examples=300, deadline=None)
@given(st.data())
def test_token_never_shown(pc, data):
    token = data.draw(tokens, label="token")
    client = new_client(pc, token=token)
    values, bodies = shapes(token)
    assert token not in client._format_payload_for_log(data.draw(values, label="payload"))
    assert token not in client._sanitize_body_string_for_log(data.draw(bodies, label="body"))


@settings(max_examples=50, deadline=None)
@given(st.data())
def test_token_never_shown_past_the_cap(pc, data):
    token = data.draw(tokens, label="token")
    client = new_client(pc, token=token)
    cut = data.draw(st.integers(1, len(token)), label="cut")
    filler = "x" * (1999 - cut)
    assert token not in client._format_payload_for_log(filler + token[:cut] + "y" * 40)
    assert token not in client._format_payload_for_log(filler + token + "y" * 40)


# Long renderings: only the head is shown, and masking just enough of it must
# give exactly what masking all of it gives (the token or a URL may straddle
# any cut).
_LONG_PIECES = st.sampled_from(['"', "x", " ", "https://u:p@h/p?token=1&a=b", "http://h/?q=", "tok", "en-9",
                                "tok-en-9", '"tok', 'en-9"', "é", "<", "'"])


@settings(max_examples=300, deadline=None)
@given(token=st.sampled_from([None, "tok-en-9", '"', 'n-9"t', "x x", '9", "t']),
       pad=st.integers(30, 40), reach=st.sampled_from([1, 6, 40, 200]),
       texts=st.lists(st.lists(_LONG_PIECES, max_size=12).map("".join), min_size=1, max_size=30))
def test_long_rendering_shows_what_masking_it_whole_shows(pc, token, pad, reach, texts):
    # The padding masks to a few hundred characters, so the first possible
    # cut falls among the generated texts and within the shown head; the tail
    # decides how far the head must reach.
    texts = [" ".join(["https://" + "u" * 100 + ":p@h/"] * pad), *texts, *(["https://u:p@h/x?token=" + "y" * 50] * reach)]
    assert new_client(pc, token)._format_payload_for_log(texts) == whole_text_rendering(pc, token, texts)


def whole_text_rendering(pc, token, value):
    """What the rendering gives when each text is masked whole (no cut-short head)."""
    class WholeText(pc.PlatformClient):
        def _sanitize_text_for_log(self, text):
            return pc.PlatformClient._sanitize_text_for_log(self, text)

    return new_client(pc, token, cls=WholeText)._format_payload_for_log(value)


@pytest.mark.parametrize("token", ['", "', '"', None])
def test_long_rendering_cut_where_a_token_joins_a_url_to_what_follows(pc, token):
    # The padding masks to a few hundred characters; the long URL then runs
    # across the shown head and ends where a token may join it to "@h/x".
    texts = [" ".join(["https://" + "u" * 100 + ":p@h/"] * 30) + " ", "http://user:" + "p" * 2000, "@h/x"]
    shown = new_client(pc, token)._format_payload_for_log(texts)
    assert shown == whole_text_rendering(pc, token, texts)
    assert ("p" * 50 in shown) == (token != '", "')


# Large payloads: only their head is masked and rendered, which must show
# exactly what masking and rendering all of them shows.
_LEAVES = st.one_of(
    st.sampled_from(["plain", "https://u:p@h/x?token=1&a=b", "tok-en-9", 'say "tok-en-9"', "é\\n", "http://h/?q="]),
    st.integers(-5, 5), st.booleans(), st.none(), st.floats(allow_nan=True), st.text(max_size=12),
    st.binary(max_size=6))
_ITEMS = st.recursive(_LEAVES, lambda inner: st.one_of(
    st.lists(inner, max_size=4), st.lists(inner, max_size=3).map(tuple),
    st.dictionaries(st.sampled_from(["name", "api_key", "Url", "monkey", "note", "tok-en-9"]), inner, max_size=4)),
    max_leaves=8)


@settings(max_examples=60, deadline=None)
@given(token=st.sampled_from([None, "tok-en-9", "en-9", "x"]), items=st.lists(_ITEMS, min_size=1, max_size=6),
       copies=st.integers(60, 900), wrap=st.booleans())
def test_large_payload_head_shows_what_the_whole_payload_shows(pc, token, items, copies, wrap):
    class WholePayload(pc.PlatformClient):
        def _sanitize_payload_for_log(self, value):
            return pc.PlatformClient._sanitize_payload_for_log(self, value)

    payload = items * copies
    if wrap:
        payload = {"count": len(payload), "results": payload, "tail": {"password": "hidden"}}
    assert new_client(pc, token)._format_payload_for_log(payload) == \
        new_client(pc, token, cls=WholePayload)._format_payload_for_log(payload)



_BODY_PIECES = [" ", "\t", "\n", "\ufeff", "{", "}", "[", "]", '"', "1", "-", "n", "t", "f", "N", "I", "null", "true",
                "NaN", "-Infinity", "Infinity", "nul", "-I", "a=1", "&", "=", "password", ":", ",", "https://u:p@h/x",
                "x", "é", "%41", "+", "token=", "?a=1"]


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(body=st.lists(st.one_of(st.sampled_from(_BODY_PIECES), st.text(max_size=3)), max_size=10).map("".join))
def test_bodies_not_decoded_show_what_decoding_them_shows(pc, monkeypatch, body):
    # Text no JSON value starts with is not handed to json.loads; a stand-in
    # for the json module makes every body go through it.
    client = new_client(pc, "tok-en-9")
    shown = client._sanitize_body_string_for_log(body)
    with monkeypatch.context() as patch:
        patch.setattr(pc, "json", types.SimpleNamespace(loads=json.loads, dumps=json.dumps))
        assert client._sanitize_body_string_for_log(body) == shown
