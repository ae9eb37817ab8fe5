"""Repository group search with its matching rules, and repository details."""

from __future__ import annotations

import pytest

GROUPS_PATH = "/api/v1/git/ci-cd/repository_groups_agent"
DETAIL_PATH = "/api/v1/git/ci-cd/repository_agent"
TOKEN_MESSAGE = ("API-токен не имеет доступа к деталям репозитория. "
                 "Убедитесь, что токен выдан с правами на просмотр репозиториев.")
MISSING_ARGS_MESSAGE = "Для поиска репозитория нужен repository_id или repository_name вместе с repository_group_id."


def sent(httpserver):
    """(path, query string) of every request the server received."""
    return [(request.path, request.query_string.decode()) for request, _ in httpserver.log]


G = {"name": "g"}
G_UPPER = {"name": "G"}
G_API = {"name": "g", "integration_type": "api", "id": 1}
G_TEAM = {"name": "g", "web_url": "https://git.example/team/", "integration_type": "gitlab"}
G_TEAM_NOSLASH = {"name": "g", "web_url": "https://git.example/team"}
G_OTHER = {"name": "g", "web_url": "https://git.example/other", "integration_type": "manual"}
G_MANUAL = {"name": "g", "integration_type": "Manual"}
G_MANUAL_EMPTY_URL = {"name": "g", "web_url": "///", "integration_type": "MANUAL"}
G_NULL_TYPE = {"name": "g", "integration_type": None}
G_NUMBER_TYPE = {"name": "g", "integration_type": 7}
G_ODD_URL_MANUAL = {"name": "g", "web_url": {"href": "https://git.example/team"}, "integration_type": "manual"}


@pytest.mark.parametrize("groups, name, web_url, integration_type, expected", [
    ([G, G_UPPER], "g", None, None, [G]),
    ([G_API, G], "g", None, "API", [G_API]),
    ([G_NULL_TYPE, G_NUMBER_TYPE, G_API], "g", None, "api", [G_API]),
    ([G_NULL_TYPE, G], "g", None, "", [G_NULL_TYPE, G]),
    # trailing slashes ignored on both sides
    ([G_TEAM, G_TEAM_NOSLASH], "g", "https://git.example/team//", None, [G_TEAM, G_TEAM_NOSLASH]),
    # ancestor path, but only at a "/" boundary
    ([G_TEAM], "g", "https://git.example/team/sub/repo", None, [G_TEAM]),
    ([G_TEAM], "g", "https://git.example/teamwork", None, []),
    ([G_TEAM], "g", "HTTPS://git.example/team", None, []),
    # manual groups without a URL are the fallback, URL matches win
    ([G_OTHER, G_MANUAL], "g", "https://git.example/team", None, [G_MANUAL]),
    ([G_MANUAL, G_MANUAL_EMPTY_URL, G_TEAM], "g", "https://git.example/team", None, [G_TEAM]),
    ([G_MANUAL_EMPTY_URL], "g", "https://git.example/x", None, [G_MANUAL_EMPTY_URL]),
    ([G_OTHER, G_API], "g", "https://git.example/team", None, []),
    ([G_TEAM, G_OTHER], "g", "", None, [G_TEAM, G_OTHER]),
    # malformed records and members never fail the search
    (["g", None, 3, ["g"], {"name": ["g"]}, {"name": None}, {"id": 2}, G], "g", None, None, [G]),
    ([G_NULL_TYPE, G_NUMBER_TYPE], "g", "https://git.example/team", None, []),
    ([G_ODD_URL_MANUAL], "g", "https://git.example/team", None, [G_ODD_URL_MANUAL]),
    ([G_NULL_TYPE, G_MANUAL], "g", "https://git.example/team", "manual", [G_MANUAL]),
])
def test_filter_groups(client, groups, name, web_url, integration_type, expected):
    result = client._filter_groups(groups, name=name, web_url=web_url, integration_type=integration_type)
    assert result == expected
    # the platform's own records come back, not copies
    assert all(any(r is g for g in groups) for r in result)


def test_find_groups_request_and_result(server_client, httpserver):
    records = [G_TEAM, G_MANUAL, {"name": "g2"}]
    httpserver.expect_request(GROUPS_PATH, method="GET").respond_with_json({"repository_groups": records})
    # the unused identification parameters do not reach the request
    result = server_client.find_groups("g", "https://git.example/team/repo", "repo", "main", "eng", None, True)
    assert result == [G_TEAM]
    assert sent(httpserver) == [(GROUPS_PATH, "search=g")]


# Lists, strings, numbers, null, text and empty bodies as a whole answer: test_malformed_answers.py.
@pytest.mark.parametrize("body", [
    "{}", '{"repository_groups": null}', '{"repository_groups": "g"}', '{"repository_groups": 5}',
    '{"repository_groups": {"name": "g"}}',
])
def test_find_groups_odd_answers_hold_no_groups(server_client, httpserver, body):
    httpserver.expect_request(GROUPS_PATH).respond_with_data(body, content_type="application/json")
    assert server_client.find_groups("g") == []


@pytest.mark.parametrize("args, kwargs, query, context", [
    (("0",), {}, "repository_id=0", "get repository details 0"),
    ((17,), {"repository_name": "r", "group_id": "3"}, "repository_id=17", "get repository details 17"),
    ((), {"repository_name": "my repo", "group_id": 3}, "repository_name=my+repo&repository_group_id=3",
     "get repository details my repo in group 3"),
    ((None,), {"group_id": "3", "repository_name": "r"}, "repository_name=r&repository_group_id=3",
     "get repository details r in group 3"),
])
def test_repository_details_request(server_client, httpserver, pc, args, kwargs, query, context):
    details = {"id": 17, "integration_type": "gitlab", "branches": [{"name": "main"}]}
    httpserver.expect_ordered_request(DETAIL_PATH, method="GET").respond_with_json(details)
    httpserver.expect_ordered_request(DETAIL_PATH).respond_with_json({}, status=404)
    assert server_client.get_repository_details(*args, **kwargs) == details
    with pytest.raises(pc.PlatformError) as caught:
        server_client.get_repository_details(*args, **kwargs)
    assert (caught.value.exit_code, caught.value.http_status, caught.value.context) == (5, 404, context)
    assert sent(httpserver) == [(DETAIL_PATH, query)] * 2


@pytest.mark.parametrize("args, kwargs", [
    ((), {}), ((), {"repository_name": "r"}), ((), {"group_id": "3"}), (("",), {"repository_name": "", "group_id": "3"}),
])
def test_repository_details_needs_an_identity(server_client, httpserver, pc, args, kwargs):
    with pytest.raises(pc.PlatformError) as caught:
        server_client.get_repository_details(*args, **kwargs)
    error = caught.value
    assert (error.message, error.exit_code, error.http_status, error.context) == (MISSING_ARGS_MESSAGE, 1, 0, None)
    assert httpserver.log == []


@pytest.mark.parametrize("status", [401, 403])
def test_repository_details_unauthorised(server_client, httpserver, pc, status):
    httpserver.expect_request(DETAIL_PATH).respond_with_json({"detail": "no"}, status=status)
    with pytest.raises(pc.PlatformError) as caught:
        server_client.get_repository_details("9")
    error = caught.value
    assert (error.message, error.exit_code, error.context) == (TOKEN_MESSAGE, 2, "get repository details 9")
    assert (error.http_status, error.curl, error.response_body) == (0, None, None)
    cause = error.__cause__
    assert isinstance(cause, pc.PlatformError) and (cause.exit_code, cause.http_status) == (2, status)
    assert error.__suppress_context__ and error.__context__ is cause

