"""The type stub shipped beside the extension describes it exactly.

The stub is read from the directory the compiled module was imported from, so
an installed package is checked together with the stub it actually ships.
"""

from __future__ import annotations

import ast
import importlib.util
import inspect
import subprocess
import sys
from pathlib import Path

import pytest

from quillon_agent import platform_client as pc

ROOT = Path(__file__).resolve().parent.parent
STUB_PATH = Path(pc.__file__).with_name("platform_client.pyi")
STUB = ast.parse(STUB_PATH.read_text(encoding="utf-8"), filename=str(STUB_PATH))
CLASSES = ("Endpoints", "PlatformError", "PlatformClient")


def _is_type_checking_block(node: ast.stmt) -> bool:
    return isinstance(node, ast.If) and ast.unparse(node.test) == "TYPE_CHECKING"


def _stub_module_names() -> set[str]:
    """Names the stub exports; imports count only in the re-export form `import x as x`."""
    names = set()
    for node in STUB.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update(alias.asname for alias in node.names if alias.asname == alias.name.rpartition(".")[2])
    return names


def _stub_class(name: str) -> ast.ClassDef:
    return next(node for node in STUB.body if isinstance(node, ast.ClassDef) and node.name == name)


def _stub_function(qualname: str) -> ast.FunctionDef:
    *owner, name = qualname.split(".")
    body = _stub_class(owner[0]).body if owner else STUB.body
    matches = [node for node in body if isinstance(node, ast.FunctionDef) and node.name == name]
    assert matches, f"the stub does not declare {qualname}"
    return matches[0]


def _annotation(text: str | None) -> str | None:
    # Spacing and quote style are not part of an annotation's meaning.
    return None if text is None else ast.unparse(ast.parse(text, mode="eval"))


def _default(value: object) -> tuple[str, object] | None:
    # With the type, so that True and 1 (or False and 0) do not compare equal.
    return None if value is inspect.Parameter.empty else (type(value).__name__, value)


def _stub_signature(node: ast.FunctionDef) -> list[tuple]:
    a = node.args
    rows = []
    positional = [*a.posonlyargs, *a.args]
    padded_defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    for index, (arg, default) in enumerate(zip(positional, padded_defaults)):
        kind = "POSITIONAL_ONLY" if index < len(a.posonlyargs) else "POSITIONAL_OR_KEYWORD"
        rows.append((arg, kind, default))
    if a.vararg:
        rows.append((a.vararg, "VAR_POSITIONAL", None))
    rows.extend((arg, "KEYWORD_ONLY", default) for arg, default in zip(a.kwonlyargs, a.kw_defaults))
    if a.kwarg:
        rows.append((a.kwarg, "VAR_KEYWORD", None))
    return [
        (
            arg.arg,
            kind,
            None if default is None else _default(ast.literal_eval(default)),
            None if arg.annotation is None else _annotation(ast.unparse(arg.annotation)),
        )
        for arg, kind, default in rows
    ] + [("return", None, None, None if node.returns is None else _annotation(ast.unparse(node.returns)))]


def _compiled_signature(function) -> list[tuple]:
    annotations = function.__annotations__
    return [
        (name, parameter.kind.name, _default(parameter.default), _annotation(annotations.get(name)))
        for name, parameter in inspect.signature(function).parameters.items()
    ] + [("return", None, None, _annotation(annotations.get("return")))]


def _compiled_functions() -> dict[str, object]:
    function_type = type(pc._format_error_context)
    functions = {"_format_error_context": pc._format_error_context}
    for class_name in CLASSES:
        for name, value in vars(getattr(pc, class_name)).items():
            if type(value) is function_type:
                functions[f"{class_name}.{name}"] = value
    return functions


COMPILED_FUNCTIONS = _compiled_functions()


def test_stub_and_marker_ship_beside_the_extension():
    assert STUB_PATH.is_file()
    assert STUB_PATH.with_name("py.typed").is_file()


def test_stub_declares_exactly_the_module_names():
    runtime = {name for name in vars(pc) if not (name.startswith("__") and name.endswith("__"))}
    assert _stub_module_names() == runtime


@pytest.mark.parametrize("qualname", sorted(COMPILED_FUNCTIONS))
def test_function_signature_matches(qualname):
    """Parameters in order, their kinds, defaults and annotations, and the return annotation."""
    assert _stub_signature(_stub_function(qualname)) == _compiled_signature(COMPILED_FUNCTIONS[qualname])


@pytest.mark.parametrize("class_name", CLASSES)
def test_class_members_match(class_name, make_client):
    """Methods and class attributes of the class, plus the attributes its instances get."""
    cls = getattr(pc, class_name)
    instance = {"PlatformError": lambda: pc.PlatformError("m", 1), "PlatformClient": make_client}.get(class_name)
    runtime = {name for name in vars(cls) if not (name.startswith("__") and name.endswith("__"))}
    runtime |= {name for name in vars(cls) if f"{class_name}.{name}" in COMPILED_FUNCTIONS}
    if instance is not None:
        runtime |= set(vars(instance()))
    stub = set()
    for node in _stub_class(class_name).body:
        if isinstance(node, ast.FunctionDef):
            stub.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            stub.add(node.target.id)
    assert stub == runtime


def test_config_is_imported_for_type_checkers_only():
    guarded = [node for node in STUB.body if _is_type_checking_block(node)]
    imported = {
        (node.module, alias.name)
        for block in guarded
        for node in block.body
        if isinstance(node, ast.ImportFrom)
        for alias in node.names
    }
    assert ("quillon_agent.config", "Config") in imported
    assert "Config" not in vars(pc)


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed (the tools extra)")
def test_host_package_and_sample_host_pass_mypy_strict(tmp_path):
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--cache-dir",
            str(tmp_path),
            "python/quillon_agent",
            "tests/typing/sample_host.py",
        ],
        cwd=ROOT,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
