// Masking of secrets: the API token anywhere in text, values of sensitive
// payload and query keys, and URL user information.
//
// Every step calls its siblings through `self` and reads `urlsplit`,
// `parse_qsl`, `urlencode`, `urlunsplit`, `_URL_IN_TEXT_RE` and
// `_SENSITIVE_PAYLOAD_KEYS` from the module namespace at each use, so a host
// that overrides a method or rebinds a global is obeyed.
//
// The token is also masked, in every spelling, where the plain steps would
// let it through: dictionary keys, repr() of other objects, each decoded
// query key, the re-encoded query, the reassembled URL (a host name, or a
// token containing "/" that straddles host and path) and the finished text.
// This happens only once the steps have decided what is sensitive and where a
// URL's parts are, so it only ever adds to what they mask.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "core/boundary.hpp"
#include "core/nesting_guard.hpp"
#include "core/raising.hpp"
#include "core/sequence_unpacking.hpp"
#include "client/redaction.hpp"
#include "client/tables.hpp"
#include "client/token_spellings.hpp"

namespace qc {
namespace {

PyObject* mask() { return "***"_id; }

py::object steal(PyObject* value) { return detail::checked(value); }

bool is_instance(py::handle value, PyTypeObject* type) {
    int result = PyObject_IsInstance(value.ptr(), reinterpret_cast<PyObject*>(type));
    if (result < 0) throw py::error_already_set();
    return result == 1;
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

// The replacement callable handed to _URL_IN_TEXT_RE.sub (and to the search
// for paths in exception texts): bound to the client, it sanitises the whole
// match as a URL.
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
    py::object replace_url = steal(PyCFunction_New(&sanitize_url_match_def, self.ptr()));
    return mask_token_spellings(getattr(self, "token"_id), call_method(pattern, "sub"_id, replace_url, masked));
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

// The sanitised child of a container: through self, or straight here while
// only the head of a payload is wanted.
py::object sanitized_child(const Call& c, py::handle self, py::handle child, py::handle key, PayloadHead* head) {
    if (head) return sanitized_value(c, self, child, key, head);
    if (key) return call_method(self, "_sanitize_value_for_log"_id, child, key);
    return call_method(self, "_sanitize_value_for_log"_id, child);
}

// One level deeper in the payload, for the head's account of where it was cut.
class HeadLevel {
public:
    explicit HeadLevel(PayloadHead* head) : head_(head) {
        if (head_) ++head_->depth;
    }
    ~HeadLevel() {
        if (head_) --head_->depth;
    }
    HeadLevel(const HeadLevel&) = delete;
    HeadLevel& operator=(const HeadLevel&) = delete;

    // The budget is spent: this container ends here.
    bool cut_here() {
        if (!head_ || head_->leaves > 0) return false;
        if (!head_->cut_depth) head_->cut_depth = head_->depth;
        return true;
    }

private:
    PayloadHead* head_;
};

}  // namespace

py::object shown_text(py::handle self, py::handle text) {
    return mask_token_spellings(getattr(self, "token"_id), call_method(self, "_mask_token_only"_id, text));
}

py::object sanitized_value(const Call& c, py::handle self, py::handle value, py::handle key, PayloadHead* head) {
    if (key && !key.is_none() && truthy(call_method(self, "_is_sensitive_payload_key"_id, key))) {
        if (head) --head->leaves;
        return py::reinterpret_borrow<py::object>(mask());
    }
    ValueKind kind = kind_of(value);
    if (head && kind != ValueKind::mapping && kind != ValueKind::sequence) --head->leaves;
    switch (kind) {
        case ValueKind::mapping: {
            NestingGuard guard;
            HeadLevel level(head);
            py::dict result;
            py::object items = steal(PyObject_GetIter(call_method(value, "items"_id).ptr()));
            while (py::object item = py::reinterpret_steal<py::object>(PyIter_Next(items.ptr()))) {
                if (level.cut_here()) break;
                auto [k, v] = unpack<2>(item);
                // The key is shown as well, so it must not carry the token.
                py::object shown_key = shown_text(self, steal(PyObject_Str(k.ptr())));
                py::object sanitized = sanitized_child(c, self, v, k, head);
                if (PyDict_SetItem(result.ptr(), shown_key.ptr(), sanitized.ptr()) < 0) throw py::error_already_set();
            }
            if (PyErr_Occurred()) throw py::error_already_set();
            return result;
        }
        case ValueKind::sequence: {
            NestingGuard guard;
            HeadLevel level(head);
            py::list result;
            py::object items = steal(PyObject_GetIter(value.ptr()));
            while (py::object item = py::reinterpret_steal<py::object>(PyIter_Next(items.ptr()))) {
                if (level.cut_here()) break;
                result.append(sanitized_child(c, self, item, py::handle(), head));
            }
            if (PyErr_Occurred()) throw py::error_already_set();
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
            return shown_text(self, steal(PyObject_Repr(value.ptr())));
    }
    return py::reinterpret_borrow<py::object>(value);
}

namespace {

py::object sanitize_value_for_log(const Call& c) {
    auto [self, value, key] = c.args<3>();
    return sanitized_value(c, self, value, key, nullptr);
}

py::object sanitize_url_or_text_for_log(const Call& c) {
    auto [self, value] = c.args<2>();
    if (contains(value, "://"_id)) return call_method(self, "_sanitize_url_for_log"_id, value);
    return call_method(self, "_sanitize_text_for_log"_id, value);
}

py::object sanitize_url_for_log(const Call& c) {
    auto [self, url] = c.args<2>();
    py::object parts;
    try {
        parts = call(c.global("urlsplit"_id), url);
    } catch (py::error_already_set& e) {
        if (!matches(e, PyExc_ValueError)) throw;
        try {
            return shown_text(self, url);
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
    return shown_text(self, rebuilt);
}

py::object sanitize_query_string_for_log(const Call& c) {
    auto [self, query] = c.args<2>();
    py::object pairs = call(c.global("parse_qsl"_id), query, kw{"keep_blank_values"_id, Py_True});
    py::list safe;
    for (py::handle item : pairs) {
        auto [k, v] = unpack<2>(item);
        // Keys are shown too; a token sent percent-encoded as a key comes
        // out of decoding whole, so mask it before re-encoding hides it.
        py::object shown_key = shown_text(self, k);
        safe.append(py::make_tuple(shown_key, call_method(self, "_sanitize_value_for_log"_id, v, k)));
    }
    // Re-encoding can spell the token anew: a decoded space comes back as "+".
    return shown_text(self, call(c.global("urlencode"_id), safe));
}

// A path with a query that does not continue a host name or another URL.
constexpr const char* path_with_query_source = R"((?<![\w/:.%@-])/[^\s'"<>?]*\?[^\s'"<>]+)";

}  // namespace

py::object sanitize_exception_text(const Call& c, py::handle error) {
    py::handle self = c.self();
    py::object text = call_method(self, "_sanitize_text_for_log"_id, steal(PyObject_Str(error.ptr())));
    py::object replace_path = steal(PyCFunction_New(&sanitize_url_match_def, self.ptr()));
    py::object re = c.global("re"_id);
    return shown_text(self, call_method(re, "sub"_id, py::str(path_with_query_source), replace_path, text));
}

void mask_exception_text(const Call& c, py::handle error) {
    py::object text = sanitize_exception_text(c, error);
    if (PyObject_SetAttrString(error.ptr(), "args", py::make_tuple(text).ptr()) < 0) throw py::error_already_set();
}

const FunctionDeclaration is_sensitive_payload_key_declaration{
    "_is_sensitive_payload_key", {self_param(), param("key", "object")}, "bool", no_doc, &is_sensitive_payload_key};
const FunctionDeclaration mask_token_only_declaration{
    "_mask_token_only", {self_param(), param("text", "str")}, "str", no_doc, &mask_token_only};
const FunctionDeclaration sanitize_text_for_log_declaration{
    "_sanitize_text_for_log", {self_param(), param("text", "str")}, "str", no_doc, &sanitize_text_for_log};
const FunctionDeclaration sanitize_payload_for_log_declaration{
    "_sanitize_payload_for_log", {self_param(), param("value", "Any")}, "Any", no_doc, &sanitize_payload_for_log};
const FunctionDeclaration sanitize_value_for_log_declaration{
    "_sanitize_value_for_log",
    {self_param(), param("value", "Any"), param("key", "object | None", Default::none())},
    "Any", no_doc, &sanitize_value_for_log};
const FunctionDeclaration sanitize_url_or_text_for_log_declaration{
    "_sanitize_url_or_text_for_log", {self_param(), param("value", "str")}, "str", no_doc,
    &sanitize_url_or_text_for_log};
const FunctionDeclaration sanitize_url_for_log_declaration{
    "_sanitize_url_for_log", {self_param(), param("url", "str")}, "str", no_doc, &sanitize_url_for_log};
const FunctionDeclaration sanitize_query_string_for_log_declaration{
    "_sanitize_query_string_for_log", {self_param(), param("query", "str")}, "str", no_doc,
    &sanitize_query_string_for_log};

const DeclarationTable& redaction_methods() {
    static const DeclarationTable table{
        &is_sensitive_payload_key_declaration, &mask_token_only_declaration, &sanitize_text_for_log_declaration,
        &sanitize_payload_for_log_declaration, &sanitize_value_for_log_declaration, &sanitize_url_or_text_for_log_declaration,
        &sanitize_url_for_log_declaration, &sanitize_query_string_for_log_declaration};
    return table;
}

}  // namespace qc
