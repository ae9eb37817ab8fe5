// Streaming multipart bodies, rebuilt and rewound before every attempt.
#include "specs.hpp"

namespace qc {
namespace {

const FunctionSpec capture_file_positions_spec{
    "_capture_file_positions", {self_param(), param("files", "dict")}, "dict[int, int]", no_doc, &not_yet_built};
const FunctionSpec build_streaming_post_kwargs_spec{
    "_build_streaming_post_kwargs",
    {self_param(), param("data", "dict"), param("files", "dict"), param("headers", "dict"),
     param("file_positions", "dict[int, int]")},
    "dict[str, Any]", no_doc, &not_yet_built};
const FunctionSpec prepare_post_form_kwargs_spec{
    "_prepare_post_form_kwargs",
    {self_param(), param("data", "dict"), param("files", "Optional[dict]"), param("headers", "dict")},
    "tuple[Any, Optional[dict], dict, Any | None]", no_doc, &not_yet_built};

}  // namespace

const SpecTable& streaming_upload_methods() {
    static const SpecTable table{
        &capture_file_positions_spec, &build_streaming_post_kwargs_spec, &prepare_post_form_kwargs_spec};
    return table;
}

}  // namespace qc
