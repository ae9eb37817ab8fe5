// Turning a final response into decoded JSON or into a PlatformError.
#include <optional>

#include "client/log_lines.hpp"
#include "client/redaction.hpp"
#include "core/handled_exception.hpp"
#include "core/raising.hpp"
#include "core/text.hpp"
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

// A page that starts as an HTML5 document or holds an <html> tag with
// attributes, in any letter case: looked for only in a body that is not JSON.
bool is_html_document(py::handle body) {
    py::object lowered = call_method(body, "lower"_id);
    if (truthy(call_method(call_method(lowered, "lstrip"_id), "startswith"_id, "<!doctype html"_id))) return true;
    Py_ssize_t length = PyObject_Length(lowered.ptr());
    if (length < 0) throw py::error_already_set();
    for (Py_ssize_t at = 0;; at += 5) {
        at = PyUnicode_Find(lowered.ptr(), "<html"_id, at, length, 1);
        if (at == -2) throw py::error_already_set();
        if (at < 0 || at + 5 >= length) return false;
        Py_UCS4 next = PyUnicode_ReadChar(lowered.ptr(), at + 5);
        if (next == '>' || Py_UNICODE_ISSPACE(next)) return true;
    }
}

// The curl command of the request this response answers, else the client's
// last one (a response the retry loop did not make).
py::object curl_of(py::handle self, py::handle response) {
    if (std::optional<py::object> own = optional_attr(response, "_platform_client_curl"_id)) return *own;
    return getattr(self, "_last_curl"_id);
}

[[noreturn]] void raise_html_page(const Call& c, py::handle body) {
    auto [self, response, context, default_exit] = c.args<4>();
    py::object safe_body = first_500(call_method(self, "_sanitize_body_string_for_log"_id, body));
    raise(call(c.global("PlatformError"_id), "Ошибка API: сервер вернул HTML вместо JSON. Проверьте эндпоинт."_id,
               kw{"exit_code"_id, default_exit}, kw{"http_status"_id, getattr(response, "status_code"_id)},
               kw{"context"_id, context}, kw{"response_body"_id, safe_body}));
}

// Redirects are never followed, so a 3xx answer means the request did not
// reach the platform's API: an upload answered 307 would otherwise be lost.
void raise_for_redirect(const Call& c) {
    auto [self, response, context, default_exit] = c.args<4>();
    py::object status = getattr(response, "status_code"_id);
    if (!PyLong_Check(status.ptr()) || !compare(status, py::int_(300), Py_GE) || !compare(status, py::int_(400), Py_LT)) {
        return;
    }
    py::object location = call_method(getattr(response, "headers"_id), "get"_id, "Location"_id);
    py::object shown = location.is_none() ? py::str("(адрес не указан)")
                                          : call_method(self, "_sanitize_url_for_log"_id, format_plain(location));
    raise(call(c.global("PlatformError"_id),
               text_of({"Ошибка API: платформа ответила перенаправлением HTTP "_id, status, " на "_id, shown,
                        ". Перенаправления не выполняются: проверьте адрес платформы (например, https:// вместо http://)."_id}),
               kw{"exit_code"_id, default_exit}, kw{"http_status"_id, status}, kw{"context"_id, context},
               kw{"curl"_id, curl_of(self, response)}));
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
                              kw{"context"_id, context}, kw{"curl"_id, curl_of(self, response)}),
                         http_error.value());
    }
    if (equal(status, not_found)) {
        raise_in_handler(call(platform_error, "Ресурс не найден (проверьте имя группы, репозитория и ветки)."_id,
                              kw{"exit_code"_id, default_exit}, kw{"http_status"_id, not_found},
                              kw{"context"_id, context}, kw{"curl"_id, curl_of(self, response)}),
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
                          kw{"context"_id, context}, kw{"curl"_id, curl_of(self, response)},
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
        // The error keeps it as __context__; its text names the URL and query.
        mask_exception_text(c, e.value());
        raise_for_error_status(c, e);
    }
    raise_for_redirect(c);
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
        if (is_html(body)) raise_html_page(c, body);
        try {
            return call_method(response, "json"_id);
        } catch (py::error_already_set& e) {
            // A body nested too deeply to decode is as useless as one that is
            // not JSON at all; an HTML5 page is still an HTML page.
            if (!matches(e, c.global("ValueError"_id)) && !matches(e, c.global("RecursionError"_id))) throw;
            if (!PyUnicode_Check(body.ptr()) || !is_html_document(body)) return py::dict();
        }
        raise_html_page(c, body);
    } catch (py::error_already_set& e) {
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
