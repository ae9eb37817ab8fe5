"""Reading a scan's status by identifier, and waiting until the platform has created it."""

from __future__ import annotations

import logging
import time
import types

import pytest
from werkzeug import Response

STATUS_PATH = "/api/v1/engagement/"
AMBIGUOUS_BODY = '{"detail": "Найдено несколько сканирований, уточните запрос"}'


@pytest.mark.parametrize("args, expected", [
    ((None, None, None, None, None, None), []),
    (("main", "repo", "grp", "https://git/g", "7", "API"),
     [("branch_name", "main"), ("repository_name", "repo"), ("repository_group_name", "grp"),
      ("repository_group_url", "https://git/g"), ("repository_group_id", "7"), ("integration_type", "API")]),
    ((None, None, None, "https://git/g", None, None), [("repository_group_url", "https://git/g")]),
    ((None, None, None, "https://git/g", None, "manual"), [("integration_type", "manual")]),
    ((None, None, None, "https://git/g", None, "MaNuAl"), [("integration_type", "MaNuAl")]),
    ((None, None, None, "https://git/g", None, "manual-ish"),
     [("repository_group_url", "https://git/g"), ("integration_type", "manual-ish")]),
    (("", "", "", "", "", ""), []),
    ((None, None, None, None, 0, None), []),
    ((None, None, None, None, 5, None), [("repository_group_id", 5)]),
])
def test_status_query_parameters(client, args, expected):
    assert list(client._build_engagement_status_params(*args).items()) == expected


@pytest.mark.parametrize("identifier", ["abc", "abcd", "", "abcde\n", "12345/../groups", "12345?x=1", "12345#f",
                                        "abc 12345", ".....", "ab%2Fcd"])
def test_rejected_identifier_is_exit_1_without_a_request(client, pc, monkeypatch, identifier):
    sent = []
    monkeypatch.setattr(pc.PlatformClient, "get", lambda self, *a, **k: sent.append((a, k)))
    with pytest.raises(pc.PlatformError) as caught:
        client.get_engagement_status(identifier)
    error = caught.value
    assert error.message == "Некорректный идентификатор скана: минимум 5 символов. Получено: " + repr(identifier)
    assert (error.exit_code, error.http_status, error.context) == (1, 0, None)
    assert sent == []


@pytest.mark.parametrize("filters, query", [
    ({}, b""),
    ({"branch_name": "main", "integration_type": "API"}, b"branch_name=main&integration_type=API"),
    ({"group_url": "https://git.example/g", "integration_type": "Manual", "group_id": "3"},
     b"repository_group_id=3&integration_type=Manual"),
    ({"group_url": "https://git.example/g", "repository_name": "svc", "group_name": "команда"},
     b"repository_name=svc&repository_group_name=%D0%BA%D0%BE%D0%BC%D0%B0%D0%BD%D0%B4%D0%B0"
     b"&repository_group_url=https%3A%2F%2Fgit.example%2Fg"),
])
def test_status_request_end_to_end(httpserver, server_client, filters, query):
    seen = []

    def handler(request):
        seen.append((request.path, request.query_string))
        return Response('{"id": 3, "status": "done"}', content_type="application/json")

    httpserver.expect_request(STATUS_PATH + "abc12").respond_with_handler(handler)
    assert server_client.get_engagement_status("abc12", **filters) == {"id": 3, "status": "done"}
    assert seen == [(STATUS_PATH + "abc12", query)]


@pytest.mark.parametrize("repository_name, branch_name, where", [
    (None, None, "репозиторий ?, ветка ?"),
    ("svc", "", "репозиторий svc, ветка ?"),
    ("svc", "main", "репозиторий svc, ветка main"),
])
def test_ambiguous_answer_names_the_options_to_change(httpserver, server_client, pc, repository_name, branch_name,
                                                       where):
    httpserver.expect_request(STATUS_PATH + "abc12345").respond_with_data(
        AMBIGUOUS_BODY, status=400, content_type="application/json")
    with pytest.raises(pc.PlatformError) as caught:
        server_client.get_engagement_status("abc12345", repository_name=repository_name, branch_name=branch_name)
    error = caught.value
    assert error.message == f"Найдено несколько сканирований для abc12345: {where}. Замените --group или --source-url."
    assert (error.exit_code, error.http_status, error.context, error.curl, error.response_body) == (
        1, 0, "engagement status resolution", None, None)
    assert error.__cause__ is None and error.__suppress_context__


def test_other_lookup_failures_pass_through(httpserver, server_client, pc):
    # 400 and 404 answers of other kinds: test_malformed_answers.py.
    httpserver.expect_request(STATUS_PATH + "abc12").respond_with_data('{"detail": "no token"}', status=401,
                                                                       content_type="application/json")
    with pytest.raises(pc.PlatformError) as caught:
        server_client.get_engagement_status("abc12")
    assert (caught.value.exit_code, caught.value.http_status, caught.value.context) == (
        2, 401, "get engagement status")


# --- waiting ----------------------------------------------------------------

@pytest.fixture
def clock(monkeypatch):
    """A fake monotonic clock on the real time module; sleeping advances it.

    The waiting method imports time itself, so the module's own `time`
    global is not what it uses. Nothing the loopback server does sleeps."""
    state = types.SimpleNamespace(now=1000.0, pauses=[])

    def sleep(seconds):
        state.pauses.append(seconds)
        state.now += seconds

    monkeypatch.setattr(time, "monotonic", lambda: state.now)
    monkeypatch.setattr(time, "sleep", sleep)
    return state


def scripted_status_server(httpserver, answers, clock=None, request_seconds=0.0):
    """Serves the status path with the given (status, body) answers in turn,
    the last one repeating; each request may cost fake time."""
    seen = []

    def handler(request):
        seen.append(request.query_string)
        if clock is not None:
            clock.now += request_seconds
        status, body = answers[min(len(seen), len(answers)) - 1]
        return Response(body, status=status, content_type="application/json")

    httpserver.expect_request(STATUS_PATH + "1a2b3c4d5e6f").respond_with_handler(handler)
    return seen


NOT_YET = (404, '{"detail": "not found"}')
READY = (200, '{"id": 77, "status": "created"}')


def progress_lines(agent_log):
    return [r.getMessage() for r in agent_log.records if r.name == "quillon_agent" and r.levelno == logging.INFO]


def line(attempt, total, wait):
    return f"Попытка {attempt}/{total} | Сканирование ещё не создано, следующая проверка через {wait}..."


def test_wait_returns_scan_created_by_third_check(httpserver, server_client, clock, agent_log):
    seen = scripted_status_server(httpserver, [NOT_YET, NOT_YET, READY])
    result = server_client.wait_for_engagement("1a2b3c4d5e6f", branch_name="main", integration_type="API")
    assert result == {"id": 77, "status": "created"}
    assert seen == [b"branch_name=main&integration_type=API"] * 3
    assert clock.pauses == [300, 300]
    assert progress_lines(agent_log) == [line("01", 14, "5 мин"), line("02", 14, "5 мин")]


@pytest.mark.parametrize("interval, timeout, request_seconds, checks, pauses, waits, minutes", [
    (30, 100, 0, 3, [30, 30, 30], ["30 сек"] * 3, 1),
    (300, 10, 0, 1, [300], ["5 мин"], 5),
    (0, 3, 0, 3, [1, 1, 1], ["1 сек"] * 3, 0),
    ("60", 59.9, 0, 1, [60], ["1 мин"], 1),
    # slow checks eat the budget: the second pause is cut to the 99.4 s left
    (300, 600, 100.3, 2, [300, 99.4], ["5 мин", "1 мин"], 10),
    (300, 300, 0.3, 1, [299.7], ["4 мин"], 5),
    (300, 300, 240.1, 1, [59.9], ["59 сек"], 5),
    # the deadline has passed when the first of three checks returns: no pause
    (100, 300, 301, 3, [], [], 5),
])
def test_wait_gives_up(httpserver, server_client, pc, clock, agent_log, interval, timeout, request_seconds, checks,
                       pauses, waits, minutes):
    seen = scripted_status_server(httpserver, [NOT_YET], clock, request_seconds)
    with pytest.raises(pc.PlatformError) as caught:
        server_client.wait_for_engagement("1a2b3c4d5e6f", interval=interval, timeout=timeout)
    error = caught.value
    assert error.message == (f"Сканирование не появилось за {minutes} мин. "
                             "Убедитесь, что платформа обрабатывает коммит 1a2b3c4d.")
    assert (error.exit_code, error.http_status, error.context) == (8, 0, None)
    assert len(seen) == max(1, len(pauses)) and clock.pauses == pytest.approx(pauses)
    assert progress_lines(agent_log) == [line(f"{n:02d}", checks, w) for n, w in enumerate(waits, 1)]


def test_wait_attempt_numbers_past_99_print_in_full(httpserver, server_client, pc, clock, agent_log):
    scripted_status_server(httpserver, [NOT_YET])
    with pytest.raises(pc.PlatformError):
        server_client.wait_for_engagement("1a2b3c4d5e6f", interval=1, timeout=101)
    lines = progress_lines(agent_log)
    assert (lines[8], lines[99], lines[100]) == (line("09", 101, "1 сек"), line("100", 101, "1 сек"),
                                                 line("101", 101, "1 сек"))


@pytest.mark.parametrize("answer, exit_code", [
    ((401, '{"detail": "no"}'), 2),
    ((400, AMBIGUOUS_BODY), 1),
    ((409, '{"detail": "conflict"}'), 5),
])
def test_wait_raises_other_failures_at_once(httpserver, server_client, pc, clock, agent_log, answer, exit_code):
    seen = scripted_status_server(httpserver, [answer])
    with pytest.raises(pc.PlatformError) as caught:
        server_client.wait_for_engagement("1a2b3c4d5e6f")
    assert caught.value.exit_code == exit_code
    assert len(seen) == 1 and clock.pauses == [] and progress_lines(agent_log) == []


@pytest.mark.parametrize("kwargs, error", [({"interval": "soon"}, ValueError), ({"timeout": None}, TypeError)])
def test_wait_rejects_unconvertible_quantities_before_any_request(client, pc, monkeypatch, clock, kwargs, error):
    monkeypatch.setattr(pc.PlatformClient, "get_engagement_status", lambda *a, **k: pytest.fail("checked"))
    with pytest.raises(error):
        client.wait_for_engagement("1a2b3c4d5e6f", **kwargs)


def test_wait_goes_through_an_overridden_lookup(client, pc, monkeypatch, clock):
    calls = []

    def lookup(self, commit_sha, **filters):
        calls.append((commit_sha, filters))
        if len(calls) < 2:
            raise pc.PlatformError("Ресурс не найден", 5, http_status=404)
        return {"id": 1}

    monkeypatch.setattr(pc.PlatformClient, "get_engagement_status", lookup)
    assert client.wait_for_engagement("abcdef", group_url="u", group_id="9", interval=10, timeout=20) == {"id": 1}
    assert calls == [("abcdef", {"branch_name": None, "repository_name": None, "group_name": None,
                                 "group_url": "u", "group_id": "9", "integration_type": None})] * 2
    assert clock.pauses == [10]


@pytest.mark.parametrize("interrupt", [True, False])
def test_wait_failures_while_handling_not_found_chain_onto_it(client, pc, monkeypatch, clock, interrupt):
    not_found = pc.PlatformError("Ресурс не найден", 5, http_status=404)

    def lookup(self, commit_sha, **filters):
        clock.now += 50  # the second check finds the deadline passed
        raise not_found

    def interrupted(seconds):
        raise KeyboardInterrupt

    monkeypatch.setattr(pc.PlatformClient, "get_engagement_status", lookup)
    if interrupt:
        monkeypatch.setattr(time, "sleep", interrupted)
    with pytest.raises(KeyboardInterrupt if interrupt else pc.PlatformError) as caught:
        client.wait_for_engagement("abcdef", interval=30, timeout=90)
    assert caught.value.__context__ is not_found
    assert caught.value.__cause__ is None and not caught.value.__suppress_context__
