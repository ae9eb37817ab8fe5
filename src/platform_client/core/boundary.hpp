// The one place where C++ meets the interpreter. Every entry point that
// Python calls runs its body through `guarded`: a Python error travels as
// py::error_already_set and is restored; any other C++ exception becomes a
// Python exception. Nothing else catches at the boundary.
#pragma once

#include <pybind11/pybind11.h>

#include <new>
#include <stdexcept>

namespace py = pybind11;

namespace qc {

void set_error_from_current_exception();

template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return std::forward<Body>(body)().release().ptr();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

template <class Body>
int guarded_status(Body&& body) noexcept {
    try {
        std::forward<Body>(body)();
        return 0;
    } catch (...) {
        set_error_from_current_exception();
        return -1;
    }
}

}  // namespace qc
