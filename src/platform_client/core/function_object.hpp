// Functions and methods that look, bind and introspect like Python's own.
//
// Every function the module defines is declared once, in a table beside its
// implementation:
//
//     const FunctionDeclaration get_declaration{
//         "get",
//         {self_param(), param("path", "str"),
//          param("params", "Optional[dict]", Default::none()),
//          param("context", "str", Default::str(""))},
//         "dict", no_doc, &get};
//
// and called with the arguments bound to parameter slots exactly as Python
// binds them. The implementation reads them through `Call`:
//
//     py::object get(const Call& c) {
//         auto [self, path, params, context] = c.args<4>();
//         ...
//     }
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/interned.hpp"
#include "core/python_calls.hpp"

namespace py = pybind11;

namespace qc {

enum class Kind : std::uint8_t { positional_or_keyword, keyword_only, var_keyword };

// A default value, as the Python literal it would be written as.
struct Default {
    enum class Tag : std::uint8_t { absent, none, str, integer, boolean } tag = Tag::absent;
    const char* text = nullptr;
    long long number = 0;

    static constexpr Default none() { return {Tag::none, nullptr, 0}; }
    static constexpr Default str(const char* value) { return {Tag::str, value, 0}; }
    static constexpr Default integer(long long value) { return {Tag::integer, nullptr, value}; }
    static constexpr Default boolean(bool value) { return {Tag::boolean, nullptr, value ? 1 : 0}; }
    bool present() const { return tag != Tag::absent; }
    py::object to_python() const;
};

struct Param {
    const char* name;
    Kind kind = Kind::positional_or_keyword;
    const char* annotation = nullptr;  // stored unevaluated, as Python stores it under `from __future__ import annotations`
    Default default_value{};
};

inline Param self_param() { return {"self"}; }
inline Param param(const char* name, const char* annotation = nullptr, Default value = {}) {
    return {name, Kind::positional_or_keyword, annotation, value};
}
inline Param keyword_only(const char* name, const char* annotation = nullptr, Default value = {}) {
    return {name, Kind::keyword_only, annotation, value};
}
inline Param var_keyword(const char* name, const char* annotation = nullptr) {
    return {name, Kind::var_keyword, annotation, {}};
}

class Call;
using Implementation = py::object (*)(const Call&);

inline constexpr const char* no_doc = nullptr;
inline constexpr const char* no_return_annotation = nullptr;

struct FunctionDeclaration {
    const char* name;
    std::vector<Param> params;
    const char* return_annotation;  // nullptr: none declared
    const char* doc;                // nullptr: __doc__ is None
    Implementation implementation;

    std::size_t slot_count() const { return params.size(); }
};

// The declarations of one concept, in the order the module defines them.
using DeclarationTable = std::vector<const FunctionDeclaration*>;

inline constexpr std::size_t max_params = 16;

// One call of a function object: its bound arguments and its surroundings.
class Call {
public:
    Call(PyObject* function, PyObject* const* slots) : function_(function), slots_(slots) {}

    py::handle arg(std::size_t index) const { return slots_[index]; }
    py::handle self() const { return slots_[0]; }

    template <std::size_t N>
    std::array<py::handle, N> args() const {
        std::array<py::handle, N> result;
        for (std::size_t i = 0; i < N; ++i) result[i] = slots_[i];
        return result;
    }

    // A module-level name, looked up at each use: the module namespace, then
    // the builtins, else the interpreter's NameError.
    py::object global(PyObject* name) const;

    // A value captured by a nested function when it was created.
    py::handle captured(std::size_t index) const;

    // The class the method was defined in (Python's __class__ cell), for super().
    py::handle defining_class() const;

    // super(defining class, self)
    py::object super() const;

    py::handle module_globals() const;

    // `value` is the very object the module bound under `name` when it was
    // imported ("json.dumps", "urlsplit", ...): native work may then stand in
    // for it. A host that rebinds the name, or patches the attribute, is not.
    bool is_bound_original(PyObject* name, py::handle value) const;
    py::handle function() const { return function_; }

private:
    PyObject* function_;
    PyObject* const* slots_;
};

// A new function object for `declaration`, whose globals are `module_globals`.
// `qualname` defaults to the declared name.
// `bound` maps names to what the module bound at import (Call::is_bound_original).
py::object make_function(const FunctionDeclaration& declaration, py::handle module_globals,
                         const char* qualname = nullptr, py::handle bound = {});

// A nested function created by a running function: it shares the caller's
// globals, captures `captured` and carries its own qualified name.
py::object make_closure(const FunctionDeclaration& declaration, const Call& creator, const char* qualname,
                        py::tuple captured);

// Records the class a method was defined in; done when the class is assembled.
void set_defining_class(py::handle function, py::handle cls);

bool is_function_object(py::handle obj);

// `obj` is a function this module made from `declaration` over `module_globals`.
bool is_function_of(py::handle obj, const FunctionDeclaration& declaration, py::handle module_globals);

// `self.name` is the method this module made from `declaration` for the calling
// function's namespace: attribute lookup is the ordinary one, the class finds
// that function and the instance does not shadow it. Native work may stand in
// for a call of the method only then.
bool is_own_method(const Call& c, py::handle self, PyObject* name, const FunctionDeclaration& declaration);

}  // namespace qc
