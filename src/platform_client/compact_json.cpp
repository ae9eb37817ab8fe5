#include "compact_json.hpp"

#include <cstring>
#include <utility>

#include "fast_path.hpp"

namespace qc {
namespace {

PyObject* module_value(PyObject* module, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (!value) PyErr_Clear();
    return value;
}

bool encoder_methods_are_standard(PyObject* encoder_type) {
    static const std::pair<PyObject*, PyObject*> methods[] = {
        {"__init__"_id, "JSONEncoder.__init__"_id},
        {"encode"_id, "JSONEncoder.encode"_id},
        {"iterencode"_id, "JSONEncoder.iterencode"_id},
    };
    for (const auto& [name, qualname] : methods) {
        PyObject* found = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(encoder_type), name);
        if (!found || !is_defined_as(found, "json.encoder"_id, qualname)) return false;
    }
    return true;
}

// _json.make_encoder: the C type the module exports under that name.
bool is_c_encoder_type(PyObject* make_encoder) {
    PyObject* c_json = loaded_module("_json"_id);
    return c_json && PyType_Check(make_encoder) && module_value(c_json, "make_encoder"_id) == make_encoder &&
           std::strcmp(reinterpret_cast<PyTypeObject*>(make_encoder)->tp_name, "_json.Encoder") == 0;
}

}  // namespace

std::optional<py::object> dumps_for_log(const Call& c, py::handle value) {
#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030D0000
    // The steps below are those of the 3.11 and 3.12 encoder.
    (void)c;
    (void)value;
    return std::nullopt;
#else
    PyObject* json = PyDict_GetItemWithError(c.module_globals().ptr(), "json"_id);
    if (!json) {
        PyErr_Clear();
        return std::nullopt;
    }
    PyObject* json_encoder = loaded_module("json.encoder"_id);
    if (json != loaded_module("json"_id) || !json_encoder) return std::nullopt;
    PyObject* dumps = module_value(json, "dumps"_id);
    PyObject* encoder_type = module_value(json, "JSONEncoder"_id);
    PyObject* make_encoder = module_value(json_encoder, "c_make_encoder"_id);
    PyObject* encode_string = module_value(json_encoder, "encode_basestring"_id);
    if (!dumps || !encoder_type || !make_encoder || !encode_string || !PyType_Check(encoder_type) ||
        !is_stdlib_object(dumps, "json"_id, "dumps"_id) ||
        !is_stdlib_object(encoder_type, "json.encoder"_id, "JSONEncoder"_id) ||
        !encoder_methods_are_standard(encoder_type) ||
        !is_c_encoder_type(make_encoder) ||
        !is_stdlib_object(encode_string, "_json"_id, "encode_basestring"_id)) {
        return std::nullopt;
    }
    // JSONEncoder.encode: a string is encoded on its own.
    if (PyUnicode_Check(value.ptr())) return call(encode_string, value);
    // The separators come from the class, as the instance finds them.
    PyObject* key_separator = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(encoder_type), "key_separator"_id);
    PyObject* item_separator = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(encoder_type), "item_separator"_id);
    if (!key_separator || !item_separator) return std::nullopt;
    py::object encoder = call(make_encoder, py::dict(), reinterpret_cast<PyObject*>(&PyUnicode_Type), encode_string,
                              py::none(), key_separator, item_separator, py::bool_(false), py::bool_(false),
                              py::bool_(true));
    py::object chunks = call(encoder, value, py::int_(0));
    if (!PyList_Check(chunks.ptr()) && !PyTuple_Check(chunks.ptr())) {
        chunks = detail::checked(PySequence_List(chunks.ptr()));
    }
    return detail::checked(PyUnicode_Join(py::str("").ptr(), chunks.ptr()));
#endif
}

}  // namespace qc
