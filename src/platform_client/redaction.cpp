// Masking of secrets: the API token anywhere in text, values of sensitive
// payload and query keys, and URL user information.
//
// Every step calls its siblings through `self` and reads `urlsplit`,
// `parse_qsl`, `urlencode`, `urlunsplit`, `_URL_IN_TEXT_RE` and
// `_SENSITIVE_PAYLOAD_KEYS` from the module namespace at each use, so a host
// that overrides a method or rebinds a global is obeyed.
//
// The token is also masked where the plain steps would let it through:
// dictionary keys, repr() of other objects, the raw query, each decoded query
// key, the re-encoded query and the reassembled URL (a host name, or a token
// containing "/" that straddles host and path).
#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "boundary.hpp"
#include "fast_path.hpp"
#include "raising.hpp"
#include "specs.hpp"

namespace qc {
namespace {

PyObject* mask() { return "***"_id; }

// _URL_IN_TEXT_RE as the module compiles it (str patterns carry re.UNICODE).
constexpr const char* url_in_text_pattern = R"(https?://[^\s'\"<>]+)";
constexpr long url_in_text_flags = 32;

py::object steal(PyObject* value) { return detail::checked(value); }

bool is_instance(py::handle value, PyTypeObject* type) {
    int result = PyObject_IsInstance(value.ptr(), reinterpret_cast<PyObject*>(type));
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

// Lowest usable address of the calling thread's stack, with a safety margin
// for the calls that follow the check (error reporting, unwinding).
const char* stack_floor() {
    thread_local const char* floor = [] {
        pthread_attr_t attr;
        void* base = nullptr;
        std::size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) return static_cast<const char*>(nullptr);
        pthread_attr_getstack(&attr, &base, &size);
        pthread_attr_destroy(&attr);
        std::size_t margin = std::min<std::size_t>(size / 4, 256 * 1024);
        return static_cast<const char*>(base) + margin;
    }();
    return floor;
}

// Nested payloads recurse through Python calls, one C stack frame chain per
// level. The interpreter's depth limit is the first guard; the stack check
// covers hosts that raise that limit beyond what the C stack can hold (before
// 3.12 the two are not tied), so deep nesting ends in RecursionError, never
// in a crash.
class RecursionGuard {
public:
    RecursionGuard() {
        const char* floor = stack_floor();
        if (floor && static_cast<const char*>(__builtin_frame_address(0)) < floor) {
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
            throw py::error_already_set();
        }
        if (Py_EnterRecursiveCall("")) throw py::error_already_set();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// `k, v = item`, with the interpreter's own errors for other shapes.
std::pair<py::object, py::object> unpack_pair(py::handle item) {
    PyObject* raw = item.ptr();
    if (PyTuple_CheckExact(raw) && PyTuple_GET_SIZE(raw) == 2) {
        return {py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(raw, 0)),
                py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(raw, 1))};
    }
    PyObject* iterator = PyObject_GetIter(raw);
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(raw)->tp_iter && !PySequence_Check(raw)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(raw)->tp_name);
        }
        throw py::error_already_set();
    }
    py::object it = steal(iterator);
    py::object values[2];
    for (int i = 0; i < 2; ++i) {
        values[i] = py::reinterpret_steal<py::object>(PyIter_Next(it.ptr()));
        if (!values[i]) {
            if (PyErr_Occurred()) throw py::error_already_set();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw py::error_already_set();
        }
    }
    if (py::object extra = py::reinterpret_steal<py::object>(PyIter_Next(it.ptr()))) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw py::error_already_set();
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return {std::move(values[0]), std::move(values[1])};
}

// for item in iterable: body(item)
template <class Body>
void for_each(py::handle iterable, Body&& body) {
    py::object iterator = steal(PyObject_GetIter(iterable.ptr()));
    while (PyObject* next = PyIter_Next(iterator.ptr())) {
        body(py::reinterpret_steal<py::object>(next));
    }
    if (PyErr_Occurred()) throw py::error_already_set();
}

py::object is_sensitive_payload_key(const Call& c) {
    py::object key_l = call_method(steal(PyObject_Str(c.arg(1).ptr())), "lower"_id);
    bool sensitive = false;
    py::object markers = c.global("_SENSITIVE_PAYLOAD_KEYS"_id);
    py::object iterator = steal(PyObject_GetIter(markers.ptr()));
    while (PyObject* next = PyIter_Next(iterator.ptr())) {
        py::object marker = py::reinterpret_steal<py::object>(next);
        if (contains(key_l, marker)) {
            sensitive = true;
            break;
        }
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return py::bool_(sensitive);
}

py::object mask_token_only(const Call& c) {
    auto [self, text] = c.args<2>();
    py::object token = getattr(self, "token"_id);
    if (!truthy(token)) return py::reinterpret_borrow<py::object>(text);
    if (PyUnicode_CheckExact(text.ptr()) && PyUnicode_CheckExact(token.ptr())) {
        return steal(PyUnicode_Replace(text.ptr(), token.ptr(), mask(), -1));
    }
    return call_method(text, "replace"_id, token, mask());
}

// The replacement callable handed to _URL_IN_TEXT_RE.sub: bound to the
// client, it sanitises the whole match as a URL.
PyObject* sanitize_url_match(PyObject* client, PyObject* match) {
    return guarded([&] {
        py::object whole = call_method(match, "group"_id, py::int_(0));
        return call_method(client, "_sanitize_url_for_log"_id, whole);
    });
}

PyMethodDef sanitize_url_match_def{"<lambda>", &sanitize_url_match, METH_O, nullptr};

py::object sanitize_text_for_log(const Call& c) {
    auto [self, text] = c.args<2>();
    py::object masked = call_method(self, "_mask_token_only"_id, text);
    py::object pattern = c.global("_URL_IN_TEXT_RE"_id);
    // Every match starts with "http": text without it comes back unchanged,
    // as long as the pattern is still the module's own.
    if (PyUnicode_CheckExact(masked.ptr()) && !contains(masked, "http"_id) &&
        is_compiled_pattern(pattern, url_in_text_pattern, url_in_text_flags)) {
        return masked;
    }
    py::object replace_url = steal(PyCFunction_New(&sanitize_url_match_def, self.ptr()));
    return call_method(pattern, "sub"_id, replace_url, masked);
}

py::object sanitize_payload_for_log(const Call& c) {
    return call_method(c.self(), "_sanitize_value_for_log"_id, c.arg(1));
}

enum class ValueKind { mapping, sequence, bytes, text, plain, other };

// isinstance() in the documented order; exact built-in types first, since
// they are what payloads are made of and cannot claim another __class__.
ValueKind kind_of(py::handle value) {
    PyTypeObject* type = Py_TYPE(value.ptr());
    if (type == &PyUnicode_Type) return ValueKind::text;
    if (type == &PyDict_Type) return ValueKind::mapping;
    if (type == &PyList_Type || type == &PyTuple_Type) return ValueKind::sequence;
    if (type == &PyBytes_Type) return ValueKind::bytes;
    if (type == &PyLong_Type || type == &PyBool_Type || type == &PyFloat_Type || value.is_none()) {
        return ValueKind::plain;
    }
    if (is_instance(value, &PyDict_Type)) return ValueKind::mapping;
    if (is_instance(value, &PyList_Type) || is_instance(value, &PyTuple_Type)) return ValueKind::sequence;
    if (is_instance(value, &PyBytes_Type)) return ValueKind::bytes;
    if (is_instance(value, &PyUnicode_Type)) return ValueKind::text;
    if (is_instance(value, &PyLong_Type) || is_instance(value, &PyFloat_Type) || is_instance(value, &PyBool_Type)) {
        return ValueKind::plain;
    }
    return ValueKind::other;
}

py::object sanitize_bytes(py::handle self, py::handle value) {
    py::object text;
    try {
        if (PyBytes_CheckExact(value.ptr())) {
            text = steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value.ptr()), PyBytes_GET_SIZE(value.ptr()), "strict"));
        } else {
            text = call_method(value, "decode"_id, py::str("utf-8"));
        }
    } catch (py::error_already_set& e) {
        if (!matches(e, PyExc_UnicodeDecodeError)) throw;
        Py_ssize_t size = PyObject_Length(value.ptr());
        if (size < 0) throw py::error_already_set();
        return steal(PyUnicode_FromFormat("<%zd bytes>", size));
    }
    return call_method(self, "_sanitize_text_for_log"_id, text);
}

py::object sanitize_value_for_log(const Call& c) {
    auto [self, value, key] = c.args<3>();
    if (!key.is_none() && truthy(call_method(self, "_is_sensitive_payload_key"_id, key))) {
        return py::reinterpret_borrow<py::object>(mask());
    }
    switch (kind_of(value)) {
        case ValueKind::mapping: {
            RecursionGuard guard;
            py::dict result;
            // Explicit capture: clang before 16 cannot capture a structured binding.
            for_each(call_method(value, "items"_id), [&, &self = self](py::handle item) {
                auto [k, v] = unpack_pair(item);
                // The key is shown as well, so it must not carry the token.
                py::object shown_key = call_method(self, "_mask_token_only"_id, steal(PyObject_Str(k.ptr())));
                py::object sanitized = call_method(self, "_sanitize_value_for_log"_id, v, k);
                if (PyDict_SetItem(result.ptr(), shown_key.ptr(), sanitized.ptr()) < 0) {
                    throw py::error_already_set();
                }
            });
            return result;
        }
        case ValueKind::sequence: {
            RecursionGuard guard;
            py::list result;
            for_each(value, [&, &self = self](py::handle item) {
                result.append(call_method(self, "_sanitize_value_for_log"_id, item));
            });
            return result;
        }
        case ValueKind::bytes:
            return sanitize_bytes(self, value);
        case ValueKind::text:
            return call_method(self, "_sanitize_url_or_text_for_log"_id, value);
        case ValueKind::plain:
            return py::reinterpret_borrow<py::object>(value);
        case ValueKind::other:
            // repr() of a set or a bytearray shows its contents verbatim.
            return call_method(self, "_mask_token_only"_id, steal(PyObject_Repr(value.ptr())));
    }
    return py::reinterpret_borrow<py::object>(value);
}

py::object sanitize_url_or_text_for_log(const Call& c) {
    auto [self, value] = c.args<2>();
    if (contains(value, "://"_id)) return call_method(self, "_sanitize_url_for_log"_id, value);
    return call_method(self, "_sanitize_text_for_log"_id, value);
}

extern const FunctionSpec mask_token_only_spec;
extern const FunctionSpec sanitize_query_string_for_log_spec;

// A URL the shortcut below can take: lower-case http or https, a non-empty
// authority, and nothing that makes the standard split do more than cut at
// the first "/" (no query, fragment, brackets, backslash, space, control or
// non-ASCII characters).
struct SimpleUrl {
    Py_ssize_t scheme_end;  // length of "http" or "https"
    Py_ssize_t netloc_end;  // end of the authority, start of the path
};

std::optional<SimpleUrl> simple_url(py::handle url) {
    PyObject* raw = url.ptr();
    if (!PyUnicode_CheckExact(raw) || !PyUnicode_IS_ASCII(raw)) return std::nullopt;
    const char* text = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(raw));
    Py_ssize_t length = PyUnicode_GET_LENGTH(raw);
    Py_ssize_t scheme_end;
    if (length > 7 && std::memcmp(text, "http://", 7) == 0) {
        scheme_end = 4;
    } else if (length > 8 && std::memcmp(text, "https://", 8) == 0) {
        scheme_end = 5;
    } else {
        return std::nullopt;
    }
    Py_ssize_t netloc_start = scheme_end + 3;
    Py_ssize_t netloc_end = -1;
    for (Py_ssize_t i = netloc_start; i < length; ++i) {
        unsigned char ch = static_cast<unsigned char>(text[i]);
        if (ch <= ' ' || ch == 0x7f || ch == '?' || ch == '#' || ch == '[' || ch == ']' || ch == '\\') {
            return std::nullopt;
        }
        if (ch == '/' && netloc_end < 0) netloc_end = i;
    }
    if (netloc_end < 0) netloc_end = length;
    if (netloc_end == netloc_start) return std::nullopt;
    return SimpleUrl{scheme_end, netloc_end};
}

// What urlsplit, the masking steps and urlunsplit produce for a simple URL,
// or nothing when the host has replaced any piece of that chain (or the token
// is not a plain string) and the general path must run.
std::optional<py::object> sanitize_simple_url(const Call& c, py::handle self, py::handle url) {
    std::optional<SimpleUrl> shape = simple_url(url);
    if (!shape) return std::nullopt;
    if (!global_is_stdlib(c, "urlsplit"_id, "urllib.parse") || !global_is_stdlib(c, "urlunsplit"_id, "urllib.parse") ||
        !global_is_stdlib(c, "parse_qsl"_id, "urllib.parse") || !global_is_stdlib(c, "urlencode"_id, "urllib.parse") ||
        !is_own_method(c, self, "_mask_token_only"_id, mask_token_only_spec) ||
        !is_own_method(c, self, "_sanitize_query_string_for_log"_id, sanitize_query_string_for_log_spec) ||
        !is_plain_attribute(self, "token"_id)) {
        return std::nullopt;
    }
    py::object token = getattr(self, "token"_id);
    bool masking = truthy(token);
    if (masking && !PyUnicode_CheckExact(token.ptr())) return std::nullopt;
    auto masked = [&](py::object text) {
        return masking ? steal(PyUnicode_Replace(text.ptr(), token.ptr(), mask(), -1)) : text;
    };

    PyObject* raw = url.ptr();
    Py_ssize_t length = PyUnicode_GET_LENGTH(raw);
    const char* text = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(raw));
    Py_ssize_t netloc_start = shape->scheme_end + 3;
    std::string_view netloc(text + netloc_start, static_cast<std::size_t>(shape->netloc_end - netloc_start));
    std::string head(text, static_cast<std::size_t>(netloc_start));
    if (std::size_t at = netloc.rfind('@'); at != std::string_view::npos) {
        head += "***@";
        head += netloc.substr(at + 1);
    } else {
        head += netloc;
    }
    py::object path = masked(steal(PyUnicode_Substring(raw, shape->netloc_end, length)));
    // urlunsplit puts a "/" before a path that lost its leading one to the mask.
    Py_ssize_t path_length = PyUnicode_GET_LENGTH(path.ptr());
    if (path_length > 0 && PyUnicode_READ_CHAR(path.ptr(), 0) != '/') head += '/';
    py::object rebuilt = steal(PyUnicode_FromStringAndSize(head.data(), static_cast<Py_ssize_t>(head.size())));
    rebuilt = steal(PyUnicode_Concat(rebuilt.ptr(), path.ptr()));
    return masked(rebuilt);
}

py::object sanitize_url_for_log(const Call& c) {
    auto [self, url] = c.args<2>();
    if (std::optional<py::object> fast = sanitize_simple_url(c, self, url)) return *fast;
    py::object parts;
    try {
        parts = call(c.global("urlsplit"_id), url);
    } catch (py::error_already_set& e) {
        if (!matches(e, PyExc_ValueError)) throw;
        try {
            return call_method(self, "_mask_token_only"_id, url);
        } catch (py::error_already_set& inner) {
            raise_in_handler(inner.value(), e.value());
        }
    }
    py::object netloc = getattr(parts, "netloc"_id);
    if (contains(netloc, "@"_id)) {
        py::object host = call_method(netloc, "rsplit"_id, "@"_id, py::int_(1))[py::int_(1)];
        netloc = steal(PyNumber_Add("***@"_id, host.ptr()));
    }
    py::object query = call_method(self, "_sanitize_query_string_for_log"_id, getattr(parts, "query"_id));
    py::object path = call_method(self, "_mask_token_only"_id, getattr(parts, "path"_id));
    py::object fragment = call_method(self, "_mask_token_only"_id, getattr(parts, "fragment"_id));
    py::object rebuilt = call(c.global("urlunsplit"_id),
                              py::make_tuple(getattr(parts, "scheme"_id), netloc, path, query, fragment));
    // The host is not masked on its own, and a token with "/" can straddle
    // host and path: mask what is actually shown.
    return call_method(self, "_mask_token_only"_id, rebuilt);
}

py::object sanitize_query_string_for_log(const Call& c) {
    auto [self, query] = c.args<2>();
    // Decoding turns a "+" of a token written as is into a space, and the
    // token would come back only partly re-encoded: mask it before parsing.
    py::object raw = call_method(self, "_mask_token_only"_id, query);
    py::object pairs = call(c.global("parse_qsl"_id), raw, kw{"keep_blank_values"_id, Py_True});
    py::list safe;
    for_each(pairs, [&, &self = self](py::handle item) {
        auto [k, v] = unpack_pair(item);
        // Keys are shown too; a token sent percent-encoded as a key comes
        // out of decoding whole, so mask it before re-encoding hides it.
        py::object shown_key = call_method(self, "_mask_token_only"_id, k);
        safe.append(py::make_tuple(shown_key, call_method(self, "_sanitize_value_for_log"_id, v, k)));
    });
    py::object encoded = call(c.global("urlencode"_id), safe);
    // Re-encoding can rebuild the token: a decoded space comes back as "+".
    return call_method(self, "_mask_token_only"_id, encoded);
}

const FunctionSpec is_sensitive_payload_key_spec{
    "_is_sensitive_payload_key", {self_param(), param("key", "object")}, "bool", no_doc, &is_sensitive_payload_key};
const FunctionSpec mask_token_only_spec{
    "_mask_token_only", {self_param(), param("text", "str")}, "str", no_doc, &mask_token_only};
const FunctionSpec sanitize_text_for_log_spec{
    "_sanitize_text_for_log", {self_param(), param("text", "str")}, "str", no_doc, &sanitize_text_for_log};
const FunctionSpec sanitize_payload_for_log_spec{
    "_sanitize_payload_for_log", {self_param(), param("value", "Any")}, "Any", no_doc, &sanitize_payload_for_log};
const FunctionSpec sanitize_value_for_log_spec{
    "_sanitize_value_for_log",
    {self_param(), param("value", "Any"), param("key", "object | None", Default::none())},
    "Any", no_doc, &sanitize_value_for_log};
const FunctionSpec sanitize_url_or_text_for_log_spec{
    "_sanitize_url_or_text_for_log", {self_param(), param("value", "str")}, "str", no_doc,
    &sanitize_url_or_text_for_log};
const FunctionSpec sanitize_url_for_log_spec{
    "_sanitize_url_for_log", {self_param(), param("url", "str")}, "str", no_doc, &sanitize_url_for_log};
const FunctionSpec sanitize_query_string_for_log_spec{
    "_sanitize_query_string_for_log", {self_param(), param("query", "str")}, "str", no_doc,
    &sanitize_query_string_for_log};

}  // namespace

const SpecTable& redaction_methods() {
    static const SpecTable table{
        &is_sensitive_payload_key_spec, &mask_token_only_spec, &sanitize_text_for_log_spec,
        &sanitize_payload_for_log_spec, &sanitize_value_for_log_spec, &sanitize_url_or_text_for_log_spec,
        &sanitize_url_for_log_spec, &sanitize_query_string_for_log_spec};
    return table;
}

}  // namespace qc
