// Masking of secrets: the API token anywhere in text, values of sensitive
// payload and query keys, and URL user information.
#include "specs.hpp"

namespace qc {
namespace {

const FunctionSpec is_sensitive_payload_key_spec{
    "_is_sensitive_payload_key", {self_param(), param("key", "object")}, "bool", no_doc, &not_yet_built};
const FunctionSpec mask_token_only_spec{
    "_mask_token_only", {self_param(), param("text", "str")}, "str", no_doc, &not_yet_built};
const FunctionSpec sanitize_text_for_log_spec{
    "_sanitize_text_for_log", {self_param(), param("text", "str")}, "str", no_doc, &not_yet_built};
const FunctionSpec sanitize_payload_for_log_spec{
    "_sanitize_payload_for_log", {self_param(), param("value", "Any")}, "Any", no_doc, &not_yet_built};
const FunctionSpec sanitize_value_for_log_spec{
    "_sanitize_value_for_log",
    {self_param(), param("value", "Any"), param("key", "object | None", Default::none())},
    "Any", no_doc, &not_yet_built};
const FunctionSpec sanitize_url_or_text_for_log_spec{
    "_sanitize_url_or_text_for_log", {self_param(), param("value", "str")}, "str", no_doc, &not_yet_built};
const FunctionSpec sanitize_url_for_log_spec{
    "_sanitize_url_for_log", {self_param(), param("url", "str")}, "str", no_doc, &not_yet_built};
const FunctionSpec sanitize_query_string_for_log_spec{
    "_sanitize_query_string_for_log", {self_param(), param("query", "str")}, "str", no_doc, &not_yet_built};

}  // namespace

const SpecTable& redaction_methods() {
    static const SpecTable table{
        &is_sensitive_payload_key_spec, &mask_token_only_spec, &sanitize_text_for_log_spec,
        &sanitize_payload_for_log_spec, &sanitize_value_for_log_spec, &sanitize_url_or_text_for_log_spec,
        &sanitize_url_for_log_spec, &sanitize_query_string_for_log_spec};
    return table;
}

}  // namespace qc
