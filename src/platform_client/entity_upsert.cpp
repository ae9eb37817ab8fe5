// Create-or-get of the run's entities: group, repository, branch, engagement.
#include "specs.hpp"

namespace qc {
namespace {

const FunctionSpec extract_response_id_spec{
    "_extract_response_id",
    {self_param(), param("data", "dict"), keyword_only("name", "str"), keyword_only("context", "str"),
     keyword_only("entity_label", "str")},
    "str", no_doc, &not_yet_built};
const FunctionSpec log_upsert_status_spec{
    "_log_upsert_status",
    {self_param(), keyword_only("name", "str"), keyword_only("noun", "str"),
     keyword_only("response", "requests.Response"), keyword_only("created_word", "str"),
     keyword_only("found_word", "str")},
    "None", no_doc, &not_yet_built};
const FunctionSpec create_or_get_entity_id_spec{
    "_create_or_get_entity_id",
    {self_param(), keyword_only("path", "str"), keyword_only("payload", "dict"), keyword_only("context", "str"),
     keyword_only("name", "str"), keyword_only("noun", "str"), keyword_only("created_word", "str"),
     keyword_only("found_word", "str"), keyword_only("entity_label", "str")},
    "str", no_doc, &not_yet_built};
const FunctionSpec create_or_get_group_spec{
    "create_or_get_group", {self_param(), param("name", "str"), param("web_url", "str | None")}, "str", no_doc,
    &not_yet_built};
const FunctionSpec create_or_get_repository_spec{
    "create_or_get_repository",
    {self_param(), param("name", "str"), param("group_id", "str"), param("web_url", "str | None")}, "str",
    no_doc, &not_yet_built};
const FunctionSpec create_or_get_branch_spec{
    "create_or_get_branch",
    {self_param(), param("name", "str"), param("repository_id", "str"), param("web_url", "str | None")}, "str",
    no_doc, &not_yet_built};
const FunctionSpec create_or_get_engagement_spec{
    "create_or_get_engagement",
    {self_param(), param("name", "str"), param("branch_id", "str"),
     param("description", "str", Default::str(""))},
    "str", no_doc, &not_yet_built};
const FunctionSpec get_engagement_id_spec{
    "get_engagement_id", {self_param(), param("name", "str"), param("branch_id", "str")}, "str", no_doc,
    &not_yet_built};

}  // namespace

const SpecTable& entity_upsert_methods() {
    static const SpecTable table{
        &extract_response_id_spec,     &log_upsert_status_spec,         &create_or_get_entity_id_spec,
        &create_or_get_group_spec,     &create_or_get_repository_spec,  &create_or_get_branch_spec,
        &create_or_get_engagement_spec, &get_engagement_id_spec};
    return table;
}

}  // namespace qc
