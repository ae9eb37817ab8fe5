"""The client's method surface as a host sees it through inspect."""

from __future__ import annotations

import inspect

import pytest

E = inspect.Parameter.empty
P = inspect.Parameter.POSITIONAL_OR_KEYWORD
K = inspect.Parameter.KEYWORD_ONLY
V = inspect.Parameter.VAR_KEYWORD


def p(name, annotation=E, default=E, kind=P):
    return (name, kind, default, annotation)


def k(name, annotation=E, default=E):
    return (name, K, default, annotation)


SELF = ("self", P, E, E)

# Written out by hand from the interface, not generated from the code.
METHODS = [
    ("__init__", [p("config", "'Config'")], E),
    ("_resolve_tls_verification", [p("config", "'Config'")], "bool | str"),
    ("_is_sensitive_payload_key", [p("key", "object")], "bool"),
    ("_mask_token_only", [p("text", "str")], "str"),
    ("_sanitize_text_for_log", [p("text", "str")], "str"),
    ("_sanitize_payload_for_log", [p("value", "Any")], "Any"),
    ("_sanitize_value_for_log", [p("value", "Any"), p("key", "object | None", None)], "Any"),
    ("_sanitize_url_or_text_for_log", [p("value", "str")], "str"),
    ("_sanitize_url_for_log", [p("url", "str")], "str"),
    ("_sanitize_query_string_for_log", [p("query", "str")], "str"),
    ("_format_payload_for_log", [p("payload", "Any")], "str"),
    ("_sanitize_body_string_for_log", [p("body", "str")], "str"),
    ("_payload_from_request_kwargs", [p("kwargs", "dict")], "Any | None"),
    ("_files_payload_for_log", [p("files", "dict")], "dict[str, Any]"),
    ("_build_session", [], "requests.Session"),
    ("_request_kwargs_for_attempt", [p("base_kwargs", "dict"), p("request_kwargs_factory")], "dict"),
    ("_log_request_attempt_payload", [p("log_payload", "Any | None")], "None"),
    ("_log_response_status",
     [p("method", "str"), p("response", "requests.Response"), k("log_url", "bool"), k("log_label", "str | None")],
     "None"),
    ("_retry_delay_for_response", [p("response", "requests.Response"), p("default_delay", "int")], "int"),
    ("_should_retry_response",
     [p("response", "requests.Response"), k("attempt", "int"), k("max_attempts", "int"), k("default_delay", "int")],
     "bool"),
    ("_should_retry_network_error",
     [p("error", "requests.RequestException"), k("attempt", "int"), k("max_attempts", "int"),
      k("sleep_interval", "int"), k("hide_internal_text", "bool", False)],
     "bool"),
    ("_request_with_retry", [p("method", "str"), p("url", "str"), ("kwargs", V, E, E)], "requests.Response"),
    ("_url", [p("path", "str")], "str"),
    ("_network_error", [p("error", "Exception"), p("context", "str")], "PlatformError"),
    ("_post_form_response", [p("path", "str"), p("data", "dict"), p("context", "str")], "requests.Response"),
    ("_build_engagement_status_params",
     [p(n, "str | None") for n in
      ("branch_name", "repository_name", "group_name", "group_url", "group_id", "integration_type")],
     "dict[str, str]"),
    ("_filter_groups",
     [p("groups", "list"), k("name", "str"), k("web_url", "str | None"), k("integration_type", "str | None")],
     "list"),
    ("_extract_response_id",
     [p("data", "dict"), k("name", "str"), k("context", "str"), k("entity_label", "str")], "str"),
    ("_log_upsert_status",
     [k("name", "str"), k("noun", "str"), k("response", "requests.Response"), k("created_word", "str"),
      k("found_word", "str")],
     "None"),
    ("_create_or_get_entity_id",
     [k("path", "str"), k("payload", "dict"), k("context", "str"), k("name", "str"), k("noun", "str"),
      k("created_word", "str"), k("found_word", "str"), k("entity_label", "str")],
     "str"),
    ("_curl_command", [p("request", "requests.PreparedRequest")], "str"),
    ("_raise_for_http_error",
     [p("response", "requests.Response"), p("context", "str"), p("default_exit", "int")], "None"),
    ("_parse_json_response",
     [p("response", "requests.Response"), p("context", "str"), p("default_exit", "int")], "dict"),
    ("_handle_response",
     [p("response", "requests.Response"), p("context", "str"), p("default_exit", "int", 5)], "dict"),
    ("get", [p("path", "str"), p("params", "Optional[dict]", None), p("context", "str", "")], "dict"),
    ("_capture_file_positions", [p("files", "dict")], "dict[int, int]"),
    ("_build_streaming_post_kwargs",
     [p("data", "dict"), p("files", "dict"), p("headers", "dict"), p("file_positions", "dict[int, int]")],
     "dict[str, Any]"),
    ("_prepare_post_form_kwargs",
     [p("data", "dict"), p("files", "Optional[dict]"), p("headers", "dict")],
     "tuple[Any, Optional[dict], dict, Any | None]"),
    ("post_form",
     [p("path", "str"), p("data", "dict"), p("files", "Optional[dict]", None), p("context", "str", ""),
      p("default_exit", "int", 5), p("_log_url", "bool", True), p("_log_label", "str | None", None),
      p("_log_payload_override", "Any | None", None)],
     "dict"),
    ("post_json", [p("path", "str"), p("payload", "dict"), p("context", "str", ""), p("default_exit", "int", 5)],
     "dict"),
    ("create_or_get_group", [p("name", "str"), p("web_url", "str | None")], "str"),
    ("create_or_get_repository", [p("name", "str"), p("group_id", "str"), p("web_url", "str | None")], "str"),
    ("create_or_get_branch", [p("name", "str"), p("repository_id", "str"), p("web_url", "str | None")], "str"),
    ("create_or_get_engagement", [p("name", "str"), p("branch_id", "str"), p("description", "str", "")], "str"),
    ("get_engagement_id", [p("name", "str"), p("branch_id", "str")], "str"),
    ("upload_report",
     [p("report_path", "str"), p("scan_type", "str"), p("engagement_name", "str"), p("repository_id", "str"),
      p("branch_name", "str")],
     "dict"),
    ("update_engagement_status",
     [k("engagement_name", "str"), k("branch_name", "str"), k("repository_id", "str"),
      k("engagement_status", "str", "finished")],
     "dict"),
    ("_hide_scan_submit_internals", [p("text", "str | None")], "str | None"),
    ("submit_scan", [p("engagement_id", "str"), p("payload_path", "str")], "dict"),
    ("get_engagement_status",
     [p("commit_sha", "str")] + [p(n, "str | None", None) for n in
                                 ("branch_name", "repository_name", "group_name", "group_url", "group_id",
                                  "integration_type")],
     "dict"),
    ("find_groups",
     [p("name", "str")] + [p(n, "str | None", None) for n in
                           ("web_url", "repo_name", "branch_name", "engagement_name", "integration_type")]
     + [p("include_target_params", "bool", False)],
     "list"),
    ("get_repository_details",
     [p("repo_id", "str | None", None), k("repository_name", "str | None", None), k("group_id", "str | None", None)],
     "dict"),
    ("wait_for_engagement",
     [p("commit_sha", "str")] + [p(n, "Optional[str]", None) for n in
                                 ("branch_name", "repository_name", "group_name", "group_url", "group_id",
                                  "integration_type")]
     + [p("interval", "int", 300), p("timeout", "int", 4200)],
     "dict"),
]


def block(*lines):
    return "\n" + "".join(("        " + line if line else "") + "\n" for line in lines) + "        "


DOCSTRINGS = {
    "_request_with_retry": block(
        "Выполнение HTTP-запроса с повторными попытками.",
        "Повторяет запрос при сетевых ошибках или 5xx статусах платформы.",
        "Длительность: 30 попыток с задержкой 10 секунд = ~5 минут.",
    ),
    "_curl_command": "Сгенерировать максимально лаконичную curl команду для отладки.",
    "update_engagement_status": "Сообщить платформе статус пайплайна после загрузки внешних отчётов.",
    "get_engagement_status": "Получить статус скана по идентификатору скана (commit SHA или произвольная строка).",
    "find_groups": block(
        "Найти группы репозиториев по имени и другим параметрам идентификации.",
        "",
        "Использует GET /api/v1/git/ci-cd/repository_groups_agent.",
    ),
    "get_repository_details": "Получить детали репозитория, включая integration_type и список веток.",
    "wait_for_engagement": block(
        "Ждать появления сканирования, созданного платформой автоматически.",
        "По умолчанию: 70 минут ожидания, проверка каждые 5 минут.",
        "Возвращает данные сканирования при успехе.",
        "Бросает PlatformError(exit_code=8) при превышении таймаута.",
    ),
}


def test_methods_are_defined_in_order_and_nothing_else(pc):
    names = [n for n in vars(pc.PlatformClient) if not n.startswith("__") or n == "__init__"]
    assert names == [m[0] for m in METHODS]
    assert pc.PlatformClient.__doc__ is None
    assert pc.PlatformClient.__bases__ == (object,)


@pytest.mark.parametrize("name, params, returns", METHODS, ids=[m[0] for m in METHODS])
def test_signature(pc, name, params, returns):
    function = vars(pc.PlatformClient)[name]
    signature = inspect.signature(function)
    got = [(q.name, q.kind, q.default, q.annotation) for q in signature.parameters.values()]
    assert got == [SELF] + params
    assert signature.return_annotation == returns
    expected_annotations = {n: a for n, _, _, a in params if a is not E}
    if returns is not E:
        expected_annotations["return"] = returns
    assert function.__annotations__ == expected_annotations
    assert function.__qualname__ == f"PlatformClient.{name}"
    assert function.__name__ == name
    assert function.__module__ == pc.__name__


@pytest.mark.parametrize("name", [m[0] for m in METHODS])
def test_docstring(pc, name):
    assert vars(pc.PlatformClient)[name].__doc__ == DOCSTRINGS.get(name)


def test_defaults_and_kwdefaults(pc):
    cls = pc.PlatformClient
    assert cls.post_form.__defaults__ == (None, "", 5, True, None, None)
    assert cls.post_form.__kwdefaults__ is None
    assert cls.update_engagement_status.__defaults__ is None
    assert cls.update_engagement_status.__kwdefaults__ == {"engagement_status": "finished"}
    assert cls._should_retry_network_error.__kwdefaults__ == {"hide_internal_text": False}
    assert cls.get_repository_details.__defaults__ == (None,)
    assert cls.get_repository_details.__kwdefaults__ == {"repository_name": None, "group_id": None}
