"""The client's method surface as a host sees it through inspect."""

from __future__ import annotations

import ast
from pathlib import Path

import pytest

from quillon_agent import platform_client as pc

# Parameters, defaults and annotations of every method: test_type_stubs.py, against the shipped stub.
STUB = ast.parse(Path(pc.__file__).with_name("platform_client.pyi").read_text(encoding="utf-8"))
METHODS = [node.name for cls in STUB.body if isinstance(cls, ast.ClassDef) and cls.name == "PlatformClient"
           for node in cls.body if isinstance(node, ast.FunctionDef)]


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


def test_methods_are_defined_in_order_and_nothing_else():
    names = [n for n in vars(pc.PlatformClient) if not n.startswith("__") or n == "__init__"]
    assert names == METHODS and len(METHODS) == 53
    assert pc.PlatformClient.__doc__ is None
    assert pc.PlatformClient.__bases__ == (object,)


@pytest.mark.parametrize("name", METHODS)
def test_docstring(name):
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
