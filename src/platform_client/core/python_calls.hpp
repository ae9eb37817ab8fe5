// Calling Python from C++ the way Python code would: vectorcall with keyword
// names, method calls through attribute lookup on the object (so a host that
// overrides a method on the class or on the instance is obeyed), and the
// optional-attribute lookup that tells a missing attribute from an error.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <type_traits>

#include "core/interned.hpp"

namespace py = pybind11;

namespace qc {

// A keyword argument: kw{"timeout"_id, value}.
struct kw {
    PyObject* name;
    py::handle value;
};

namespace detail {

template <class T>
inline constexpr bool is_kw = std::is_same_v<std::decay_t<T>, kw>;

inline py::handle as_handle(py::handle h) { return h; }

// stack[0] is scratch space so callees may use PY_VECTORCALL_ARGUMENTS_OFFSET.
template <class... A>
struct ArgumentStack {
    static constexpr std::size_t total = sizeof...(A);
    static constexpr std::size_t keywords = (0 + ... + (is_kw<A> ? 1 : 0));
    static constexpr std::size_t positionals = total - keywords;
    PyObject* stack[total + 2] = {};
    py::object kwnames;

    explicit ArgumentStack(py::handle first, const A&... args) {
        stack[1] = first.ptr();
        if constexpr (keywords > 0) {
            kwnames = py::reinterpret_steal<py::object>(PyTuple_New(keywords));
            if (!kwnames) throw py::error_already_set();
        }
        [[maybe_unused]] std::size_t positional_slot = 2;
        [[maybe_unused]] std::size_t keyword_slot = 0;
        (place(args, positional_slot, keyword_slot), ...);
    }

    template <class T>
    void place(const T& value, std::size_t& positional_slot, std::size_t& keyword_slot) {
        if constexpr (is_kw<T>) {
            Py_INCREF(value.name);
            PyTuple_SET_ITEM(kwnames.ptr(), keyword_slot, value.name);
            stack[2 + positionals + keyword_slot] = value.value.ptr();
            ++keyword_slot;
        } else {
            stack[positional_slot++] = as_handle(value).ptr();
        }
    }
};

inline py::object checked(PyObject* result) {
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

}  // namespace detail

// callable(args..., name=value...)
template <class... A>
py::object call(py::handle callable, const A&... args) {
    if constexpr (sizeof...(A) == 0) {
        return detail::checked(PyObject_CallNoArgs(callable.ptr()));
    } else {
        // The first argument is stored in stack[1]; a placeholder handle keeps
        // the stack layout identical to call_method's.
        detail::ArgumentStack<A...> s(py::handle(), args...);
        return detail::checked(PyObject_Vectorcall(
            callable.ptr(), s.stack + 2,
            detail::ArgumentStack<A...>::positionals | PY_VECTORCALL_ARGUMENTS_OFFSET,
            s.kwnames.ptr()));
    }
}

// self.name(args..., name=value...), looked up on self at each call.
template <class... A>
py::object call_method(py::handle self, PyObject* name, const A&... args) {
    detail::ArgumentStack<A...> s(self, args...);
    return detail::checked(PyObject_VectorcallMethod(
        name, s.stack + 1,
        (detail::ArgumentStack<A...>::positionals + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
        s.kwnames.ptr()));
}

inline py::object getattr(py::handle obj, PyObject* name) {
    return detail::checked(PyObject_GetAttr(obj.ptr(), name));
}

// The attribute, or nullopt when it is missing; any other error propagates.
std::optional<py::object> optional_attr(py::handle obj, PyObject* name);

// dict.get(key) without a C++ exception on a miss.
std::optional<py::object> dict_get(py::handle dict, py::handle key);

inline bool truthy(py::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

// left <op> right, e.g. compare(a, b, Py_EQ)
inline bool compare(py::handle left, py::handle right, int op) {
    int result = PyObject_RichCompareBool(left.ptr(), right.ptr(), op);
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

// left == right
inline bool equal(py::handle left, py::handle right) { return compare(left, right, Py_EQ); }

// item in container
inline bool contains(py::handle container, py::handle item) {
    int result = PySequence_Contains(container.ptr(), item.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

// format(value, '')
inline py::str format_plain(py::handle value) {
    if (PyUnicode_CheckExact(value.ptr())) return py::reinterpret_borrow<py::str>(value);
    return py::reinterpret_steal<py::str>(detail::checked(PyObject_Format(value.ptr(), nullptr)).release());
}

}  // namespace qc
