// The tables of functions each concept file declares. The module assembles
// classes from them in the order it fixes (module.cpp).
#pragma once

#include <vector>

#include "function_object.hpp"

namespace qc {

using SpecTable = std::vector<const FunctionSpec*>;

// module-level function and PlatformError methods
const FunctionSpec& format_error_context_spec();
const SpecTable& platform_error_methods();

// PlatformClient methods, one table per concept
const SpecTable& client_construction_methods();
const SpecTable& redaction_methods();
const SpecTable& log_rendering_methods();
const SpecTable& curl_command_methods();
const SpecTable& retry_methods();
const SpecTable& response_classification_methods();
const SpecTable& verb_methods();
const SpecTable& streaming_upload_methods();
const SpecTable& entity_upsert_methods();
const SpecTable& upload_methods();
const SpecTable& engagement_status_methods();
const SpecTable& group_search_methods();

// Placeholder body for a method whose behaviour is not built yet.
py::object not_yet_built(const Call& c);

}  // namespace qc
