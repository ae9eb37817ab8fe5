"""PlatformError: stored attributes, rendering at INFO and DEBUG, context labels."""

from __future__ import annotations

import logging

import pytest


@pytest.fixture
def debug(pc):
    pc.logger.setLevel(logging.DEBUG)


@pytest.fixture
def info(pc):
    pc.logger.setLevel(logging.INFO)


def test_attributes_stored_as_passed(pc):
    message = "Ошибка API"
    error = pc.PlatformError(message, 5)
    assert error.args == (message,) and error.message is message
    assert (error.exit_code, error.http_status, error.context, error.curl, error.response_body) == (
        5, 0, None, None, None)
    odd = pc.PlatformError(message, "7", http_status="x", context=3, curl=b"c", response_body=[1])
    assert (odd.exit_code, odd.http_status, odd.context, odd.curl, odd.response_body) == ("7", "x", 3, b"c", [1])
    assert pc.PlatformError.__doc__ == (
        "Ошибка API платформы. Содержит exit_code для sys.exit() и http_status для HTTP-кодов.")


def test_requires_exit_code(pc):
    with pytest.raises(TypeError, match=r"PlatformError.__init__\(\) missing 1 required positional argument: 'exit_code'"):
        pc.PlatformError("m")


def test_info_renders_bare_message(pc, info):
    error = pc.PlatformError("Ошибка API", 5, http_status=500, context="create group", curl="curl x",
                             response_body="body")
    assert str(error) == "Ошибка API"


LONG_BODY = "".join(chr(0x430 + i % 32) for i in range(1200))


@pytest.mark.parametrize("kwargs, expected", [
    ({"http_status": 500, "context": "create group"}, "Ошибка API (контекст: создание группы, HTTP-статус: 500)"),
    ({}, "Ошибка API"),
    ({"context": "create branch"}, "Ошибка API (контекст: создание ветки)"),
    ({"http_status": 404}, "Ошибка API (HTTP-статус: 404)"),
    ({"curl": ""}, "Ошибка API"),
    ({"curl": "curl -X GET 'u'"}, "Ошибка API\nКОМАНДА CURL: curl -X GET 'u'"),
    ({"response_body": "{}", "curl": "c", "http_status": 400},
     "Ошибка API (HTTP-статус: 400)\nОТВЕТ ПЛАТФОРМЫ: {}\nКОМАНДА CURL: c"),
    ({"response_body": LONG_BODY}, "Ошибка API\nОТВЕТ ПЛАТФОРМЫ: " + LONG_BODY[:500]),  # cut to 500 characters
])
def test_debug_rendering(pc, debug, kwargs, expected):
    assert str(pc.PlatformError("Ошибка API", 5, **kwargs)) == expected


def test_rendering_follows_current_level_and_attributes(pc):
    error = pc.PlatformError("m", 5, http_status=503)
    pc.logger.setLevel(logging.INFO)
    assert str(error) == "m"
    pc.logger.setLevel(logging.DEBUG)
    assert str(error) == "m (HTTP-статус: 503)"
    error.curl = None
    error.http_status = 0
    error.context = "upload sarif"
    assert str(error) == "m (контекст: загрузка отчёта sarif)"


def test_rendering_uses_rebound_logger(pc, monkeypatch):
    class AlwaysDebug:
        def isEnabledFor(self, level):
            return level == logging.DEBUG

    monkeypatch.setattr(pc, "logger", AlwaysDebug())
    assert str(pc.PlatformError("m", 1, http_status=401)) == "m (HTTP-статус: 401)"


@pytest.mark.parametrize("context, label", [
    ("create group", "создание группы"),
    ("engagement status resolution", "уточнение статуса сканирования"),
    ("get engagement id", "получение id сканирования"),
    ("get engagement id 'x' for branch 7", "получение id сканирования 'x' for branch 7"),
    ("upload X", "загрузка отчёта X"),
    ("search groups by name 'g'", "поиск группы по имени 'g'"),
    ("get repository details 9", "получение данных репозитория 9"),
    ("get repository details r in group 3", "получение данных репозитория r in group 3"),
    ("something else", "something else"),
    ("upload", "upload"),
    ("", ""),
])
def test_context_labels(pc, context, label):
    assert pc._format_error_context(context) == label


def test_context_of_wrong_type(pc):
    with pytest.raises(TypeError):
        pc._format_error_context(["unhashable"])
    with pytest.raises(AttributeError):
        pc._format_error_context(42)


def test_subclass_and_raise(pc, debug):
    class Sub(pc.PlatformError):
        pass

    with pytest.raises(pc.PlatformError) as caught:
        raise Sub("boom", 3, context="submit scan")
    assert str(caught.value) == "boom (контекст: запуск сканирования)"
    assert caught.value.exit_code == 3
