#include "client/log_lines.hpp"

#include "client/token_spellings.hpp"

namespace qc {

py::object masked(const Call& c, py::handle text) {
    return mask_token_spellings(getattr(c.self(), "token"_id), text);
}

void log_debug(const Call& c, py::handle text) { call_method(c.global("logger"_id), "debug"_id, masked(c, text)); }

void log_info(const Call& c, py::handle text) { call_method(c.global("logger"_id), "info"_id, masked(c, text)); }

}  // namespace qc
