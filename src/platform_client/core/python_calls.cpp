#include "core/python_calls.hpp"

namespace qc {

std::optional<py::object> optional_attr(py::handle obj, PyObject* name) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value = nullptr;
    int found = PyObject_GetOptionalAttr(obj.ptr(), name, &value);
    if (found < 0) throw py::error_already_set();
    if (found == 0) return std::nullopt;
    return py::reinterpret_steal<py::object>(value);
#else
    PyObject* value = PyObject_GetAttr(obj.ptr(), name);
    if (value) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return std::nullopt;
#endif
}

std::optional<py::object> dict_get(py::handle dict, py::handle key) {
    PyObject* value = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (value) return py::reinterpret_borrow<py::object>(value);
    if (PyErr_Occurred()) throw py::error_already_set();
    return std::nullopt;
}

}  // namespace qc
