// The request verbs: URL, retry loop, network failures, classification.
//
// Only the request itself is guarded: the URL is built before it and the
// classification after it, so a PlatformError from classification is never
// mistaken for a network failure.
#include "core/handled_exception.hpp"
#include "core/raising.hpp"
#include "core/sequence_unpacking.hpp"
#include "core/text.hpp"
#include "transport/tables.hpp"

namespace qc {
namespace {

// except (requests.ConnectionError, requests.Timeout): the names are looked
// up when a failure arrives, as the except clause would.
bool is_network_failure(const Call& c, const py::error_already_set& e) {
    py::object requests = c.global("requests"_id);
    return matches(e, py::make_tuple(getattr(requests, "ConnectionError"_id), getattr(requests, "Timeout"_id)));
}

// What `raise value` makes of value: an instance as it is, a class
// instantiated, anything else the interpreter's TypeError.
py::object as_raisable(py::object value) {
    if (PyExceptionInstance_Check(value.ptr())) return value;
    if (PyExceptionClass_Check(value.ptr())) {
        py::object instance = call(value);
        if (PyExceptionInstance_Check(instance.ptr())) return instance;
        PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s",
                     value.ptr(), Py_TYPE(instance.ptr())->tp_name);
        throw py::error_already_set();
    }
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    throw py::error_already_set();
}

// raise self._network_error(e, failure_context) from e
[[noreturn]] void raise_network_error(const Call& c, const py::error_already_set& e, py::handle failure_context) {
    py::object error = as_raisable(call_method(c.self(), "_network_error"_id, e.value(), failure_context));
    raise_from(error, e.value(), e.value());
}

// self._url(path), for a path that is text: any other value would be
// written into the URL as it prints (123 becoming part of the port) and sent.
py::object url_of(const Call& c, py::handle path) {
    if (!PyUnicode_Check(path.ptr())) {
        py::object type_name = getattr(reinterpret_cast<PyObject*>(Py_TYPE(path.ptr())), "__name__"_id);
        raise(call(c.global("PlatformError"_id),
                   text_of({"Некорректный путь запроса: ожидается строка, получен "_id, type_name, "."_id}),
                   kw{"exit_code"_id, py::int_(1)}));
    }
    return call_method(c.self(), "_url"_id, path);
}

// `context or path`
py::object context_or_path(py::handle context, py::handle path) {
    return py::reinterpret_borrow<py::object>(truthy(context) ? context : path);
}

// Sends one request; network failures leave as the exit-code-3 PlatformError.
template <class... A>
py::object request_or_network_error(const Call& c, py::handle failure_context_source, py::handle path,
                                    bool fall_back_to_path, const A&... request) {
    try {
        return call_method(c.self(), "_request_with_retry"_id, request...);
    } catch (py::error_already_set& e) {
        // Inside the except clause: a host's _network_error sees the failure
        // in sys.exc_info() and may re-raise it with a bare `raise`.
        HandlingScope handling(e);
        if (!is_network_failure(c, e)) throw;
        py::object failure_context = fall_back_to_path
                                         ? context_or_path(failure_context_source, path)
                                         : py::reinterpret_borrow<py::object>(failure_context_source);
        raise_network_error(c, e, failure_context);
    }
}

py::object get(const Call& c) {
    auto [self, path, params, context] = c.args<4>();
    py::object url = url_of(c, path);
    py::object resp = request_or_network_error(c, context, path, true, py::str("GET"), url, kw{"params"_id, params});
    return call_method(self, "_handle_response"_id, resp, context_or_path(context, path));
}

py::object post_json(const Call& c) {
    auto [self, path, payload, context, default_exit] = c.args<5>();
    py::object url = url_of(c, path);
    py::object resp = request_or_network_error(c, context, path, true, py::str("POST"), url, kw{"json"_id, payload});
    return call_method(self, "_handle_response"_id, resp, context_or_path(context, path),
                       kw{"default_exit"_id, default_exit});
}

py::object post_form(const Call& c) {
    auto [self, path, data, files, context, default_exit, log_url, log_label, log_payload_override] = c.args<9>();
    py::object url = url_of(c, path);

    // The logged payload describes the files instead of carrying them; the
    // caller's `data` stays untouched.
    py::object log_payload;
    if (log_payload_override.is_none()) {
        log_payload = call(reinterpret_cast<PyObject*>(&PyDict_Type), data);
        if (truthy(files)) {
            py::object described = call_method(self, "_files_payload_for_log"_id, files);
            if (PyObject_SetItem(log_payload.ptr(), "files"_id, described.ptr()) < 0) throw py::error_already_set();
        }
    } else {
        log_payload = py::reinterpret_borrow<py::object>(log_payload_override);
    }

    // A copy, so that a multipart content type never lands on the session.
    py::object headers = call_method(getattr(getattr(self, "_session"_id), "headers"_id), "copy"_id);
    auto [post_data, post_files, request_headers, retry_request_kwargs_factory] =
        unpack<4>(call_method(self, "_prepare_post_form_kwargs"_id, data, files, headers));

    py::object resp = request_or_network_error(
        c, context, path, true, py::str("POST"), url, kw{"data"_id, post_data}, kw{"files"_id, post_files},
        kw{"headers"_id, request_headers}, kw{"_log_payload"_id, log_payload},
        kw{"_retry_request_kwargs_factory"_id, retry_request_kwargs_factory}, kw{"_log_url"_id, log_url},
        kw{"_log_label"_id, log_label});
    return call_method(self, "_handle_response"_id, resp, context_or_path(context, path),
                       kw{"default_exit"_id, default_exit});
}

// The raw response for callers that need the status itself; the failure
// context is the caller's, even when empty.
py::object post_form_response(const Call& c) {
    auto [self, path, data, context] = c.args<4>();
    py::object url = url_of(c, path);
    return request_or_network_error(c, context, path, false, py::str("POST"), url, kw{"data"_id, data});
}

const FunctionDeclaration post_form_response_declaration{
    "_post_form_response",
    {self_param(), param("path", "str"), param("data", "dict"), param("context", "str")}, "requests.Response",
    no_doc, &post_form_response};
const FunctionDeclaration get_declaration{
    "get",
    {self_param(), param("path", "str"), param("params", "Optional[dict]", Default::none()),
     param("context", "str", Default::str(""))},
    "dict", no_doc, &get};
const FunctionDeclaration post_form_declaration{
    "post_form",
    {self_param(), param("path", "str"), param("data", "dict"), param("files", "Optional[dict]", Default::none()),
     param("context", "str", Default::str("")), param("default_exit", "int", Default::integer(5)),
     param("_log_url", "bool", Default::boolean(true)), param("_log_label", "str | None", Default::none()),
     param("_log_payload_override", "Any | None", Default::none())},
    "dict", no_doc, &post_form};
const FunctionDeclaration post_json_declaration{
    "post_json",
    {self_param(), param("path", "str"), param("payload", "dict"), param("context", "str", Default::str("")),
     param("default_exit", "int", Default::integer(5))},
    "dict", no_doc, &post_json};

}  // namespace

const DeclarationTable& verb_methods() {
    static const DeclarationTable table{&post_form_response_declaration, &get_declaration, &post_form_declaration, &post_json_declaration};
    return table;
}

}  // namespace qc
