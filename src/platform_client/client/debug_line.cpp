#include "client/debug_line.hpp"

namespace qc {

void log_debug(const Call& c, py::handle text) { call_method(c.global("logger"_id), "debug"_id, text); }

}  // namespace qc
