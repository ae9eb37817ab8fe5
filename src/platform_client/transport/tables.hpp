// The declarations of the transport layer: the PlatformClient methods of the
// retry loop, response classification, the verbs and streaming uploads.
#pragma once

#include "core/function_object.hpp"

namespace qc {

const DeclarationTable& retry_methods();
const DeclarationTable& response_classification_methods();
const DeclarationTable& verb_methods();
const DeclarationTable& streaming_upload_methods();

}  // namespace qc
