"""Status, text and JSON of a plain requests Response are read natively; the
result must be what requests' own properties and methods give, and any piece
a host replaces (on the class, the instance, requests.models or json) must be
called instead."""

from __future__ import annotations

import json
import types

import pytest
import requests
import requests.models
from test_fast_paths import calls_to

TOKEN = "tok-SECRET-1234567890"


def new_client(pc, verbose=False):
    return pc.PlatformClient(types.SimpleNamespace(
        platform_url="http://127.0.0.1:9", api_token=TOKEN, insecure=False, ca_bundle=None, timeout=5,
        verbose=verbose))


def read_response(body, status=200, encoding="utf-8", reason="OK", content_type="application/json"):
    """A response as requests leaves it once it has read the body."""
    response = requests.Response()
    response.status_code = status
    response.reason = reason
    response.headers["Content-Type"] = content_type
    response._content = body
    response._content_consumed = True
    response.encoding = encoding
    response.url = "http://h/api/v1/x"
    return response


def outcome(client, response):
    try:
        return ("value", client._handle_response(response, "get group"))
    except Exception as error:  # noqa: BLE001 - the error itself is compared
        return ("error", type(error).__name__, str(error), getattr(error, "exit_code", None),
                getattr(error, "http_status", None), getattr(error, "response_body", None))


def general_outcome(client, make_response, monkeypatch):
    """The outcome with Response.json replaced by an equal wrapper, which
    changes the class and so sends every step through requests."""
    original = requests.models.Response.json
    with monkeypatch.context() as patch:
        patch.setattr(requests.models.Response, "json", lambda self, **kw: original(self, **kw))
        return outcome(client, make_response())


CASES = [
    (b'{"id": 1, "name": "x"}', {}),
    (b"[1, 2]", {}),
    (b' \n{"a": [1.5, null, true]}\r\n', {}),
    (b"", {}),
    (None, {}),
    (b"not json", {}),
    (b'{"a": 1} trailing', {}),
    (b'\xef\xbb\xbf{"a": 1}', {}),                       # a byte order mark: json.loads refuses it
    (b'{"a": "\xff\xfe"}', {}),                           # invalid UTF-8, decoded with replacement
    (b'{"a": "\xc3\xa9"}', {"encoding": "UTF-8"}),
    (b'{"a": "\xc3\xa9"}', {"encoding": "utf8"}),
    (b'{"a": "\xc3\xa9"}', {"encoding": "latin-1"}),      # another codec: requests decodes
    (b'{"a": "\xc3\xa9"}', {"encoding": None}),           # no encoding: requests guesses
    (b'{"a": "\xc3\xa9"}', {"encoding": "no-such-codec"}),
    (b"[" * 100_000, {}),                                 # too deep to decode
    (b"<html><body>x</body></html>", {}),
    (b'{"a": "<HTML>"}', {}),
    (b'{"detail": "no"}', {"status": 404}),
    (b'{"detail": "no"}', {"status": 503}),
    (b'{"detail": "no"}', {"status": 401, "reason": b"\xff\xfe"}),
    (b'{"a": 1}', {"status": 302}),
    (b'{"a": 1}', {"status": 600}),
    (b'{"a": 1}', {"status": 399, "reason": b"caf\xc3\xa9"}),
    (b'{"a": 1}', {"status": 2**70}),
    (b'{"a": 1}', {"status": -(2**70)}),
]


@pytest.mark.parametrize(("body", "settings"), CASES)
def test_result_equals_what_requests_gives(pc, monkeypatch, body, settings):
    client = new_client(pc)
    client._last_curl = "curl -X GET http://h/x"
    fast = outcome(client, read_response(body, **settings))
    assert fast == general_outcome(client, lambda: read_response(body, **settings), monkeypatch)


def test_unread_content_is_read_by_the_property(pc):
    response = read_response(False)
    response._content_consumed = False
    response.raw = None  # what a response without a body stream reads as
    assert new_client(pc)._handle_response(response, "x") == {}
    assert response._content is None and response._content_consumed is True


@pytest.mark.parametrize("name", ["json", "raise_for_status"])
def test_methods_replaced_on_the_class_are_called(pc, monkeypatch, name):
    seen = calls_to(requests.models.Response, name, monkeypatch)
    assert new_client(pc)._handle_response(read_response(b'{"a": 1}'), "x") == {"a": 1}
    assert len(seen) == 1


@pytest.mark.parametrize("name", ["json", "raise_for_status"])
def test_methods_set_on_the_instance_are_called(pc, name):
    response = read_response(b'{"a": 1}')
    seen = []
    original = getattr(response, name)
    setattr(response, name, lambda: seen.append(name) or original())
    assert new_client(pc)._handle_response(response, "x") == {"a": 1}
    assert seen == [name]


@pytest.mark.parametrize("name", ["text", "content"])
def test_properties_replaced_on_the_class_are_read(pc, monkeypatch, name):
    original = getattr(requests.models.Response, name)
    seen = []
    monkeypatch.setattr(requests.models.Response, name,
                        property(lambda self: seen.append(name) or original.fget(self)))
    assert new_client(pc)._handle_response(read_response(b'{"a": 1}'), "x") == {"a": 1}
    assert seen


def test_a_subclass_is_asked(pc):
    class Answer(requests.models.Response):
        def json(self, **kwargs):
            return {"from": "subclass"}

    response = Answer()
    response.__dict__.update(vars(read_response(b'{"a": 1}')))
    assert new_client(pc)._handle_response(response, "x") == {"from": "subclass"}


def test_rebound_complexjson_is_used(pc, monkeypatch):
    seen = []
    monkeypatch.setattr(requests.models, "complexjson",
                        types.SimpleNamespace(loads=lambda s, **kw: seen.append(s) or json.loads(s, **kw)))
    assert new_client(pc)._handle_response(read_response(b'{"a": 1}'), "x") == {"a": 1}
    assert seen == ['{"a": 1}']


def test_default_decoder_with_a_hook_is_followed(pc, monkeypatch):
    monkeypatch.setattr(json, "_default_decoder", json.JSONDecoder(object_hook=lambda d: sorted(d)))
    assert new_client(pc)._handle_response(read_response(b'{"b": 1, "a": 2}'), "x") == ["a", "b"]


def test_str_shadowed_in_requests_models_is_called(pc, monkeypatch):
    seen = []
    monkeypatch.setattr(requests.models, "str", lambda *a, **k: seen.append(a) or str(*a, **k), raising=False)
    assert new_client(pc)._handle_response(read_response(b'{"a": 1}'), "x") == {"a": 1}
    assert seen


def test_encoding_changed_while_the_body_is_logged_is_used_for_json(pc, monkeypatch):
    # A host's body sanitiser runs between reading the text and decoding it.
    client = new_client(pc, verbose=True)
    response = read_response('{"a": "é"}'.encode())
    original = client._sanitize_body_string_for_log

    def sanitize(body):
        response.encoding = "latin-1"
        return original(body)

    client._sanitize_body_string_for_log = sanitize
    assert client._handle_response(response, "x") == {"a": "Ã©"}
