// The short, masked curl command that reproduces a prepared request.
#include "core/raising.hpp"
#include "core/text.hpp"
#include "client/tables.hpp"

#include <optional>

namespace qc {
namespace {

// Bodies this long are left out of the command entirely.
constexpr Py_ssize_t body_length_limit = 1000;

// `import shlex`, as the statement does it: through the builtins' __import__,
// at every call, so the module loads only when a command is first built.
py::object import_shlex(const Call& c) {
    PyObject* builtins = PyEval_GetBuiltins();
    if (!builtins) throw py::error_already_set();
    std::optional<py::object> import_function = dict_get(builtins, "__import__"_id);
    if (!import_function) {
        PyErr_SetString(PyExc_ImportError, "__import__ not found");
        throw py::error_already_set();
    }
    return call(*import_function, "shlex"_id, c.module_globals(), py::none(), py::none(), py::int_(0));
}

py::object header_word(py::handle name, py::handle value) {
    return text_of({name, ": "_id, value});
}

// The body word, or nothing: a body that cannot be decoded or rendered is
// simply left out of the command.
std::optional<py::object> body_word(const Call& c, py::handle shlex, py::handle body) {
    try {
        py::object body_str = PyBytes_Check(body.ptr()) ? call_method(body, "decode"_id, "utf-8"_id)
                                                        : detail::checked(PyObject_Str(body.ptr()));
        Py_ssize_t length = PyObject_Length(body_str.ptr());
        if (length < 0) throw py::error_already_set();
        if (length >= body_length_limit) return std::nullopt;
        py::object sanitized = call_method(c.self(), "_sanitize_body_string_for_log"_id, body_str);
        return call_method(shlex, "quote"_id, sanitized);
    } catch (py::error_already_set& e) {
        // KeyboardInterrupt and SystemExit are not the body's fault.
        if (!matches(e, PyExc_Exception)) throw;
        return std::nullopt;
    }
}

py::object curl_command(const Call& c) {
    auto [self, request] = c.args<2>();
    py::object shlex = import_shlex(c);
    auto quote = [&](py::handle text) { return call_method(shlex, "quote"_id, text); };

    py::list parts;
    parts.append("curl"_id);
    parts.append("-X"_id);
    parts.append(getattr(request, "method"_id));
    parts.append(quote(call_method(self, "_sanitize_url_for_log"_id, getattr(request, "url"_id))));

    py::object headers = getattr(request, "headers"_id);
    for (py::handle item : call_method(headers, "items"_id)) {
        py::object name = item[py::int_(0)];
        py::object lowered = call_method(name, "lower"_id);
        bool is_authorization = equal(lowered, "authorization"_id);
        if (!is_authorization && !equal(lowered, "content-type"_id)) continue;
        // Authorization is replaced whole; a content type has no business
        // holding the token, but if it does it is masked too.
        py::object shown = is_authorization
                               ? py::reinterpret_borrow<py::object>("***"_id)
                               : call_method(self, "_mask_token_only"_id, format_plain(item[py::int_(1)]));
        parts.append("-H"_id);
        parts.append(quote(header_word(name, shown)));
    }

    py::object content_type = call_method(call_method(headers, "get"_id, "Content-Type"_id, ""_id), "lower"_id);
    if (contains(content_type, "multipart/form-data"_id)) {
        // Left unquoted on purpose: the shell reads the rest as a comment.
        parts.append(py::str("-F '...'  # multipart data"));
    } else {
        py::object body = getattr(request, "body"_id);
        if (truthy(body) && (PyUnicode_Check(body.ptr()) || PyBytes_Check(body.ptr()))) {
            if (std::optional<py::object> word = body_word(c, shlex, body)) {
                parts.append("-d"_id);
                parts.append(*word);
            }
        }
    }
    return detail::checked(PyUnicode_Join(" "_id, parts.ptr()));
}

const FunctionDeclaration curl_command_declaration{
    "_curl_command", {self_param(), param("request", "requests.PreparedRequest")}, "str",
    "Сгенерировать максимально лаконичную curl команду для отладки.", &curl_command};

}  // namespace

const DeclarationTable& curl_command_methods() {
    static const DeclarationTable table{&curl_command_declaration};
    return table;
}

}  // namespace qc
