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

// str(error) made safe to show: masked as free text, and each path with a
// query in it (requests' messages name the request as "url: /path?query")
// sanitised as a logged URL is.
py::object sanitize_exception_text(const Call& c, py::handle error);

// `pattern` is a compiled pattern of the standard `re` with the source and
// flags of _URL_IN_TEXT_RE.
bool is_url_in_text_pattern(py::handle pattern);

}  // namespace qc
