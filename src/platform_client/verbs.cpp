// The request verbs: URL, retry loop, network failures, classification.
#include "specs.hpp"

namespace qc {
namespace {

const FunctionSpec post_form_response_spec{
    "_post_form_response",
    {self_param(), param("path", "str"), param("data", "dict"), param("context", "str")}, "requests.Response",
    no_doc, &not_yet_built};
const FunctionSpec get_spec{
    "get",
    {self_param(), param("path", "str"), param("params", "Optional[dict]", Default::none()),
     param("context", "str", Default::str(""))},
    "dict", no_doc, &not_yet_built};
const FunctionSpec post_form_spec{
    "post_form",
    {self_param(), param("path", "str"), param("data", "dict"), param("files", "Optional[dict]", Default::none()),
     param("context", "str", Default::str("")), param("default_exit", "int", Default::integer(5)),
     param("_log_url", "bool", Default::boolean(true)), param("_log_label", "str | None", Default::none()),
     param("_log_payload_override", "Any | None", Default::none())},
    "dict", no_doc, &not_yet_built};
const FunctionSpec post_json_spec{
    "post_json",
    {self_param(), param("path", "str"), param("payload", "dict"), param("context", "str", Default::str("")),
     param("default_exit", "int", Default::integer(5))},
    "dict", no_doc, &not_yet_built};

}  // namespace

const SpecTable& verb_methods() {
    static const SpecTable table{&post_form_response_spec, &get_spec, &post_form_spec, &post_json_spec};
    return table;
}

}  // namespace qc
