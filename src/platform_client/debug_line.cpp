#include "debug_line.hpp"

#include <Python.h>
#include <frameobject.h>

#include <optional>

#include "fast_path.hpp"
#include "nesting_guard.hpp"
#include "python_calls.hpp"

namespace qc {
namespace {

// The methods of Logger that logger.debug(msg) runs through.
bool methods_are_standard(PyTypeObject* logger_type) {
    return methods_defined_as(logger_type, "logging"_id,
                              {{"debug"_id, "Logger.debug"_id},
                               {"_log"_id, "Logger._log"_id},
                               {"findCaller"_id, "Logger.findCaller"_id},
                               {"makeRecord"_id, "Logger.makeRecord"_id}});
}

// What findCaller reads: logging's currentframe (sys._getframe) and, where
// it has one, _is_internal_frame with os.path.normcase, which leaves POSIX
// file names as they are.
bool frame_reading_is_standard(PyObject* logging) {
    PyObject* current_frame = module_value(logging, "currentframe"_id);
    if (!current_frame || !is_defined_as(current_frame, "logging"_id, "<lambda>"_id)) return false;
    PyObject* internal = module_value(logging, "_is_internal_frame"_id);
    if (internal && !is_defined_as(internal, "logging"_id, "_is_internal_frame"_id)) return false;
    PyObject* sys = loaded_module("sys"_id);
    if (!sys || module_value(logging, "sys"_id) != sys) return false;
    if (!is_builtin_named(module_value(sys, "_getframe"_id), "_getframe")) return false;
    PyObject* os = loaded_module("os"_id);
    PyObject* posixpath = loaded_module("posixpath"_id);
    if (!os || !posixpath || module_value(logging, "os"_id) != os) return false;
    if (module_value(os, "path"_id) != posixpath) return false;
    return stdlib_function_intact("posixpath"_id, "normcase"_id);
}

bool checked_standard_path(PyObject* logging, PyTypeObject* logger_type) {
    PyObject* declared = module_value(logging, "Logger"_id);
    if (declared != reinterpret_cast<PyObject*>(logger_type)) return false;
    if (!is_stdlib_object(declared, "logging"_id, "Logger"_id)) return false;
    return methods_are_standard(logger_type) && frame_reading_is_standard(logging);
}

bool is_standard_path(PyObject* logging, PyTypeObject* logger_type) {
    static GuardMemo& memo = *new GuardMemo;
    PyObject* type = reinterpret_cast<PyObject*>(logger_type);
    if (memo.holds({logging, type})) return true;
    memo.begin({logging, type});
    if (!checked_standard_path(logging, logger_type)) return false;
    memo.read_dict(PyImport_GetModuleDict());
    memo.read_dict(PyModule_GetDict(logging));
    memo.read_dict(PyModule_GetDict(loaded_module("sys"_id)));
    memo.read_dict(PyModule_GetDict(loaded_module("os"_id)));
    memo.read_dict(PyModule_GetDict(loaded_module("posixpath"_id)));
    memo.read_type(logger_type);
    memo.seal();
    return true;
}

// The logger's own attributes leave the path's methods to its class.
bool instance_keeps_methods(py::handle logger) {
    PyObject** slot = _PyObject_GetDictPtr(logger.ptr());
    if (!slot || !*slot) return true;
    if (!PyDict_CheckExact(*slot)) return false;
    for (PyObject* name : {"debug"_id, "_log"_id, "findCaller"_id, "makeRecord"_id}) {
        if (PyDict_GetItemWithError(*slot, name)) return false;
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

struct Caller {
    py::object filename;
    py::object lineno;
    py::object function;
};

// 1 found, 0 not found, -1 on an error (cleared).
int find_text(PyObject* text, PyObject* part) {
    Py_ssize_t at = PyUnicode_Find(text, part, 0, PY_SSIZE_T_MAX, 1);
    if (at == -2) {
        PyErr_Clear();
        return -1;
    }
    return at >= 0 ? 1 : 0;
}

// findCaller's answer when the innermost Python frame is the caller: it is
// neither logging's own nor importlib's bootstrap. Other stacks are left to
// findCaller itself.
std::optional<Caller> innermost_caller(PyObject* srcfile) {
    PyFrameObject* frame = PyEval_GetFrame();
    if (!frame) return std::nullopt;
    auto code = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
    PyCodeObject* co = reinterpret_cast<PyCodeObject*>(code.ptr());
    PyObject* filename = co->co_filename;
    if (!PyUnicode_CheckExact(filename) || !PyUnicode_CheckExact(co->co_name)) return std::nullopt;
    int same = PyUnicode_Compare(filename, srcfile);
    if (same == 0 || (same == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return std::nullopt;
    }
    int in_importlib = find_text(filename, "importlib"_id);
    int in_bootstrap = find_text(filename, "_bootstrap"_id);
    if (in_importlib < 0 || in_bootstrap < 0 || (in_importlib && in_bootstrap)) return std::nullopt;
    int lineno = PyFrame_GetLineNumber(frame);
    if (lineno < 0) return std::nullopt;
    return Caller{py::reinterpret_borrow<py::object>(filename), py::int_(lineno),
                  py::reinterpret_borrow<py::object>(co->co_name)};
}

// What the path reads from logging before its first step; a name missing
// there is left to the Python path, which reports it.
struct PathGlobals {
    PyObject* srcfile;
    PyObject* level;
};

std::optional<PathGlobals> path_globals(PyObject* logging) {
    PyObject* srcfile = module_value(logging, "_srcfile"_id);
    if (!srcfile || !PyUnicode_CheckExact(srcfile) || PyUnicode_GET_LENGTH(srcfile) == 0) return std::nullopt;
    PyObject* level = module_value(logging, "DEBUG"_id);
    if (!level || !module_value(logging, "_logRecordFactory"_id)) return std::nullopt;
    return PathGlobals{srcfile, level};
}

// logging's record factory as makeRecord reads it, after isEnabledFor ran.
py::object record_factory(PyObject* logging) {
    PyObject* factory = module_value(logging, "_logRecordFactory"_id);
    if (!factory) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", "_logRecordFactory"_id);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(factory);
}

// Logger.debug's steps; false, having done nothing, when they are not the
// standard ones or the stack is one this does not follow.
bool standard_debug(py::handle logger, py::handle text) {
    PyObject* logging = loaded_module("logging"_id);
    if (!logging || !is_standard_path(logging, Py_TYPE(logger.ptr())) || !instance_keeps_methods(logger)) {
        return false;
    }
    std::optional<PathGlobals> globals = path_globals(logging);
    // findCaller and the calls below it stay far from the depth limit, so
    // nothing here can meet it where the Python path would not.
    if (!globals || !frame_depth_left(32)) return false;
    std::optional<Caller> caller = innermost_caller(globals->srcfile);
    if (!caller) return false;
    py::object level = py::reinterpret_borrow<py::object>(globals->level);

    CallDepth debug_frame;
    if (!truthy(call_method(logger, "isEnabledFor"_id, level))) return true;
    CallDepth log_frame;
    py::object name = getattr(logger, "name"_id);
    py::object record;
    {
        CallDepth make_record_frame;
        record = call(record_factory(logging), name, level, caller->filename, caller->lineno, text, py::tuple(),
                      py::none(), caller->function, py::none());
    }
    call_method(logger, "handle"_id, record);
    return true;
}

}  // namespace

void log_debug(const Call& c, py::handle text) {
    py::object logger = c.global("logger"_id);
    if (!standard_debug(logger, text)) call_method(logger, "debug"_id, text);
}

}  // namespace qc
