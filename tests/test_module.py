"""The module body: what importing binds, in which order, and import failures."""

from __future__ import annotations

import __future__
import importlib.util
import json
import logging
import os
import re
import shutil
import subprocess
import sys
import textwrap
import time
import typing
import urllib.parse

import pytest
import requests
import urllib3


def test_namespace_in_binding_order(pc):
    # A fresh interpreter: other tests rebind globals, which moves them to the end.
    result = subprocess.run(
        [sys.executable, "-c", "import quillon_agent.platform_client as m; print(*[n for n in vars(m) if n[:2] != '__'])"],
        capture_output=True, text=True, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    names = result.stdout.split()
    assert names == [
        "annotations", "json", "logging", "os", "re", "time", "TYPE_CHECKING", "Any", "Optional",
        "parse_qsl", "urlencode", "urlsplit", "urlunsplit", "requests", "urllib3", "_COMMIT_ID_RE", "logger",
        "_SENSITIVE_PAYLOAD_KEYS", "_URL_IN_TEXT_RE", "_RETRY_HTTP_STATUSES", "_REQUEST_RETRY_ATTEMPTS",
        "_REQUEST_RETRY_SLEEP_SECONDS", "_CONTEXT_LABELS", "_format_error_context", "Endpoints",
        "PlatformError", "PlatformClient",
    ]


def test_imported_names_are_the_real_objects(pc):
    from quillon_agent import utils

    assert pc.annotations is __future__.annotations
    assert (pc.json, pc.logging, pc.os, pc.re, pc.time) == (json, logging, os, re, time)
    assert pc.TYPE_CHECKING is False
    assert (pc.Any, pc.Optional) == (typing.Any, typing.Optional)
    assert pc.urlsplit is urllib.parse.urlsplit and pc.parse_qsl is urllib.parse.parse_qsl
    assert pc.urlencode is urllib.parse.urlencode and pc.urlunsplit is urllib.parse.urlunsplit
    assert pc.requests is requests and pc.urllib3 is urllib3
    assert pc._COMMIT_ID_RE is utils._COMMIT_ID_RE
    assert pc.logger is logging.getLogger("quillon_agent")


def test_module_attributes(pc):
    assert pc.__doc__ is None
    assert pc.__name__ == "quillon_agent.platform_client"
    assert pc.__package__ == "quillon_agent"


def test_constants(pc):
    assert pc._SENSITIVE_PAYLOAD_KEYS == (
        "authorization", "api_key", "apikey", "key", "password", "secret", "token")
    assert pc._URL_IN_TEXT_RE.pattern == r"""https?://[^\s'\"<>]+""" and len(pc._URL_IN_TEXT_RE.pattern) == 20
    assert pc._URL_IN_TEXT_RE.flags == re.compile("x").flags
    assert pc._RETRY_HTTP_STATUSES == (429, 500, 502, 503, 504)
    assert type(pc._REQUEST_RETRY_ATTEMPTS) is int and pc._REQUEST_RETRY_ATTEMPTS == 30
    assert type(pc._REQUEST_RETRY_SLEEP_SECONDS) is int and pc._REQUEST_RETRY_SLEEP_SECONDS == 10
    assert list(pc._CONTEXT_LABELS.items()) == [
        ("create group", "создание группы"),
        ("find group after create", "поиск группы после создания"),
        ("create repository", "создание репозитория"),
        ("create branch", "создание ветки"),
        ("create engagement", "создание сканирования"),
        ("get engagement id", "получение id сканирования"),
        ("update engagement status", "обновление статуса сканирования"),
        ("submit scan", "запуск сканирования"),
        ("get engagement status", "получение статуса сканирования"),
        ("engagement status resolution", "уточнение статуса сканирования"),
    ]


@pytest.mark.parametrize("text, match", [
    ("see https://host/a?b=1 now", "https://host/a?b=1"),
    ("x=http://h/p'tail", "http://h/p"),
    ('"https://h/q"', "https://h/q"),
    ("<http://h/>", "http://h/"),
    ("ftp://h/ and ://h", None),
    ("end http://h/z", "http://h/z"),
])
def test_url_pattern(pc, text, match):
    found = pc._URL_IN_TEXT_RE.search(text)
    assert (found.group(0) if found else None) == match


def test_endpoints(pc):
    e = pc.Endpoints
    assert e.__module__ == pc.__name__ and e.__qualname__ == "Endpoints" and e.__doc__ is None
    assert e.__bases__ == (object,)
    assert [n for n in vars(e) if not n.startswith("__")] == [
        "GROUP", "REPO", "BRANCH", "ENGAGEMENT", "SCAN", "ENGAGEMENT_STATUS", "IMPORT_ARCHIVE", "STATUS",
        "GROUPS_LIST", "REPO_DETAIL"]
    assert e.GROUP == "/api/v1/git/ci-cd/repository_group"
    assert e.REPO_DETAIL == "/api/v1/git/ci-cd/repository_agent"
    assert e.IMPORT_ARCHIVE.format(42) == "/api/v1/git/engagement/import_archive/42"
    assert e.STATUS.format("abc") == "/api/v1/engagement/abc"


def test_classes(pc):
    for cls in (pc.PlatformError, pc.PlatformClient):
        assert cls.__module__ == pc.__name__
        assert cls.__qualname__ == cls.__name__
    assert pc.PlatformError.__bases__ == (Exception,)
    assert [n for n in vars(pc.PlatformError) if not n.startswith("__") or n in ("__init__", "__str__")] == [
        "__init__", "__str__"]


def _run(code, cwd):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=cwd, capture_output=True,
                          text=True, env={**os.environ, "PYTHONPATH": str(cwd)})


def _package(tmp_path, pc, utils_source):
    package = tmp_path / "hostpkg"
    package.mkdir()
    (package / "__init__.py").write_text("")
    if utils_source is not None:
        (package / "utils.py").write_text(utils_source)
    shutil.copy(pc.__file__, package / os.path.basename(pc.__file__))
    return package


@pytest.mark.parametrize("utils_source, expected", [
    (None, "ModuleNotFoundError: No module named 'hostpkg.utils'"),
    ("X = 1\n", "ImportError: cannot import name '_COMMIT_ID_RE' from 'hostpkg.utils'"),
])
def test_import_fails_without_host_utils(tmp_path, pc, utils_source, expected):
    _package(tmp_path, pc, utils_source)
    result = _run("""
        import sys
        try:
            import hostpkg.platform_client
        except ImportError as e:
            print(type(e).__name__ + ": " + str(e))
            print("left behind:", "hostpkg.platform_client" in sys.modules)
    """, tmp_path)
    assert expected in result.stdout, result.stderr
    assert "left behind: False" in result.stdout


@pytest.mark.parametrize("utils_kind", ["module without the name", "namespace package"])
def test_missing_host_name_fails_with_the_interpreters_own_error(tmp_path, pc, utils_kind):
    package = _package(tmp_path, pc, "X = 1\n" if utils_kind == "module without the name" else None)
    if utils_kind == "namespace package":
        (package / "utils").mkdir()
    (package / "twin.py").write_text("from .utils import _COMMIT_ID_RE\n")
    result = _run("""
        for name in ("hostpkg.twin", "hostpkg.platform_client"):
            try:
                __import__(name)
            except ImportError as e:
                print(type(e).__name__, e, e.name, e.path, sep=" | ")
    """, tmp_path)
    python, compiled = result.stdout.splitlines()
    assert compiled == python, result.stderr


def test_import_outside_a_package_fails(tmp_path, pc):
    shutil.copy(pc.__file__, tmp_path / os.path.basename(pc.__file__))
    result = _run("""
        try:
            import platform_client
        except ImportError as e:
            print(type(e).__name__ + ": " + str(e))
    """, tmp_path)
    assert "ImportError: attempted relative import with no known parent package" in result.stdout, result.stderr


def test_other_host_package_gets_its_own_module(tmp_path, pc):
    _package(tmp_path, pc, "import re\n_COMMIT_ID_RE = re.compile('x')\n")
    result = _run("""
        import hostpkg.platform_client as m, hostpkg.utils as u
        print(m.__package__, m._COMMIT_ID_RE is u._COMMIT_ID_RE, m.PlatformClient.__module__)
    """, tmp_path)
    assert result.stdout.split() == ["hostpkg", "True", "hostpkg.platform_client"], result.stderr


def test_module_can_be_created_twice(pc):
    spec = importlib.util.spec_from_file_location("quillon_agent.platform_client_again", pc.__file__)
    # The same shared object under another name: its init function is still platform_client's.
    spec.name = "quillon_agent.platform_client"
    other = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(other)
    assert other.PlatformClient is not pc.PlatformClient
    assert other.PlatformClient.get.__globals__ is vars(other)
    assert pc.PlatformClient.get.__globals__ is vars(pc)
