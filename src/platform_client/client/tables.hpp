// The declarations of the client layer: the module function, PlatformError
// and the PlatformClient methods of construction, masking, rendering and the
// curl command. The module assembles classes from them (module.cpp).
#pragma once

#include "core/function_object.hpp"

namespace qc {

// module-level function and PlatformError methods
const FunctionDeclaration& format_error_context_declaration();
const DeclarationTable& platform_error_methods();

const DeclarationTable& client_construction_methods();
const DeclarationTable& redaction_methods();
const DeclarationTable& log_rendering_methods();
const DeclarationTable& curl_command_methods();

}  // namespace qc
