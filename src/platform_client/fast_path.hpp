// Guards for native shortcuts. A shortcut may stand in for Python-level work
// only while every object it replaces is still the one the module or the
// standard library put there; a host that rebinds a global or overrides a
// method gets the general path, and with it every call it can observe.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

#include "function_object.hpp"

namespace py = pybind11;

namespace qc {

// `obj` is `module_name.name` as the standard library defines it: the object
// the loaded module held under that name and defined there (not a host's
// replacement assigned into the module). Names are interned strings.
bool is_stdlib_object(py::handle obj, PyObject* module_name, PyObject* name);

// `obj` is a Python function defined in `module_name` as `qualname` (a
// method as "Class.method"), for class attributes the standard library
// looks up at each call.
bool is_defined_as(py::handle obj, PyObject* module_name, PyObject* qualname);

// The module global `name` is the standard library's `module_name.name`.
bool global_is_stdlib(const Call& c, PyObject* name, PyObject* module_name);

// `module_name.name` is still the function the standard module defines (the
// helpers that standard functions look up at each call).
bool stdlib_function_intact(PyObject* module_name, PyObject* name);

// `obj` is a built-in function (or a C method bound to its object) whose
// C name is `name`.
bool is_builtin_named(PyObject* obj, const char* name);

// sys.modules[module_name] when it is a module, borrowed; else NULL.
PyObject* loaded_module(PyObject* module_name);

// module.__dict__[name], borrowed; NULL when missing (no error set).
PyObject* module_value(PyObject* module, PyObject* name);

// Each (name, qualname) of `methods` found on `type` is a Python function
// defined in `module_name` as qualname, as is_defined_as checks it.
bool methods_defined_as(PyTypeObject* type, PyObject* module_name,
                        std::initializer_list<std::pair<PyObject*, PyObject*>> methods);

// `self.name` finds the module's own method made from `spec`: attribute
// lookup is the ordinary one, the instance does not shadow the name, and the
// class (or the base it inherits from) holds that function.
bool is_own_method(const Call& c, py::handle self, PyObject* name, const FunctionSpec& spec);

// `self.name` is a plain instance attribute: ordinary lookup and nothing of
// that name on the class (no property or other descriptor).
bool is_plain_attribute(py::handle self, PyObject* name);

// Instances of `type` carry a `__dict__` (kept at an offset, or managed by
// the interpreter from 3.11 on).
inline bool has_instance_dict(PyTypeObject* type) {
#ifdef Py_TPFLAGS_MANAGED_DICT
    if (type->tp_flags & Py_TPFLAGS_MANAGED_DICT) return true;
#endif
    return type->tp_dictoffset != 0;
}

// `obj` is a compiled pattern of the standard `re` with this source and flags.
bool is_compiled_pattern(py::handle obj, const char* pattern, long flags);

}  // namespace qc

namespace qc {

// A guard that passed, remembered as the versions of what it read: the
// dictionaries it looked names up in (module namespaces, sys.modules) and the
// types whose attributes it looked up. While none of them has changed, the
// same lookups would find the same objects, so the guard holds without being
// repeated. Interpreters without these version tags repeat it every time.
class GuardMemo {
public:
    // The guard passed for exactly these objects and nothing it read changed.
    bool holds(std::initializer_list<PyObject*> keys) const;
    // Records a guard about to be checked for these objects; the reads
    // follow, then seal() when it passed.
    void begin(std::initializer_list<PyObject*> keys);
    void read_dict(PyObject* dict);
    void read_type(PyTypeObject* type);
    // A function's __defaults__, which no dictionary version covers.
    void read_defaults(PyObject* function);
    // An object's __dict__: the same dictionary, unchanged.
    void read_instance_dict(PyObject* obj);
    void seal();

private:
    enum class Kind { dict, type, defaults, instance_dict };
    struct Read {
        Kind kind;
        py::object obj;
        std::uint64_t version;
        py::object held;  // the defaults tuple, or the instance's dictionary
    };
    static bool unchanged(const Read& read);

    std::vector<py::object> keys_;
    std::vector<Read> reads_;
    bool sealed_ = false;
    bool recordable_ = false;
};

}  // namespace qc
