// Interpreter depth accounting for work that recurses through nested values.
#pragma once

#include <Python.h>

namespace qc {

// One level of a nested container. The interpreter's depth limit is the
// first guard; a check of the C stack covers hosts that raise that limit
// beyond what the stack can hold (before 3.12 the two are not tied), so deep
// nesting ends in RecursionError, never in a crash.
class NestingGuard {
public:
    NestingGuard();
    ~NestingGuard() { Py_LeaveRecursiveCall(); }
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;
};

// The depth a call through a method adds, for native steps that stand in for
// such a call: the same input reaches the depth limit at the same point.
class CallDepth {
public:
    CallDepth();
    ~CallDepth() { Py_LeaveRecursiveCall(); }
    CallDepth(const CallDepth&) = delete;
    CallDepth& operator=(const CallDepth&) = delete;
};

}  // namespace qc
