"""Create-or-get of the run's entities and the engagement lookup."""

from __future__ import annotations

from urllib.parse import parse_qsl

import pytest

GROUP = "/api/v1/git/ci-cd/repository_group"
REPO = "/api/v1/git/ci-cd/repository"
BRANCH = "/api/v1/git/ci-cd/branch"
ENGAGEMENT = "/api/v1/git/ci-cd/engagement"
GROUPS_LIST = "/api/v1/git/ci-cd/repository_groups_agent"
EMPTY_SEARCH_BODY = "Пустой список или другой формат"


def received(httpserver):
    """(method, path, query, form fields in order) of every request the server got."""
    result = []
    for request, _ in httpserver.log:
        form = parse_qsl(request.get_data(as_text=True), keep_blank_values=True) if request.method == "POST" else None
        if form is not None:
            assert request.content_type == "application/x-www-form-urlencoded"
        result.append((request.method, request.path, request.query_string.decode(), form))
    return result


def logged(agent_log, level):
    return [r.getMessage() for r in agent_log.records if r.name == "quillon_agent" and r.levelname == level]


@pytest.mark.parametrize("answer, expected", [
    ({"id": 42}, "42"), ({"id": "b-1"}, "b-1"), ({"id": -1, "name": "x"}, "-1"),
])
def test_extract_response_id(client, agent_log, answer, expected):
    result = client._extract_response_id(answer, name="main", context="create branch", entity_label="ветки")
    assert result == expected and type(result) is str
    assert logged(agent_log, "DEBUG") == ["ID ветки: " + expected]


@pytest.mark.parametrize("answer", [
    {}, {"id": None}, {"id": 0}, {"id": ""}, {"id": False}, {"id": True}, {"id": {"value": 3}}, {"id": [3]},
    [{"id": 3}], "id", 3, None,
])
def test_extract_response_id_without_usable_id(client, pc, answer):
    client._last_curl = "curl -X POST https://p/branch"
    with pytest.raises(pc.PlatformError) as caught:
        client._extract_response_id(answer, name="main", context="create branch", entity_label="ветки")
    error = caught.value
    assert (error.message, error.exit_code, error.context) == ("Не удалось получить ID ветки 'main'", 5, "create branch")
    assert (error.curl, error.http_status, error.response_body) == ("curl -X POST https://p/branch", 0, None)


# method: (path, noun, created and found words, entity label, context)
ENTITIES = {
    "create_or_get_repository": (REPO, "Репозиторий", ("создан", "найден"), "репозитория", "create repository"),
    "create_or_get_branch": (BRANCH, "Ветка", ("создана", "найдена"), "ветки", "create branch"),
    "create_or_get_engagement": (ENGAGEMENT, "Сканирование", ("создано", "найдено"), "сканирования",
                                 "create engagement"),
}
UPSERTS = [
    ("create_or_get_repository", ("backend", "3", None), [("name", "backend"), ("repository_group_id", "3")]),
    ("create_or_get_repository", ("backend", 3, "https://git/x"),
     [("name", "backend"), ("repository_group_id", "3"), ("web_url", "https://git/x")]),
    ("create_or_get_branch", ("main", "7", ""), [("name", "main"), ("repository_id", "7")]),
    ("create_or_get_branch", ("main", "7", "https://git/t"),
     [("name", "main"), ("repository_id", "7"), ("web_url", "https://git/t")]),
    ("create_or_get_engagement", ("run-5", "11"), [("name", "run-5"), ("branch_id", "11"), ("description", "")]),
    ("create_or_get_engagement", ("run-5", "11", "nightly"),
     [("name", "run-5"), ("branch_id", "11"), ("description", "nightly")]),
]


@pytest.mark.parametrize("status", [201, 200, 202])
@pytest.mark.parametrize("method, args, form", UPSERTS)
def test_upsert(server_client, httpserver, agent_log, status, method, args, form):
    path, noun, words, label, _ = ENTITIES[method]
    httpserver.expect_request(path, method="POST").respond_with_json({"id": 7, "name": args[0]}, status=status)
    assert getattr(server_client, method)(*args) == "7"
    assert received(httpserver) == [("POST", path, "", form)]
    assert logged(agent_log, "INFO") == [f"{noun} '{args[0]}' {words[0] if status == 201 else words[1]}."]
    assert f"ID {label}: 7" in logged(agent_log, "DEBUG")


@pytest.mark.parametrize("method, args, form", UPSERTS[::2])
@pytest.mark.parametrize("body", [{"id": 0}, [{"id": 7}], {"id": True}])
def test_upsert_without_id(server_client, httpserver, agent_log, pc, body, method, args, form):
    path, noun, words, label, context = ENTITIES[method]
    httpserver.expect_request(path, method="POST").respond_with_json(body, status=201)
    with pytest.raises(pc.PlatformError) as caught:
        getattr(server_client, method)(*args)
    error = caught.value
    assert (error.message, error.exit_code) == (f"Не удалось получить ID {label} '{args[0]}'", 5)
    assert (error.context, error.http_status, error.response_body) == (context, 0, None)
    assert error.curl and error.curl == server_client._last_curl
    # the status line comes before the failure
    assert logged(agent_log, "INFO") == [f"{noun} '{args[0]}' {words[0]}."]


def test_upsert_http_failure_logs_no_status_line(server_client, httpserver, agent_log, pc):
    httpserver.expect_request(BRANCH).respond_with_json({"detail": "gone"}, status=404)
    with pytest.raises(pc.PlatformError) as caught:
        server_client.create_or_get_branch("main", "7", None)
    assert (caught.value.exit_code, caught.value.context) == (5, "create branch")
    assert logged(agent_log, "INFO") == []


@pytest.mark.parametrize("web_url, form", [
    (None, [("name", "team")]), ("", [("name", "team")]),
    ("https://git/team", [("name", "team"), ("web_url", "https://git/team")]),
])
def test_group_with_id_in_answer(server_client, httpserver, agent_log, web_url, form):
    httpserver.expect_request(GROUP, method="POST").respond_with_json({"id": 12}, status=201)
    assert server_client.create_or_get_group("team", web_url) == "12"
    assert received(httpserver) == [("POST", GROUP, "", form)]
    assert logged(agent_log, "INFO") == ["Группа репозитория 'team' создана."]
    assert logged(agent_log, "DEBUG")[-1] == "ID группы (из ответа): 12"


@pytest.mark.parametrize("answer", [{}, {"id": 0}, {"id": {"x": 1}}, [{"id": 12}]])
def test_group_id_recovered_by_search(server_client, httpserver, agent_log, answer):
    httpserver.expect_request(GROUP, method="POST").respond_with_json(answer, status=200)
    httpserver.expect_request(GROUPS_LIST, method="GET").respond_with_json({"repository_groups": [
        {"name": "team", "integration_type": "manual", "id": 5},
        {"name": "team", "web_url": "https://git/team", "integration_type": "API", "id": 9},
        {"name": "team", "web_url": "https://git/team", "integration_type": "api", "id": 10},
    ]})
    assert server_client.create_or_get_group("team", "https://git/team/") == "9"
    assert received(httpserver) == [
        ("POST", GROUP, "", [("name", "team"), ("web_url", "https://git/team/")]),
        ("GET", GROUPS_LIST, "search=team", None),
    ]
    assert logged(agent_log, "INFO") == ["Группа репозитория 'team' найдена."]
    debug = logged(agent_log, "DEBUG")
    assert "Получение ID группы 'team' через поиск..." in debug and debug[-1] == "ID группы: 9"


@pytest.mark.parametrize("search_result, expected", [
    ([{"id": 5, "integration_type": "manual"}, {"id": 9, "integration_type": "API"}], "9"),
    (["junk", {"id": 4, "integration_type": None}, {"id": 8, "integration_type": "Api"}], "8"),
    ([{"id": 5}], None),
    ([{"integration_type": "api"}, {"id": 9, "integration_type": "api"}], None),
    ([{"id": True, "integration_type": "api"}], None),
    ([], None),
])
def test_group_search_fallback_selection(server_client, httpserver, pc, monkeypatch, search_result, expected):
    calls = []

    def find_groups(self, *args, **kwargs):
        calls.append((args, kwargs))
        self._last_curl = "curl search"
        return search_result

    monkeypatch.setattr(pc.PlatformClient, "find_groups", find_groups)
    httpserver.expect_request(GROUP, method="POST").respond_with_json({})
    if expected is not None:
        assert server_client.create_or_get_group("team", None) == expected
    else:
        with pytest.raises(pc.PlatformError) as caught:
            server_client.create_or_get_group("team", None)
        error = caught.value
        assert (error.message, error.exit_code) == ("Не удалось получить ID группы 'team'", 5)
        assert (error.context, error.curl) == ("find group after create", "curl search")
        assert error.response_body == (
            server_client._format_payload_for_log(search_result) if search_result else EMPTY_SEARCH_BODY)
    assert calls == [(("team", None), {"integration_type": "API"})]


def test_get_engagement_id(server_client, httpserver, agent_log, pc):
    httpserver.expect_ordered_request(ENGAGEMENT, method="GET").respond_with_json({"id": 31})
    httpserver.expect_ordered_request(ENGAGEMENT, method="GET").respond_with_json([{"id": 31}])
    httpserver.expect_ordered_request(ENGAGEMENT, method="GET").respond_with_json({}, status=404)
    assert server_client.get_engagement_id("run-5", 11) == "31"
    with pytest.raises(pc.PlatformError) as missing:
        server_client.get_engagement_id("run-5", 11)
    with pytest.raises(pc.PlatformError) as failed:
        server_client.get_engagement_id("run-5", 11)
    assert received(httpserver) == [("GET", ENGAGEMENT, "name=run-5&branch_id=11", None)] * 3
    assert (missing.value.message, missing.value.exit_code, missing.value.context) == (
        "Не удалось получить ID сканирования 'run-5'", 5, "get engagement id")
    assert (failed.value.exit_code, failed.value.context) == (5, "get engagement id 'run-5' for branch 11")
    assert logged(agent_log, "INFO") == []

