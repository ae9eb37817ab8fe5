"""Reference leaks: no operation or rendering method may keep objects alive per call.

Each case is warmed up (caches, connection pools, lazily built signatures),
then run for three rounds of many calls; `sys.getallocatedblocks()` after a
full collection must not grow in every one of the three rounds. A leak of one
object per call grows each round by at least the number of calls; noise does
not keep growing round after round, and a suspicious first reading is
measured again before the test fails.
"""

from __future__ import annotations

import functools
import gc
import io
import logging
import subprocess
import sys
import types
import zipfile

import pytest
import requests
from support import TOKEN, new_client, subprocess_env

REPORT_FORM = {"scan_type": "Semgrep JSON Report", "engagement_name": "abc12345", "branch_name": "main"}
WARMUP = 15
ROUNDS = 3

pytestmark = pytest.mark.skipif(
    sys.getallocatedblocks() == 0, reason="the interpreter's small-object allocator is off (PYTHONMALLOC=malloc)")


def round_growth(action, calls):
    """Blocks gained over each of ROUNDS rounds of `calls` calls."""
    gc.collect()
    before = sys.getallocatedblocks()
    growth = []
    for _ in range(ROUNDS):
        for _ in range(calls):
            action()
        gc.collect()
        now = sys.getallocatedblocks()
        growth.append(now - before)
        before = now
    return growth


def assert_no_leak(action, calls):
    # A leak of one small object per call adds `calls` blocks to each round;
    # a quarter of that is well above what the idle interpreter drifts.
    tolerance = calls // 4
    for _ in range(WARMUP):
        action()
    readings = []
    for _ in range(2):
        growth = round_growth(action, calls)
        readings.append(growth)
        if not all(blocks > tolerance for blocks in growth):
            return
    pytest.fail(f"allocated blocks grew every round ({readings}, tolerance {tolerance} per {calls} calls)")


@pytest.fixture(scope="module")
def platform_url():
    # In its own process: the simulator's threads and records would otherwise
    # be counted with the client's allocations.
    process = subprocess.Popen([sys.executable, "-m", "quillon_agent.simulator", "--port", "0", "--token", TOKEN],
                               stdout=subprocess.PIPE, text=True, env=subprocess_env())
    try:
        yield process.stdout.readline().rsplit(" ", 1)[-1].strip()
    finally:
        process.terminate()
        process.wait(timeout=10)


@pytest.fixture(scope="module")
def world(platform_url, pc, tmp_path_factory):
    """A client and the platform entities, a report and a scan the operations work on."""
    client = new_client(pc, platform_url=platform_url)
    ids = types.SimpleNamespace()
    ids.group = client.create_or_get_group("team", "https://git.example/team")
    ids.repository = client.create_or_get_repository("backend", ids.group, None)
    ids.branch = client.create_or_get_branch("main", ids.repository, None)
    ids.engagement = client.create_or_get_engagement("abc12345", ids.branch)
    folder = tmp_path_factory.mktemp("leaks")
    ids.report = folder / "semgrep.json"
    ids.report.write_text('{"results": []}')
    ids.archive = folder / "scan.zip"
    with zipfile.ZipFile(ids.archive, "w") as archive:
        archive.writestr("scan.json", "{}")
    # A report makes the platform create the engagement's scan.
    client.post_form(pc.Endpoints.SCAN, REPORT_FORM | {"repository_id": ids.repository},
                     files={"report": ("semgrep.json", b"{}", "application/json")})
    return client, ids


def expect_platform_error(pc, call):
    def action():
        try:
            call()
        except pc.PlatformError:
            pass
        else:
            raise AssertionError("expected a PlatformError")

    return action


OPERATIONS = {
    "get": lambda c, i: c.get("/api/v1/git/ci-cd/repository_agent", params={"repository_id": i.repository}),
    "get_404": lambda c, i: c.get("/api/v1/nowhere"),
    "post_json": lambda c, i: c.post_json("/api/v1/git/ci-cd/engagement_status", {
        "engagement_name": "abc12345", "branch_name": "main", "repository_id": int(i.repository),
        "engagement_status": "finished"}),
    "post_form": lambda c, i: c.post_form("/api/v1/git/ci-cd/repository_group", {"name": "team"}),
    "post_form_files": lambda c, i: c.post_form(
        "/api/v1/git/ci-cd/scan", REPORT_FORM | {"repository_id": i.repository},
        files={"report": ("semgrep.json", io.BytesIO(b'{"results": []}'), "application/json")}),
    "create_or_get_group": lambda c, i: c.create_or_get_group("team", "https://git.example/team"),
    "create_or_get_repository": lambda c, i: c.create_or_get_repository("backend", i.group, None),
    "create_or_get_branch": lambda c, i: c.create_or_get_branch("main", i.repository, None),
    "create_or_get_engagement": lambda c, i: c.create_or_get_engagement("abc12345", i.branch),
    "get_engagement_id": lambda c, i: c.get_engagement_id("abc12345", i.branch),
    "upload_report": lambda c, i: c.upload_report(str(i.report), "Semgrep JSON Report", "abc12345", i.repository,
                                                  "main"),
    "update_engagement_status": lambda c, i: c.update_engagement_status(
        engagement_name="abc12345", branch_name="main", repository_id=i.repository),
    "submit_scan": lambda c, i: c.submit_scan(i.engagement, str(i.archive)),
    "get_engagement_status": lambda c, i: c.get_engagement_status("abc12345", branch_name="main"),
    "find_groups": lambda c, i: c.find_groups("team"),
    "get_repository_details": lambda c, i: c.get_repository_details(i.repository),
    "wait_for_engagement": lambda c, i: c.wait_for_engagement("abc12345", interval=0, timeout=5),
}


@pytest.mark.skipif(sys.version_info[:2] == (3, 12), reason=(
    "3.12's allocator keeps about half a block a call for a thousand calls and more of a whole request, with no "
    "allocation tracemalloc can see growing; the other interpreters check this"))
@pytest.mark.parametrize("name", OPERATIONS)
def test_operations_do_not_leak(pc, world, name):
    client, ids = world
    action = functools.partial(OPERATIONS[name], client, ids)
    try:
        action()
    except pc.PlatformError:
        action = expect_platform_error(pc, action)
    assert_no_leak(action, calls=40)


def answer(status, body, content_type="application/json"):
    response = requests.Response()
    response.status_code = status
    response.headers["Content-Type"] = content_type
    response._content = body
    response._content_consumed = True  # as requests leaves a response it has read
    response.encoding = "utf-8"
    response.url = "http://h/api/v1/x?token=" + TOKEN
    return response


NESTED = {"name": "n", "password": "p", "items": [{"api_key": 1, "url": "https://u:p@h/?token=t&x=1"}, (1, 2.5)],
          "raw": b"see http://u:p@h/", "blob": b"\xff\xfe", "other": {1, 2}, "none": None}
FORM_BODY = "user=u&password=p&next=https%3A%2F%2Fu%3Ap%40h%2F%3Fkey%3D1&flag"
REQUEST = requests.Request("POST", "https://u:p@h/api?token=t&x=1", headers={"Authorization": TOKEN},
                           data=FORM_BODY).prepare()
JSON_REQUEST = requests.Request("POST", "http://h/api", json=NESTED | {"raw": "r", "blob": "b", "other": []}).prepare()
MULTIPART = requests.Request("POST", "http://h/api", files={"f": ("a.json", b"{}")}).prepare()

RENDERING = {
    "_is_sensitive_payload_key": lambda c: c._is_sensitive_payload_key("X-Api-Key"),
    "_mask_token_only": lambda c: c._mask_token_only(f"a {TOKEN} b {TOKEN}"),
    "_sanitize_text_for_log": lambda c: c._sanitize_text_for_log(f"see https://u:p@h/?token={TOKEN}&x=1 now"),
    "_sanitize_payload_for_log": lambda c: c._sanitize_payload_for_log(NESTED),
    "_sanitize_value_for_log": lambda c: c._sanitize_value_for_log(NESTED, "data"),
    "_sanitize_value_for_log_key": lambda c: c._sanitize_value_for_log(NESTED, "secret"),
    "_sanitize_url_or_text_for_log": lambda c: c._sanitize_url_or_text_for_log("go to http://u:p@h/x?a=1"),
    "_sanitize_url_for_log": lambda c: c._sanitize_url_for_log("https://u:p@h:443/p?token=t&x=1#f"),
    "_sanitize_url_for_log_invalid": lambda c: c._sanitize_url_for_log(f"http://[::1/{TOKEN}"),
    "_sanitize_query_string_for_log": lambda c: c._sanitize_query_string_for_log(FORM_BODY),
    "_format_payload_for_log": lambda c: c._format_payload_for_log(NESTED),
    "_format_payload_for_log_long": lambda c: c._format_payload_for_log(["x" * 50] * 60),
    "_sanitize_body_string_for_log_json": lambda c: c._sanitize_body_string_for_log('{"password": "p", "a": [1]}'),
    "_sanitize_body_string_for_log_json_rendered": lambda c: c._sanitize_body_string_for_log(
        '{"u": "http:\\/\\/u:p@h\\/?token=1", "t": "%s", "e": "\\u00e9\\n", "n": [-0, 1.50, 1e400], %s}'
        % (TOKEN, ", ".join(f'"k{i}": {i}' for i in range(12)))),
    "_sanitize_body_string_for_log_json_given_up": lambda c: c._sanitize_body_string_for_log(
        '{"a": {"b": 1, "c": "x", "b": 2}, "password": [1]}'),
    "_sanitize_body_string_for_log_form": lambda c: c._sanitize_body_string_for_log(FORM_BODY),
    "_sanitize_body_string_for_log_text": lambda c: c._sanitize_body_string_for_log(f"oops {TOKEN} http://u:p@h/"),
    "_payload_from_request_kwargs": lambda c: c._payload_from_request_kwargs(
        {"data": {"a": 1}, "files": {"f": ("a.json", None), "g": object()}}),
    "_payload_from_request_kwargs_override": lambda c: c._payload_from_request_kwargs({"_log_payload": None}),
    "_files_payload_for_log": lambda c: c._files_payload_for_log({"f": ("a.json", None), 2: ()}),
    "_log_request_attempt_payload": lambda c: c._log_request_attempt_payload(NESTED),
    "_log_response_status": lambda c: c._log_response_status("GET", answer(200, b"{}"), log_url=True,
                                                             log_label=None),
    "_hide_scan_submit_internals": lambda c: c._hide_scan_submit_internals("import_archive/1 'archive' scan.zip"),
    "_curl_command_form": lambda c: c._curl_command(REQUEST),
    "_curl_command_json": lambda c: c._curl_command(JSON_REQUEST),
    "_curl_command_multipart": lambda c: c._curl_command(MULTIPART),
    "_handle_response_json": lambda c: c._handle_response(answer(200, b'{"id": 1, "items": [1, 2]}'), "get group"),
    "_handle_response_not_json": lambda c: c._handle_response(answer(200, b"\xff not json"), "get group"),
}

ERRORS = {
    "_handle_response_500": answer(500, b'{"detail": "x", "token": "t"}'),
    "_handle_response_401": answer(401, b"no"),
    "_handle_response_html": answer(200, b"<!DOCTYPE html><html></html>", "text/html"),
}


@pytest.mark.parametrize("name", [*RENDERING, *ERRORS])
def test_rendering_and_classification_errors_do_not_leak(pc, name):
    # Verbose, so payload and body logging render (the logger itself stays
    # above DEBUG and keeps no records).
    client = new_client(pc, verbose=True)
    client._last_curl = "curl -X GET http://h/x"
    if name in RENDERING:
        assert_no_leak(lambda: RENDERING[name](client), calls=200)
    else:
        assert_no_leak(expect_platform_error(pc, lambda: client._handle_response(ERRORS[name], "create group")),
                       calls=200)


def test_clients_do_not_leak(pc):
    assert_no_leak(lambda: new_client(pc), calls=100)


def test_nested_request_factories_do_not_leak(pc):
    client = new_client(pc)

    def make_and_drop():
        files = {"report": ("r.json", io.BytesIO(b"{}"), "application/json")}
        factory = client._prepare_post_form_kwargs({"a": "1"}, files, {"Authorization": TOKEN})[3]
        factory()
        factory.__signature__  # built lazily, then dropped with the function

    assert_no_leak(make_and_drop, calls=100)


def test_bound_methods_do_not_leak(pc):
    client = new_client(pc)

    def bind_and_drop():
        method = client._mask_token_only
        method("text")
        method.__func__.__signature__
        pc.PlatformClient.__dict__["get"].__get__(client, pc.PlatformClient)

    assert_no_leak(bind_and_drop, calls=200)


def test_errors_with_tracebacks_do_not_leak(pc):
    client = new_client(pc)
    response = answer(404, b"missing")

    def raise_and_drop():
        try:
            client._handle_response(response, "get repository", 6)
        except pc.PlatformError as error:
            kept = (error, error.__traceback__, error.__context__, str(error), repr(error))
        del kept
        error = pc.PlatformError("boom", 3, 0, "upload sarif", "curl x", "body")
        try:
            raise error
        except pc.PlatformError:
            pass
        del error

    logging.getLogger("quillon_agent").setLevel(logging.DEBUG)  # str(error) renders its DEBUG tail too
    assert_no_leak(raise_and_drop, calls=200)


def test_debug_lines_do_not_leak(pc):
    # Records made and handed to a handler that keeps none of them.
    logger = logging.getLogger("quillon_agent")
    handler = logging.NullHandler()
    level, propagate = logger.level, logger.propagate
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    try:
        client = new_client(pc, verbose=True)
        assert_no_leak(lambda: client._log_request_attempt_payload({"a": 1}), calls=200)
    finally:
        logger.removeHandler(handler)
        logger.setLevel(level)
        logger.propagate = propagate
