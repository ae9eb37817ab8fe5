"""Answers of the wrong shape, end to end against a loopback server.

Whatever a platform, a proxy in front of it or a half-finished deployment
sends, every public operation either returns its documented result or raises
PlatformError with the documented exit code; no other exception and no crash.

The expected outcomes below are worked out from the classification rules
(error statuses first, then HTML pages, then JSON decoding with an empty
dictionary for anything undecodable) and from what each operation makes of
the decoded value. The same table renders the reliability section of docs/reliability.md:

    PYTHONPATH=python .venv/bin/python tests/test_malformed_answers.py
"""

from __future__ import annotations

import dataclasses
import json
import logging
import pathlib
import re
import sys
import time
from typing import Any, Callable

import pytest
from werkzeug import Response

DEPTH = 100_000
TOKEN = "tok-SECRET-1234567890"

API_ERROR = "Ошибка API"
GROUP_NAME_HINT = ", попробуйте сменить название группы репозиториев"
NOT_FOUND = "Ресурс не найден (проверьте имя группы, репозитория и ветки)."
HTML_ERROR = "Ошибка API: сервер вернул HTML вместо JSON. Проверьте эндпоинт."
NETWORK = "Ошибка сети после серии попыток."
NO_GROUP_BODY = "Пустой список или другой формат"
SCAN_ID = "abcdef1234"
WAIT_TIMEOUT = ("Сканирование не появилось за 1 мин. Убедитесь, что платформа обрабатывает коммит "
                + SCAN_ID[:8] + ".")
RETRY_ATTEMPTS = 2


# --- answer shapes -------------------------------------------------------------

NOT_DECODED = object()  # the body is not JSON (or too deep to decode): the result is {}
HTML = object()  # the body is an HTML page
BROKEN = object()  # the connection breaks before the body is complete


@dataclasses.dataclass(frozen=True)
class Shape:
    name: str  # as shown in the reliability table
    body: bytes
    decoded: Any  # the decoded value, or one of the three markers above
    shown: str | None = None  # the masked body that errors carry; the body text when None
    declared_length: int | None = None  # a Content-Length larger than what is sent

    @property
    def error_body(self) -> str:
        text = self.shown if self.shown is not None else self.body.decode("utf-8", "replace")
        return text[:500]


HTML_PAGE = (b"<!DOCTYPE html>\n<html><head><title>502 Bad Gateway</title></head>"
             b"<body><h1>Bad Gateway</h1><p>nginx</p></body></html>")
CP1251_TEXT = "Ошибка сервера: нет доступа".encode("cp1251")

SHAPES = [
    Shape("JSON null", b"null", None),
    Shape("number", b"42", 42),
    Shape("string", b'"not an object"', "not an object"),
    Shape("list", b'[1, "two", null]', [1, "two", None]),
    Shape("nested lists", b"[" * DEPTH + b"]" * DEPTH, NOT_DECODED),
    Shape("nested objects", b'{"a":' * DEPTH + b"1" + b"}" * DEPTH, NOT_DECODED),
    Shape("HTML page", HTML_PAGE, HTML),
    Shape("empty body", b"", NOT_DECODED),
    Shape("JSON cut in half", b'{"id": 7, "name": "tea', NOT_DECODED),
    Shape("short body", b'{"id": 7}', BROKEN, declared_length=100),
    Shape("not UTF-8", CP1251_TEXT, NOT_DECODED),
]

STATUSES = [200, 400, 404, 500]


def answer(shape: Shape, status: int) -> Response:
    response = Response(shape.body, status=status, content_type="application/json")
    if shape.declared_length is not None:
        response.headers["Content-Length"] = str(shape.declared_length)
    return response


# --- outcomes ------------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Returns:
    value: Any


class StartsWith(str):
    """A text compared by its beginning (network error texts end with the
    HTTP library's own wording)."""

    def __eq__(self, other: object) -> bool:
        return isinstance(other, str) and other.startswith(str(self))

    __hash__ = str.__hash__


@dataclasses.dataclass(frozen=True)
class Fails:
    exit_code: int
    message: str
    http_status: int = 0
    context: str | None = None
    has_curl: bool = False
    response_body: str | None = None


def outcome_of(call: Callable[[], Any], pc) -> Returns | Fails:
    try:
        return Returns(call())
    except pc.PlatformError as error:
        if error.curl is not None:
            assert isinstance(error.curl, str) and error.curl.startswith("curl "), error.curl
        return Fails(error.exit_code, error.message, error.http_status, error.context, error.curl is not None,
                     error.response_body)


# --- operations ----------------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Operation:
    name: str
    call: Callable[[Any, pathlib.Path], Any]
    context: str
    kind: str = "value"  # value | entity | group | groups | wait
    default_exit: int = 5
    hides_curl: bool = False
    entity_context: str = ""
    entity_label: str = ""
    entity_name: str = ""


def report_file(tmp: pathlib.Path) -> str:
    path = tmp / "report.json"
    path.write_text('{"findings": []}')
    return str(path)


def archive_file(tmp: pathlib.Path) -> str:
    path = tmp / "prepared.zip"
    path.write_bytes(b"PK\x05\x06" + b"\0" * 18)
    return str(path)


OPERATIONS = [
    Operation("get", lambda c, t: c.get("/api/v1/git/ci-cd/repository_agent"),
              "/api/v1/git/ci-cd/repository_agent"),
    Operation("post_form", lambda c, t: c.post_form("/api/v1/git/ci-cd/scan", {"name": "x"}, default_exit=6),
              "/api/v1/git/ci-cd/scan", default_exit=6),
    Operation("post_json", lambda c, t: c.post_json("/api/v1/git/ci-cd/engagement_status", {"a": 1}, default_exit=6),
              "/api/v1/git/ci-cd/engagement_status", default_exit=6),
    Operation("create_or_get_group", lambda c, t: c.create_or_get_group("team", "https://git.example/team"),
              "create group", kind="group"),
    Operation("create_or_get_repository", lambda c, t: c.create_or_get_repository("backend", "3", None),
              "create repository", kind="entity", entity_context="create repository",
              entity_label="репозитория", entity_name="backend"),
    Operation("create_or_get_branch", lambda c, t: c.create_or_get_branch("main", "7", None),
              "create branch", kind="entity", entity_context="create branch", entity_label="ветки",
              entity_name="main"),
    Operation("create_or_get_engagement", lambda c, t: c.create_or_get_engagement("run-5", "11"),
              "create engagement", kind="entity", entity_context="create engagement",
              entity_label="сканирования", entity_name="run-5"),
    Operation("get_engagement_id", lambda c, t: c.get_engagement_id("run-5", "11"),
              "get engagement id 'run-5' for branch 11", kind="entity", entity_context="get engagement id",
              entity_label="сканирования", entity_name="run-5"),
    Operation("upload_report", lambda c, t: c.upload_report(report_file(t), "semgrep", "run-5", "7", "main"),
              "upload semgrep", default_exit=6),
    Operation("update_engagement_status",
              lambda c, t: c.update_engagement_status(engagement_name="run-5", branch_name="main",
                                                      repository_id="7"),
              "update engagement status", default_exit=6),
    Operation("submit_scan", lambda c, t: c.submit_scan("42", archive_file(t)), "submit scan", default_exit=7,
              hides_curl=True),
    Operation("get_engagement_status", lambda c, t: c.get_engagement_status(SCAN_ID), "get engagement status"),
    Operation("find_groups", lambda c, t: c.find_groups("team"), "search groups by name 'team'", kind="groups"),
    Operation("get_repository_details", lambda c, t: c.get_repository_details("7"), "get repository details 7"),
    Operation("wait_for_engagement", lambda c, t: c.wait_for_engagement(SCAN_ID, interval=30, timeout=60),
              "get engagement status", kind="wait"),
]


def expected(op: Operation, shape: Shape, status: int) -> Returns | Fails:
    """The documented outcome of one operation for one answer."""
    curl = not op.hides_curl
    if shape.decoded is BROKEN:
        # The body never arrives whole: a network failure once the retries
        # are spent, whatever the status line said. No response was complete,
        # so there is no curl command either.
        return Fails(3, NETWORK, 0, op.context, False,
                     StartsWith(f"Ошибка сети после {RETRY_ATTEMPTS} попыток: "))
    if status == 404:
        if op.kind == "wait":
            return Fails(8, WAIT_TIMEOUT)
        return Fails(op.default_exit, NOT_FOUND, 404, op.context, curl)
    if status >= 400:
        message = API_ERROR + (GROUP_NAME_HINT if status == 400 and op.context == "create group" else "")
        return Fails(op.default_exit, message, status, op.context, curl, shape.error_body)
    if shape.decoded is HTML:
        return Fails(op.default_exit, HTML_ERROR, status, op.context, False, shape.error_body)

    value = {} if shape.decoded is NOT_DECODED else shape.decoded
    if op.kind == "groups":
        # Only a list under "repository_groups" of an object holds groups.
        return Returns([])
    if op.kind == "entity":
        return Fails(5, f"Не удалось получить ID {op.entity_label} '{op.entity_name}'", 0, op.entity_context, True)
    if op.kind == "group":
        # No id in the answer: the search gets the same kind of answer and finds nothing.
        return Fails(5, "Не удалось получить ID группы 'team'", 0, "find group after create", True, NO_GROUP_BODY)
    return Returns(value)


# --- the matrix ----------------------------------------------------------------

@pytest.fixture
def retries(monkeypatch, pc, no_sleep):
    monkeypatch.setattr(pc, "_REQUEST_RETRY_ATTEMPTS", RETRY_ATTEMPTS)
    return no_sleep


@pytest.fixture
def wait_pauses(monkeypatch):
    """The waiting loop sleeps through the time module itself; its pauses are
    recorded instead of waited. The loopback server does not sleep."""
    pauses: list[float] = []
    monkeypatch.setattr(time, "sleep", pauses.append)
    return pauses


def serve(httpserver, shape: Shape, status: int) -> list[str]:
    paths: list[str] = []

    def handler(request):
        paths.append(request.path)
        return answer(shape, status)

    httpserver.expect_request(re.compile(".*")).respond_with_handler(handler)
    return paths


@pytest.mark.parametrize("verbose", [False, True], ids=["quiet", "verbose"])
@pytest.mark.parametrize("status", STATUSES)
@pytest.mark.parametrize("shape", SHAPES, ids=[s.name for s in SHAPES])
@pytest.mark.parametrize("op", OPERATIONS, ids=[o.name for o in OPERATIONS])
def test_fault_matrix(op, shape, status, verbose, httpserver, make_client, pc, retries, wait_pauses, tmp_path,
                      agent_log):
    paths = serve(httpserver, shape, status)
    client = make_client(platform_url=httpserver.url_for("").rstrip("/"), verbose=verbose)
    outcome = expected(op, shape, status)
    assert outcome_of(lambda: op.call(client, tmp_path), pc) == outcome
    assert paths, "the operation never reached the server"
    if outcome == Fails(8, WAIT_TIMEOUT):
        # Two checks of a minute's wait, each followed by its half-minute pause.
        assert (len(paths), wait_pauses) == (2, [30, 30])
    if shape.name.startswith("nested"):
        # Undecodable as JSON, each successful answer's body is logged once, as masked text; no failure is logged.
        line = f"[HTTP] Response body: {shape.body[:500].decode()}..."
        assert response_body_records(agent_log) == ([line] * len(paths) if verbose and status == 200 else [])
        assert not [r for r in agent_log.records if r.exc_info]


# --- answers too deep to mask, through every verb ------------------------------

VERBS = {
    "get": lambda c: c.get("/api/v1/git/ci-cd/repository_agent", context="get repository details 7"),
    "post_json": lambda c: c.post_json("/api/v1/git/ci-cd/engagement_status", {"a": 1},
                                       context="update engagement status", default_exit=6),
    "post_form": lambda c: c.post_form("/api/v1/git/ci-cd/scan", {"name": "x"}, context="upload semgrep",
                                       default_exit=6),
    "_post_form_response": lambda c: c._handle_response(
        c._post_form_response("/api/v1/git/ci-cd/branch", {"name": "main"}, "create branch"),
        context="create branch"),
}


def response_body_records(agent_log) -> list[str]:
    return [r.getMessage() for r in agent_log.records
            if r.levelno == logging.DEBUG and r.getMessage().startswith("[HTTP] Response body: ")]


def decodable_but_too_deep_to_mask(client) -> int:
    """A depth the JSON decoder follows but the masking of the decoded value
    cannot: the two count depth differently, and by interpreter version."""
    for depth in (sys.getrecursionlimit() * 6 // 10, *range(800, 10_000, 400)):
        try:
            value = json.loads("[" * depth + "]" * depth)
        except RecursionError:
            continue
        try:
            client._sanitize_payload_for_log(value)
        except RecursionError:
            return depth
    raise AssertionError("no depth is decodable but too deep to mask")


@pytest.mark.parametrize("status", [200, 500])
@pytest.mark.parametrize("verb", sorted(VERBS))
def test_answer_too_deep_to_mask_is_shown_as_a_placeholder(verb, status, httpserver, make_client, pc, retries,
                                                           agent_log):
    # Logged (verbose) when it is the result, carried by the error otherwise.
    client = make_client(platform_url=httpserver.url_for("").rstrip("/"), verbose=status == 200)
    depth = decodable_but_too_deep_to_mask(client)
    body = "[" * depth + f'"{TOKEN}"' + "]" * depth
    httpserver.expect_request(re.compile(".*")).respond_with_data(body, status=status,
                                                                   content_type="application/json")
    if status == 200:
        assert VERBS[verb](client) == json.loads(body)
        assert response_body_records(agent_log) == ["[HTTP] Response body: <unrenderable payload>..."]
        return
    with pytest.raises(pc.PlatformError) as caught:
        VERBS[verb](client)
    assert caught.value.response_body == "<unrenderable payload>"


# --- the reliability table -------------------------------------------------------

SHORT_MESSAGES = {
    API_ERROR: "API error",
    API_ERROR + GROUP_NAME_HINT: "API error, rename the group",
    NOT_FOUND: "not found",
    HTML_ERROR: "HTML instead of JSON",
    NETWORK: "network error",
    WAIT_TIMEOUT: "scan did not appear",
}


def cell(outcome: Returns | Fails) -> str:
    if isinstance(outcome, Returns):
        return f"returns `{json.dumps(outcome.value, ensure_ascii=False)}`"
    text = SHORT_MESSAGES.get(outcome.message)
    if text is None:
        text = "no group id" if outcome.context == "find group after create" else "no id"
    return f"exit {outcome.exit_code}: {text}"


def reliability_markdown() -> str:
    lines = [
        "## Reliability",
        "",
        "What each operation gives when the platform (or a proxy in front of it) answers with something",
        "other than the JSON it should: a result, or a `PlatformError` with its exit code. Nothing else",
        "leaves an operation: no `TypeError`, `RecursionError` or crash. Error statuses are shown after",
        "the retries (429 and 5xx) are spent. The table is generated from",
        "`tests/test_malformed_answers.py`, which checks every cell against a loopback server.",
        "",
        "Answers: *nested* bodies are 100,000 levels deep; *JSON cut in half* is an incomplete document;",
        "*short body* declares a `Content-Length` larger than what is sent before the connection closes;",
        "*not UTF-8* is Windows-1251 text. `wait_for_engagement` keeps polling on 404 and gives up with",
        "exit code 8. An undecodable body on a success status counts as `{}`.",
    ]
    for status in STATUSES:
        lines += ["", f"### HTTP {status}", "",
                  "| operation | " + " | ".join(s.name for s in SHAPES) + " |",
                  "|---|" + "---|" * len(SHAPES)]
        for op in OPERATIONS:
            cells = [cell(expected(op, shape, status)) for shape in SHAPES]
            lines.append(f"| `{op.name}` | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


def test_reliability_document_matches_the_matrix():
    document = pathlib.Path(__file__).resolve().parent.parent / "docs" / "reliability.md"
    assert reliability_markdown() in document.read_text(encoding="utf-8")


if __name__ == "__main__":
    sys.stdout.write(reliability_markdown())
