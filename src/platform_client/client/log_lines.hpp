// What the client writes to its logger and into the texts of its errors.
#pragma once

#include <pybind11/pybind11.h>

#include "core/function_object.hpp"

namespace py = pybind11;

namespace qc {

// `text` with the client's token (c.self().token) masked in every spelling:
// names, paths and identifiers a user or the platform supplied can hold it.
py::object masked(const Call& c, py::handle text);

// logger.debug / logger.info of the masked text, `logger` being the module
// global at the time.
void log_debug(const Call& c, py::handle text);
void log_info(const Call& c, py::handle text);

}  // namespace qc
