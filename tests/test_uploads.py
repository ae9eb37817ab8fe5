"""Report upload, scan submission and the pipeline status update."""

from __future__ import annotations

import json
import logging
import re

import pytest

NOT_FOUND_REPORT = "Файл отчёта не найден: "
ARCHIVE_MISSING = "Не удалось запустить сканирование: подготовленные данные не найдены."
ARCHIVE_UNREADABLE = "Не удалось запустить сканирование: подготовленные данные недоступны."
BAD_REPOSITORY_ID = "Не удалось определить repository_id для обновления статуса сканирования."
HIDDEN = "<запуск сканирования>"


class Recorder:
    """Stands in for a request verb: records each call and what the open
    files looked like while the request was being made."""

    def __init__(self, monkeypatch, pc, verb, answer=None, raises=None):
        self.calls = []
        self.answer = {"ok": True} if answer is None else answer
        self.raises = raises
        recorder = self

        def stand_in(client, path, *args, **kwargs):
            seen_files = {}
            for field, value in (kwargs.get("files") or {}).items():
                f = value[1]
                seen_files[field] = (value[0], f.mode, f.closed, f.read(), value[2:])
            recorder.calls.append({"path": path, "args": args, "kwargs": kwargs, "files": seen_files,
                                   "last_curl": client._last_curl})
            if recorder.raises is not None:
                raise recorder.raises
            return recorder.answer

        monkeypatch.setattr(pc.PlatformClient, verb, stand_in)


@pytest.fixture
def report(tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    path = out / "report.json"
    path.write_bytes(b'{"findings": []}')
    return path


@pytest.fixture
def archive(tmp_path):
    path = tmp_path / "prepared_payload.bin"
    path.write_bytes(b"PK\x03\x04 scan data")
    return path


def opened_files(monkeypatch, pc):
    """Rebinds the module's `open` so the test can see every file it opens."""
    files = []

    def tracking_open(*args, **kwargs):
        f = open(*args, **kwargs)
        files.append(f)
        return f

    monkeypatch.setattr(pc, "open", tracking_open, raising=False)
    return files


# --- with the verbs stood in -------------------------------------------------

def test_submit_scan_hands_discreet_request_to_post_form(make_client, pc, monkeypatch, archive):
    client = make_client()
    client._last_curl = "curl http://old-request"
    verb = Recorder(monkeypatch, pc, "post_form", answer={"import": "started"})
    assert client.submit_scan("42", str(archive)) == {"import": "started"}
    [call] = verb.calls
    assert call["path"] == "/api/v1/git/engagement/import_archive/42" and call["args"] == ()
    assert call["last_curl"] is None
    assert call["files"] == {"archive": ("scan.zip", "rb", False, b"PK\x03\x04 scan data", ("application/zip",))}
    kwargs = call["kwargs"]
    assert list(kwargs) == ["data", "files", "context", "default_exit", "_log_url", "_log_label",
                            "_log_payload_override"]
    assert kwargs["data"] == {}
    assert (kwargs["context"], kwargs["default_exit"], kwargs["_log_url"], kwargs["_log_label"]) == (
        "submit scan", 7, False, HIDDEN)
    assert kwargs["_log_payload_override"] == {"files": {"данные_сканирования": "подготовлены"}}
    # a fresh override each call, so a caller that mutates it cannot leak into the next one
    kwargs["_log_payload_override"]["files"].clear()
    client.submit_scan("42", str(archive))
    assert verb.calls[1]["kwargs"]["_log_payload_override"] == {"files": {"данные_сканирования": "подготовлены"}}


@pytest.mark.parametrize("outcome", [None, "platform", "value"])
@pytest.mark.parametrize("operation", ["upload_report", "submit_scan"])
def test_files_are_closed_however_the_request_ends(client, pc, monkeypatch, report, operation, outcome):
    raises = {None: None, "platform": pc.PlatformError("Ошибка API", 6), "value": ValueError("boom")}[outcome]
    Recorder(monkeypatch, pc, "post_form", raises=raises)
    files = opened_files(monkeypatch, pc)
    call = (lambda: client.upload_report(str(report), "T", "e", "1", "b")) if operation == "upload_report" else (
        lambda: client.submit_scan("42", str(report)))
    if raises is None:
        call()
    else:
        with pytest.raises(type(raises)) as caught:
            call()
        assert caught.value is raises
    assert len(files) == 1 and files[0].closed


@pytest.mark.parametrize("operation, make_path, message", [
    ("upload_report", lambda tmp: tmp / "missing.json", None),
    ("upload_report", lambda tmp: tmp, None),
    ("submit_scan", lambda tmp: tmp / "missing.zip", ARCHIVE_MISSING),
    ("submit_scan", lambda tmp: tmp, ARCHIVE_MISSING),
])
def test_missing_local_file_is_exit_4_without_a_request(client, pc, monkeypatch, tmp_path, operation, make_path,
                                                         message):
    verb = Recorder(monkeypatch, pc, "post_form")
    path = str(make_path(tmp_path))
    with pytest.raises(pc.PlatformError) as caught:
        if operation == "upload_report":
            client.upload_report(path, "T", "e", "1", "b")
        else:
            client.submit_scan("42", path)
    error = caught.value
    assert error.message == (message or NOT_FOUND_REPORT + path)
    assert (error.exit_code, error.http_status, error.context, error.curl, error.response_body) == (
        4, 0, None, None, None)
    assert verb.calls == []


@pytest.mark.parametrize("body", ['{"detail": "import_archive/42: \'archive\' missing in scan.zip (scan_payload)"}',
                                  None, ""])
def test_submit_scan_platform_error_is_scrubbed_and_reraised(client, pc, monkeypatch, archive, body):
    original = pc.PlatformError("Ошибка API", 7, http_status=400, context="submit scan",
                                curl="curl -X POST http://h/api/v1/git/engagement/import_archive/42",
                                response_body=body)
    Recorder(monkeypatch, pc, "post_form", raises=original)
    with pytest.raises(pc.PlatformError) as caught:
        client.submit_scan("42", str(archive))
    error = caught.value
    assert error is original
    assert (error.message, error.exit_code, error.http_status, error.context, error.curl) == (
        "Ошибка API", 7, 400, "submit scan", None)
    expected = body and f'{{"detail": "{HIDDEN}/42: {HIDDEN} missing in {HIDDEN} ({HIDDEN})"}}'
    assert error.response_body == expected


@pytest.mark.parametrize("where", ["open", "read"])
def test_submit_scan_unreadable_archive_is_exit_4(client, pc, monkeypatch, archive, where):
    error_text = f"[Errno 5] Input/output error: '/tmp/scan_payload/archive.zip'"
    if where == "open":
        def refuse(*args, **kwargs):
            raise OSError(5, "Input/output error", "/tmp/scan_payload/archive.zip")

        monkeypatch.setattr(pc, "open", refuse, raising=False)
        verb = Recorder(monkeypatch, pc, "post_form")
    else:
        verb = Recorder(monkeypatch, pc, "post_form",
                        raises=OSError(5, "Input/output error", "/tmp/scan_payload/archive.zip"))
    with pytest.raises(pc.PlatformError) as caught:
        client.submit_scan("42", str(archive))
    error = caught.value
    assert (error.message, error.exit_code, error.http_status, error.context, error.curl) == (
        ARCHIVE_UNREADABLE, 4, 0, "submit scan", None)
    assert error.response_body == error_text.replace("scan_payload", HIDDEN).replace("archive", HIDDEN)
    assert error.__cause__ is None and error.__suppress_context__
    assert len(verb.calls) == (0 if where == "open" else 1)


@pytest.mark.parametrize("failure", [
    lambda pc: pc.PlatformError("Ошибка API", 7, http_status=500, response_body="import_archive"),
    lambda pc: OSError(5, "Input/output error"),
])
def test_submit_scan_scrubbing_failure_chains_onto_the_handled_error(client, pc, monkeypatch, archive, failure):
    handled = failure(pc)
    Recorder(monkeypatch, pc, "post_form", raises=handled)

    def broken(self, text):
        raise RuntimeError("scrubbing failed")

    monkeypatch.setattr(pc.PlatformClient, "_hide_scan_submit_internals", broken)
    with pytest.raises(RuntimeError) as caught:
        client.submit_scan("42", str(archive))
    assert caught.value.__context__ is handled


@pytest.mark.parametrize("engagement_id, segment", [
    (42, "42"), ("a1b2-c3.d_e~f", "a1b2-c3.d_e~f"), ("...x", "...x"),
    ("42/../../repository", None), ("42?x=1", None), ("42#frag", None), ("..", None), (".", None), ("", None),
    ("4%2F2", None), ("42\\x", None), ("42\n", None), ("4 2\r\n", None),
])
def test_submit_scan_engagement_id_stays_one_path_segment(client, pc, monkeypatch, archive, agent_log,
                                                          engagement_id, segment):
    client.verbose = True
    verb = Recorder(monkeypatch, pc, "post_form")
    if segment is not None:
        client.submit_scan(engagement_id, str(archive))
        assert verb.calls[0]["path"] == "/api/v1/git/engagement/import_archive/" + segment
        return
    with pytest.raises(pc.PlatformError) as caught:
        client.submit_scan(engagement_id, str(archive))
    assert caught.value.message == f"Не удалось запустить сканирование: некорректный engagement_id {engagement_id!r}."
    assert caught.value.exit_code == 1
    assert verb.calls == [] and agent_log.records == []


@pytest.mark.parametrize("verbose", [False, True])
def test_submit_scan_own_log_line(make_client, pc, monkeypatch, archive, agent_log, verbose):
    Recorder(monkeypatch, pc, "post_form")
    make_client(verbose=verbose).submit_scan("42", str(archive))
    lines = [(r.levelno, r.getMessage()) for r in agent_log.records]
    assert lines == ([(logging.DEBUG, "Запуск сканирования для engagement_id=42...")] if verbose else [])


@pytest.mark.parametrize("repository_id, sent, status", [
    ("17", 17, None), (" 17\n", 17, None), (17, 17, "failed"), (17.9, 17, None), (-3.2, -3, None), (True, 1, None)])
def test_update_engagement_status_payload(client, pc, monkeypatch, repository_id, sent, status):
    # What post_json puts on the wire: test_verbs.py.
    verb = Recorder(monkeypatch, pc, "post_json", answer={"status": "ok"})
    chosen = {} if status is None else {"engagement_status": status}
    assert client.update_engagement_status(engagement_name="сборка 7", branch_name="main", repository_id=repository_id,
                                           **chosen) == {"status": "ok"}
    [call] = verb.calls
    assert call["path"] == "/api/v1/git/ci-cd/engagement_status"
    [payload] = call["args"]
    assert list(payload.items()) == [("engagement_name", "сборка 7"), ("branch_name", "main"),
                                     ("repository_id", sent), ("engagement_status", status or "finished")]
    assert type(payload["repository_id"]) is int
    assert call["kwargs"] == {"context": "update engagement status", "default_exit": 6}


@pytest.mark.parametrize("repository_id, cause", [(None, TypeError), ("abc", ValueError), ("", ValueError),
                                                  ("4.2", ValueError), (float("nan"), ValueError),
                                                  (float("inf"), OverflowError), (float("-inf"), OverflowError)])
def test_update_engagement_status_unusable_repository_id(client, pc, monkeypatch, repository_id, cause):
    verb = Recorder(monkeypatch, pc, "post_json")
    with pytest.raises(pc.PlatformError) as caught:
        client.update_engagement_status(engagement_name="e", branch_name="b", repository_id=repository_id)
    error = caught.value
    assert (error.message, error.exit_code, error.context, error.http_status) == (BAD_REPOSITORY_ID, 5, None, 0)
    assert type(error.__cause__) is cause
    assert verb.calls == []


# --- end to end, against a loopback server ----------------------------------

def recording_handler(answer_status=200, answer=None):
    from werkzeug import Response

    seen = []

    def handler(request):
        seen.append({"method": request.method, "path": request.path, "query": request.query_string,
                     "content_type": request.headers.get("Content-Type", ""), "body": request.get_data()})
        return Response(json.dumps({"ok": True} if answer is None else answer, ensure_ascii=False),
                        status=answer_status, content_type="application/json")

    return handler, seen


def multipart_parts(content_type, body):
    """(name, filename, content type, content) of each part, in order."""
    boundary = re.search(r"boundary=(\S+)", content_type).group(1).encode()
    parts = []
    for chunk in body.split(b"--" + boundary)[1:-1]:
        head, _, content = chunk[2:].partition(b"\r\n\r\n")
        head = head.decode()
        name = re.search(r'; name="([^"]*)"', head).group(1)
        filename = re.search(r'; filename="([^"]*)"', head)
        part_type = re.search(r"(?im)^content-type: (.*)$", head)
        parts.append((name, filename and filename.group(1), part_type and part_type.group(1).strip(),
                      content[:-2]))
    return parts


def test_upload_report_end_to_end(httpserver, server_client, report):
    handler, seen = recording_handler(answer={"id": 9, "имя": "отчёт"})
    httpserver.expect_request("/api/v1/git/ci-cd/scan", method="POST").respond_with_handler(handler)
    result = server_client.upload_report(str(report), "Semgrep JSON Report", "eng-1", "17", "main")
    assert result == {"id": 9, "имя": "отчёт"}
    [request] = seen
    assert request["content_type"].startswith("multipart/form-data; boundary=")
    # the report's part type is the transport's default: none is given here
    assert [(name, filename, content) for name, filename, _, content in
            multipart_parts(request["content_type"], request["body"])] == [
        ("scan_type", None, b"Semgrep JSON Report"),
        ("engagement_name", None, b"eng-1"),
        ("repository_id", None, b"17"),
        ("branch_name", None, b"main"),
        ("report", "report.json", b'{"findings": []}'),
    ]


def test_upload_report_server_error_is_exit_6(httpserver, server_client, report, no_sleep, pc, monkeypatch):
    monkeypatch.setattr(pc, "_REQUEST_RETRY_ATTEMPTS", 2)
    handler, seen = recording_handler(500, {"detail": "down"})
    httpserver.expect_request("/api/v1/git/ci-cd/scan").respond_with_handler(handler)
    with pytest.raises(pc.PlatformError) as caught:
        server_client.upload_report(str(report), "T", "e", "1", "b")
    assert (caught.value.message, caught.value.exit_code, caught.value.http_status, caught.value.context) == (
        "Ошибка API", 6, 500, "upload T")
    # the retried attempt carried the whole report again
    assert [multipart_parts(r["content_type"], r["body"])[-1][-1] for r in seen] == [b'{"findings": []}'] * 2


def test_submit_scan_end_to_end(httpserver, server_client, archive, agent_log):
    server_client.verbose = True
    handler, seen = recording_handler(answer={"import": "started"})
    httpserver.expect_request("/api/v1/git/engagement/import_archive/42", method="POST").respond_with_handler(handler)
    assert server_client.submit_scan("42", str(archive)) == {"import": "started"}
    [request] = seen
    assert request["query"] == b""
    assert multipart_parts(request["content_type"], request["body"]) == [
        ("archive", "scan.zip", "application/zip", b"PK\x03\x04 scan data")]
    assert server_client._last_curl is None
    logged = "\n".join(r.getMessage() for r in agent_log.records if r.name == "quillon_agent")
    assert "import_archive" not in logged and "prepared_payload" not in logged
    assert "[HTTP] POST <запуск сканирования> -> 200" in logged


@pytest.mark.parametrize("status, exit_code", [(400, 7), (403, 2)])
def test_submit_scan_http_error(httpserver, server_client, archive, pc, no_sleep, monkeypatch, status, exit_code):
    monkeypatch.setattr(pc, "_REQUEST_RETRY_ATTEMPTS", 1)
    body = {"detail": "import_archive failed: 'archive' missing in scan.zip"}
    httpserver.expect_request("/api/v1/git/engagement/import_archive/42").respond_with_json(body, status=status)
    with pytest.raises(pc.PlatformError) as caught:
        server_client.submit_scan("42", str(archive))
    error = caught.value
    assert (error.exit_code, error.http_status, error.context, error.curl) == (exit_code, status, "submit scan", None)
    if error.response_body:
        assert "import_archive" not in error.response_body and "scan.zip" not in error.response_body
        assert "archive" not in error.response_body.replace(HIDDEN, "")
    assert server_client._last_curl is None


@pytest.mark.parametrize("errno_, text", [(13, "Permission denied"), (24, "Too many open files")])
def test_upload_report_unreadable_file_is_exit_4_without_a_request(client, pc, monkeypatch, report, errno_, text):
    def refuse(*args, **kwargs):
        raise OSError(errno_, text, str(report))

    monkeypatch.setattr(pc, "open", refuse, raising=False)
    verb = Recorder(monkeypatch, pc, "post_form")
    with pytest.raises(pc.PlatformError) as caught:
        client.upload_report(str(report), "Semgrep JSON Report", "eng-1", "17", "main")
    error = caught.value
    assert error.exit_code == 4 and not verb.calls
    assert error.message == f"Не удалось прочитать файл отчёта: {report} ([Errno {errno_}] {text}: '{report}')"
    assert isinstance(error.__cause__, OSError)


@pytest.mark.parametrize(("status", "operation", "exit_code"), [
    (307, "upload", 6), (308, "upload", 6), (301, "get", 5), (302, "upsert", 5), (307, "scan", 7)])
def test_redirect_answers_are_errors_not_success(httpserver, server_client, report, archive, pc, no_sleep,
                                                 status, operation, exit_code):
    location = "https://ci:pw@platform.example.com/moved?token=abc"
    httpserver.expect_request("/api/v1/git/ci-cd/scan").respond_with_data(
        "", status=status, headers={"Location": location})
    httpserver.expect_request("/api/v1/git/ci-cd/repository").respond_with_data(
        "", status=status, headers={"Location": location})
    httpserver.expect_request("/api/v1/git/engagement/import_archive/42").respond_with_data(
        "", status=status, headers={"Location": location})
    httpserver.expect_request("/x").respond_with_data("", status=status, headers={"Location": location})
    call = {
        "upload": lambda: server_client.upload_report(str(report), "Semgrep JSON Report", "eng-1", "17", "main"),
        "get": lambda: server_client.get("/x"),
        "upsert": lambda: server_client.create_or_get_repository("api", "7", None),
        "scan": lambda: server_client.submit_scan("42", str(archive)),
    }[operation]
    with pytest.raises(pc.PlatformError) as caught:
        call()
    error = caught.value
    assert (error.exit_code, error.http_status) == (exit_code, status)
    assert f"HTTP {status}" in error.message
    assert "https://***@platform.example.com/moved?token=%2A%2A%2A" in error.message
    assert "pw" not in error.message and "abc" not in error.message
    assert len(httpserver.log) == 1 and not no_sleep
