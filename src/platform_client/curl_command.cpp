// The short, masked curl command that reproduces a prepared request.
#include "fast_path.hpp"
#include "raising.hpp"
#include "specs.hpp"

#include <cstring>

namespace qc {
namespace {

// Bodies this long are left out of the command entirely.
constexpr Py_ssize_t body_length_limit = 1000;

// `import shlex`, as the statement does it: through the builtins' __import__,
// at every call, so the module loads only when a command is first built.
py::object import_shlex(const Call& c) {
    PyObject* builtins = PyEval_GetBuiltins();
    if (!builtins) throw py::error_already_set();
    PyObject* import_function = PyDict_GetItemWithError(builtins, "__import__"_id);
    if (!import_function) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
        throw py::error_already_set();
    }
    return call(import_function, "shlex"_id, c.module_globals(), py::none(), py::none(), py::int_(0));
}

// shlex.quote, done natively while the imported module's quote and the
// pattern it tests with are the standard library's own; else it is called.
// Checked at each use: the sanitisers run host code between two quotes.
class Quoter {
public:
    explicit Quoter(py::handle shlex) : shlex_(shlex) {}

    py::object operator()(py::handle text) const {
        if (!PyUnicode_CheckExact(text.ptr()) || !is_standard(shlex_)) return call_method(shlex_, "quote"_id, text);
        PyObject* raw = text.ptr();
        Py_ssize_t length = PyUnicode_GET_LENGTH(raw);
        if (length == 0) return py::str("''");
        int kind = PyUnicode_KIND(raw);
        const void* data = PyUnicode_DATA(raw);
        bool safe = true;
        for (Py_ssize_t i = 0; i < length && safe; ++i) safe = is_safe(PyUnicode_READ(kind, data, i));
        if (safe) return py::reinterpret_borrow<py::object>(text);
        py::object inner = detail::checked(PyUnicode_Replace(raw, "'"_id, py::str("'\"'\"'").ptr(), -1));
        py::object quoted = detail::checked(PyUnicode_Concat("'"_id, inner.ptr()));
        return detail::checked(PyUnicode_Concat(quoted.ptr(), "'"_id));
    }

private:
    // Word characters in ASCII mode, and @ % + = : , . / -
    static bool is_safe(Py_UCS4 ch) {
        if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9')) return true;
        switch (ch) {
            case '_': case '@': case '%': case '+': case '=': case ':': case ',': case '.': case '/': case '-':
                return true;
            default:
                return false;
        }
    }

    static bool is_standard(py::handle shlex) {
        if (shlex.ptr() != loaded_module("shlex"_id)) return false;
        PyObject* ns = PyModule_GetDict(shlex.ptr());
        PyObject* quote = PyDict_GetItemWithError(ns, "quote"_id);
        if (!quote || !is_stdlib_object(quote, "shlex"_id, "quote"_id)) {
            PyErr_Clear();
            return false;
        }
        PyObject* find_unsafe = PyDict_GetItemWithError(ns, "_find_unsafe"_id);
        if (!find_unsafe || !PyCFunction_Check(find_unsafe)) {
            PyErr_Clear();
            return false;
        }
        PyObject* pattern = PyCFunction_GET_SELF(find_unsafe);
        if (!pattern || !is_compiled_pattern(pattern, R"([^\w@%+=:,./-])", 256)) return false;
        return std::strcmp(reinterpret_cast<PyCFunctionObject*>(find_unsafe)->m_ml->ml_name, "search") == 0;
    }

    py::handle shlex_;
};

py::object header_word(py::handle name, py::handle value) {
    py::object text = detail::checked(PyUnicode_Concat(format_plain(name).ptr(), py::str(": ").ptr()));
    return detail::checked(PyUnicode_Concat(text.ptr(), format_plain(value).ptr()));
}

// The body word, or nothing: a body that cannot be decoded or rendered is
// simply left out of the command.
std::optional<py::object> body_word(const Call& c, const Quoter& quote, py::handle body) {
    try {
        py::object body_str;
        if (PyBytes_Check(body.ptr())) {
            body_str = call_method(body, "decode"_id, py::str("utf-8"));
        } else {
            body_str = detail::checked(PyObject_Str(body.ptr()));
        }
        Py_ssize_t length = PyObject_Length(body_str.ptr());
        if (length < 0) throw py::error_already_set();
        if (length >= body_length_limit) return std::nullopt;
        py::object sanitized = call_method(c.self(), "_sanitize_body_string_for_log"_id, body_str);
        return quote(sanitized);
    } catch (py::error_already_set& e) {
        // KeyboardInterrupt and SystemExit are not the body's fault.
        if (!matches(e, PyExc_Exception)) throw;
        return std::nullopt;
    }
}

py::object curl_command(const Call& c) {
    auto [self, request] = c.args<2>();
    py::object shlex = import_shlex(c);
    Quoter quote(shlex);

    py::list parts;
    parts.append("curl"_id);
    parts.append("-X"_id);
    parts.append(getattr(request, "method"_id));
    py::object url = call_method(self, "_sanitize_url_for_log"_id, getattr(request, "url"_id));
    parts.append(quote(url));

    py::object headers = getattr(request, "headers"_id);
    for (py::handle item : call_method(headers, "items"_id)) {
        py::object name = item[py::int_(0)];
        py::object value = item[py::int_(1)];
        py::object lowered = call_method(name, "lower"_id);
        bool is_authorization = lowered.equal(py::str("authorization"));
        if (!is_authorization && !lowered.equal(py::str("content-type"))) continue;
        // Authorization is replaced whole; a content type has no business
        // holding the token, but if it does it is masked too.
        py::object shown = is_authorization ? py::reinterpret_borrow<py::object>("***"_id)
                                            : call_method(self, "_mask_token_only"_id, format_plain(value));
        parts.append("-H"_id);
        parts.append(quote(header_word(name, shown)));
    }

    py::object content_type =
        call_method(call_method(headers, "get"_id, "Content-Type"_id, py::str("")), "lower"_id);
    int multipart = PySequence_Contains(content_type.ptr(), py::str("multipart/form-data").ptr());
    if (multipart < 0) throw py::error_already_set();
    if (multipart) {
        // Left unquoted on purpose: the shell reads the rest as a comment.
        parts.append(py::str("-F '...'  # multipart data"));
    } else {
        py::object body = getattr(request, "body"_id);
        if (truthy(body) && (PyUnicode_Check(body.ptr()) || PyBytes_Check(body.ptr()))) {
            if (std::optional<py::object> word = body_word(c, quote, body)) {
                parts.append("-d"_id);
                parts.append(*word);
            }
        }
    }
    return call_method(py::str(" "), "join"_id, parts);
}

const FunctionSpec curl_command_spec{
    "_curl_command", {self_param(), param("request", "requests.PreparedRequest")}, "str",
    "Сгенерировать максимально лаконичную curl команду для отладки.", &curl_command};

}  // namespace

const SpecTable& curl_command_methods() {
    static const SpecTable table{&curl_command_spec};
    return table;
}

}  // namespace qc
