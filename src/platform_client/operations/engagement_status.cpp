// Reading a scan's status by identifier, and waiting for it to appear.
#include <climits>
#include <cstdio>
#include <initializer_list>

#include "client/log_lines.hpp"
#include "core/handled_exception.hpp"
#include "core/raising.hpp"
#include "core/text.hpp"
#include "operations/tables.hpp"

namespace qc {
namespace {

// The new reference a number protocol call returns, or its error.
py::object number_op(PyObject* result) { return detail::checked(result); }

py::object build_engagement_status_params(const Call& c) {
    auto [self, branch_name, repository_name, group_name, group_url, group_id, integration_type] = c.args<7>();
    py::dict params;
    if (truthy(branch_name)) params["branch_name"] = branch_name;
    if (truthy(repository_name)) params["repository_name"] = repository_name;
    if (truthy(group_name)) params["repository_group_name"] = group_name;
    if (truthy(group_url)) {
        py::object type = truthy(integration_type) ? py::reinterpret_borrow<py::object>(integration_type) : py::str("");
        if (call_method(type, "lower"_id).not_equal(py::str("manual"))) params["repository_group_url"] = group_url;
    }
    if (truthy(group_id)) params["repository_group_id"] = group_id;
    if (truthy(integration_type)) params["integration_type"] = integration_type;
    return params;
}

py::object get_engagement_status(const Call& c) {
    auto [self, commit_sha, branch_name, repository_name, group_name, group_url, group_id, integration_type] =
        c.args<8>();
    // The identifier goes into the request path unquoted; the host's pattern
    // is what keeps it to a single path segment.
    if (!truthy(call_method(c.global("_COMMIT_ID_RE"_id), "match"_id, commit_sha))) {
        raise(call(c.global("PlatformError"_id),
                   masked(c, text_of({py::str("Некорректный идентификатор скана: минимум 5 символов. Получено: "),
                                      py::repr(commit_sha)})),
                   kw{"exit_code"_id, py::int_(1)}));
    }
    py::object path = call_method(getattr(c.global("Endpoints"_id), "STATUS"_id), "format"_id, commit_sha);
    py::object params = call_method(self, "_build_engagement_status_params"_id, branch_name, repository_name,
                                    group_name, group_url, group_id, integration_type);
    try {
        return call_method(self, "get"_id, path,
                           kw{"params"_id, truthy(params) ? py::handle(params) : py::handle(Py_None)},
                           kw{"context"_id, py::str("get engagement status")});
    } catch (py::error_already_set& e) {
        HandlingScope handling(e);
        if (!matches(e, c.global("PlatformError"_id))) throw;
        if (!getattr(e.value(), "message"_id).equal(py::str("__ambiguous_engagement__"))) throw;
        py::str unknown("?");
        py::handle repo_str = truthy(repository_name) ? repository_name : py::handle(unknown);
        py::handle branch_str = truthy(branch_name) ? branch_name : py::handle(unknown);
        py::str message = text_of({py::str("Найдено несколько сканирований для "), format_plain(commit_sha),
                                  py::str(": репозиторий "), format_plain(repo_str), py::str(", ветка "),
                                  format_plain(branch_str), py::str(". Замените --group или --source-url.")});
        raise_from_none(call(c.global("PlatformError"_id), masked(c, message), kw{"exit_code"_id, py::int_(1)},
                             kw{"context"_id, py::str("engagement status resolution")}),
                        e.value());
    }
}

py::object timeout_error(const Call& c, py::handle timeout, py::handle commit_sha) {
    py::object minutes = number_op(PyNumber_FloorDivide(timeout.ptr(), py::int_(60).ptr()));
    py::object head = commit_sha[py::slice(py::none(), py::int_(8), py::none())];
    py::str message = text_of({py::str("Сканирование не появилось за "), format_plain(minutes),
                              py::str(" мин. Убедитесь, что платформа обрабатывает коммит "), format_plain(head),
                              py::str(".")});
    return call(c.global("PlatformError"_id), masked(c, message), kw{"exit_code"_id, py::int_(8)});
}


py::object wait_for_engagement(const Call& c) {
    py::object time = py::module_::import("time");
    auto [self, commit_sha, branch_name, repository_name, group_name, group_url, group_id, integration_type,
          interval_arg, timeout_arg] = c.args<10>();
    py::object builtin_int = c.global("int"_id);
    py::object builtin_max = c.global("max"_id);
    py::int_ one(1);
    py::object interval = call(builtin_max, one, call(builtin_int, interval_arg));
    py::object timeout = call(builtin_max, interval, call(builtin_int, timeout_arg));
    py::object deadline = number_op(PyNumber_Add(call_method(time, "monotonic"_id).ptr(), timeout.ptr()));
    py::object max_attempts =
        call(builtin_max, one, number_op(PyNumber_FloorDivide(timeout.ptr(), interval.ptr())));

    // A bound beyond long long can never be reached by counting anyway.
    int overflow = 0;
    long long attempts = PyLong_AsLongLongAndOverflow(max_attempts.ptr(), &overflow);
    if (attempts == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow > 0) attempts = LLONG_MAX;

    for (long long attempt = 1; attempt <= attempts; ++attempt) {
        try {
            return call_method(self, "get_engagement_status"_id, commit_sha, kw{"branch_name"_id, branch_name},
                               kw{"repository_name"_id, repository_name}, kw{"group_name"_id, group_name},
                               kw{"group_url"_id, group_url}, kw{"group_id"_id, group_id},
                               kw{"integration_type"_id, integration_type});
        } catch (py::error_already_set& e) {
            // The pause is taken inside the handler: an interrupt raised into
            // the sleep chains onto the not-found error.
            HandlingScope handling(e);
            if (!matches(e, c.global("PlatformError"_id))) throw;
            if (getattr(e.value(), "http_status"_id).not_equal(py::int_(404))) throw;

            py::object remaining =
                number_op(PyNumber_Subtract(deadline.ptr(), call_method(time, "monotonic"_id).ptr()));
            if (remaining <= py::int_(0)) raise_in_handler(timeout_error(c, timeout, commit_sha), e.value());
            py::object sleep_time = call(c.global("min"_id), interval, remaining);

            py::object whole_seconds = call(builtin_int, sleep_time);
            py::str wait_str =
                sleep_time >= py::int_(60)
                    ? text_of({format_plain(number_op(PyNumber_FloorDivide(whole_seconds.ptr(), py::int_(60).ptr()))),
                              py::str(" мин")})
                    : text_of({format_plain(whole_seconds), py::str(" сек")});
            char number[32];
            std::snprintf(number, sizeof number, "%02lld", attempt);
            log_info(c, text_of({py::str("Попытка "), py::str(number), py::str("/"), format_plain(max_attempts),
                                py::str(" | Сканирование ещё не создано, следующая проверка через "), wait_str,
                                py::str("...")}));
            call_method(time, "sleep"_id, sleep_time);
        }
    }
    raise(timeout_error(c, timeout, commit_sha));
}

const FunctionDeclaration build_engagement_status_params_declaration{
    "_build_engagement_status_params",
    {self_param(), param("branch_name", "str | None"), param("repository_name", "str | None"),
     param("group_name", "str | None"), param("group_url", "str | None"), param("group_id", "str | None"),
     param("integration_type", "str | None")},
    "dict[str, str]", no_doc, &build_engagement_status_params};
const FunctionDeclaration get_engagement_status_declaration{
    "get_engagement_status",
    {self_param(), param("commit_sha", "str"), param("branch_name", "str | None", Default::none()),
     param("repository_name", "str | None", Default::none()), param("group_name", "str | None", Default::none()),
     param("group_url", "str | None", Default::none()), param("group_id", "str | None", Default::none()),
     param("integration_type", "str | None", Default::none())},
    "dict", "Получить статус скана по идентификатору скана (commit SHA или произвольная строка).",
    &get_engagement_status};
const FunctionDeclaration wait_for_engagement_declaration{
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
    &wait_for_engagement};

}  // namespace

const DeclarationTable& engagement_status_methods() {
    static const DeclarationTable table{
        &build_engagement_status_params_declaration, &get_engagement_status_declaration, &wait_for_engagement_declaration};
    return table;
}

}  // namespace qc
