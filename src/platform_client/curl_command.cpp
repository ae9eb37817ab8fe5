// The short, masked curl command that reproduces a prepared request.
#include "specs.hpp"

namespace qc {
namespace {

const FunctionSpec curl_command_spec{
    "_curl_command", {self_param(), param("request", "requests.PreparedRequest")}, "str",
    "Сгенерировать максимально лаконичную curl команду для отладки.", &not_yet_built};

}  // namespace

const SpecTable& curl_command_methods() {
    static const SpecTable table{&curl_command_spec};
    return table;
}

}  // namespace qc
