// Turning a final response into decoded JSON or into a PlatformError.
#include "client/debug_line.hpp"
#include "core/handled_exception.hpp"
#include "core/text.hpp"
#include "core/raising.hpp"
#include "transport/tables.hpp"

namespace qc {
namespace {

// text[:500]
py::object first_500(py::handle text) {
    py::object stop = py::int_(500);
    py::object bounds = detail::checked(PySlice_New(Py_None, stop.ptr(), Py_None));
    return detail::checked(PyObject_GetItem(text.ptr(), bounds.ptr()));
}

// An HTML page where JSON was expected: a proxy's or a login page.
bool is_html(py::handle body) {
    py::object stripped = call_method(body, "lstrip"_id);
    if (truthy(call_method(stripped, "startswith"_id, "<!DOCTYPE"_id))) return true;
    return contains(call_method(body, "lower"_id), "<html>"_id);
}

[[noreturn]] void raise_for_error_status(const Call& c, const py::error_already_set& http_error) {
    auto [self, response, context, default_exit] = c.args<4>();
    py::object platform_error = c.global("PlatformError"_id);
    py::object status = getattr(response, "status_code"_id);
    py::object unauthorized = py::int_(401), forbidden = py::int_(403), not_found = py::int_(404),
               bad_request = py::int_(400);

    if (equal(unauthorized, status) || equal(forbidden, status)) {
        raise_in_handler(call(platform_error, "Ошибка авторизации: неверный API-токен или недостаточно прав."_id,
                              kw{"exit_code"_id, py::int_(2)}, kw{"http_status"_id, status},
                              kw{"context"_id, context}, kw{"curl"_id, getattr(self, "_last_curl"_id)}),
                         http_error.value());
    }
    if (equal(status, not_found)) {
        raise_in_handler(call(platform_error, "Ресурс не найден (проверьте имя группы, репозитория и ветки)."_id,
                              kw{"exit_code"_id, default_exit}, kw{"http_status"_id, not_found},
                              kw{"context"_id, context}, kw{"curl"_id, getattr(self, "_last_curl"_id)}),
                         http_error.value());
    }
    py::object raw_body = getattr(response, "text"_id);
    const bool is_bad_request = equal(status, bad_request);
    if (is_bad_request && equal(context, "get engagement status"_id) &&
        contains(raw_body, "Найдено несколько"_id)) {
        raise_in_handler(call(platform_error, "__ambiguous_engagement__"_id, kw{"exit_code"_id, py::int_(1)},
                              kw{"http_status"_id, bad_request}, kw{"context"_id, context}),
                         http_error.value());
    }
    py::object body = first_500(call_method(self, "_sanitize_body_string_for_log"_id, raw_body));
    py::handle message = is_bad_request && equal(context, "create group"_id)
                             ? "Ошибка API, попробуйте сменить название группы репозиториев"_id
                             : "Ошибка API"_id;
    raise_in_handler(call(platform_error, message, kw{"exit_code"_id, default_exit}, kw{"http_status"_id, status},
                          kw{"context"_id, context}, kw{"curl"_id, getattr(self, "_last_curl"_id)},
                          kw{"response_body"_id, body}),
                     http_error.value());
}

py::object raise_for_http_error(const Call& c) {
    py::handle response = c.arg(1);
    try {
        call_method(response, "raise_for_status"_id);
    } catch (py::error_already_set& e) {
        HandlingScope handling(e);
        if (!matches(e, getattr(c.global("requests"_id), "HTTPError"_id))) throw;
        raise_for_error_status(c, e);
    }
    return py::none();
}

py::object parse_json_response(const Call& c) {
    auto [self, response, context, default_exit] = c.args<4>();
    try {
        py::object body = getattr(response, "text"_id);
        if (truthy(getattr(self, "verbose"_id))) {
            py::object safe_body = call_method(self, "_sanitize_body_string_for_log"_id, body);
            log_debug(c, text_of({"[HTTP] Response body: "_id, first_500(safe_body), "..."_id}));
        }
        if (is_html(body)) {
            py::object platform_error = c.global("PlatformError"_id);
            py::object status = getattr(response, "status_code"_id);
            py::object safe_body = first_500(call_method(self, "_sanitize_body_string_for_log"_id, body));
            raise(call(platform_error, "Ошибка API: сервер вернул HTML вместо JSON. Проверьте эндпоинт."_id,
                       kw{"exit_code"_id, default_exit}, kw{"http_status"_id, status}, kw{"context"_id, context},
                       kw{"response_body"_id, safe_body}));
        }
        return call_method(response, "json"_id);
    } catch (py::error_already_set& e) {
        // A body nested too deeply to decode is as useless as one that is
        // not JSON at all.
        if (matches(e, c.global("ValueError"_id)) || matches(e, c.global("RecursionError"_id))) return py::dict();
        throw;
    }
}

py::object handle_response(const Call& c) {
    auto [self, response, context, default_exit] = c.args<4>();
    call_method(self, "_raise_for_http_error"_id, response, context, default_exit);
    return call_method(self, "_parse_json_response"_id, response, context, default_exit);
}

const FunctionDeclaration raise_for_http_error_declaration{
    "_raise_for_http_error",
    {self_param(), param("response", "requests.Response"), param("context", "str"),
     param("default_exit", "int")},
    "None", no_doc, &raise_for_http_error};
const FunctionDeclaration parse_json_response_declaration{
    "_parse_json_response",
    {self_param(), param("response", "requests.Response"), param("context", "str"),
     param("default_exit", "int")},
    "dict", no_doc, &parse_json_response};
const FunctionDeclaration handle_response_declaration{
    "_handle_response",
    {self_param(), param("response", "requests.Response"), param("context", "str"),
     param("default_exit", "int", Default::integer(5))},
    "dict", no_doc, &handle_response};

}  // namespace

const DeclarationTable& response_classification_methods() {
    static const DeclarationTable table{&raise_for_http_error_declaration, &parse_json_response_declaration, &handle_response_declaration};
    return table;
}

}  // namespace qc
