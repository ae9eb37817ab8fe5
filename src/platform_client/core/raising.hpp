// Raising Python exceptions from C++ with Python's chaining semantics.
//
// PyErr_SetObject chains only onto an exception that *Python* code is
// handling; an exception caught in C++ (as py::error_already_set) is not
// "being handled" in that sense, so each helper sets __context__ (and, for
// `raise ... from`, __cause__ and __suppress_context__) itself.
#pragma once

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace qc {

// raise exc
[[noreturn]] void raise(py::handle exc);

// raise exc   (inside `except` that caught `handled`)
[[noreturn]] void raise_in_handler(py::handle exc, py::handle handled);

// raise exc from cause   (inside `except` that caught `handled`)
[[noreturn]] void raise_from(py::handle exc, py::handle cause, py::handle handled);

// raise exc from None   (inside `except` that caught `handled`)
[[noreturn]] void raise_from_none(py::handle exc, py::handle handled);

// isinstance(caught exception, type); type may be a class or a tuple
bool matches(const py::error_already_set& error, py::handle type);

}  // namespace qc
