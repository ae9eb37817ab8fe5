// Report upload, scan-archive submission and the pipeline status update.
#include "client/log_lines.hpp"
#include "core/handled_exception.hpp"
#include "core/raising.hpp"
#include "core/text.hpp"
#include "operations/tables.hpp"

namespace qc {
namespace {

py::object platform_error(const Call& c, const char* message, int exit_code) {
    return call(c.global("PlatformError"_id), py::str(message), kw{"exit_code"_id, py::int_(exit_code)});
}

bool is_file(const Call& c, py::handle path) {
    py::object os_path = getattr(c.global("os"_id), "path"_id);
    return truthy(call_method(os_path, "isfile"_id, path));
}

// with open(path, 'rb') as f: return body(f)
// The file is closed on every way out, as the with statement closes it.
template <class Body>
py::object with_open_for_reading(const Call& c, py::handle path, Body&& body) {
    py::object manager = call(c.global("open"_id), path, py::str("rb"));
    py::object manager_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(Py_TYPE(manager.ptr())));
    py::object exit = getattr(manager_type, "__exit__"_id);
    py::object file = call(getattr(manager_type, "__enter__"_id), manager);
    py::object result;
    try {
        result = body(file);
    } catch (py::error_already_set& e) {
        try {
            // an error raised by native code may carry no traceback yet
            py::handle trace = e.trace() ? py::handle(e.trace()) : py::handle(Py_None);
            call(exit, manager, e.type(), e.value(), trace);
        } catch (py::error_already_set& close_error) {
            raise_in_handler(close_error.value(), e.value());
        }
        throw;
    }
    call(exit, manager, py::none(), py::none(), py::none());
    return result;
}

py::object upload_report(const Call& c) {
    auto [self, report_path, scan_type, engagement_name, repository_id, branch_name] = c.args<6>();
    if (!is_file(c, report_path)) {
        py::object message = text_of({py::str("Файл отчёта не найден: "), report_path});
        raise(call(c.global("PlatformError"_id), masked(c, message),
                   kw{"exit_code"_id, py::int_(4)}));
    }
    py::object path = getattr(c.global("Endpoints"_id), "SCAN"_id);
    py::dict data;
    data["scan_type"] = scan_type;
    data["engagement_name"] = engagement_name;
    data["repository_id"] = repository_id;
    data["branch_name"] = branch_name;
    try {
        // Explicit captures: clang before 16 cannot capture a structured binding.
        return with_open_for_reading(c, report_path, [&, &self = self, &report_path = report_path,
                                                      &scan_type = scan_type](py::handle f) {
            py::object file_name = call_method(getattr(c.global("os"_id), "path"_id), "basename"_id, report_path);
            py::dict files;
            files["report"] = py::make_tuple(file_name, f);
            return call_method(self, "post_form"_id, path, kw{"data"_id, data}, kw{"files"_id, files},
                               kw{"context"_id, text_of({py::str("upload "), scan_type})},
                               kw{"default_exit"_id, py::int_(6)});
        });
    } catch (py::error_already_set& e) {
        // A report that cannot be opened or read (no permission, no file
        // descriptors left) is a local file error like a missing one.
        HandlingScope handling(e);
        if (!matches(e, py::handle(PyExc_OSError)) ||
            matches(e, getattr(c.global("requests"_id), "RequestException"_id))) {
            throw;
        }
        py::object message = text_of({py::str("Не удалось прочитать файл отчёта: "), report_path, py::str(" ("),
                                      py::str(e.value()), py::str(")")});
        raise_from(call(c.global("PlatformError"_id), masked(c, message),
                        kw{"exit_code"_id, py::int_(4)}),
                   e.value(), e.value());
    }
}

py::object update_engagement_status(const Call& c) {
    auto [self, engagement_name, branch_name, repository_id, engagement_status] = c.args<5>();
    py::object repository_id_value;
    try {
        repository_id_value = call(c.global("int"_id), repository_id);
    } catch (py::error_already_set& e) {
        // OverflowError too: an infinite float is as unusable an id as a word.
        py::tuple conversion_errors = py::make_tuple(py::handle(PyExc_TypeError), py::handle(PyExc_ValueError),
                                                     py::handle(PyExc_OverflowError));
        if (!matches(e, conversion_errors)) throw;
        raise_from(platform_error(c, "Не удалось определить repository_id для обновления статуса сканирования.", 5),
                   e.value(), e.value());
    }
    py::dict payload;
    payload["engagement_name"] = engagement_name;
    payload["branch_name"] = branch_name;
    payload["repository_id"] = repository_id_value;
    payload["engagement_status"] = engagement_status;
    return call_method(self, "post_json"_id, getattr(c.global("Endpoints"_id), "ENGAGEMENT_STATUS"_id), payload,
                       kw{"context"_id, py::str("update engagement status")}, kw{"default_exit"_id, py::int_(6)});
}

// The engagement id becomes one segment of the request path; one that could
// climb out of it or start a query or fragment would send the scan data to
// another endpoint.
bool is_single_path_segment(py::handle text) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    if (length == 0) return false;
    int kind = PyUnicode_KIND(text.ptr());
    const void* data = PyUnicode_DATA(text.ptr());
    bool only_dots = true;
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (ch != '.') only_dots = false;
        if (ch == '/' || ch == '\\' || ch == '?' || ch == '#' || ch == '%' || ch < 0x20 || ch == 0x7f) return false;
    }
    return !only_dots;
}

py::object submit_scan(const Call& c) {
    auto [self, engagement_id, payload_path] = c.args<3>();
    if (!is_file(c, payload_path)) {
        raise(platform_error(c, "Не удалось запустить сканирование: подготовленные данные не найдены.", 4));
    }
    py::str id_text = format_plain(engagement_id);
    if (!is_single_path_segment(id_text)) {
        raise(call(c.global("PlatformError"_id),
                   masked(c, text_of({py::str("Не удалось запустить сканирование: некорректный engagement_id "),
                                      py::repr(engagement_id), py::str(".")})),
                   kw{"exit_code"_id, py::int_(1)}));
    }
    py::object path = call_method(getattr(c.global("Endpoints"_id), "IMPORT_ARCHIVE"_id), "format"_id, engagement_id);
    if (truthy(getattr(self, "verbose"_id))) {
        log_debug(c, text_of({py::str("Запуск сканирования для engagement_id="), id_text, py::str("...")}));
    }
    py::setattr(self, "_last_curl"_id, py::none());
    try {
        return with_open_for_reading(c, payload_path, [&, &self = self](py::handle f) {
            py::dict files;
            files["archive"] = py::make_tuple(py::str("scan.zip"), f, py::str("application/zip"));
            py::dict scan_data;
            scan_data["данные_сканирования"] = py::str("подготовлены");
            py::dict log_payload;
            log_payload["files"] = scan_data;
            return call_method(self, "post_form"_id, path, kw{"data"_id, py::dict()}, kw{"files"_id, files},
                               kw{"context"_id, py::str("submit scan")}, kw{"default_exit"_id, py::int_(7)},
                               kw{"_log_url"_id, py::bool_(false)},
                               kw{"_log_label"_id, py::str("<запуск сканирования>")},
                               kw{"_log_payload_override"_id, log_payload});
        });
    } catch (py::error_already_set& e) {
        HandlingScope handling(e);
        if (matches(e, c.global("PlatformError"_id))) {
            py::handle error = e.value();
            py::setattr(error, "response_body"_id,
                        call_method(self, "_hide_scan_submit_internals"_id, getattr(error, "response_body"_id)));
            py::setattr(error, "curl"_id, py::none());
            throw;
        }
        if (!matches(e, py::handle(PyExc_OSError))) throw;
        py::object hidden = call_method(self, "_hide_scan_submit_internals"_id, py::str(e.value()));
        raise_from_none(call(c.global("PlatformError"_id),
                             py::str("Не удалось запустить сканирование: подготовленные данные недоступны."),
                             kw{"exit_code"_id, py::int_(4)}, kw{"context"_id, py::str("submit scan")},
                             kw{"response_body"_id, hidden}),
                        e.value());
    }
}

const FunctionDeclaration upload_report_declaration{
    "upload_report",
    {self_param(), param("report_path", "str"), param("scan_type", "str"), param("engagement_name", "str"),
     param("repository_id", "str"), param("branch_name", "str")},
    "dict", no_doc, &upload_report};
const FunctionDeclaration update_engagement_status_declaration{
    "update_engagement_status",
    {self_param(), keyword_only("engagement_name", "str"), keyword_only("branch_name", "str"),
     keyword_only("repository_id", "str"), keyword_only("engagement_status", "str", Default::str("finished"))},
    "dict", "Сообщить платформе статус пайплайна после загрузки внешних отчётов.", &update_engagement_status};
const FunctionDeclaration submit_scan_declaration{
    "submit_scan", {self_param(), param("engagement_id", "str"), param("payload_path", "str")}, "dict", no_doc,
    &submit_scan};

}  // namespace

const DeclarationTable& upload_methods() {
    static const DeclarationTable table{&upload_report_declaration, &update_engagement_status_declaration, &submit_scan_declaration};
    return table;
}

}  // namespace qc
