#include "python_calls.hpp"

namespace qc {

std::optional<py::object> optional_attr(py::handle obj, PyObject* name) {
    PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    int found = PyObject_GetOptionalAttr(obj.ptr(), name, &value);
#else
    int found = _PyObject_LookupAttr(obj.ptr(), name, &value);
#endif
    if (found < 0) throw py::error_already_set();
    if (found == 0) return std::nullopt;
    return py::reinterpret_steal<py::object>(value);
}

std::optional<py::object> dict_get(py::handle dict, py::handle key) {
    PyObject* value = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (value) return py::reinterpret_borrow<py::object>(value);
    if (PyErr_Occurred()) throw py::error_already_set();
    return std::nullopt;
}

}  // namespace qc
