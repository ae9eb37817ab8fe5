// Turning a final response into decoded JSON or into a PlatformError.
#include "specs.hpp"

namespace qc {
namespace {

const FunctionSpec raise_for_http_error_spec{
    "_raise_for_http_error",
    {self_param(), param("response", "requests.Response"), param("context", "str"),
     param("default_exit", "int")},
    "None", no_doc, &not_yet_built};
const FunctionSpec parse_json_response_spec{
    "_parse_json_response",
    {self_param(), param("response", "requests.Response"), param("context", "str"),
     param("default_exit", "int")},
    "dict", no_doc, &not_yet_built};
const FunctionSpec handle_response_spec{
    "_handle_response",
    {self_param(), param("response", "requests.Response"), param("context", "str"),
     param("default_exit", "int", Default::integer(5))},
    "dict", no_doc, &not_yet_built};

}  // namespace

const SpecTable& response_classification_methods() {
    static const SpecTable table{&raise_for_http_error_spec, &parse_json_response_spec, &handle_response_spec};
    return table;
}

}  // namespace qc
