// Rendering of request payloads, uploaded files and response bodies as
// bounded, masked log text, and the per-request "[HTTP] " lines.
#include "specs.hpp"

namespace qc {
namespace {

const FunctionSpec format_payload_for_log_spec{
    "_format_payload_for_log", {self_param(), param("payload", "Any")}, "str", no_doc, &not_yet_built};
const FunctionSpec sanitize_body_string_for_log_spec{
    "_sanitize_body_string_for_log", {self_param(), param("body", "str")}, "str", no_doc, &not_yet_built};
const FunctionSpec payload_from_request_kwargs_spec{
    "_payload_from_request_kwargs", {self_param(), param("kwargs", "dict")}, "Any | None", no_doc,
    &not_yet_built};
const FunctionSpec files_payload_for_log_spec{
    "_files_payload_for_log", {self_param(), param("files", "dict")}, "dict[str, Any]", no_doc, &not_yet_built};
const FunctionSpec log_request_attempt_payload_spec{
    "_log_request_attempt_payload", {self_param(), param("log_payload", "Any | None")}, "None", no_doc,
    &not_yet_built};
const FunctionSpec log_response_status_spec{
    "_log_response_status",
    {self_param(), param("method", "str"), param("response", "requests.Response"),
     keyword_only("log_url", "bool"), keyword_only("log_label", "str | None")},
    "None", no_doc, &not_yet_built};
const FunctionSpec hide_scan_submit_internals_spec{
    "_hide_scan_submit_internals", {self_param(), param("text", "str | None")}, "str | None", no_doc,
    &not_yet_built};

}  // namespace

const SpecTable& log_rendering_methods() {
    static const SpecTable table{
        &format_payload_for_log_spec, &sanitize_body_string_for_log_spec, &payload_from_request_kwargs_spec,
        &files_payload_for_log_spec, &log_request_attempt_payload_spec, &log_response_status_spec,
        &hide_scan_submit_internals_spec};
    return table;
}

}  // namespace qc
