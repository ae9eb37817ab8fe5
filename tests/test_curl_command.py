"""The debug curl command: method, masked URL, two headers, a short body."""

from __future__ import annotations

import sys
import types
from urllib.parse import quote

import pytest
import requests
from hypothesis import assume, given, settings
from hypothesis import strategies as st
from support import TOKEN, new_client
from token_strategies import tokens

MULTIPART = "-F '...'  # multipart data"


def prepared(method="POST", url="http://h/p", headers=None, **kwargs):
    return requests.Request(method, url, headers=headers, **kwargs).prepare()


def test_json_post_through_the_session(client):
    request = client._session.prepare_request(requests.Request(
        "POST", f"https://h/api/v1?x=1&token={TOKEN}", json={"password": "p", "a": 1}))
    assert client._curl_command(request) == (
        "curl -X POST 'https://h/api/v1?x=1&token=%2A%2A%2A' -H 'Authorization: ***' "
        "-H 'Content-Type: application/json' -d '{\"password\": \"***\", \"a\": 1}'")


def test_get_without_body_ends_after_the_headers(client):
    request = client._session.prepare_request(requests.Request("GET", "http://h/api/v1/engagement/abc"))
    assert client._curl_command(request) == "curl -X GET http://h/api/v1/engagement/abc -H 'Authorization: ***'"


@pytest.mark.parametrize("headers, words", [
    ({"AUTHORIZATION": "a", "Proxy-Authorization": "b", "User-Agent": "c"}, "-H 'AUTHORIZATION: ***'"),
    ({"authorization": "", "Accept": "x"}, "-H 'authorization: ***'"),
    ({"Content-Type": "text/plain", "Authorization": TOKEN}, "-H 'Content-Type: text/plain' -H 'Authorization: ***'"),
    ({"content-type": "text/plain", "Content-Length": "0"}, "-H 'content-type: text/plain'"),
    ({"Content-Type": f"text/plain; tag={TOKEN}"}, "-H 'Content-Type: text/plain; tag=***'"),
    ({"X-Authorization": "x", "Content-Type-X": "y"}, ""),
])
def test_kept_headers_in_request_order(client, headers, words):
    assert client._curl_command(prepared("GET", headers=headers)) == f"curl -X GET http://h/p {words}".rstrip()


@pytest.mark.parametrize("content_type", [
    "multipart/form-data; boundary=xyz", "Multipart/Form-Data; Boundary=ABC", "x-multipart/form-data-ish",
])
def test_multipart_body_is_never_rendered(client, content_type):
    request = prepared(headers={"Content-Type": content_type}, data="short text")
    assert client._curl_command(request).endswith(f"'Content-Type: {content_type}' {MULTIPART}")


@pytest.mark.parametrize("body, word", [
    ("x" * 999, "-d " + "x" * 999),
    ("x" * 1000, None),
    ("я" * 999, "-d " + "'" + "я" * 999 + "'"),  # characters, not bytes
    (("я" * 999).encode(), "-d " + "'" + "я" * 999 + "'"),
    ("a=1&password=p", "-d 'a=1&password=%2A%2A%2A'"),
    ("it's", "-d 'it'\"'\"'s'"),
    (b'{"password": 1}', "-d '{\"password\": \"***\"}'"),
    (b"\xff\xfe", None),
    (b"", None),
    ("", None),
    (None, None),
])
def test_body_word(client, body, word):
    request = prepared(headers={"Content-Type": "text/plain"})
    request.body = body
    expected = "curl -X POST http://h/p -H 'Content-Type: text/plain'"
    assert client._curl_command(request) == (f"{expected} {word}" if word else expected)


def test_streaming_body_is_not_read(client):
    def chunks():
        raise AssertionError("read")
        yield b""

    request = prepared(data=chunks())
    assert client._curl_command(request) == "curl -X POST http://h/p"


def test_url_is_quoted_when_unsafe(client):
    request = prepared("GET", f"https://user:pw@h/p/{TOKEN}?api_key=k&q=it%27s#frag")
    # requests turns the URL's user information into a Basic Authorization header
    assert client._curl_command(request) == (
        "curl -X GET 'https://***@h/p/***?api_key=%2A%2A%2A&q=it%27s#frag' -H 'Authorization: ***'")


def test_failing_body_step_is_left_out_but_interrupts_are_not(pc):
    client = new_client(pc)
    request = prepared(headers={"Content-Type": "text/plain"}, data="body")

    def fail(body):
        raise ValueError(body)

    client._sanitize_body_string_for_log = fail
    assert client._curl_command(request) == "curl -X POST http://h/p -H 'Content-Type: text/plain'"

    def interrupt(body):
        raise KeyboardInterrupt

    client._sanitize_body_string_for_log = interrupt
    with pytest.raises(KeyboardInterrupt):
        client._curl_command(request)


def test_shlex_is_imported_at_each_call(client, monkeypatch):
    fake = types.ModuleType("shlex")
    fake.quote = lambda text: f"<{text}>"
    monkeypatch.setitem(sys.modules, "shlex", fake)
    request = prepared(headers={"Content-Type": "text/plain"}, data="a")
    assert client._curl_command(request) == "curl -X POST <http://h/p> -H <Content-Type: text/plain> -d <a>"


# --- the token never reaches the command ------------------------------------------



@settings(max_examples=200, deadline=None)
@given(st.data())
def test_token_never_in_the_command(pc, data):
    token = data.draw(tokens, label="token")
    # A token that is part of the command's own words ("Authorization") is
    # no secret the command could give away.
    assume(token not in "curl -X POST -H 'Authorization: ***' -H 'Content-Type: -d -F '...'  # multipart data")
    client = new_client(pc, token=token)
    text = st.lists(st.sampled_from([token, token, "x", "/", "&", "=", "+", "%", "'", " ", "ё"]),
                    max_size=6).map("".join)
    segment = text.map(lambda t: quote(t, safe=""))
    url = data.draw(st.builds("https://{}@h/{}?{}={}&k={}#{}".format, segment, segment, segment, segment, text,
                              segment), label="url")
    content_type = data.draw(st.sampled_from(["application/json", "application/x-www-form-urlencoded",
                                              "text/plain", "multipart/form-data; boundary=b"]), label="type")
    body = data.draw(st.one_of(text, text.map(str.encode), st.builds("{}={}&{}={}".format, text, text, text, text),
                               st.builds('{{"{}": "{}"}}'.format, text, text)), label="body")
    request = prepared(url=url, headers={"Authorization": token, "Content-Type": content_type})
    request.body = body
    assert token not in client._curl_command(request)
