// Interpreter depth accounting for work that recurses through nested values.
#pragma once

#include <Python.h>

namespace qc {

// One level of interpreter depth for native work that stands for a Python
// function's frame: a call of the module's functions, a method call a native
// step stands in for, a level of nested values. Before 3.12 frames and C calls
// share one count (Py_EnterRecursiveCall); from 3.12 frames count on their own
// against sys.getrecursionlimit(), and so does this, with a check of the C
// stack in place of the count of C calls. `where` ends the RecursionError's
// message where the shared count reports it.
void enter_frame_depth(const char* where);
void leave_frame_depth() noexcept;

// At least `levels` more frames (and C calls) fit under the depth limit: a
// native step that stands for that many nested calls cannot meet it.
bool frame_depth_left(int levels);

// One level of a nested container. The interpreter's depth limit is the
// first guard; a check of the C stack covers hosts that raise that limit
// beyond what the stack can hold, so deep nesting ends in RecursionError,
// never in a crash.
class NestingGuard {
public:
    NestingGuard();
    ~NestingGuard() { leave_frame_depth(); }
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;
};

// The depth a call through a method adds, for native steps that stand in for
// such a call: the same input reaches the depth limit at the same point.
class CallDepth {
public:
    CallDepth() { enter_frame_depth(" while calling a Python object"); }
    ~CallDepth() { leave_frame_depth(); }
    CallDepth(const CallDepth&) = delete;
    CallDepth& operator=(const CallDepth&) = delete;
};

// The depth a call of a built-in method adds (str.lower, Pattern.sub), for
// native steps that stand in for one: the interpreter counts it as a C call.
class BuiltinCallDepth {
public:
    BuiltinCallDepth();
    ~BuiltinCallDepth() { Py_LeaveRecursiveCall(); }
    BuiltinCallDepth(const BuiltinCallDepth&) = delete;
    BuiltinCallDepth& operator=(const BuiltinCallDepth&) = delete;
};

}  // namespace qc
