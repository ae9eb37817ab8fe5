// `a, b, c = value` as the interpreter does it: any iterable, and the
// interpreter's own TypeError/ValueError texts when the count is wrong.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>

namespace py = pybind11;

namespace qc {

template <std::size_t N>
std::array<py::object, N> unpack(py::handle value) {
    std::array<py::object, N> items;
    // The usual case, a tuple of the right size, without an iterator.
    if (PyTuple_CheckExact(value.ptr()) && PyTuple_GET_SIZE(value.ptr()) == static_cast<Py_ssize_t>(N)) {
        for (std::size_t i = 0; i < N; ++i) {
            items[i] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(value.ptr(), static_cast<Py_ssize_t>(i)));
        }
        return items;
    }
    PyObject* raw_iterator = PyObject_GetIter(value.ptr());
    if (!raw_iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value.ptr())->tp_iter == nullptr &&
            !PySequence_Check(value.ptr())) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
    py::object iterator = py::reinterpret_steal<py::object>(raw_iterator);
    for (std::size_t i = 0; i < N; ++i) {
        PyObject* item = PyIter_Next(iterator.ptr());
        if (!item) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %d, got %d)",
                             static_cast<int>(N), static_cast<int>(i));
            }
            throw py::error_already_set();
        }
        items[i] = py::reinterpret_steal<py::object>(item);
    }
    PyObject* extra = PyIter_Next(iterator.ptr());
    if (extra) {
        Py_DECREF(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %d)", static_cast<int>(N));
        throw py::error_already_set();
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return items;
}

}  // namespace qc
