// The declarations of the platform operations of PlatformClient.
#pragma once

#include "core/function_object.hpp"

namespace qc {

const DeclarationTable& entity_upsert_methods();
const DeclarationTable& upload_methods();
const DeclarationTable& engagement_status_methods();
const DeclarationTable& group_search_methods();

}  // namespace qc
