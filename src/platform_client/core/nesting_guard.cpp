#include "core/nesting_guard.hpp"

#include <pthread.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>

namespace py = pybind11;

namespace qc {
namespace {

// Lowest usable address of the calling thread's stack, with a safety margin
// for the calls that follow the check (error reporting, unwinding).
const char* stack_floor() {
    thread_local const char* floor = [] {
        pthread_attr_t attr;
        void* base = nullptr;
        std::size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) return static_cast<const char*>(nullptr);
        pthread_attr_getstack(&attr, &base, &size);
        pthread_attr_destroy(&attr);
        std::size_t margin = std::min<std::size_t>(size / 4, 256 * 1024);
        return static_cast<const char*>(base) + margin;
    }();
    return floor;
}

}  // namespace

NestingGuard::NestingGuard() {
    const char* floor = stack_floor();
    if (floor && static_cast<const char*>(__builtin_frame_address(0)) < floor) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        throw py::error_already_set();
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) throw py::error_already_set();
}

}  // namespace qc
