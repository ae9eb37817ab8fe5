// The body of an `except` clause written in C++.
//
// A C++ catch does not tell the interpreter that an exception is being
// handled, so Python code called from inside it would neither see it in
// sys.exc_info() nor chain onto it. While a HandlingScope lives, the caught
// exception is the thread's handled exception, exactly as inside a Python
// `except` block: anything raised by the calls made there gets it as
// __context__.
#pragma once

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace qc {

class HandlingScope {
public:
    explicit HandlingScope(const py::error_already_set& handled) {
        PyErr_GetExcInfo(&saved_type_, &saved_value_, &saved_traceback_);
        PyErr_SetExcInfo(Py_XNewRef(handled.type().ptr()), Py_XNewRef(handled.value().ptr()),
                         Py_XNewRef(handled.trace().ptr()));
    }
    ~HandlingScope() { PyErr_SetExcInfo(saved_type_, saved_value_, saved_traceback_); }

    HandlingScope(const HandlingScope&) = delete;
    HandlingScope& operator=(const HandlingScope&) = delete;

private:
    PyObject* saved_type_ = nullptr;
    PyObject* saved_value_ = nullptr;
    PyObject* saved_traceback_ = nullptr;
};

}  // namespace qc
