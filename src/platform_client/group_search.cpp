// Repository group search with the platform's matching rules, and
// repository details.
#include "specs.hpp"

namespace qc {
namespace {

const FunctionSpec filter_groups_spec{
    "_filter_groups",
    {self_param(), param("groups", "list"), keyword_only("name", "str"), keyword_only("web_url", "str | None"),
     keyword_only("integration_type", "str | None")},
    "list", no_doc, &not_yet_built};
const FunctionSpec find_groups_spec{
    "find_groups",
    {self_param(), param("name", "str"), param("web_url", "str | None", Default::none()),
     param("repo_name", "str | None", Default::none()), param("branch_name", "str | None", Default::none()),
     param("engagement_name", "str | None", Default::none()),
     param("integration_type", "str | None", Default::none()),
     param("include_target_params", "bool", Default::boolean(false))},
    "list",
    "\n"
    "        Найти группы репозиториев по имени и другим параметрам идентификации.\n"
    "\n"
    "        Использует GET /api/v1/git/ci-cd/repository_groups_agent.\n"
    "        ",
    &not_yet_built};
const FunctionSpec get_repository_details_spec{
    "get_repository_details",
    {self_param(), param("repo_id", "str | None", Default::none()),
     keyword_only("repository_name", "str | None", Default::none()),
     keyword_only("group_id", "str | None", Default::none())},
    "dict", "Получить детали репозитория, включая integration_type и список веток.", &not_yet_built};

}  // namespace

const SpecTable& group_search_methods() {
    static const SpecTable table{&filter_groups_spec, &find_groups_spec, &get_repository_details_spec};
    return table;
}

}  // namespace qc
