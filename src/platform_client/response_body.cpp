#include "response_body.hpp"

#include <string_view>

#include "compact_json.hpp"
#include "fast_path.hpp"
#include "interned.hpp"
#include "python_calls.hpp"

namespace qc {
namespace {

// A property of requests' Response whose getter is the library's own.
bool property_getter_is(PyTypeObject* type, PyObject* name, PyObject* qualname) {
    PyObject* found = _PyType_Lookup(type, name);
    if (!found || Py_TYPE(found) != &PyProperty_Type) return false;
    std::optional<py::object> getter = optional_attr(found, "fget"_id);
    return getter && is_defined_as(*getter, "requests.models"_id, qualname);
}

// The names requests' code reads as plain instance attributes: nothing on
// the class may stand in for them.
bool instance_attributes_are_plain(PyTypeObject* type) {
    for (PyObject* name : {"_content"_id, "_content_consumed"_id, "encoding"_id, "status_code"_id, "reason"_id}) {
        if (_PyType_Lookup(type, name)) return false;
    }
    return true;
}

// The builtins Response.text and raise_for_status call (str, isinstance)
// are the interpreter's, and requests.models does not shadow them.
bool builtins_are_standard(PyObject* models_namespace, PyObject* builtins_namespace) {
    for (PyObject* name : {"str"_id, "isinstance"_id}) {
        if (PyDict_GetItemWithError(models_namespace, name)) return false;
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
    }
    PyObject* str = PyDict_GetItemWithError(builtins_namespace, "str"_id);
    PyObject* isinstance = PyDict_GetItemWithError(builtins_namespace, "isinstance"_id);
    if (PyErr_Occurred()) PyErr_Clear();
    return str == reinterpret_cast<PyObject*>(&PyUnicode_Type) && is_builtin_named(isinstance, "isinstance") &&
           PyCFunction_GET_SELF(isinstance) == loaded_module("builtins"_id);
}

struct ResponseType {
    bool plain = false;
    PyObject* scanner = nullptr;  // json.loads of requests' json module; NULL when it must be called
};

ResponseType checked_response_type(PyTypeObject* type, GuardMemo& memo) {
    ResponseType checked;
    PyObject* models = loaded_module("requests.models"_id);
    PyObject* builtins = loaded_module("builtins"_id);
    if (!models || !builtins || type->tp_getattro != PyObject_GenericGetAttr ||
        !is_stdlib_object(reinterpret_cast<PyObject*>(type), "requests.models"_id, "Response"_id) ||
        !property_getter_is(type, "text"_id, "Response.text"_id) ||
        !property_getter_is(type, "content"_id, "Response.content"_id) ||
        !methods_defined_as(type, "requests.models"_id,
                            {{"json"_id, "Response.json"_id}, {"raise_for_status"_id, "Response.raise_for_status"_id}}) ||
        !instance_attributes_are_plain(type) ||
        !builtins_are_standard(PyModule_GetDict(models), PyModule_GetDict(builtins))) {
        return checked;
    }
    checked.plain = true;
    memo.read_dict(PyImport_GetModuleDict());
    memo.read_dict(PyModule_GetDict(models));
    memo.read_dict(PyModule_GetDict(builtins));
    memo.read_type(type);
    // Response.json decodes with whatever requests.models calls complexjson.
    PyObject* json = module_value(models, "complexjson"_id);
    PyObject* scanner = json ? checked_scanner_of(json, memo) : nullptr;
    if (scanner && has_default_settings(scanner)) checked.scanner = scanner;
    return checked;
}

// What the type allows, remembered while nothing it was checked against
// changes; a type that fails is checked again at each call.
ResponseType response_type(PyTypeObject* type) {
    static GuardMemo& memo = *new GuardMemo;
    static ResponseType known;  // the scanner is held by the decoder, which the memo watches
    PyObject* key = reinterpret_cast<PyObject*>(type);
    if (memo.holds({key})) return known;
    memo.begin({key});
    known = checked_response_type(type, memo);
    if (known.plain && known.scanner) {
        memo.seal();
        return known;
    }
    ResponseType found = known;
    known = {};
    return found;
}

// response.name finds the class's method: nothing on the instance shadows it.
bool method_not_shadowed(py::handle response, PyObject* name) {
    PyObject* bound = PyObject_GetAttr(response.ptr(), name);
    if (!bound) {
        PyErr_Clear();
        return false;
    }
    py::object held = py::reinterpret_steal<py::object>(bound);
    return PyMethod_Check(bound) && PyMethod_GET_SELF(bound) == response.ptr() &&
           PyMethod_GET_FUNCTION(bound) == _PyType_Lookup(Py_TYPE(response.ptr()), name);
}

// The names under which str() decodes with its own UTF-8 decoder.
bool names_utf8(PyObject* encoding) {
    if (!PyUnicode_CheckExact(encoding) || !PyUnicode_IS_ASCII(encoding)) return false;
    std::string_view name(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(encoding)),
                          static_cast<std::size_t>(PyUnicode_GET_LENGTH(encoding)));
    if (name.size() < 4 || name.size() > 5) return false;
    char lower[5];
    for (std::size_t i = 0; i < name.size(); ++i) {
        char ch = name[i];
        lower[i] = ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
    }
    std::string_view folded(lower, name.size());
    return folded == "utf-8" || folded == "utf_8" || folded == "utf8";
}

}  // namespace

std::optional<ResponseText> plain_response_text(py::handle response) {
    if (!response_type(Py_TYPE(response.ptr())).plain) return std::nullopt;
    std::optional<py::object> content = optional_attr(response, "_content"_id);
    std::optional<py::object> consumed = optional_attr(response, "_content_consumed"_id);
    std::optional<py::object> encoding = optional_attr(response, "encoding"_id);
    // Content not read yet is read by the property; reading it again sets
    // the flag that is already set here.
    if (!content || !consumed || !encoding || consumed->ptr() != Py_True) return std::nullopt;
    PyObject* body = content->ptr();
    if (body == Py_None || (PyBytes_CheckExact(body) && PyBytes_GET_SIZE(body) == 0)) {
        return ResponseText{py::reinterpret_borrow<py::object>(""_id), *content, *encoding};
    }
    if (!PyBytes_CheckExact(body) || !names_utf8(encoding->ptr())) return std::nullopt;
    py::object text = detail::checked(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(body), PyBytes_GET_SIZE(body), "replace"));
    return ResponseText{std::move(text), *content, *encoding};
}

bool plain_response_status_passes(py::handle response) {
    if (!response_type(Py_TYPE(response.ptr())).plain || !method_not_shadowed(response, "raise_for_status"_id)) {
        return false;
    }
    std::optional<py::object> reason = optional_attr(response, "reason"_id);
    std::optional<py::object> status = optional_attr(response, "status_code"_id);
    if (!reason || !status || !PyLong_CheckExact(status->ptr())) return false;
    // A reason in bytes is decoded by the library's own codecs, which cannot fail or run host code.
    PyObject* why = reason->ptr();
    if (why != Py_None && !PyUnicode_CheckExact(why) && !PyBytes_CheckExact(why)) return false;
    int overflow = 0;
    long long code = PyLong_AsLongLongAndOverflow(status->ptr(), &overflow);
    if (code == -1 && PyErr_Occurred()) throw py::error_already_set();
    return overflow != 0 || code < 400 || code >= 600;
}

std::optional<py::object> plain_response_json(py::handle response, const ResponseText& text) {
    ResponseType type = response_type(Py_TYPE(response.ptr()));
    if (!type.plain || !type.scanner || !method_not_shadowed(response, "json"_id)) return std::nullopt;
    // json() reads the text again: the same text while the content and
    // encoding it came from are the same objects.
    std::optional<py::object> content = optional_attr(response, "_content"_id);
    std::optional<py::object> consumed = optional_attr(response, "_content_consumed"_id);
    std::optional<py::object> encoding = optional_attr(response, "encoding"_id);
    if (!content || !consumed || !encoding || content->ptr() != text.content.ptr() ||
        encoding->ptr() != text.encoding.ptr() || consumed->ptr() != Py_True) {
        return std::nullopt;
    }
    // With no encoding, json() guesses one from the bytes first.
    if (!PyUnicode_CheckExact(encoding->ptr()) || PyUnicode_GET_LENGTH(encoding->ptr()) == 0) return std::nullopt;
    return loads_with(type.scanner, text.text);
}

}  // namespace qc
