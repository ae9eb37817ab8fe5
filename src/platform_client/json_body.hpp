// A JSON body shown in a log, rendered straight from its text: the masked
// re-rendering that decoding, masking and encoding give, without building
// the decoded value or its masked copy.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>

#include "function_object.hpp"
#include "own_redaction.hpp"

namespace py = pybind11;

namespace qc {

// What _format_payload_for_log renders, before it masks the whole text and
// caps it, for the value json.loads(text) returns: the value masked as
// _sanitize_payload_for_log masks it, written as json.dumps(...,
// ensure_ascii=False, default=str) writes it. Only while the standard
// decoder (with its default settings) and encoder are in place and `own`
// stands for the client's masking steps. Nothing for text json.loads
// rejects, and for text left to the general path: repeated keys, escaped
// surrogates, NaN and Infinity, integers near the interpreter's limit on
// digits, deep nesting, too little room under the depth limit.
std::optional<py::object> render_masked_json(const Call& c, OwnRedaction& own, py::handle text);

}  // namespace qc
