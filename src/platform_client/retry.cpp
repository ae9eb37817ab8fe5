// The one place where requests are sent: the retry loop and its policy.
#include "specs.hpp"

namespace qc {
namespace {

const FunctionSpec request_kwargs_for_attempt_spec{
    "_request_kwargs_for_attempt",
    {self_param(), param("base_kwargs", "dict"), param("request_kwargs_factory")}, "dict", no_doc,
    &not_yet_built};
const FunctionSpec retry_delay_for_response_spec{
    "_retry_delay_for_response",
    {self_param(), param("response", "requests.Response"), param("default_delay", "int")}, "int", no_doc,
    &not_yet_built};
const FunctionSpec should_retry_response_spec{
    "_should_retry_response",
    {self_param(), param("response", "requests.Response"), keyword_only("attempt", "int"),
     keyword_only("max_attempts", "int"), keyword_only("default_delay", "int")},
    "bool", no_doc, &not_yet_built};
const FunctionSpec should_retry_network_error_spec{
    "_should_retry_network_error",
    {self_param(), param("error", "requests.RequestException"), keyword_only("attempt", "int"),
     keyword_only("max_attempts", "int"), keyword_only("sleep_interval", "int"),
     keyword_only("hide_internal_text", "bool", Default::boolean(false))},
    "bool", no_doc, &not_yet_built};
const FunctionSpec request_with_retry_spec{
    "_request_with_retry",
    {self_param(), param("method", "str"), param("url", "str"), var_keyword("kwargs")},
    "requests.Response",
    "\n"
    "        Выполнение HTTP-запроса с повторными попытками.\n"
    "        Повторяет запрос при сетевых ошибках или 5xx статусах платформы.\n"
    "        Длительность: 30 попыток с задержкой 10 секунд = ~5 минут.\n"
    "        ",
    &not_yet_built};
const FunctionSpec network_error_spec{
    "_network_error", {self_param(), param("error", "Exception"), param("context", "str")}, "PlatformError",
    no_doc, &not_yet_built};

}  // namespace

const SpecTable& retry_methods() {
    static const SpecTable table{
        &request_kwargs_for_attempt_spec, &retry_delay_for_response_spec, &should_retry_response_spec,
        &should_retry_network_error_spec, &request_with_retry_spec, &network_error_spec};
    return table;
}

}  // namespace qc
