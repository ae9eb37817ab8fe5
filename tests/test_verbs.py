"""The request verbs: what they send, which failures become PlatformError, and
how the network's bad answers end."""

from __future__ import annotations

import io
import json
import ssl
import sys
import time
import types

import pytest
from raw_server import RawServer
import requests
import trustme
from pytest_httpserver import HTTPServer
from werkzeug import Response

PATH = "/api/v1/engagement/7"
NETWORK_MESSAGE = "Ошибка сети после серии попыток."
TLS_MESSAGE = "Ошибка проверки TLS-сертификата."


@pytest.fixture(autouse=True)
def transport(monkeypatch, pc, no_sleep):
    monkeypatch.setattr(pc, "_REQUEST_RETRY_ATTEMPTS", 3)


@pytest.fixture
def spy(monkeypatch, pc, transport):
    """Records the calls the verbs make to the retry loop and classification."""
    calls = []
    for name in ("_request_with_retry", "_handle_response", "_files_payload_for_log"):
        original = getattr(pc.PlatformClient, name)

        def wrapper(self, *args, _original=original, _name=name, **kwargs):
            calls.append((_name, args, kwargs))
            return _original(self, *args, **kwargs)

        monkeypatch.setattr(pc.PlatformClient, name, wrapper)
    return calls


def calls_to(spy, name):
    return [(args, kwargs) for called, args, kwargs in spy if called == name]


@pytest.fixture
def served(httpserver, make_client):
    """A client of a loopback server that records each request and answers
    with the status in `served.status`."""
    served = types.SimpleNamespace(status=200, seen=[])

    def handle(request):
        served.seen.append({
            "method": request.method, "path": request.path, "args": dict(request.args),
            "form": dict(request.form), "json": request.get_json(silent=True),
            "content_type": request.headers.get("Content-Type"),
            "authorization": request.headers.get("Authorization"),
            "files": {name: (f.filename, f.content_type, f.read()) for name, f in request.files.items()},
        })
        return Response(json.dumps({"ok": True}), status=served.status, content_type="application/json")

    httpserver.expect_request(PATH).respond_with_handler(handle)
    served.client = make_client(platform_url=f"http://{httpserver.host}:{httpserver.port}")
    return served


VERB_CALLS = {
    "get": lambda c, ctx, path=PATH: c.get(path, {"q": "1"}, ctx),
    "post_json": lambda c, ctx, path=PATH: c.post_json(path, {"a": [1, 2]}, ctx, 6),
    "post_form": lambda c, ctx, path=PATH: c.post_form(path, {"a": "1"}, context=ctx, default_exit=7),
    "_post_form_response": lambda c, ctx, path=PATH: c._post_form_response(path, {"a": "1"}, ctx),
}


@pytest.mark.parametrize("verb, method, keywords, received", [
    ("get", "GET", ["params"], {"args": {"q": "1"}}),
    ("post_json", "POST", ["json"], {"json": {"a": [1, 2]}}),
    ("post_form", "POST",
     ["data", "files", "headers", "_log_payload", "_retry_request_kwargs_factory", "_log_url", "_log_label"],
     {"form": {"a": "1"}}),
    ("_post_form_response", "POST", ["data"], {"form": {"a": "1"}}),
])
@pytest.mark.parametrize("context", ["get engagement status", ""])
def test_request_sent_and_classified(served, spy, verb, method, keywords, received, context):
    result = VERB_CALLS[verb](served.client, context)

    [(args, kwargs)] = calls_to(spy, "_request_with_retry")
    assert args == (method, served.client.base_url + PATH) and list(kwargs) == keywords
    [seen] = served.seen
    assert seen["method"] == method and seen["authorization"] == served.client.token
    assert {key: seen[key] for key in received} == received

    classified = calls_to(spy, "_handle_response")
    if verb == "_post_form_response":
        assert isinstance(result, requests.Response) and result.status_code == 200 and classified == []
        return
    expected_kwargs = {} if verb == "get" else {"default_exit": {"post_json": 6, "post_form": 7}[verb]}
    [(args, kwargs)] = classified
    assert isinstance(args[0], requests.Response)
    assert args[1:] == (context or PATH,) and kwargs == expected_kwargs
    assert result == {"ok": True}


def test_post_form_response_returns_error_statuses(served):
    served.status = 409
    response = served.client._post_form_response(PATH, {"name": "g"}, "create group")
    assert response.status_code == 409 and response.json() == {"ok": True}


@pytest.mark.parametrize("verb", list(VERB_CALLS))
@pytest.mark.parametrize("context", ["create branch", ""])
def test_refused_connection(pc, make_client, refused_base_url, verb, context):
    client = make_client(platform_url=refused_base_url)
    with pytest.raises(pc.PlatformError) as caught:
        VERB_CALLS[verb](client, context)
    error = caught.value
    expected_context = context if verb == "_post_form_response" else (context or PATH)
    assert (error.message, error.exit_code, error.http_status, error.context) == (NETWORK_MESSAGE, 3, 0,
                                                                                 expected_context)
    assert isinstance(error.__cause__, requests.ConnectionError)
    assert str(error.__cause__).startswith("Ошибка сети после 3 попыток: ")
    assert error.__suppress_context__ and error.__context__ is error.__cause__


@pytest.mark.parametrize("base_url", ["platform.example", "http://", "ftp://platform.example"])
@pytest.mark.parametrize("verb", list(VERB_CALLS))
def test_platform_url_rejected_before_sending_is_a_configuration_error(pc, make_client, no_sleep, verb, base_url):
    """requests refuses these URLs with its own exceptions: every attempt would
    fail alike, so there is no retry and the exit code is the configuration's."""
    with pytest.raises(pc.PlatformError) as caught:
        VERB_CALLS[verb](make_client(platform_url=base_url), "ctx")
    assert caught.value.exit_code == 2 and caught.value.__cause__ is None
    assert no_sleep == []


@pytest.mark.parametrize("raised, message", [
    (requests.ConnectionError("down"), NETWORK_MESSAGE),
    (requests.exceptions.SSLError("bad certificate"), TLS_MESSAGE),
    (requests.ConnectTimeout("slow"), NETWORK_MESSAGE),
    (requests.ReadTimeout("slower"), NETWORK_MESSAGE),
    (requests.exceptions.ChunkedEncodingError("cut"), None),
    (requests.HTTPError("not a network failure"), None),
    (TypeError("bad argument"), None),
    (ValueError("bad value"), None),
])
@pytest.mark.parametrize("verb", list(VERB_CALLS))
def test_only_network_failures_become_platform_errors(pc, client, monkeypatch, verb, raised, message):
    def failing_request(self, method, url, **kwargs):
        raise raised

    monkeypatch.setattr(pc.PlatformClient, "_request_with_retry", failing_request)
    with pytest.raises(BaseException) as caught:
        VERB_CALLS[verb](client, "ctx")
    if message is None:
        assert caught.value is raised
    else:
        assert type(caught.value) is pc.PlatformError
        assert (caught.value.message, caught.value.exit_code) == (message, 3)
        assert caught.value.__cause__ is raised


@pytest.mark.parametrize("stage", ["_url", "_handle_response", "_prepare_post_form_kwargs"])
@pytest.mark.parametrize("raised", [requests.ConnectionError("x"), requests.ReadTimeout("y")])
def test_failures_outside_the_request_are_not_network_failures(pc, served, monkeypatch, stage, raised):
    def failing(self, *args, **kwargs):
        raise raised

    monkeypatch.setattr(pc.PlatformClient, stage, failing)
    verbs = ["post_form"] if stage == "_prepare_post_form_kwargs" else ["get", "post_json", "post_form"]
    for verb in verbs:
        with pytest.raises(type(raised)) as caught:
            VERB_CALLS[verb](served.client, "ctx")
        assert caught.value is raised


@pytest.mark.parametrize("replacement, expected", [
    (RuntimeError("broken"), RuntimeError), (None, TypeError), (KeyError, KeyError), ("raise", requests.ConnectionError),
], ids=["raises", "returns-none", "returns-a-class", "bare-raise"])
@pytest.mark.parametrize("verb", list(VERB_CALLS))
def test_host_network_error_is_raised_like_python_raise(pc, client, monkeypatch, verb, replacement, expected):
    """Whatever a host's _network_error gives back is raised as Python would. It runs inside the except
    clause: it sees the failure as the exception being handled, and a bare `raise` re-raises it unchanged."""
    down = requests.ConnectionError("down")
    handled = []

    def failing_request(self, method, url, **kwargs):
        raise down

    def network_error(self, error, context):
        handled.append(sys.exc_info()[1])
        if replacement == "raise":
            raise
        if isinstance(replacement, Exception):
            raise replacement
        return replacement

    monkeypatch.setattr(pc.PlatformClient, "_request_with_retry", failing_request)
    monkeypatch.setattr(pc.PlatformClient, "_network_error", network_error)
    with pytest.raises(expected) as caught:
        VERB_CALLS[verb](client, "ctx")
    assert handled == [down]
    if replacement == "raise":
        assert caught.value is down
    else:
        assert caught.value.__context__ is down
        assert caught.value.__cause__ is (down if expected is KeyError else None)


def test_post_form_log_payload(pc, served, spy):
    data = {"scan_type": "X", "count": 3}
    report = io.BytesIO(b"{}")
    served.client.post_form(PATH, data, {"file": ("r.json", report)})
    served.client.post_form(PATH, data)
    override = {"shown": "instead"}
    served.client.post_form(PATH, data, {"file": ("r.json", report)}, _log_payload_override=override)

    with_files, without_files, overridden = [kw["_log_payload"] for _, kw in calls_to(spy, "_request_with_retry")]
    [(args, _)] = calls_to(spy, "_files_payload_for_log")
    expected_files = pc.PlatformClient._files_payload_for_log(served.client, args[0])
    assert with_files == {"scan_type": "X", "count": 3, "files": expected_files}
    assert without_files == data and without_files is not data
    assert overridden is override
    assert data == {"scan_type": "X", "count": 3}


@pytest.mark.parametrize("data, error", [(5, TypeError), (["abc"], ValueError), ([("a", "1"), ("b", "2")], None)])
def test_post_form_data_conversion(served, data, error):
    if error is None:
        served.client.post_form(PATH, data)
        assert served.seen[0]["form"] == {"a": "1", "b": "2"}
        return
    with pytest.raises(error):
        served.client.post_form(PATH, data)
    assert served.seen == []


def python_unpack_message(value):
    try:
        _, _, _, _ = value
    except (TypeError, ValueError) as error:
        return type(error), str(error)
    raise AssertionError("unpacked")


@pytest.mark.parametrize("prepared", [(1, None, {}), (1, None, {}, None, 5), 42])
def test_post_form_unpacks_exactly_four_items(pc, served, monkeypatch, prepared):
    expected = python_unpack_message(prepared)
    monkeypatch.setattr(pc.PlatformClient, "_prepare_post_form_kwargs", lambda self, d, f, h: prepared)
    with pytest.raises((TypeError, ValueError)) as caught:
        served.client.post_form(PATH, {"a": "1"})
    assert (type(caught.value), str(caught.value)) == expected
    assert served.seen == []


# --- TLS --------------------------------------------------------------------

@pytest.fixture(scope="module")
def tls_authority():
    return trustme.CA()


@pytest.fixture
def tls_server(tls_authority):
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    tls_authority.issue_cert("127.0.0.1").configure_cert(context)
    server = HTTPServer(host="127.0.0.1", ssl_context=context)
    server.expect_request(PATH).respond_with_json({"secure": True})
    server.start()
    yield server
    server.clear()
    server.stop()


@pytest.mark.parametrize("trust", ["ca_bundle", "insecure"])
def test_tls_trusted_or_insecure(make_client, tls_server, tls_authority, tmp_path, trust):
    bundle = tmp_path / "ca.pem"
    tls_authority.cert_pem.write_to_path(str(bundle))
    settings = {"ca_bundle": str(bundle)} if trust == "ca_bundle" else {"insecure": True}
    client = make_client(platform_url=f"https://127.0.0.1:{tls_server.port}", **settings)
    assert client.get(PATH) == {"secure": True}


def test_tls_unknown_authority(pc, make_client, tls_server, tmp_path, no_sleep):
    other = tmp_path / "other-ca.pem"
    trustme.CA().cert_pem.write_to_path(str(other))
    client = make_client(platform_url=f"https://127.0.0.1:{tls_server.port}", ca_bundle=str(other))
    with pytest.raises(pc.PlatformError) as caught:
        client.get(PATH, context="get engagement status")
    error = caught.value
    assert (error.message, error.exit_code, error.context) == (TLS_MESSAGE, 3, "get engagement status")
    assert isinstance(error.__cause__, requests.exceptions.SSLError)
    assert no_sleep == [] and tls_server.log == []


# --- a server that misbehaves below HTTP ------------------------------------

RAW_ANSWERS = {
    "hangs up at once": b"",
    "hangs up mid-status-line": b"HTTP/1.1 20",
    "hangs up mid-body": b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 100\r\n\r\n{\"id\"",
    "sends garbage": b"\x00\xffnot http at all\r\n\r\n",
    "never answers": None,
}


@pytest.fixture
def raw_server():
    state = {"answer": None}
    server = RawServer(lambda number: state["answer"])
    state["url"] = server.url
    state["server"] = server
    yield state
    server.close()


@pytest.mark.parametrize("behaviour", list(RAW_ANSWERS))
def test_misbehaving_server_ends_in_network_error(pc, make_client, raw_server, no_sleep, behaviour):
    raw_server["answer"] = RAW_ANSWERS[behaviour]
    client = make_client(platform_url=raw_server["url"], timeout=0.3)
    started = time.monotonic()
    with pytest.raises(pc.PlatformError) as caught:
        client.get(PATH, context="get engagement status")
    elapsed = time.monotonic() - started
    assert (caught.value.message, caught.value.exit_code) == (NETWORK_MESSAGE, 3)
    assert isinstance(caught.value.__cause__, requests.ConnectionError)
    assert str(caught.value.__cause__).startswith("Ошибка сети после 3 попыток: ")
    assert raw_server["server"].connections == 3 and no_sleep == [10, 10]
    assert elapsed < 3 * 0.3 + 2


def test_headers_cut_short_are_a_response_without_json(make_client, raw_server):
    # The status line arrived, so this is an answer: an empty, non-JSON body.
    raw_server["answer"] = b"HTTP/1.1 200 OK\r\nContent-"
    client = make_client(platform_url=raw_server["url"], timeout=0.3)
    assert client.get(PATH) == {}
    assert raw_server["server"].connections == 1


@pytest.mark.parametrize("path", [123, None, b"/x"])
@pytest.mark.parametrize("verb", list(VERB_CALLS))
def test_a_path_that_is_not_text_is_refused_before_sending(pc, make_client, no_sleep, verb, path):
    with pytest.raises(pc.PlatformError) as caught:
        VERB_CALLS[verb](make_client(platform_url="http://127.0.0.1:9"), "ctx", path=path)
    assert caught.value.exit_code == 1 and no_sleep == []
    assert caught.value.message.startswith("Некорректный путь запроса: ожидается строка")
