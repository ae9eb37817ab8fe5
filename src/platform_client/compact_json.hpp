// json.loads(text) and json.dumps(value, ensure_ascii=False, default=str),
// as log rendering uses them, handed straight to the standard library's C
// scanner and encoder.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>

#include "fast_path.hpp"
#include "function_object.hpp"

namespace py = pybind11;

namespace qc {

// What json.dumps would return, built with the C encoder json.dumps itself
// ends in; nothing while the module's `json` or any piece of the standard
// encoder on the way (dumps, JSONEncoder and its methods, the C encoder and
// string encoder it picks) is not the standard one, or the interpreter is
// not one whose encoder this mirrors.
std::optional<py::object> dumps_for_log(const Call& c, py::handle value);

// What json.loads(text) returns, from the C scanner it ends in; nothing
// when it would raise (it is then left to raise its own error), or while
// any piece on the way (loads, the default decoder, its class and methods,
// its whitespace matcher and scanner) is not the standard one.
std::optional<py::object> loads_for_log(const Call& c, py::handle text);

// The C scanner that `json.loads(text)` of this module ends in, while it is
// the standard json module and every piece on the way is the standard one;
// what was checked is recorded in `memo`. NULL otherwise.
PyObject* checked_scanner_of(PyObject* json, GuardMemo& memo);

// The scanner was made from a decoder with no hooks, so scanning runs no
// Python code: strict, objects as dicts, numbers as int and float.
bool has_default_settings(PyObject* scanner);

// What json.loads(text) returns when it ends in `scanner`; nothing when it
// would raise (it is then left to raise its own error).
std::optional<py::object> loads_with(PyObject* scanner, py::handle text);

// json.loads(text) is the standard decoding, every piece on that way as the
// standard library defines it, so what it accepts is known.
bool decodes_as_standard(const Call& c);

// Standard decoding whose scanner keeps the default settings: no hooks,
// strict strings, int and float for numbers.
bool decodes_with_default_settings(const Call& c);

// The separators json.dumps(value, ensure_ascii=False, default=str) writes,
// while dumps_for_log would write a plain value itself; nothing otherwise.
struct JsonSeparators {
    PyObject* key;   // borrowed: held by the encoder class
    PyObject* item;
};
std::optional<JsonSeparators> plain_json_separators(const Call& c);

// `text` (a str) as the C encoder writes it with ensure_ascii=False: in
// double quotes, with backslash, quote and control characters escaped.
void write_json_string(_PyUnicodeWriter& writer, PyObject* text);

}  // namespace qc
