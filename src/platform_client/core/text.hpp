// Log lines and messages assembled the way an f-string assembles them: each
// piece rendered with format(piece, '') and the pieces concatenated.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>

#include "core/interned.hpp"
#include "core/python_calls.hpp"

namespace py = pybind11;

namespace qc {

inline py::str text_of(std::initializer_list<py::handle> pieces) {
    py::tuple parts(pieces.size());
    Py_ssize_t index = 0;
    for (py::handle piece : pieces) PyTuple_SET_ITEM(parts.ptr(), index++, format_plain(piece).release().ptr());
    return py::reinterpret_steal<py::str>(detail::checked(PyUnicode_Join(""_id, parts.ptr())).release());
}

}  // namespace qc
