// Rendering of request payloads, uploaded files and response bodies as
// bounded, masked log text, and the per-request "[HTTP] " lines.
#include <optional>
#include <utility>
#include <vector>

#include "client/log_lines.hpp"
#include "core/handled_exception.hpp"
#include "core/raising.hpp"
#include "core/text.hpp"
#include "client/redaction.hpp"
#include "client/token_spellings.hpp"
#include "core/sequence_unpacking.hpp"
#include "client/tables.hpp"

namespace qc {
namespace {

constexpr Py_ssize_t payload_length_cap = 2000;

bool is_none(py::handle value) { return value.ptr() == Py_None; }

bool caught_any(const py::error_already_set& e, std::initializer_list<PyObject*> types) {
    for (PyObject* type : types) {
        if (matches(e, type)) return true;
    }
    return false;
}

// "<" + type(value).__name__ + ">": a body that is a stream, an encoder or
// a generator is named, never read.
py::object type_placeholder(py::handle value) {
    py::object name = getattr(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())), "__name__"_id);
    return text_of({"<"_id, name, ">"_id});
}

bool is_str_or_bytes(py::handle value) { return PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()); }

py::object unrenderable_payload() { return py::str("<unrenderable payload>"); }

// A rendering longer than the cap keeps its head and a marker.
py::object capped(py::handle self, py::object rendered) {
    Py_ssize_t length = PyObject_Length(rendered.ptr());
    if (length < 0) throw py::error_already_set();
    if (length <= payload_length_cap) return rendered;
    py::object head = detail::checked(PySequence_GetSlice(rendered.ptr(), 0, payload_length_cap));
    py::object joined = detail::checked(PyNumber_Add(head.ptr(), py::str("...<truncated>").ptr()));
    // The cut can end on the start of the token and the suffix supply its
    // tail (a token that ends in a dot), so the joined text is masked again.
    return shown_text(self, joined);
}

// The rendering is shown only up to the cap, yet the text pass would mask it
// all, each URL in it a second time. A prefix that ends just before a double
// quote (which no URL match runs into) and on which no token occurrence
// straddles is masked exactly as it is within the whole text, so the pass runs
// on growing prefixes until one masks to more than the cap. Only while the
// pass and the steps it calls are the client's own, the token is a plain
// attribute and the URL pattern is the module's.
bool prefix_pass_is_exact(const Call& c, py::handle self) {
    if (!is_own_method(c, self, "_sanitize_text_for_log"_id, sanitize_text_for_log_declaration) ||
        !is_own_method(c, self, "_mask_token_only"_id, mask_token_only_declaration) ||
        !is_own_method(c, self, "_sanitize_url_for_log"_id, sanitize_url_for_log_declaration)) {
        return false;
    }
    std::optional<py::object> on_class = optional_attr(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr())), "token"_id);
    std::optional<py::object> token = optional_attr(self, "token"_id);
    if (on_class || !token || !(token->is_none() || PyUnicode_CheckExact(token->ptr()))) return false;
    // A quote in the token would let one of its spellings run across a cut.
    if (!token->is_none() && contains(*token, "\""_id)) return false;
    return c.is_bound_original("_URL_IN_TEXT_RE"_id, c.global("_URL_IN_TEXT_RE"_id));
}

// The end of the first prefix of at least `from` characters that is masked
// as within the whole text, the cut and the token around it lying before
// `limit`; -1 when there is none.
Py_ssize_t prefix_end(py::handle text, py::handle token, Py_ssize_t from, Py_ssize_t limit) {
    Py_ssize_t token_length = PyUnicode_Check(token.ptr()) ? PyUnicode_GET_LENGTH(token.ptr()) : 0;
    for (Py_ssize_t at = from; at + std::max<Py_ssize_t>(token_length, 1) <= limit; ++at) {
        at = PyUnicode_FindChar(text.ptr(), '"', at, limit, 1);
        if (at == -2) throw py::error_already_set();
        if (at < 0 || at + std::max<Py_ssize_t>(token_length, 1) > limit) break;
        if (token_length == 0) return at;
        Py_ssize_t found = PyUnicode_Find(text.ptr(), token.ptr(), std::max<Py_ssize_t>(0, at - token_length + 1),
                                          at + token_length, 1);
        if (found == -2) throw py::error_already_set();
        if (found == -1) return at;
    }
    return -1;
}

// The text pass over as much of `rendered` (whose first `limit` characters
// are known) as is shown; nothing when a longer text is needed.
std::optional<py::object> masked_prefix(py::handle self, py::handle rendered, py::handle token, Py_ssize_t limit) {
    for (Py_ssize_t from = 2 * payload_length_cap;; from *= 4) {
        Py_ssize_t end = prefix_end(rendered, token, from, limit);
        if (end < 0) return std::nullopt;
        py::object prefix = detail::checked(PyUnicode_Substring(rendered.ptr(), 0, end));
        py::object masked = call_method(self, "_sanitize_text_for_log"_id, prefix);
        if (PyUnicode_GET_LENGTH(masked.ptr()) > payload_length_cap) return masked;
    }
}

py::object masked_rendering(const Call& c, py::handle self, py::handle rendered) {
    if (PyUnicode_CheckExact(rendered.ptr()) && PyUnicode_GET_LENGTH(rendered.ptr()) > 2 * payload_length_cap &&
        prefix_pass_is_exact(c, self)) {
        py::object token = getattr(self, "token"_id);
        if (auto masked = masked_prefix(self, rendered, token, PyUnicode_GET_LENGTH(rendered.ptr()))) return *masked;
    }
    return call_method(self, "_sanitize_text_for_log"_id, rendered);
}

// Leaves masked before the head of a payload is rendered the first time.
constexpr Py_ssize_t first_head_leaves = 256;

// A payload made only of the built-in types a decoded JSON document holds
// (dictionaries with str keys, lists, tuples, text, bytes, numbers, None),
// not deeply nested: masking it runs no host code and cannot meet the depth
// limit, so leaving its tail unmasked changes nothing but the work done.
// Also false for a payload too small to have a head worth cutting.
bool is_large_plain_tree(py::handle payload) {
    std::vector<std::pair<PyObject*, int>> pending{{payload.ptr(), 1}};
    Py_ssize_t leaves = 0;
    while (!pending.empty()) {
        auto [node, depth] = pending.back();
        pending.pop_back();
        if (depth > 64) return false;
        if (PyDict_CheckExact(node)) {
            Py_ssize_t at = 0;
            PyObject *key, *value;
            while (PyDict_Next(node, &at, &key, &value)) {
                if (!PyUnicode_CheckExact(key)) return false;
                pending.emplace_back(value, depth + 1);
            }
        } else if (PyList_CheckExact(node) || PyTuple_CheckExact(node)) {
            Py_ssize_t size = PySequence_Fast_GET_SIZE(node);
            for (Py_ssize_t i = 0; i < size; ++i) pending.emplace_back(PySequence_Fast_GET_ITEM(node, i), depth + 1);
        } else if (PyUnicode_CheckExact(node) || PyBytes_CheckExact(node) || PyLong_CheckExact(node) ||
                   PyFloat_CheckExact(node) || PyBool_Check(node) || node == Py_None) {
            ++leaves;
        } else {
            return false;
        }
    }
    return leaves > first_head_leaves;
}

// The walk, json.dumps and what the walk calls are the module's own, so the
// rendering of a payload's head is the head of the payload's rendering: the
// standard encoder writes a container as its items' renderings joined.
bool head_is_exact(const Call& c, py::handle self) {
    const std::pair<PyObject*, const FunctionDeclaration*> walk[] = {
        {"_sanitize_payload_for_log"_id, &sanitize_payload_for_log_declaration},
        {"_sanitize_value_for_log"_id, &sanitize_value_for_log_declaration},
        {"_is_sensitive_payload_key"_id, &is_sensitive_payload_key_declaration},
        {"_sanitize_url_or_text_for_log"_id, &sanitize_url_or_text_for_log_declaration},
        {"_sanitize_query_string_for_log"_id, &sanitize_query_string_for_log_declaration},
    };
    for (const auto& [name, declaration] : walk) {
        if (!is_own_method(c, self, name, *declaration)) return false;
    }
    for (PyObject* name : {"urlsplit"_id, "urlunsplit"_id, "parse_qsl"_id, "urlencode"_id, "_URL_IN_TEXT_RE"_id,
                           "_SENSITIVE_PAYLOAD_KEYS"_id, "json"_id}) {
        if (!c.is_bound_original(name, c.global(name))) return false;
    }
    std::optional<py::object> dumps = optional_attr(c.global("json"_id), "dumps"_id);
    return dumps && c.is_bound_original("json.dumps"_id, *dumps);
}

py::object dumps_for_log(const Call& c, py::handle value) {
    return call_method(c.global("json"_id), "dumps"_id, value, kw{"ensure_ascii"_id, Py_False},
                       kw{"default"_id, reinterpret_cast<PyObject*>(&PyUnicode_Type)});
}

// A large payload shows only its first 2000 characters: its head is masked
// and rendered, a growing number of leaves at a time, until the text pass
// over what is rendered reaches past the cap.
std::optional<py::object> shown_from_head(const Call& c, py::handle self, py::handle payload) {
    PyObject* raw = payload.ptr();
    if (!PyDict_CheckExact(raw) && !PyList_CheckExact(raw) && !PyTuple_CheckExact(raw)) return std::nullopt;
    if (!is_large_plain_tree(payload) || !prefix_pass_is_exact(c, self) || !head_is_exact(c, self)) {
        return std::nullopt;
    }
    py::object token = getattr(self, "token"_id);
    for (Py_ssize_t leaves = first_head_leaves;; leaves *= 4) {
        PayloadHead head{leaves};
        py::object sanitized = sanitized_value(c, self, payload, py::none(), &head);
        if (!head.cut_depth) return std::nullopt;  // all of it fits: rendered the ordinary way
        py::object rendered = dumps_for_log(c, sanitized);
        // The head's rendering ends with the closing brackets of the containers cut short.
        Py_ssize_t known = PyUnicode_GET_LENGTH(rendered.ptr()) - head.cut_depth;
        if (std::optional<py::object> masked = masked_prefix(self, rendered, token, known)) {
            return capped(self, *masked);
        }
    }
}

py::object format_payload_for_log(const Call& c) {
    auto [self, payload] = c.args<2>();
    if (std::optional<py::object> shown = shown_from_head(c, self, payload)) return *shown;
    py::object sanitized;
    try {
        sanitized = call_method(self, "_sanitize_payload_for_log"_id, payload);
    } catch (py::error_already_set& e) {
        // Nesting too deep to sanitise: nothing safe can be shown of it.
        if (!matches(e, PyExc_RecursionError)) throw;
        return unrenderable_payload();
    }

    py::object rendered;
    try {
        rendered = dumps_for_log(c, sanitized);
    } catch (py::error_already_set& e) {
        if (!caught_any(e, {PyExc_TypeError, PyExc_RecursionError})) throw;
        HandlingScope handling(e);
        try {
            rendered = detail::checked(PyObject_Str(sanitized.ptr()));
        } catch (py::error_already_set& fallback_error) {
            if (matches(fallback_error, PyExc_RecursionError)) return unrenderable_payload();
            throw;
        }
    }

    return capped(self, masked_rendering(c, self, rendered));
}

// The module's own json.loads certainly rejects this text: after JSON
// whitespace comes nothing, or a character no JSON value (nor NaN, Infinity,
// -Infinity) starts with. A form body is such a text; decoding it would only
// raise.
bool certainly_not_json(const Call& c, py::handle body) {
    PyObject* text = body.ptr();
    if (!PyUnicode_CheckExact(text)) return false;
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t at = 0;
    Py_UCS4 first = 0;
    for (; at < length; ++at) {
        first = PyUnicode_READ_CHAR(text, at);
        if (first != ' ' && first != '\t' && first != '\n' && first != '\r') break;
    }
    if (at < length && (first == '"' || first == '{' || first == '[' || first == '-' || (first >= '0' && first <= '9') ||
                        first == 'n' || first == 't' || first == 'f' || first == 'N' || first == 'I')) {
        return false;
    }
    py::object json = c.global("json"_id);
    std::optional<py::object> loads = optional_attr(json, "loads"_id);
    return c.is_bound_original("json"_id, json) && loads && c.is_bound_original("json.loads"_id, *loads);
}

// Decoded JSON is masked and re-rendered; a form body is re-encoded with its
// sensitive values masked; anything else is treated as free text.
py::object sanitize_body_string_for_log(const Call& c) {
    auto [self, body] = c.args<2>();
    if (!certainly_not_json(c, body)) {
        try {
            py::object value = call_method(c.global("json"_id), "loads"_id, body);
            return call_method(self, "_format_payload_for_log"_id, value);
        } catch (py::error_already_set& e) {
            // Nesting deeper than the decoder or the renderer can follow
            // counts as not JSON.
            if (!caught_any(e, {PyExc_TypeError, PyExc_ValueError, PyExc_RecursionError})) throw;
        }
    }
    int has_equals = PySequence_Contains(body.ptr(), "="_id);
    if (has_equals < 0) throw py::error_already_set();
    int has_ampersand = has_equals ? 0 : PySequence_Contains(body.ptr(), "&"_id);
    if (has_ampersand < 0) throw py::error_already_set();
    if (has_equals || has_ampersand) {
        py::object pairs;
        try {
            pairs = call(c.global("parse_qsl"_id), body, kw{"keep_blank_values"_id, Py_True});
        } catch (py::error_already_set& e) {
            if (!matches(e, PyExc_ValueError)) throw;
            pairs = py::list();
        }
        if (truthy(pairs)) {
            py::list masked;
            for (py::handle pair : pairs) {
                auto [key, value] = unpack<2>(pair);
                // Separate statements: the key is sanitised before the value,
                // which function arguments would not guarantee.
                py::object shown_key = call_method(self, "_sanitize_text_for_log"_id, key);
                py::object shown_value = call_method(self, "_sanitize_value_for_log"_id, value, key);
                masked.append(py::make_tuple(shown_key, shown_value));
            }
            py::object encoded = call(c.global("urlencode"_id), masked);
            // Re-encoding spells the token anew ("/abc" becomes "%2Fabc").
            return shown_text(self, encoded);
        }
    }
    return call_method(self, "_sanitize_text_for_log"_id, body);
}

py::object payload_from_request_kwargs(const Call& c) {
    auto [self, kwargs] = c.args<2>();
    int has_log_payload = PySequence_Contains(kwargs.ptr(), "_log_payload"_id);
    if (has_log_payload < 0) throw py::error_already_set();
    if (has_log_payload) return call_method(kwargs, "pop"_id, "_log_payload"_id);

    if (!is_none(call_method(kwargs, "get"_id, "json"_id))) return kwargs["json"];

    py::object data = call_method(kwargs, "get"_id, "data"_id);
    py::object files = call_method(kwargs, "get"_id, "files"_id);
    if (!is_none(data) && is_none(files)) {
        if (PyDict_Check(data.ptr()) || is_str_or_bytes(data)) return data;
        return type_placeholder(data);
    }

    py::dict payload;
    if (PyDict_Check(data.ptr())) {
        if (PyDict_Update(payload.ptr(), data.ptr()) < 0) throw py::error_already_set();
    } else if (!is_none(data)) {
        payload[py::handle("data"_id)] = is_str_or_bytes(data) ? data : type_placeholder(data);
    }
    if (!is_none(call_method(kwargs, "get"_id, "files"_id))) {
        payload[py::handle("files"_id)] = call_method(self, "_files_payload_for_log"_id, kwargs["files"]);
    }
    if (payload.empty()) return py::none();
    return payload;
}

// Field names and file names only: contents, file objects and content types
// never reach a log line.
py::object files_payload_for_log(const Call& c) {
    py::handle files = c.arg(1);
    py::dict summary;
    py::object items = call_method(files, "items"_id);
    for (py::handle item : items) {
        auto [field, file_value] = unpack<2>(item);
        py::str name = py::reinterpret_steal<py::str>(detail::checked(PyObject_Str(field.ptr())).release());
        if (PyTuple_Check(file_value.ptr()) && PyTuple_GET_SIZE(file_value.ptr()) > 0) {
            py::dict entry;
            entry[py::handle("filename"_id)] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(file_value.ptr(), 0));
            summary[name] = entry;
        } else {
            summary[name] = py::handle("<file>"_id);
        }
    }
    return summary;
}

py::object log_request_attempt_payload(const Call& c) {
    auto [self, log_payload] = c.args<2>();
    if (!truthy(getattr(self, "verbose"_id)) || is_none(log_payload)) return py::none();
    py::object rendered = call_method(self, "_format_payload_for_log"_id, log_payload);
    py::object line = text_of({"[HTTP] Request payload: "_id, rendered});
    log_debug(c, line);
    return py::none();
}

py::object log_response_status(const Call& c) {
    auto [self, method, response, log_url, log_label] = c.args<5>();
    if (!truthy(getattr(self, "verbose"_id))) return py::none();
    py::object target;
    if (truthy(log_url)) {
        target = call_method(self, "_sanitize_url_for_log"_id, getattr(response, "url"_id));
    } else if (truthy(log_label)) {
        target = py::reinterpret_borrow<py::object>(log_label);
    } else {
        target = py::reinterpret_borrow<py::object>("<hidden>"_id);
    }
    py::object status = getattr(response, "status_code"_id);
    py::object line = text_of({"[HTTP] "_id, method, " "_id, target, " -> "_id, status});
    log_debug(c, line);
    return py::none();
}

// Longer and quoted forms first, so "import_archive" goes as one unit and a
// quoted archive word loses its quotes with it.
constexpr const char* scan_submit_needles[] = {
    "import_archive", "scan_payload", "scan.zip", "\"archive\"", "'archive'", "archive",
};

py::object hide_scan_submit_internals(const Call& c) {
    py::object text = py::reinterpret_borrow<py::object>(c.arg(1));
    if (!truthy(text)) return text;
    py::str replacement("<запуск сканирования>");
    for (const char* needle : scan_submit_needles) {
        text = call_method(text, "replace"_id, py::str(needle), replacement);
    }
    return text;
}

const FunctionDeclaration format_payload_for_log_declaration{
    "_format_payload_for_log", {self_param(), param("payload", "Any")}, "str", no_doc, &format_payload_for_log};
const FunctionDeclaration sanitize_body_string_for_log_declaration{
    "_sanitize_body_string_for_log", {self_param(), param("body", "str")}, "str", no_doc,
    &sanitize_body_string_for_log};
const FunctionDeclaration payload_from_request_kwargs_declaration{
    "_payload_from_request_kwargs", {self_param(), param("kwargs", "dict")}, "Any | None", no_doc,
    &payload_from_request_kwargs};
const FunctionDeclaration files_payload_for_log_declaration{
    "_files_payload_for_log", {self_param(), param("files", "dict")}, "dict[str, Any]", no_doc,
    &files_payload_for_log};
const FunctionDeclaration log_request_attempt_payload_declaration{
    "_log_request_attempt_payload", {self_param(), param("log_payload", "Any | None")}, "None", no_doc,
    &log_request_attempt_payload};
const FunctionDeclaration log_response_status_declaration{
    "_log_response_status",
    {self_param(), param("method", "str"), param("response", "requests.Response"),
     keyword_only("log_url", "bool"), keyword_only("log_label", "str | None")},
    "None", no_doc, &log_response_status};
const FunctionDeclaration hide_scan_submit_internals_declaration{
    "_hide_scan_submit_internals", {self_param(), param("text", "str | None")}, "str | None", no_doc,
    &hide_scan_submit_internals};

}  // namespace

const DeclarationTable& log_rendering_methods() {
    static const DeclarationTable table{
        &format_payload_for_log_declaration, &sanitize_body_string_for_log_declaration, &payload_from_request_kwargs_declaration,
        &files_payload_for_log_declaration, &log_request_attempt_payload_declaration, &log_response_status_declaration,
        &hide_scan_submit_internals_declaration};
    return table;
}

}  // namespace qc
