#include "nesting_guard.hpp"

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

[[noreturn]] void recursion_error() {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
    throw py::error_already_set();
}

void check_stack() {
    const char* floor = stack_floor();
    if (floor && static_cast<const char*>(__builtin_frame_address(0)) < floor) recursion_error();
}

}  // namespace

void enter_frame_depth(const char* where) {
#if PY_VERSION_HEX >= 0x030C0000
    (void)where;
    check_stack();
    PyThreadState* thread = PyThreadState_Get();
    if (thread->py_recursion_remaining-- <= 0) {
        ++thread->py_recursion_remaining;
        recursion_error();
    }
#else
    if (Py_EnterRecursiveCall(where)) throw py::error_already_set();
#endif
}

void leave_frame_depth() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    ++PyThreadState_Get()->py_recursion_remaining;
#else
    Py_LeaveRecursiveCall();
#endif
}

bool frame_depth_left(int levels) {
    PyThreadState* thread = PyThreadState_Get();
#if PY_VERSION_HEX >= 0x030C0000
    return thread->py_recursion_remaining > levels && thread->c_recursion_remaining > levels;
#elif PY_VERSION_HEX >= 0x030B0000
    return thread->recursion_remaining > levels;
#else
    return Py_GetRecursionLimit() - thread->recursion_depth > levels;
#endif
}

BuiltinCallDepth::BuiltinCallDepth() {
    if (Py_EnterRecursiveCall(" while calling a Python object")) throw py::error_already_set();
}

NestingGuard::NestingGuard() {
    check_stack();
    enter_frame_depth("");
}

}  // namespace qc
