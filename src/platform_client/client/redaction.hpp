// The masking methods, for native code that stands in for them while they
// are the client's own.
#pragma once

#include "core/function_object.hpp"

namespace qc {

extern const FunctionDeclaration is_sensitive_payload_key_declaration;
extern const FunctionDeclaration mask_token_only_declaration;
extern const FunctionDeclaration sanitize_text_for_log_declaration;
extern const FunctionDeclaration sanitize_payload_for_log_declaration;
extern const FunctionDeclaration sanitize_value_for_log_declaration;
extern const FunctionDeclaration sanitize_url_or_text_for_log_declaration;
extern const FunctionDeclaration sanitize_url_for_log_declaration;
extern const FunctionDeclaration sanitize_query_string_for_log_declaration;

// The source of _URL_IN_TEXT_RE: a URL in free text runs up to whitespace,
// a quote or an angle bracket.
inline constexpr const char* url_in_text_source = R"(https?://[^\s'\"<>]+)";

// Text about to be shown: the client's _mask_token_only, then the token in
// every other spelling.
py::object shown_text(py::handle self, py::handle text);

// What is left of a budget of leaves while only the head of a payload is
// sanitised, and where it was cut: the depth of the innermost container cut
// short (the root is 1), whose closing bracket and those of its parents end
// the head's rendering. 0 when nothing was left out.
struct PayloadHead {
    Py_ssize_t leaves;
    int depth = 0;
    int cut_depth = 0;
};

// _sanitize_value_for_log(value, key); with a head, its children are
// sanitised here, not through self, until the budget is spent. A null key
// handle means no key.
py::object sanitized_value(const Call& c, py::handle self, py::handle value, py::handle key, PayloadHead* head);

// str(error) made safe to show: masked as free text, and each path with a
// query in it (requests' messages name the request as "url: /path?query")
// sanitised as a logged URL is.
py::object sanitize_exception_text(const Call& c, py::handle error);

// Replaces a library exception's text by sanitize_exception_text of it, for
// an exception that stays attached to an error (as __cause__ or
// __context__): requests names the request's URL with its query in it.
void mask_exception_text(const Call& c, py::handle error);


}  // namespace qc
