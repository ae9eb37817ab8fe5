// Report upload, scan-archive submission and the pipeline status update.
#include "specs.hpp"

namespace qc {
namespace {

const FunctionSpec upload_report_spec{
    "upload_report",
    {self_param(), param("report_path", "str"), param("scan_type", "str"), param("engagement_name", "str"),
     param("repository_id", "str"), param("branch_name", "str")},
    "dict", no_doc, &not_yet_built};
const FunctionSpec update_engagement_status_spec{
    "update_engagement_status",
    {self_param(), keyword_only("engagement_name", "str"), keyword_only("branch_name", "str"),
     keyword_only("repository_id", "str"), keyword_only("engagement_status", "str", Default::str("finished"))},
    "dict", "Сообщить платформе статус пайплайна после загрузки внешних отчётов.", &not_yet_built};
const FunctionSpec submit_scan_spec{
    "submit_scan", {self_param(), param("engagement_id", "str"), param("payload_path", "str")}, "dict", no_doc,
    &not_yet_built};

}  // namespace

const SpecTable& upload_methods() {
    static const SpecTable table{&upload_report_spec, &update_engagement_status_spec, &submit_scan_spec};
    return table;
}

}  // namespace qc
