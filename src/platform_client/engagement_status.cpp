// Reading a scan's status by identifier, and waiting for it to appear.
#include "specs.hpp"

namespace qc {
namespace {

const FunctionSpec build_engagement_status_params_spec{
    "_build_engagement_status_params",
    {self_param(), param("branch_name", "str | None"), param("repository_name", "str | None"),
     param("group_name", "str | None"), param("group_url", "str | None"), param("group_id", "str | None"),
     param("integration_type", "str | None")},
    "dict[str, str]", no_doc, &not_yet_built};
const FunctionSpec get_engagement_status_spec{
    "get_engagement_status",
    {self_param(), param("commit_sha", "str"), param("branch_name", "str | None", Default::none()),
     param("repository_name", "str | None", Default::none()), param("group_name", "str | None", Default::none()),
     param("group_url", "str | None", Default::none()), param("group_id", "str | None", Default::none()),
     param("integration_type", "str | None", Default::none())},
    "dict", "Получить статус скана по идентификатору скана (commit SHA или произвольная строка).",
    &not_yet_built};
const FunctionSpec wait_for_engagement_spec{
    "wait_for_engagement",
    {self_param(), param("commit_sha", "str"), param("branch_name", "Optional[str]", Default::none()),
     param("repository_name", "Optional[str]", Default::none()),
     param("group_name", "Optional[str]", Default::none()), param("group_url", "Optional[str]", Default::none()),
     param("group_id", "Optional[str]", Default::none()),
     param("integration_type", "Optional[str]", Default::none()), param("interval", "int", Default::integer(300)),
     param("timeout", "int", Default::integer(4200))},
    "dict",
    "\n"
    "        Ждать появления сканирования, созданного платформой автоматически.\n"
    "        По умолчанию: 70 минут ожидания, проверка каждые 5 минут.\n"
    "        Возвращает данные сканирования при успехе.\n"
    "        Бросает PlatformError(exit_code=8) при превышении таймаута.\n"
    "        ",
    &not_yet_built};

}  // namespace

const SpecTable& engagement_status_methods() {
    static const SpecTable table{
        &build_engagement_status_params_spec, &get_engagement_status_spec, &wait_for_engagement_spec};
    return table;
}

}  // namespace qc
