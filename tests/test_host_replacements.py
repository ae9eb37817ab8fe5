"""What a host may replace is obeyed: a rebound module global, a method
overridden on a subclass or shadowed on the instance is used at each step."""

from __future__ import annotations

import json
import re
import types

import pytest

from support import TOKEN, new_client


def calls_to(target, name, monkeypatch):
    """Records the calls that reach target.name, passing them on."""
    seen = []
    original = getattr(target, name)

    def recorder(*args, **kwargs):
        seen.append(args)
        return original(*args, **kwargs)

    monkeypatch.setattr(target, name, recorder)
    return seen


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


@pytest.mark.parametrize("name", ["_mask_token_only", "_sanitize_query_string_for_log"])
def test_overridden_url_steps_are_called(pc, name):
    seen = []

    def override(self, text):
        seen.append(text)
        return getattr(pc.PlatformClient, name)(self, text)

    Sub = type("Sub", (pc.PlatformClient,), {name: override})
    client = new_client(pc, cls=Sub)
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

    client = new_client(pc, cls=Sub)
    assert client._sanitize_url_for_log("https://host/secret") == "https://host/***"
    # One read per masking step: query, its raw text and its encoding, path,
    # fragment, and the whole URL.
    assert len(reads) > 1


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


@pytest.mark.parametrize("body", ["a=1&b=2", "plain text", "", "  ", "<html>"])
def test_rebound_json_is_asked_for_every_body(pc, monkeypatch, body):
    seen = []
    monkeypatch.setattr(pc, "json", types.SimpleNamespace(
        loads=lambda text: seen.append(text) or json.loads(text), dumps=json.dumps))
    new_client(pc)._sanitize_body_string_for_log(body)
    assert seen == [body]


@pytest.mark.parametrize(("body", "expected"), [
    ('{"password": {"a": [1]}, "n": -0, "f": 1.50, "big": 1e400, "s": "\\/\\u00e9"}',
     '{"password": "***", "n": 0, "f": 1.5, "big": Infinity, "s": "/é"}'),
    ('{"a": 1, "a": 2, "b": 3}', '{"a": 2, "b": 3}'),
    ('{"pass\\u0077ord": 1}', '{"password": "***"}'),
    ('["http:\\/\\/u:p@h\\/x?token=1"]', '["http://***@h/x?token=%2A%2A%2A"]'),
])
def test_json_bodies_rendered(pc, body, expected):
    assert new_client(pc)._sanitize_body_string_for_log(body) == expected


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


@pytest.mark.parametrize(("query", "expected"), [
    ("a=1&b", "a=1&b="),
    ("&&x=%41%2b+y&", "x=A%2B+y"),
    ("password=%FF&k%65y=1", "password=%2A%2A%2A&key=%2A%2A%2A"),
    ("n=%C3%A9%e2%82", "n=%C3%A9%EF%BF%BD"),
    ("next=https://u:p@h/x?token=t&q=%20", "next=https%3A%2F%2F%2A%2A%2A%40h%2Fx%3Ftoken%3D%252A%252A%252A&q=+"),
])
def test_queries(pc, query, expected):
    assert new_client(pc)._sanitize_query_string_for_log(query) == expected


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
