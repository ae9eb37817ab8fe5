// The API token in every spelling a text can hold it in.
#pragma once

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace qc {

// `text` with the token replaced by "***" as written, escaped as repr() and
// JSON write it, percent-encoded (either hex case, "/" kept or not) and with
// spaces as "+". Longer spellings go first, so none is cut by a shorter one.
// Applied once a text's structure has been decided on: it only ever adds to
// what the masking rules hide. A token that is not a str leaves text as is.
py::object mask_token_spellings(py::handle token, py::handle text);

}  // namespace qc
