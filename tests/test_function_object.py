"""Functions of the compiled module bind, fail and introspect like Python's."""

from __future__ import annotations

import ast
import functools
import inspect
import types
from pathlib import Path
from unittest import mock

import pytest

from quillon_agent import platform_client as pc


def python_twin():
    """A fresh pure-Python PlatformClient whose functions have the compiled ones' signatures: the shipped
    stub's class, executed."""
    stub = ast.parse(Path(pc.__file__).with_name("platform_client.pyi").read_text(encoding="utf-8"))
    body = [node for node in stub.body if isinstance(node, ast.ClassDef) and node.name == "PlatformClient"]
    future = ast.ImportFrom(module="__future__", names=[ast.alias("annotations")], level=0)
    namespace: dict = {}
    exec(compile(ast.fix_missing_locations(ast.Module([future, *body], [])), "platform_client.pyi", "exec"),
         namespace)
    return namespace["PlatformClient"]


BAD_CALLS = [
    ("get", (), {}), ("get", (1,), {}), ("get", (1, 2, 3, 4, 5), {}), ("get", (1, 2), {"path": 3}),
    ("get", (1,), {"path": 2, "nope": 3}), ("get", (1, 2, 3, 4), {"path": 9}),
    ("update_engagement_status", (1, 2), {}), ("update_engagement_status", (1, 2), {"engagement_name": "e"}),
    ("update_engagement_status", (1,), {"engagement_name": "e"}), ("update_engagement_status", (1,), {}),
    ("_request_with_retry", (1,), {"url": "u"}), ("_request_with_retry", (1, "GET", "u", 4), {"x": 1}),
    ("_create_or_get_entity_id", (1,), {"path": "p"}),
    ("_should_retry_response", (1, 2, 3), {}), ("_should_retry_response", (1,), {"attempt": 1}),
    ("create_or_get_branch", (1,), {}), ("create_or_get_branch", (1, "n"), {}), ("create_or_get_branch", (), {"name": 1}),
]


@pytest.mark.parametrize("name, args, kwargs", BAD_CALLS)
def test_binding_errors_read_like_cpython(pc, name, args, kwargs):
    with pytest.raises(TypeError) as expected:
        getattr(python_twin(), name)(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        getattr(pc.PlatformClient, name)(*args, **kwargs)
    assert str(got.value) == str(expected.value)


def test_bound_methods_are_real_methods(client, pc):
    bound = client.get
    assert isinstance(bound, types.MethodType)
    assert inspect.ismethod(bound)
    assert bound.__self__ is client and bound.__func__ is pc.PlatformClient.get
    assert str(inspect.signature(bound)) == "(path: 'str', params: 'Optional[dict]' = None, context: 'str' = '') -> 'dict'"
    assert pc.PlatformClient.__dict__["get"].__get__(None, pc.PlatformClient) is pc.PlatformClient.get


def test_missing_argument_through_bound_method(client):
    with pytest.raises(TypeError, match=r"^PlatformClient\.get\(\) missing 1 required positional argument: 'path'$"):
        client.get()


def test_assigned_defaults_take_effect(pc, client, monkeypatch):
    function = pc.PlatformClient._url
    monkeypatch.setattr(function, "__defaults__", ("/from-default",))
    assert client._url() == client.base_url + "/from-default"
    assert str(inspect.signature(function)) == "(self, path: 'str' = '/from-default') -> 'str'"


def test_writable_attributes(pc, monkeypatch):
    function = pc.PlatformClient._url
    monkeypatch.setattr(function, "__doc__", "documented")
    monkeypatch.setattr(function, "__qualname__", "Other._url")
    function.custom = 1
    try:
        assert function.__doc__ == "documented"
        assert function.__dict__ == {"custom": 1}
        assert repr(function).startswith("<function Other._url at ")
    finally:
        del function.custom
    with pytest.raises(TypeError, match="__defaults__ must be set to a tuple object"):
        function.__defaults__ = [1]
    with pytest.raises(TypeError, match="__name__ must be set to a string object"):
        function.__name__ = 1


def test_globals_is_the_module_namespace(pc):
    assert pc.PlatformClient.get.__globals__ is vars(pc)
    assert pc._format_error_context.__globals__ is vars(pc)
    assert pc._format_error_context.__qualname__ == "_format_error_context"


def test_wraps_and_autospec(pc):
    @functools.wraps(pc.PlatformClient.find_groups)
    def wrapper(*args, **kwargs):
        return None

    assert wrapper.__doc__ == pc.PlatformClient.find_groups.__doc__
    assert wrapper.__annotations__["return"] == "list"
    assert inspect.signature(wrapper) == inspect.signature(pc.PlatformClient.find_groups)

    spec = mock.create_autospec(pc.PlatformClient, instance=True)
    spec.get("/x", context="c")
    spec.get.assert_called_once_with("/x", context="c")
    assert isinstance(spec, pc.PlatformClient)


def test_method_override_on_class_and_instance_is_seen_by_callers(pc, client, make_config, monkeypatch):
    calls = []
    monkeypatch.setattr(pc.PlatformClient, "_resolve_tls_verification",
                        lambda self, config: calls.append("class") or "/class.pem")
    other = pc.PlatformClient(make_config())
    assert other.verify_tls == "/class.pem" and calls == ["class"]

    client.base_url = "http://instance"
    client._build_session = lambda: "session from the instance"
    assert client._build_session() == "session from the instance"


def test_subclass_override_is_seen_by_constructor(pc, make_config):
    class Custom(pc.PlatformClient):
        def _build_session(self):
            return "custom session"

    assert Custom(make_config())._session == "custom session"


def test_rebound_global_takes_effect_on_next_call(pc, make_config, monkeypatch, caplog):
    seen = []

    class Recorder:
        def warning(self, message):
            seen.append(message)

    monkeypatch.setattr(pc, "logger", Recorder())
    pc.PlatformClient(make_config(insecure=True))
    assert seen == ["ВНИМАНИЕ: проверка TLS-сертификата отключена (--insecure)."]


def test_unknown_global_raises_name_error(pc, make_config, monkeypatch):
    monkeypatch.delattr(pc, "requests")
    with pytest.raises(NameError) as error:
        pc.PlatformClient(make_config())
    assert str(error.value) == "name 'requests' is not defined"
    assert error.value.name == "requests"


def test_builtins_are_found_after_module_globals(pc, client, monkeypatch):
    # format() is the interpreter's; shadowing a builtin on the module wins.
    monkeypatch.setattr(pc, "_CONTEXT_LABELS", {})
    assert pc._format_error_context("create group") == "create group"


def test_functions_survive_gc_cycles(pc):
    import gc

    for _ in range(3):
        cls = type("Tmp", (pc.PlatformClient,), {})
        del cls
        gc.collect()
    assert pc.PlatformClient.get.__qualname__ == "PlatformClient.get"


def test_recursion_through_methods_is_bounded(pc, client, monkeypatch):
    monkeypatch.setattr(pc.PlatformClient, "_build_session", lambda self: pc.PlatformClient._url(self, "x"))
    monkeypatch.setattr(pc.PlatformClient, "_url", lambda self, path: self._build_session())
    with pytest.raises(RecursionError):
        client._build_session()


_DELETE = object()


def _assign(function, attribute, value):
    """What assigning (or deleting) leaves behind: the error, or the value read back."""
    try:
        if value is _DELETE:
            delattr(function, attribute)
        else:
            setattr(function, attribute, value)
    except (TypeError, AttributeError) as error:
        return type(error), str(error)
    return "reads", getattr(function, attribute)


@pytest.mark.parametrize("attribute, value", [
    ("__module__", "elsewhere"), ("__module__", None), ("__module__", 5), ("__module__", _DELETE),
    ("__defaults__", ()), ("__defaults__", None), ("__defaults__", [1]), ("__defaults__", _DELETE),
    ("__kwdefaults__", {"engagement_status": "x"}), ("__kwdefaults__", None), ("__kwdefaults__", [1]),
    ("__kwdefaults__", _DELETE),
    ("__annotations__", {"a": "int"}), ("__annotations__", None), ("__annotations__", [1]),
    ("__annotations__", _DELETE),
    ("__doc__", "text"), ("__doc__", 5), ("__doc__", _DELETE),
    ("__name__", "renamed"), ("__name__", None), ("__name__", _DELETE),
    ("__qualname__", "Other.renamed"), ("__qualname__", 1), ("__qualname__", _DELETE),
    ("__dict__", {"a": 1}), ("__dict__", None),
])
def test_attribute_assignment_and_deletion_like_python(pc, monkeypatch, attribute, value):
    compiled = pc.PlatformClient.update_engagement_status
    monkeypatch.setattr(compiled, attribute, getattr(compiled, attribute))  # restored afterwards
    assert _assign(compiled, attribute, value) == _assign(python_twin().update_engagement_status, attribute, value)


@pytest.mark.parametrize("kwdefaults", [None, {}, {"unrelated": 1}])
def test_keyword_only_defaults_are_read_at_call_time(pc, monkeypatch, kwdefaults):
    compiled = pc.PlatformClient.update_engagement_status
    monkeypatch.setattr(compiled, "__kwdefaults__", kwdefaults)
    twin = python_twin().update_engagement_status
    twin.__kwdefaults__ = kwdefaults
    keywords = {"engagement_name": "e", "branch_name": "b", "repository_id": "1"}
    with pytest.raises(TypeError) as expected:
        twin(None, **keywords)
    with pytest.raises(TypeError) as got:
        compiled(None, **keywords)
    assert str(got.value) == str(expected.value)


def test_signature_can_be_assigned_and_deleted_like_on_python_functions(pc, monkeypatch):
    function = pc.PlatformClient._url
    built = inspect.signature(function)
    replacement = inspect.Signature()
    function.__signature__ = replacement
    try:
        assert inspect.signature(function) is replacement
    finally:
        del function.__signature__
    assert inspect.signature(function) == built
    with pytest.raises(AttributeError):
        del function.__signature__
    with pytest.raises(AttributeError, match="readonly attribute"):
        function.__globals__ = {}
