// The function type behind every function and method of the module,
// modelled on CPython's own function object: Python's binding rules and
// error texts, descriptor behaviour, and the introspection attributes that
// inspect, help(), functools.wraps and unittest.mock rely on.
#include "core/function_object.hpp"

#include <algorithm>
#include <cstddef>

#include "core/boundary.hpp"
#include "core/nesting_guard.hpp"

namespace qc {
namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;     // tuple or NULL
    PyObject* kwdefaults;   // dict or NULL
    PyObject* annotations;  // dict or NULL
    PyObject* dict;
    PyObject* globals;
    PyObject* captured;        // tuple or NULL
    PyObject* defining_class;  // Python's __class__ cell, or NULL
    PyObject* param_names;     // tuple of interned parameter names
    PyObject* bound;           // dict: what the module bound at import, by name, or NULL
    PyObject* weakrefs;
    const FunctionDeclaration* declaration;
    Py_ssize_t positional_count;
    Py_ssize_t keyword_only_count;
    bool has_var_keyword;
};

FunctionObject* as_function(PyObject* obj) { return reinterpret_cast<FunctionObject*>(obj); }

py::object borrow(PyObject* obj) { return py::reinterpret_borrow<py::object>(obj); }

[[noreturn]] void throw_current() { throw py::error_already_set(); }

// --- CPython's binding error texts (Python/ceval.c) -------------------------

[[noreturn]] void too_many_positional(FunctionObject* f, Py_ssize_t given, PyObject* const* slots) {
    Py_ssize_t keyword_only_given = 0;
    for (Py_ssize_t i = f->positional_count; i < f->positional_count + f->keyword_only_count; ++i) {
        if (slots[i]) ++keyword_only_given;
    }
    Py_ssize_t default_count = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    py::object signature;
    bool plural;
    if (default_count) {
        plural = true;
        signature = py::reinterpret_steal<py::object>(
            PyUnicode_FromFormat("from %zd to %zd", f->positional_count - default_count, f->positional_count));
    } else {
        plural = f->positional_count != 1;
        signature = py::reinterpret_steal<py::object>(PyUnicode_FromFormat("%zd", f->positional_count));
    }
    if (!signature) throw_current();
    py::object keyword_only_note;
    if (keyword_only_given) {
        keyword_only_note = py::reinterpret_steal<py::object>(PyUnicode_FromFormat(
            " positional argument%s (and %zd keyword-only argument%s)", given != 1 ? "s" : "", keyword_only_given,
            keyword_only_given != 1 ? "s" : ""));
    } else {
        keyword_only_note = py::reinterpret_steal<py::object>(PyUnicode_FromString(""));
    }
    if (!keyword_only_note) throw_current();
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given", f->qualname,
                 signature.ptr(), plural ? "s" : "", given, keyword_only_note.ptr(),
                 given == 1 && !keyword_only_given ? "was" : "were");
    throw_current();
}

[[noreturn]] void missing_arguments(FunctionObject* f, const char* kind, Py_ssize_t start, Py_ssize_t end,
                                    PyObject* const* slots) {
    py::list names;
    for (Py_ssize_t i = start; i < end; ++i) {
        if (!slots[i]) names.append(py::repr(PyTuple_GET_ITEM(f->param_names, i)));
    }
    Py_ssize_t count = static_cast<Py_ssize_t>(names.size());
    py::object joined;
    if (count == 1) {
        joined = names[0];
    } else if (count == 2) {
        joined = py::reinterpret_steal<py::object>(
            PyUnicode_FromFormat("%U and %U", names[0].ptr(), names[1].ptr()));
    } else {
        py::object tail = py::reinterpret_steal<py::object>(
            PyUnicode_FromFormat(", %U, and %U", names[count - 2].ptr(), names[count - 1].ptr()));
        if (!tail) throw_current();
        py::list head = names[py::slice(0, count - 2, 1)];
        joined = py::str(", ").attr("join")(head) + tail;
    }
    if (!joined) throw_current();
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %U", f->qualname, count, kind,
                 count == 1 ? "" : "s", joined.ptr());
    throw_current();
}

// --- binding -----------------------------------------------------------------

Py_ssize_t find_named_parameter(FunctionObject* f, PyObject* keyword) {
    Py_ssize_t named = f->positional_count + f->keyword_only_count;
    for (Py_ssize_t i = 0; i < named; ++i) {
        if (PyTuple_GET_ITEM(f->param_names, i) == keyword) return i;
    }
    for (Py_ssize_t i = 0; i < named; ++i) {
        int equal = PyObject_RichCompareBool(PyTuple_GET_ITEM(f->param_names, i), keyword, Py_EQ);
        if (equal < 0) throw_current();
        if (equal) return i;
    }
    return -1;
}

// The parameter slots of one call. Binding fills them with borrowed
// references; own() then takes a reference to each, so that a default stays
// alive even if the body reassigns __defaults__. Only the slots the function
// has are initialised and released: this runs on every call.
class Slots {
public:
    explicit Slots(Py_ssize_t count) : count_(count) { std::fill_n(slots_, count, nullptr); }
    ~Slots() {
        for (Py_ssize_t i = 0; i < owned_; ++i) Py_XDECREF(slots_[i]);
    }
    Slots(const Slots&) = delete;
    Slots& operator=(const Slots&) = delete;

    PyObject** data() { return slots_; }
    void own() {
        for (Py_ssize_t i = 0; i < count_; ++i) Py_XINCREF(slots_[i]);
        owned_ = count_;
    }

private:
    PyObject* slots_[max_params];
    Py_ssize_t count_;
    Py_ssize_t owned_ = 0;
};

// Binds the call's arguments to parameter slots as Python does, filling in
// the defaults current at call time.
void bind_arguments(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Slots& bound) {
    PyObject** slots = bound.data();
    const Py_ssize_t positional = f->positional_count;
    const Py_ssize_t named = positional + f->keyword_only_count;

    for (Py_ssize_t i = 0; i < std::min(nargs, positional); ++i) slots[i] = args[i];

    py::object extra_keywords;
    if (f->has_var_keyword) extra_keywords = py::dict();

    Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        Py_ssize_t index = find_named_parameter(f, keyword);
        if (index < 0) {
            if (!extra_keywords) {
                PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, keyword);
                throw_current();
            }
            if (PyDict_SetItem(extra_keywords.ptr(), keyword, value) < 0) throw_current();
            continue;
        }
        if (slots[index]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, keyword);
            throw_current();
        }
        slots[index] = value;
    }

    if (nargs > positional) too_many_positional(f, nargs, slots);

    // Held until own() has taken references to the defaults used.
    py::object defaults = f->defaults ? borrow(f->defaults) : py::object();
    if (nargs < positional) {
        Py_ssize_t default_count = defaults ? PyTuple_GET_SIZE(defaults.ptr()) : 0;
        Py_ssize_t first_default = std::max<Py_ssize_t>(positional - default_count, 0);
        for (Py_ssize_t i = nargs; i < first_default; ++i) {
            if (!slots[i]) missing_arguments(f, "positional", nargs, first_default, slots);
        }
        for (Py_ssize_t i = std::max(nargs, first_default); i < positional; ++i) {
            if (!slots[i]) slots[i] = PyTuple_GET_ITEM(defaults.ptr(), default_count - (positional - i));
        }
    }

    py::object kwdefaults = f->kwdefaults ? borrow(f->kwdefaults) : py::object();
    if (f->keyword_only_count) {
        bool any_missing = false;
        for (Py_ssize_t i = positional; i < named; ++i) {
            if (slots[i]) continue;
            if (kwdefaults) {
                PyObject* value = PyDict_GetItemWithError(kwdefaults.ptr(), PyTuple_GET_ITEM(f->param_names, i));
                if (value) {
                    slots[i] = value;
                    continue;
                }
                if (PyErr_Occurred()) throw_current();
            }
            any_missing = true;
        }
        if (any_missing) missing_arguments(f, "keyword-only", positional, named, slots);
    }

    if (f->has_var_keyword) slots[named] = extra_keywords.ptr();
    bound.own();
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return guarded([&]() -> py::object {
        FunctionObject* f = as_function(callable);
        Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        // Hold the function itself: the body may drop the last other reference.
        py::object keep_alive = borrow(callable);
        if (!kwnames && nargs == f->positional_count && !f->keyword_only_count && !f->has_var_keyword) {
            // Every parameter given by position, the usual call from a method
            // to another: the caller's array holds the arguments for the whole
            // call, so they serve as the slots without binding.
            NestingGuard depth;
            return f->declaration->implementation(Call(callable, args));
        }
        Slots slots(f->positional_count + f->keyword_only_count + (f->has_var_keyword ? 1 : 0));
        bind_arguments(f, args, nargs, kwnames, slots);
        NestingGuard depth;
        return f->declaration->implementation(Call(callable, slots.data()));
    });
}

// --- type slots --------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* f = as_function(self);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->dict);
    Py_VISIT(f->globals);
    Py_VISIT(f->bound);
    Py_VISIT(f->captured);
    Py_VISIT(f->defining_class);
    Py_VISIT(f->param_names);
    return 0;
}

// Names and parameter names are strings and cannot take part in a cycle;
// they stay until deallocation so a cleared function still reprs and binds.
int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->bound);
    Py_CLEAR(f->captured);
    Py_CLEAR(f->defining_class);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(as_function(self)->name);
    Py_CLEAR(as_function(self)->qualname);
    Py_CLEAR(as_function(self)->param_names);
    PyObject_GC_Del(self);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// --- attributes --------------------------------------------------------------

PyObject* new_ref_or_none(PyObject* value) { return Py_NewRef(value ? value : Py_None); }

int set_string_field(PyObject** field, PyObject* value, const char* attribute) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
        return -1;
    }
    Py_XSETREF(*field, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) {
    return set_string_field(&as_function(self)->name, value, "__name__");
}
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_string_field(&as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_doc(PyObject* self, void*) { return new_ref_or_none(as_function(self)->doc); }
int set_doc(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_module(PyObject* self, void*) { return new_ref_or_none(as_function(self)->module); }
int set_module(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->module, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) { return new_ref_or_none(as_function(self)->defaults); }
int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) { return new_ref_or_none(as_function(self)->kwdefaults); }
int set_kwdefaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->kwdefaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    if (!f->annotations) {
        f->annotations = PyDict_New();
        if (!f->annotations) return nullptr;
    }
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject* get_globals(PyObject* self, void*) { return new_ref_or_none(as_function(self)->globals); }

PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }

int set_readonly(PyObject*, PyObject*, void*) {
    PyErr_SetString(PyExc_AttributeError, "readonly attribute");
    return -1;
}

// An assigned __signature__ lives in the function's __dict__, as it would on
// a Python function, and wins over the one built from the declaration.
PyObject* assigned_signature(PyObject* self) {
    PyObject* dict = as_function(self)->dict;
    if (!dict) return nullptr;
    return PyDict_GetItemWithError(dict, "__signature__"_id);
}

int set_signature(PyObject* self, PyObject* value, void*) {
    PyObject** dict = &as_function(self)->dict;
    if (!*dict && !(*dict = PyDict_New())) return -1;
    if (value) return PyDict_SetItem(*dict, "__signature__"_id, value);
    if (PyDict_DelItem(*dict, "__signature__"_id) < 0) {
        if (PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_AttributeError, "__signature__");
        }
        return -1;
    }
    return 0;
}

// Built from the current defaults and annotations at each access, so that
// assigning __defaults__ or __annotations__ shows in inspect.signature().
PyObject* get_signature(PyObject* self, void*) {
    if (PyObject* assigned = assigned_signature(self)) return Py_NewRef(assigned);
    if (PyErr_Occurred()) return nullptr;
    return guarded([&]() -> py::object {
        FunctionObject* f = as_function(self);
        py::module_ inspect = py::module_::import("inspect");
        py::object parameter_type = inspect.attr("Parameter");
        py::object empty = parameter_type.attr("empty");
        py::object annotations = f->annotations ? borrow(f->annotations) : py::dict();
        py::object defaults = f->defaults ? borrow(f->defaults) : py::tuple();
        Py_ssize_t default_count = PyTuple_GET_SIZE(defaults.ptr());
        py::list parameters;
        const auto& params = f->declaration->params;
        for (std::size_t i = 0; i < params.size(); ++i) {
            py::handle name = PyTuple_GET_ITEM(f->param_names, static_cast<Py_ssize_t>(i));
            py::object kind;
            py::object default_value = empty;
            switch (params[i].kind) {
                case Kind::positional_or_keyword: {
                    kind = parameter_type.attr("POSITIONAL_OR_KEYWORD");
                    Py_ssize_t from_end = f->positional_count - static_cast<Py_ssize_t>(i);
                    if (from_end <= default_count) {
                        default_value = borrow(PyTuple_GET_ITEM(defaults.ptr(), default_count - from_end));
                    }
                    break;
                }
                case Kind::keyword_only:
                    kind = parameter_type.attr("KEYWORD_ONLY");
                    if (f->kwdefaults) {
                        if (auto value = dict_get(f->kwdefaults, name)) default_value = *value;
                    }
                    break;
                case Kind::var_keyword:
                    kind = parameter_type.attr("VAR_KEYWORD");
                    break;
            }
            py::object annotation = dict_get(annotations, name).value_or(empty);
            parameters.append(call(parameter_type, name, kind, kw{"default"_id, default_value},
                                   kw{"annotation"_id, annotation}));
        }
        py::object return_annotation = dict_get(annotations, "return"_id).value_or(inspect.attr("Signature").attr("empty"));
        return call(inspect.attr("Signature"), parameters, kw{"return_annotation"_id, return_annotation});
    });
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__globals__", get_globals, set_readonly, nullptr, nullptr},
    {"__closure__", get_closure, set_readonly, nullptr, nullptr},
    {"__signature__", get_signature, set_signature, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject function_type = [] {
    PyTypeObject t{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&t), 1);
    t.tp_name = "platform_client.function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return t;
}();

PyTypeObject* ready_function_type() {
    if (!(function_type.tp_flags & Py_TPFLAGS_READY)) {
        if (PyType_Ready(&function_type) < 0) throw_current();
    }
    return &function_type;
}

py::object interned_string(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw_current();
    return py::reinterpret_steal<py::object>(s);
}

}  // namespace

// --- public helpers ----------------------------------------------------------

PyObject* intern_forever(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) {
        PyErr_Clear();
        Py_FatalError("platform_client: cannot intern a name");
    }
    return s;
}

py::object Default::to_python() const {
    switch (tag) {
        case Tag::none:
            return py::none();
        case Tag::str:
            return py::str(text);
        case Tag::integer:
            return py::int_(number);
        case Tag::boolean:
            return py::bool_(number != 0);
        case Tag::absent:
            break;
    }
    return py::object();
}

py::object make_function(const FunctionDeclaration& declaration, py::handle module_globals, const char* qualname,
                         py::handle bound) {
    PyTypeObject* type = ready_function_type();
    if (declaration.params.size() > max_params) throw std::logic_error("too many parameters");
    FunctionObject* f = PyObject_GC_New(FunctionObject, type);
    if (!f) throw_current();
    f->vectorcall = function_vectorcall;
    f->name = f->qualname = f->module = f->doc = nullptr;
    f->defaults = f->kwdefaults = f->annotations = f->dict = nullptr;
    f->globals = f->captured = f->defining_class = f->param_names = f->weakrefs = f->bound = nullptr;
    f->declaration = &declaration;
    f->positional_count = f->keyword_only_count = 0;
    f->has_var_keyword = false;
    py::object result = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));

    f->name = interned_string(declaration.name).release().ptr();
    f->qualname = interned_string(qualname ? qualname : declaration.name).release().ptr();
    f->module = dict_get(module_globals, "__name__"_id).value_or(py::none()).release().ptr();
    f->doc = (declaration.doc ? py::object(py::str(declaration.doc)) : py::object(py::none())).release().ptr();
    f->globals = py::reinterpret_borrow<py::object>(module_globals).release().ptr();
    f->bound = bound ? Py_NewRef(bound.ptr()) : nullptr;

    py::tuple names(declaration.params.size());
    py::list positional_defaults;
    py::dict keyword_defaults;
    py::dict annotations;
    for (std::size_t i = 0; i < declaration.params.size(); ++i) {
        const Param& p = declaration.params[i];
        py::object name = interned_string(p.name);
        names[i] = name;
        switch (p.kind) {
            case Kind::positional_or_keyword:
                if (f->keyword_only_count || f->has_var_keyword) throw std::logic_error("parameter order");
                ++f->positional_count;
                if (p.default_value.present()) {
                    positional_defaults.append(p.default_value.to_python());
                } else if (!positional_defaults.empty()) {
                    throw std::logic_error("non-default parameter follows default parameter");
                }
                break;
            case Kind::keyword_only:
                if (f->has_var_keyword) throw std::logic_error("parameter order");
                ++f->keyword_only_count;
                if (p.default_value.present()) keyword_defaults[name] = p.default_value.to_python();
                break;
            case Kind::var_keyword:
                f->has_var_keyword = true;
                break;
        }
        if (p.annotation) annotations[name] = py::str(p.annotation);
    }
    if (declaration.return_annotation) annotations["return"_id] = py::str(declaration.return_annotation);
    f->param_names = names.release().ptr();
    if (!positional_defaults.empty()) f->defaults = py::tuple(positional_defaults).release().ptr();
    if (!keyword_defaults.empty()) f->kwdefaults = keyword_defaults.release().ptr();
    f->annotations = annotations.release().ptr();
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return result;
}

py::object make_closure(const FunctionDeclaration& declaration, const Call& creator, const char* qualname, py::tuple captured) {
    py::object function = make_function(declaration, creator.module_globals(), qualname,
                                        as_function(creator.function().ptr())->bound);
    as_function(function.ptr())->captured = captured.release().ptr();
    return function;
}

void set_defining_class(py::handle function, py::handle cls) {
    if (!is_function_object(function)) return;
    Py_XSETREF(as_function(function.ptr())->defining_class, Py_NewRef(cls.ptr()));
}

bool is_function_object(py::handle obj) { return Py_TYPE(obj.ptr()) == &function_type; }

bool is_function_of(py::handle obj, const FunctionDeclaration& declaration, py::handle module_globals) {
    if (!is_function_object(obj)) return false;
    FunctionObject* f = as_function(obj.ptr());
    return f->declaration == &declaration && f->globals == module_globals.ptr();
}

bool is_own_method(const Call& c, py::handle self, PyObject* name, const FunctionDeclaration& declaration) {
    PyTypeObject* type = Py_TYPE(self.ptr());
    if (PyType_GetSlot(type, Py_tp_getattro) != reinterpret_cast<void*>(PyObject_GenericGetAttr)) return false;
    PyObject* found = PyObject_GetAttr(reinterpret_cast<PyObject*>(type), name);
    if (!found) throw_current();
    py::object on_class = py::reinterpret_steal<py::object>(found);
    if (!is_function_of(on_class, declaration, c.module_globals())) return false;
    std::optional<py::object> instance_dict = optional_attr(self, "__dict__"_id);
    if (!instance_dict) return true;
    return PyDict_Check(instance_dict->ptr()) && !dict_get(*instance_dict, py::handle(name));
}

py::object Call::global(PyObject* name) const {
    PyObject* globals = as_function(function_)->globals;
    if (!globals) {
        PyErr_SetString(PyExc_SystemError, "function called after its namespace was cleared");
        throw_current();
    }
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (value) return borrow(value);
    if (PyErr_Occurred()) throw_current();
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins) {
        value = PyDict_GetItemWithError(builtins, name);
        if (value) return borrow(value);
        if (PyErr_Occurred()) throw_current();
    }
    py::object message = py::reinterpret_steal<py::object>(PyUnicode_FromFormat("name '%U' is not defined", name));
    if (!message) throw_current();
    py::object error = call(PyExc_NameError, message, kw{"name"_id, name});
    PyErr_SetObject(PyExc_NameError, error.ptr());
    throw_current();
}

py::handle Call::captured(std::size_t index) const {
    PyObject* values = as_function(function_)->captured;
    return PyTuple_GET_ITEM(values, static_cast<Py_ssize_t>(index));
}

py::handle Call::defining_class() const {
    PyObject* cls = as_function(function_)->defining_class;
    if (!cls) {
        PyErr_SetString(PyExc_RuntimeError, "super(): __class__ cell not found");
        throw_current();
    }
    return cls;
}

py::object Call::super() const {
    return call(reinterpret_cast<PyObject*>(&PySuper_Type), defining_class(), self());
}

bool Call::is_bound_original(PyObject* name, py::handle value) const {
    PyObject* bound = as_function(function_)->bound;
    if (!bound) return false;
    PyObject* original = PyDict_GetItemWithError(bound, name);
    if (!original && PyErr_Occurred()) throw_current();
    return original && original == value.ptr();
}

py::handle Call::module_globals() const { return as_function(function_)->globals; }

}  // namespace qc
