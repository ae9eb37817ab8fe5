#include "fast_path.hpp"

#include <cstring>
#include <vector>

namespace qc {
namespace {

// Objects already found genuine. Verification reads attributes; identity is
// enough afterwards, since the entries are kept alive and these objects do
// not change what they are.
bool seen(std::vector<PyObject*>& cache, PyObject* obj) {
    for (PyObject* known : cache) {
        if (known == obj) return true;
    }
    return false;
}

void remember(std::vector<PyObject*>& cache, PyObject* obj) {
    if (cache.size() < 64) cache.push_back(Py_NewRef(obj));
}

bool text_attribute_is(PyObject* obj, PyObject* attribute, const char* expected) {
    auto value = py::reinterpret_steal<py::object>(PyObject_GetAttr(obj, attribute));
    if (!value) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(value.ptr()) && PyUnicode_CompareWithASCIIString(value.ptr(), expected) == 0;
}

bool text_attribute_is(PyObject* obj, PyObject* attribute, PyObject* expected) {
    auto value = py::reinterpret_steal<py::object>(PyObject_GetAttr(obj, attribute));
    if (!value) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CheckExact(value.ptr()) && PyUnicode_Compare(value.ptr(), expected) == 0;
}

}  // namespace

bool is_builtin_named(PyObject* obj, const char* name) {
    return obj && PyCFunction_Check(obj) &&
           std::strcmp(reinterpret_cast<PyCFunctionObject*>(obj)->m_ml->ml_name, name) == 0;
}

PyObject* loaded_module(PyObject* module_name) {
    PyObject* module = PyDict_GetItemWithError(PyImport_GetModuleDict(), module_name);
    if (!module) {
        PyErr_Clear();
        return nullptr;
    }
    return PyModule_CheckExact(module) ? module : nullptr;
}

PyObject* module_value(PyObject* module, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (!value) PyErr_Clear();
    return value;
}

namespace {

// A standard function found genuine: the object that `module.name` was when
// it was checked, with the __module__ and __qualname__ it is defined with.
// Kept alive here, so its address cannot come back as another object.
struct Genuine {
    PyObject* module_name;  // interned
    PyObject* name;         // interned
    PyObject* obj;
};

std::vector<Genuine>& genuine_objects() {
    static std::vector<Genuine> known;
    return known;
}

Genuine* genuine_entry(PyObject* module_name, PyObject* name) {
    for (Genuine& entry : genuine_objects()) {
        if (entry.module_name == module_name && entry.name == name) return &entry;
    }
    return nullptr;
}

}  // namespace

bool is_stdlib_object(py::handle obj, PyObject* module_name, PyObject* name) {
    Genuine* entry = genuine_entry(module_name, name);
    if (entry && entry->obj == obj.ptr()) return true;
    PyObject* module = loaded_module(module_name);
    if (!module) return false;
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (!value) {
        PyErr_Clear();
        return false;
    }
    if (value != obj.ptr()) return false;
    if (!text_attribute_is(value, "__module__"_id, module_name)) return false;
    if (!text_attribute_is(value, "__qualname__"_id, name)) return false;
    // A reloaded module defines its functions anew.
    if (entry) {
        Py_SETREF(entry->obj, Py_NewRef(value));
    } else if (genuine_objects().size() < 64) {
        genuine_objects().push_back({module_name, name, Py_NewRef(value)});
    }
    return true;
}

bool is_defined_as(py::handle obj, PyObject* module_name, PyObject* qualname) {
    Genuine* entry = genuine_entry(module_name, qualname);
    if (entry && entry->obj == obj.ptr()) return true;
    if (!PyFunction_Check(obj.ptr())) return false;
    if (!text_attribute_is(obj.ptr(), "__module__"_id, module_name)) return false;
    if (!text_attribute_is(obj.ptr(), "__qualname__"_id, qualname)) return false;
    if (entry) {
        Py_SETREF(entry->obj, Py_NewRef(obj.ptr()));
    } else if (genuine_objects().size() < 64) {
        genuine_objects().push_back({module_name, qualname, Py_NewRef(obj.ptr())});
    }
    return true;
}

bool methods_defined_as(PyTypeObject* type, PyObject* module_name,
                        std::initializer_list<std::pair<PyObject*, PyObject*>> methods) {
    for (const auto& [name, qualname] : methods) {
        PyObject* found = _PyType_Lookup(type, name);
        if (!found || !is_defined_as(found, module_name, qualname)) return false;
    }
    return true;
}

bool global_is_stdlib(const Call& c, PyObject* name, PyObject* module_name) {
    PyObject* value = PyDict_GetItemWithError(c.module_globals().ptr(), name);
    if (!value) {
        PyErr_Clear();
        return false;
    }
    return is_stdlib_object(value, module_name, name);
}

bool stdlib_function_intact(PyObject* module_name, PyObject* name) {
    PyObject* module = loaded_module(module_name);
    if (!module) return false;
    PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), name);
    if (!value) {
        PyErr_Clear();
        return false;
    }
    return is_stdlib_object(value, module_name, name);
}

bool is_plain_attribute(py::handle self, PyObject* name) {
    PyTypeObject* type = Py_TYPE(self.ptr());
    return type->tp_getattro == PyObject_GenericGetAttr && _PyType_Lookup(type, name) == nullptr;
}

bool is_own_method(const Call& c, py::handle self, PyObject* name, const FunctionSpec& spec) {
    PyTypeObject* type = Py_TYPE(self.ptr());
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    PyObject* found = _PyType_Lookup(type, name);
    if (!found || !is_function_of(found, spec, c.module_globals())) return false;
    if (!has_instance_dict(type)) return true;
    auto instance_dict = py::reinterpret_steal<py::object>(PyObject_GenericGetDict(self.ptr(), nullptr));
    if (!instance_dict) {
        PyErr_Clear();
        return false;
    }
    int shadowed = PyDict_Contains(instance_dict.ptr(), name);
    if (shadowed != 0) {
        if (shadowed < 0) PyErr_Clear();
        return false;
    }
    return true;
}

bool is_compiled_pattern(py::handle obj, const char* pattern, long flags) {
    static std::vector<PyObject*> verified;
    if (seen(verified, obj.ptr())) return true;
    PyObject* re = loaded_module("re"_id);
    if (!re) return false;
    PyObject* pattern_type = PyDict_GetItemWithError(PyModule_GetDict(re), "Pattern"_id);
    if (!pattern_type) {
        PyErr_Clear();
        return false;
    }
    if (reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())) != pattern_type) return false;
    if (!text_attribute_is(obj.ptr(), "pattern"_id, pattern)) return false;
    auto actual_flags = py::reinterpret_steal<py::object>(PyObject_GetAttr(obj.ptr(), "flags"_id));
    if (!actual_flags) {
        PyErr_Clear();
        return false;
    }
    long value = PyLong_Check(actual_flags.ptr()) ? PyLong_AsLong(actual_flags.ptr()) : -1;
    if (value == -1 && PyErr_Occurred()) PyErr_Clear();
    if (value != flags) return false;
    remember(verified, obj.ptr());
    return true;
}

}  // namespace qc

namespace qc {

// Dictionary version tags change with every mutation and are unique across
// dictionaries; type version tags are dropped when the type or a base
// changes. Both are there from 3.10 to 3.12.
#if PY_VERSION_HEX >= 0x030A0000 && PY_VERSION_HEX < 0x030D0000
#define QC_HAVE_VERSION_TAGS 1
#endif

namespace {

#ifdef QC_HAVE_VERSION_TAGS
std::uint64_t dict_version(PyObject* dict) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
}

// Zero when the type has no valid tag: nothing can be remembered about it.
std::uint64_t type_version(PyTypeObject* type) {
    if (!(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
    return type->tp_version_tag;
}
#endif

}  // namespace

bool GuardMemo::unchanged(const Read& read) {
#ifdef QC_HAVE_VERSION_TAGS
    switch (read.kind) {
        case Kind::dict:
            return dict_version(read.obj.ptr()) == read.version;
        case Kind::type:
            return type_version(reinterpret_cast<PyTypeObject*>(read.obj.ptr())) == read.version;
        case Kind::defaults:
            return PyFunction_GET_DEFAULTS(read.obj.ptr()) == read.held.ptr();
        case Kind::instance_dict: {
            PyObject** slot = _PyObject_GetDictPtr(read.obj.ptr());
            return slot && *slot == read.held.ptr() && dict_version(*slot) == read.version;
        }
    }
#else
    (void)read;
#endif
    return false;
}

bool GuardMemo::holds(std::initializer_list<PyObject*> keys) const {
    if (!sealed_ || keys.size() != keys_.size()) return false;
    std::size_t i = 0;
    for (PyObject* key : keys) {
        if (keys_[i++].ptr() != key) return false;
    }
    for (const Read& read : reads_) {
        if (!unchanged(read)) return false;
    }
    return true;
}

void GuardMemo::begin(std::initializer_list<PyObject*> keys) {
    sealed_ = false;
    reads_.clear();
    keys_.clear();
#ifdef QC_HAVE_VERSION_TAGS
    recordable_ = true;
    for (PyObject* key : keys) keys_.push_back(py::reinterpret_borrow<py::object>(key));
#else
    (void)keys;
    recordable_ = false;
#endif
}

void GuardMemo::read_dict(PyObject* dict) {
#ifdef QC_HAVE_VERSION_TAGS
    if (!dict || !PyDict_Check(dict)) {
        recordable_ = false;
        return;
    }
    reads_.push_back({Kind::dict, py::reinterpret_borrow<py::object>(dict), dict_version(dict), {}});
#else
    (void)dict;
#endif
}

void GuardMemo::read_type(PyTypeObject* type) {
#ifdef QC_HAVE_VERSION_TAGS
    std::uint64_t version = type_version(type);
    if (version == 0) {
        recordable_ = false;
        return;
    }
    reads_.push_back({Kind::type, py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(type)), version, {}});
#else
    (void)type;
#endif
}

void GuardMemo::read_defaults(PyObject* function) {
#ifdef QC_HAVE_VERSION_TAGS
    if (!PyFunction_Check(function)) {
        recordable_ = false;
        return;
    }
    PyObject* defaults = PyFunction_GET_DEFAULTS(function);
    reads_.push_back({Kind::defaults, py::reinterpret_borrow<py::object>(function), 0,
                      py::reinterpret_borrow<py::object>(defaults)});
#else
    (void)function;
#endif
}

void GuardMemo::read_instance_dict(PyObject* obj) {
#ifdef QC_HAVE_VERSION_TAGS
    PyObject** slot = _PyObject_GetDictPtr(obj);
    if (!slot || !*slot || !PyDict_Check(*slot)) {
        recordable_ = false;
        return;
    }
    reads_.push_back({Kind::instance_dict, py::reinterpret_borrow<py::object>(obj), dict_version(*slot),
                      py::reinterpret_borrow<py::object>(*slot)});
#else
    (void)obj;
#endif
}

void GuardMemo::seal() { sealed_ = recordable_; }

}  // namespace qc
