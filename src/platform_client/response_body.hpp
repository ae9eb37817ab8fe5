// A response's status check, text and JSON as requests' own Response gives
// them, read natively while the response is a plain requests.models.Response
// and every piece of requests and json on the way is the libraries' own.
// Anything else (another class, a replaced property, method or module
// global, an encoding other than UTF-8, content not read yet) is asked for
// through the response, as Python would.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>

namespace py = pybind11;

namespace qc {

// response.text, with what it was decoded from.
struct ResponseText {
    py::object text;
    py::object content;
    py::object encoding;
};

// What response.text would return; nothing when it must be asked for.
std::optional<ResponseText> plain_response_text(py::handle response);

// response.raise_for_status() would return without raising.
bool plain_response_status_passes(py::handle response);

// What response.json() would return, for a response whose text `text`
// gave and which has not changed since; nothing when it must be called
// (it then raises its own error for a body that is not JSON).
std::optional<py::object> plain_response_json(py::handle response, const ResponseText& text);

}  // namespace qc
