// DEBUG lines on the module's logger.
#pragma once

#include <pybind11/pybind11.h>

#include "function_object.hpp"

namespace py = pybind11;

namespace qc {

// logger.debug(text), `logger` being the module global at the time.
//
// While that logger is a plain logging.Logger whose debug path (debug, _log,
// findCaller, makeRecord and what they use) is the standard library's, the
// steps of that path are taken here: isEnabledFor(DEBUG) is asked, the
// caller is found as findCaller finds it (the innermost Python frame, when it
// is not one of logging's own or importlib's bootstrap), the record comes
// from the current record factory with the arguments makeRecord gives it,
// and the logger's handle() gets it, each at the call depth the Python path
// would have. Anything else calls logger.debug.
void log_debug(const Call& c, py::handle text);

}  // namespace qc
