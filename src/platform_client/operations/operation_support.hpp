// Small helpers of the platform operations: reading members of the platform's JSON answers without trusting their shape.
//
// A CI agent meets proxies and half-deployed platforms: an answer may be a list
// where an object was expected, a record may be a string, a member may be null
// or of another type. These helpers let the operations treat such values as
// absent instead of failing with AttributeError or TypeError.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>

#include "core/python_calls.hpp"

namespace py = pybind11;

namespace qc {

// A JSON object as decoded: a dict (a dict subclass is asked through its own get).
inline bool is_json_object(py::handle value) { return PyDict_Check(value.ptr()); }

// record.get(key): None when the key is missing. `record` must be a dict.
inline py::object member(py::handle record, PyObject* key) {
    if (PyDict_CheckExact(record.ptr())) {
        std::optional<py::object> value = dict_get(record, key);
        return value ? *value : py::none();
    }
    return call_method(record, "get"_id, py::handle(key));
}

// The member when it is a string, else None (missing, null or another type).
inline py::object string_member(py::handle record, PyObject* key) {
    py::object value = member(record, key);
    return PyUnicode_Check(value.ptr()) ? value : py::none();
}

// An id the platform can have meant: truthy, and not an object, a list or a
// boolean (str() of those would be sent back as nonsense like "True" or "{...}").
inline bool is_usable_id(py::handle value) {
    PyObject* v = value.ptr();
    if (PyBool_Check(v) || PyDict_Check(v) || PyList_Check(v)) return false;
    return truthy(value);
}

}  // namespace qc
