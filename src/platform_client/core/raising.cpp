#include "core/raising.hpp"

namespace qc {
namespace {

void set_context(py::handle exc, py::handle context) {
    if (context && context.ptr() != exc.ptr()) PyException_SetContext(exc.ptr(), Py_NewRef(context.ptr()));
}

}  // namespace

void raise(py::handle exc) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    throw py::error_already_set();
}

void raise_in_handler(py::handle exc, py::handle handled) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    set_context(exc, handled);
    throw py::error_already_set();
}

void raise_from(py::handle exc, py::handle cause, py::handle handled) {
    PyException_SetCause(exc.ptr(), Py_NewRef(cause.ptr()));  // also sets __suppress_context__
    raise_in_handler(exc, handled);
}

void raise_from_none(py::handle exc, py::handle handled) {
    PyException_SetCause(exc.ptr(), nullptr);  // also sets __suppress_context__
    raise_in_handler(exc, handled);
}

bool matches(const py::error_already_set& error, py::handle type) {
    int result = PyObject_IsInstance(error.value().ptr(), type.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

}  // namespace qc
