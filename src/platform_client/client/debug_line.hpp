// DEBUG lines on the module's logger.
#pragma once

#include <pybind11/pybind11.h>

#include "core/function_object.hpp"

namespace py = pybind11;

namespace qc {

// logger.debug(text), `logger` being the module global at the time.
void log_debug(const Call& c, py::handle text);

}  // namespace qc
