// The one place where requests are sent: the retry loop and its policy.
#include <optional>

#include "client/log_lines.hpp"
#include "client/redaction.hpp"
#include "core/handled_exception.hpp"
#include "core/text.hpp"
#include "core/raising.hpp"
#include "transport/tables.hpp"

namespace qc {
namespace {

// time.sleep counts in signed 64-bit nanoseconds and adds the pause to the
// monotonic clock; half of that range leaves the other half to the clock, so
// every pause up to here can be slept, while a longer one would make sleep
// fail at once (OverflowError, or OSError EINVAL).
constexpr long long longest_sleep_seconds = (1LL << 62) / 1'000'000'000;

// dict.pop(key, fallback)
py::object pop(py::handle dict, PyObject* key, py::handle fallback) {
    std::optional<py::object> value = dict_get(dict, key);
    if (!value) return py::reinterpret_borrow<py::object>(fallback);
    if (PyDict_DelItem(dict.ptr(), key) < 0) throw py::error_already_set();
    return std::move(*value);
}

void setdefault(py::handle dict, PyObject* key, py::handle value) {
    if (!PyDict_SetDefault(dict.ptr(), key, value.ptr())) throw py::error_already_set();
}

// How the interpreter names a callable in its argument errors:
// "requests.sessions.Session.request()".
py::str function_str(py::handle function) {
    std::optional<py::object> qualname = optional_attr(function, "__qualname__"_id);
    if (!qualname) return text_of({py::type::handle_of(function).attr("__name__"), " object"_id});
    std::optional<py::object> module = optional_attr(function, "__module__"_id);
    if (module && PyUnicode_Check(module->ptr()) && !compare(*module, "builtins"_id, Py_EQ))
        return text_of({*module, "."_id, *qualname, "()"_id});
    return text_of({*qualname, "()"_id});
}

[[noreturn]] void raise_type_error(py::str message) {
    PyErr_SetObject(PyExc_TypeError, message.ptr());
    throw py::error_already_set();
}

// session.request(method, url, allow_redirects=False, **request_kwargs)
py::object send(py::handle self, py::handle method, py::handle url, py::handle request_kwargs) {
    py::object request = getattr(getattr(self, "_session"_id), "request"_id);
    py::dict keywords;
    keywords[py::handle("allow_redirects"_id)] = py::bool_(false);
    py::object extra = py::reinterpret_borrow<py::object>(request_kwargs);
    if (!PyDict_Check(extra.ptr())) {
        py::dict copied;
        if (PyDict_Update(copied.ptr(), extra.ptr()) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
            PyErr_Clear();
            raise_type_error(text_of({function_str(request), " argument after ** must be a mapping, not "_id,
                                      py::type::handle_of(extra).attr("__name__")}));
        }
        extra = std::move(copied);
    }
    int duplicate = PyDict_Contains(extra.ptr(), "allow_redirects"_id);
    if (duplicate < 0) throw py::error_already_set();
    if (duplicate)
        raise_type_error(text_of({function_str(request), " got multiple values for keyword argument '"_id,
                                  "allow_redirects"_id, "'"_id}));
    if (PyDict_Update(keywords.ptr(), extra.ptr()) < 0) throw py::error_already_set();
    py::tuple positional = py::make_tuple(method, url);
    return detail::checked(PyObject_Call(request.ptr(), positional.ptr(), keywords.ptr()));
}

py::object request_kwargs_for_attempt(const Call& c) {
    auto [self, base_kwargs, request_kwargs_factory] = c.args<3>();
    py::object request_kwargs =
        PyDict_CheckExact(base_kwargs.ptr())
            ? detail::checked(PyDict_Copy(base_kwargs.ptr()))
            : call(reinterpret_cast<PyObject*>(&PyDict_Type), base_kwargs);
    if (!request_kwargs_factory.is_none()) call_method(request_kwargs, "update"_id, call(request_kwargs_factory));
    return request_kwargs;
}

// A Retry-After value counts only when it is a whole number of seconds that
// int() and time.sleep() can both take; anything else (an HTTP-date, a sign,
// a fraction, a superscript digit, a pause longer than sleep allows) gets the
// default pause.
py::object retry_delay_for_response(const Call& c) {
    auto [self, response, default_delay] = c.args<3>();
    py::object retry_after = call_method(getattr(response, "headers"_id), "get"_id, py::handle("Retry-After"_id));
    if (truthy(retry_after) && truthy(call_method(retry_after, "isdigit"_id))) {
        PyObject* seconds = PyNumber_Long(retry_after.ptr());
        if (seconds) {
            py::object delay = py::reinterpret_steal<py::object>(seconds);
            int overflow = 0;
            long long value = PyLong_AsLongLongAndOverflow(seconds, &overflow);
            if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
            if (overflow == 0 && value >= 0 && value <= longest_sleep_seconds) return delay;
        } else {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw py::error_already_set();
            PyErr_Clear();
        }
    }
    return py::reinterpret_borrow<py::object>(default_delay);
}

py::object should_retry_response(const Call& c) {
    auto [self, response, attempt, max_attempts, default_delay] = c.args<5>();
    py::object status = getattr(response, "status_code"_id);
    if (!contains(c.global("_RETRY_HTTP_STATUSES"_id), status)) return py::bool_(false);
    if (compare(attempt, max_attempts, Py_GE)) return py::bool_(false);
    py::object delay = call_method(self, "_retry_delay_for_response"_id, response, default_delay);
    if (truthy(getattr(self, "verbose"_id))) {
        log_debug(c, text_of({"[HTTP] "_id, status, " Временная ошибка. Повтор через "_id, delay, "с... ("_id,
                              attempt, "/"_id, max_attempts, ")"_id}));
    } else {
        log_info(c, text_of({"Ошибка платформы ("_id, status, "), попытка "_id, attempt, "/"_id, max_attempts}));
    }
    call_method(c.global("time"_id), "sleep"_id, delay);
    return py::bool_(true);
}

py::object should_retry_network_error(const Call& c) {
    auto [self, error, attempt, max_attempts, sleep_interval, hide_internal_text] = c.args<6>();
    if (compare(attempt, max_attempts, Py_GE)) return py::bool_(false);
    if (truthy(getattr(self, "verbose"_id))) {
        py::object error_text = sanitize_exception_text(c, error);
        if (truthy(hide_internal_text)) {
            error_text = call_method(self, "_hide_scan_submit_internals"_id, error_text);
            if (!truthy(error_text)) error_text = py::str("");
        }
        log_debug(c, text_of({"[HTTP] Ошибка сети: "_id, error_text, ". Повтор через "_id, sleep_interval,
                              "с... ("_id, attempt, "/"_id, max_attempts, ")"_id}));
    } else {
        log_info(c, text_of({"Ошибка подключения к платформе, попытка "_id, attempt, "/"_id, max_attempts}));
    }
    call_method(c.global("time"_id), "sleep"_id, sleep_interval);
    return py::bool_(true);
}

// The token travels as the Authorization header: one that no header can
// carry (not a string, control characters such as a trailing newline from a
// token file, characters outside Latin-1, leading whitespace) fails every
// attempt alike, so it is refused before the first one, without showing it.
void check_token_can_be_sent(const Call& c, py::handle self) {
    py::object token = getattr(self, "token"_id);
    if (!truthy(token)) return;
    bool sendable = PyUnicode_Check(token.ptr());
    if (sendable) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(token.ptr());
        for (Py_ssize_t i = 0; i < length && sendable; ++i) {
            Py_UCS4 ch = PyUnicode_READ_CHAR(token.ptr(), i);
            sendable = ch >= 0x20 && ch != 0x7F && ch <= 0xFF && !(i == 0 && Py_UNICODE_ISSPACE(ch));
        }
    }
    if (sendable) return;
    raise(call(c.global("PlatformError"_id),
               py::str("Неверный API-токен: его нельзя передать в заголовке Authorization (управляющие символы, "
                       "например перевод строки в конце, символы вне Latin-1 или не строка)."),
               kw{"exit_code"_id, py::int_(2)}));
}

// Errors that every attempt of the same request would meet again: a body
// JSON cannot encode, a URL without a scheme or otherwise unusable. They are
// not network failures and are not retried: exit code 2 when the client's
// platform URL is at fault, 1 for the values an operation was given.
bool is_request_error(const Call& c, const py::error_already_set& e) {
    py::object exceptions = getattr(c.global("requests"_id), "exceptions"_id);
    for (PyObject* name : {"InvalidJSONError"_id, "MissingSchema"_id, "InvalidSchema"_id, "InvalidURL"_id,
                           "URLRequired"_id, "InvalidHeader"_id}) {
        if (std::optional<py::object> kind = optional_attr(exceptions, name)) {
            if (matches(e, *kind)) return true;
        }
    }
    return false;
}

// An http(s) URL with a host: anything else is the configuration's fault.
bool is_usable_platform_url(const Call& c, py::handle base_url) {
    if (!PyUnicode_Check(base_url.ptr())) return false;
    py::object parts;
    try {
        parts = call(c.global("urlsplit"_id), base_url);
    } catch (py::error_already_set& e) {
        if (!matches(e, PyExc_ValueError)) throw;
        return false;
    }
    py::object scheme = getattr(parts, "scheme"_id);
    return (equal(scheme, "http"_id) || equal(scheme, "https"_id)) && truthy(getattr(parts, "netloc"_id));
}

[[noreturn]] void raise_request_error(const Call& c, const py::error_already_set& e) {
    py::handle self = c.self();
    bool base_url_usable = is_usable_platform_url(c, getattr(self, "base_url"_id));
    py::object detail = sanitize_exception_text(c, e.value());
    py::object error =
        base_url_usable
            ? call(c.global("PlatformError"_id), text_of({"Некорректный запрос: "_id, detail}),
                   kw{"exit_code"_id, py::int_(1)}, kw{"response_body"_id, detail})
            : call(c.global("PlatformError"_id),
                   py::str("Неверная настройка клиента: адрес платформы должен начинаться с http:// или https://."),
                   kw{"exit_code"_id, py::int_(2)}, kw{"response_body"_id, detail});
    // requests' own text names the URL and its query unmasked: not chained.
    raise_from_none(error, e.value());
}

py::object request_with_retry(const Call& c) {
    auto [self, method, url, kwargs] = c.args<4>();
    py::object max_attempts = c.global("_REQUEST_RETRY_ATTEMPTS"_id);
    py::object sleep_interval = c.global("_REQUEST_RETRY_SLEEP_SECONDS"_id);

    check_token_can_be_sent(c, self);
    py::object log_payload = call_method(self, "_payload_from_request_kwargs"_id, kwargs);
    py::object request_kwargs_factory = pop(kwargs, "_retry_request_kwargs_factory"_id, Py_None);
    py::object log_url = pop(kwargs, "_log_url"_id, Py_True);
    py::object log_label = pop(kwargs, "_log_label"_id, Py_None);
    setdefault(kwargs, "verify"_id, getattr(self, "verify_tls"_id));
    setdefault(kwargs, "timeout"_id, getattr(self, "timeout"_id));

    py::object last_err = py::none();
    // range(1, max_attempts + 1)
    py::object stop = detail::checked(PyNumber_Add(max_attempts.ptr(), py::int_(1).ptr()));
    long long last_attempt = PyLong_AsLongLong(detail::checked(PyNumber_Index(stop.ptr())).ptr()) - 1;
    if (last_attempt == -2 && PyErr_Occurred()) throw py::error_already_set();

    for (long long number = 1; number <= last_attempt; ++number) {
        py::int_ attempt(number);
        try {
            py::object request_kwargs =
                call_method(self, "_request_kwargs_for_attempt"_id, kwargs, request_kwargs_factory);
            call_method(self, "_log_request_attempt_payload"_id, log_payload);
            py::object resp = send(self, method, url, request_kwargs);
            py::object curl =
                truthy(log_url) ? call_method(self, "_curl_command"_id, getattr(resp, "request"_id)) : py::none();
            py::setattr(self, "_last_curl"_id, curl);
            // Threads sharing the client overwrite _last_curl: the response
            // keeps the command of its own request for the error about it.
            py::setattr(resp, "_platform_client_curl"_id, curl);
            call_method(self, "_log_response_status"_id, method, resp, kw{"log_url"_id, log_url},
                        kw{"log_label"_id, log_label});
            if (!truthy(call_method(self, "_should_retry_response"_id, resp, kw{"attempt"_id, attempt},
                                    kw{"max_attempts"_id, max_attempts}, kw{"default_delay"_id, sleep_interval})))
                return resp;
        } catch (py::error_already_set& e) {
            HandlingScope handling(e);
            py::object requests = c.global("requests"_id);
            if (matches(e, getattr(getattr(requests, "exceptions"_id), "SSLError"_id))) {
                // Not retried: it leaves as the cause of the TLS error, its
                // text naming the URL and query.
                mask_exception_text(c, e.value());
                throw;
            }
            if (is_request_error(c, e)) raise_request_error(c, e);
            if (matches(e, getattr(requests, "RequestException"_id))) {
                last_err = e.value();
                // On the last attempt this neither logs nor waits, and the loop ends.
                call_method(self, "_should_retry_network_error"_id, e.value(), kw{"attempt"_id, attempt},
                            kw{"max_attempts"_id, max_attempts}, kw{"sleep_interval"_id, sleep_interval},
                            kw{"hide_internal_text"_id, py::bool_(!truthy(log_url))});
                continue;
            }
            // An upload file that cannot be read or rewound is a failure to
            // send the request, reported like any other network failure.
            if (matches(e, c.global("OSError"_id))) {
                py::object error = call(getattr(requests, "ConnectionError"_id), py::str(e.value()));
                raise_from(error, e.value(), e.value());
            }
            throw;
        }
    }
    py::object requests = c.global("requests"_id);
    raise(call(getattr(requests, "ConnectionError"_id),
               text_of({"Ошибка сети после "_id, max_attempts, " попыток: "_id, sanitize_exception_text(c, last_err)})));
}

py::object network_error(const Call& c) {
    auto [self, error, context] = c.args<3>();
    py::object ssl_error = getattr(getattr(c.global("requests"_id), "exceptions"_id), "SSLError"_id);
    int is_tls = PyObject_IsInstance(error.ptr(), ssl_error.ptr());
    if (is_tls < 0) throw py::error_already_set();
    py::object platform_error = c.global("PlatformError"_id);
    py::handle message =
        is_tls ? "Ошибка проверки TLS-сертификата."_id : "Ошибка сети после серии попыток."_id;
    py::object curl = getattr(self, "_last_curl"_id);
    py::object body = sanitize_exception_text(c, error);
    return call(platform_error, message, kw{"exit_code"_id, py::int_(3)}, kw{"context"_id, context},
                kw{"curl"_id, curl}, kw{"response_body"_id, body});
}

const FunctionDeclaration request_kwargs_for_attempt_declaration{
    "_request_kwargs_for_attempt",
    {self_param(), param("base_kwargs", "dict"), param("request_kwargs_factory")}, "dict", no_doc,
    &request_kwargs_for_attempt};
const FunctionDeclaration retry_delay_for_response_declaration{
    "_retry_delay_for_response",
    {self_param(), param("response", "requests.Response"), param("default_delay", "int")}, "int", no_doc,
    &retry_delay_for_response};
const FunctionDeclaration should_retry_response_declaration{
    "_should_retry_response",
    {self_param(), param("response", "requests.Response"), keyword_only("attempt", "int"),
     keyword_only("max_attempts", "int"), keyword_only("default_delay", "int")},
    "bool", no_doc, &should_retry_response};
const FunctionDeclaration should_retry_network_error_declaration{
    "_should_retry_network_error",
    {self_param(), param("error", "requests.RequestException"), keyword_only("attempt", "int"),
     keyword_only("max_attempts", "int"), keyword_only("sleep_interval", "int"),
     keyword_only("hide_internal_text", "bool", Default::boolean(false))},
    "bool", no_doc, &should_retry_network_error};
const FunctionDeclaration request_with_retry_declaration{
    "_request_with_retry",
    {self_param(), param("method", "str"), param("url", "str"), var_keyword("kwargs")},
    "requests.Response",
    "\n"
    "        Выполнение HTTP-запроса с повторными попытками.\n"
    "        Повторяет запрос при сетевых ошибках или 5xx статусах платформы.\n"
    "        Длительность: 30 попыток с задержкой 10 секунд = ~5 минут.\n"
    "        ",
    &request_with_retry};
const FunctionDeclaration network_error_declaration{
    "_network_error", {self_param(), param("error", "Exception"), param("context", "str")}, "PlatformError",
    no_doc, &network_error};

}  // namespace

const DeclarationTable& retry_methods() {
    static const DeclarationTable table{
        &request_kwargs_for_attempt_declaration, &retry_delay_for_response_declaration, &should_retry_response_declaration,
        &should_retry_network_error_declaration, &request_with_retry_declaration, &network_error_declaration};
    return table;
}

}  // namespace qc
