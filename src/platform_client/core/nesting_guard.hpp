// Depth accounting for native work that recurses: calls of the module's
// functions and levels of nested values.
#pragma once

#include <Python.h>

namespace qc {

// One level of depth. The interpreter's recursion limit is the first guard; a
// check of the C stack covers hosts that raise that limit beyond what the
// stack can hold, so deep nesting ends in RecursionError, never in a crash.
class NestingGuard {
public:
    NestingGuard();
    ~NestingGuard() { Py_LeaveRecursiveCall(); }
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;
};

}  // namespace qc
