"""Classifying final responses: errors by status, HTML pages, JSON bodies."""

from __future__ import annotations

import logging
import re
import sys

import pytest
import requests
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

TOKEN = "tok-SECRET-1234567890"
AUTH = "Ошибка авторизации: неверный API-токен или недостаточно прав."
NOT_FOUND = "Ресурс не найден (проверьте имя группы, репозитория и ветки)."
HTML = "Ошибка API: сервер вернул HTML вместо JSON. Проверьте эндпоинт."
CURL = "curl -X GET http://h/x"


@pytest.fixture
def answer(httpserver):
    def answer(status, body, content_type="application/json"):
        httpserver.clear()
        httpserver.expect_request("/x").respond_with_data(body, status=status, content_type=content_type)
        return requests.get(httpserver.url_for("/x"), allow_redirects=False)

    return answer


LONG_BODY = ("secret " + TOKEN + " ") * 60  # 1,680 characters, token inside


@pytest.mark.parametrize("status, context, body, default_exit, expected", [
    (401, "create group", "no", 6, (AUTH, 2, 401, CURL, None)),
    (403, "create group", "no", None, (AUTH, 2, 403, CURL, None)),
    (404, "get engagement status", "missing", 6, (NOT_FOUND, 6, 404, CURL, None)),
    (404, "get engagement status", "missing", None, (NOT_FOUND, 5, 404, CURL, None)),
    (400, "get engagement status", "Найдено несколько сканирований", 6,
     ("__ambiguous_engagement__", 1, 400, None, None)),
    (400, "get engagement status", "bad sha", 6, ("Ошибка API", 6, 400, CURL, "bad sha")),
    (400, "submit scan", "Найдено несколько сканирований", 7,
     ("Ошибка API", 7, 400, CURL, "Найдено несколько сканирований")),
    (400, "create group", "taken", None,
     ("Ошибка API, попробуйте сменить название группы репозиториев", 5, 400, CURL, "taken")),
    (409, "create group", "taken", None, ("Ошибка API", 5, 409, CURL, "taken")),
    (503, "upload sarif", LONG_BODY, 6, ("Ошибка API", 6, 503, CURL, LONG_BODY.replace(TOKEN, "***")[:500])),
])
def test_error_statuses(pc, client, answer, status, context, body, default_exit, expected):
    client._last_curl = CURL
    resp = answer(status, body)
    args = (resp, context) if default_exit is None else (resp, context, default_exit)
    with pytest.raises(pc.PlatformError) as caught:
        client._handle_response(*args)
    error = caught.value
    assert (error.message, error.exit_code, error.http_status, error.curl, error.response_body) == expected
    assert error.context == context
    assert isinstance(error.__context__, requests.HTTPError)
    assert error.__cause__ is None and not error.__suppress_context__


@pytest.mark.parametrize("body", [
    "  \n\t<!DOCTYPE html><p>maintenance</p>",
    "<HTML><body>proxy</body></HTML>",
    '{"note": "<html>"}',
    "<h1>x</h1><Html>" + TOKEN,
    "<!doctype html><html lang='en'><body>login</body></html>",
    "  \n<!DOCTYPE HTML>\n<title>x</title>",
    "<p>proxy</p><HTML\tdata-x=1>",
    "<html>",
])
def test_html_page_where_json_was_expected(pc, client, answer, body):
    client._last_curl = CURL
    with pytest.raises(pc.PlatformError) as caught:
        client._handle_response(answer(200, body, "text/html"), "create repository", 6)
    error = caught.value
    assert (error.message, error.exit_code, error.http_status, error.context, error.curl) == (
        HTML, 6, 200, "create repository", None)
    if "=" not in body:  # one with "=" is shown as a masked form
        assert error.response_body == body.replace(TOKEN, "***")[:500]


@pytest.mark.parametrize("status, body, result", [
    (200, "<!doctype htm><p>no tag</p>", {}),
    (200, "<!doctype htm", {}),
    (200, "<htmlish>", {}),
    (200, '"<!doctype html><html lang=en>"', "<!doctype html><html lang=en>"),  # JSON text, not a page
    # Undecodable, empty, list and deeply nested bodies with status 200: test_malformed_answers.py.
    (201, "", {}),
    (204, "", {}),
    (201, '{"id": 7, "name": "g"}', {"id": 7, "name": "g"}),
])
@pytest.mark.parametrize("verbose", [False, True])
def test_decoded_bodies(make_client, answer, status, body, result, verbose):
    client = make_client(verbose=verbose)
    decoded = client._handle_response(answer(status, body), "create engagement")
    assert decoded == result
    assert type(decoded) is type(result)


def test_verbose_response_body_line(make_client, answer, agent_log):
    client = make_client(verbose=True)
    client._parse_json_response(answer(200, "x" * 700), "create group", 5)
    lines = [r.getMessage() for r in agent_log.records if r.name == "quillon_agent"]
    assert lines == ["[HTTP] Response body: " + "x" * 500 + "..."]
    assert agent_log.records[-1].levelno == logging.DEBUG


class BodyOnly:
    """A response that has a body but cannot decode it."""

    status_code = 200

    def __init__(self, text):
        self.text = text

    def json(self):
        raise ValueError("not decoded")


PIECES = ["<html>", "<HtMl>", "<!DOCTYPE", "<!doctype", "<htm", "l>", "<", "H", ">", " ", "\t\n", "\x85",
          "\u3000", "İ", "ｈ", "x"]


@settings(suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(st.sampled_from(PIECES), max_size=8).map("".join))
def test_html_test_matches_its_definition(pc, client, body):
    client._sanitize_body_string_for_log = lambda text: text
    is_html = body.lstrip().startswith("<!DOCTYPE") or "<html>" in body.lower()
    try:
        result = client._parse_json_response(BodyOnly(body), "create group", 5)
    except pc.PlatformError as error:
        assert is_html and error.message == HTML
    else:
        assert not is_html and result == {}


def test_threads_sharing_a_client_get_the_curl_of_their_own_request(httpserver, make_client, pc):
    import threading

    httpserver.expect_request(re.compile("/x/.*")).respond_with_data("missing", status=404)
    client = make_client(platform_url=httpserver.url_for("").rstrip("/"), verbose=True)
    mismatched = []

    def worker(n):
        for i in range(40):
            path = f"/x/{n}-{i}"
            try:
                client.get(path)
            except pc.PlatformError as error:
                if path not in (error.curl or ""):
                    mismatched.append((path, error.curl))

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(6)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads often, as a loaded machine would
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert mismatched == []
