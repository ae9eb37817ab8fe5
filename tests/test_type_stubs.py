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
STUB_SOURCE = STUB_PATH.read_text(encoding="utf-8")
STUB = ast.parse(STUB_SOURCE, filename=str(STUB_PATH))
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


def _annotation(node: ast.expr | None) -> str | None:
    # As written: the extension's annotations are the stub's text, spacing and quotes included.
    return None if node is None else ast.get_source_segment(STUB_SOURCE, node)


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
            _annotation(arg.annotation),
        )
        for arg, kind, default in rows
    ] + [("return", None, None, _annotation(node.returns))]


def _compiled_signature(function) -> list[tuple]:
    annotations = function.__annotations__
    return [
        (name, parameter.kind.name, _default(parameter.default), annotations.get(name))
        for name, parameter in inspect.signature(function).parameters.items()
    ] + [("return", None, None, annotations.get("return"))]


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
    """Parameters in order, their kinds, defaults and annotations, the return annotation, and no other
    annotation; the names the function reports."""
    function = COMPILED_FUNCTIONS[qualname]
    stub = _stub_signature(_stub_function(qualname))
    assert stub == _compiled_signature(function)
    assert function.__annotations__ == {name: text for name, _, _, text in stub if text is not None}
    assert (function.__qualname__, function.__name__, function.__module__) == (
        qualname, qualname.rpartition(".")[2], pc.__name__)


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
