// The masking steps run natively, one recursion in C++ instead of a Python
// call per value, while every piece they stand for is the module's own: the
// client's masking methods, the urllib functions, the URL pattern, the marker
// tuple and a plain string token. The results, the order of the steps that a
// host could observe and the depth at which nesting fails are those of the
// general path; anything the native steps do not cover (other types, URLs
// that are not plain, a host's object) goes through the client's methods.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "function_object.hpp"

namespace py = pybind11;

namespace qc {

class OwnRedaction {
public:
    // Nothing when the host has replaced any piece: the general path runs.
    static std::optional<OwnRedaction> of(const Call& c, py::handle self);

    // Each method stands for the client method of the same purpose. The
    // try_ forms give nothing for input they leave to the general path; the
    // others send such input through the client's method.
    std::optional<py::object> try_value(py::handle value, py::handle key);
    std::optional<py::object> try_url(py::handle url);
    std::optional<py::object> try_query(py::handle query);
    std::optional<py::object> try_text(py::handle text);
    std::optional<py::object> try_url_or_text(py::handle value);
    // _sanitize_body_string_for_log once the body is known not to be JSON.
    std::optional<py::object> try_form_body(py::handle body);

    // Calls of _sanitize_payload_for_log and _sanitize_text_for_log, made
    // natively while those are the client's own.
    py::object payload(py::handle payload);
    py::object text(py::handle text);

    // _is_sensitive_payload_key(key), for a str key.
    bool sensitive(py::handle key);
    // No host code has replaced a piece since the checks.
    bool intact() const { return own_; }
    // The client's token: None or a str.
    py::handle token() const { return token_; }

private:
    OwnRedaction(const Call& c, py::handle self) : call_(&c), self_(self) {}
    bool refresh();

    py::object value(py::handle value, py::handle key);
    py::object container(py::handle value);
    py::object mapping(py::handle value);
    py::object url_or_text(py::handle value);
    py::object url(py::handle url);
    py::object query(py::handle query);
    py::object mask(py::handle text);
    bool holds_token(std::string_view ascii) const;
    py::object shown_key(py::handle key);
    py::object through_client(PyObject* method, py::handle argument);

    struct Reencoded {
        std::string text;
        std::size_t pairs = 0;
    };
    Reencoded reencoded(py::handle raw, bool key_as_text);

    const Call* call_;
    py::handle self_;
    bool own_ = false;     // false once host code has replaced a piece mid-way
    py::object token_;     // None or a str
    py::object markers_;   // a tuple of str
    std::vector<std::pair<py::object, bool>> known_keys_;
};

}  // namespace qc
