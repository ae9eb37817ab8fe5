#include "own_redaction.hpp"

#include <array>
#include <string>
#include <string_view>

#include "fast_path.hpp"
#include "nesting_guard.hpp"
#include "raising.hpp"
#include "redaction.hpp"
#include "url_codec.hpp"

namespace qc {
namespace {

// _URL_IN_TEXT_RE as the module compiles it (str patterns carry re.UNICODE).
constexpr const char* url_in_text_pattern = R"(https?://[^\s'\"<>]+)";
constexpr long url_in_text_flags = 32;

PyObject* mask_text() { return "***"_id; }

py::object steal(PyObject* value) { return detail::checked(value); }
py::object borrow(py::handle value) { return py::reinterpret_borrow<py::object>(value); }

bool is_plain_scalar(PyObject* value) {
    return PyLong_CheckExact(value) || PyBool_Check(value) || PyFloat_CheckExact(value) || value == Py_None;
}

// Keys whose str() runs no code of the host's.
bool is_plain_key(PyObject* key) { return PyUnicode_CheckExact(key) || is_plain_scalar(key); }

// Values the native walk takes apart itself.
bool is_plain_value(PyObject* value) {
    return PyDict_CheckExact(value) || PyList_CheckExact(value) || PyTuple_CheckExact(value) ||
           PyBytes_CheckExact(value) || PyUnicode_CheckExact(value) || is_plain_scalar(value);
}

bool has_key(py::handle key) { return key.ptr() != nullptr && key.ptr() != Py_None; }

std::string_view ascii_view(PyObject* text) {
    return {reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(text))};
}

py::object ascii_text(std::string_view text) {
    return steal(PyUnicode_DecodeASCII(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
}

bool contains_text(PyObject* text, const char* needle) {
    if (PyUnicode_IS_ASCII(text)) return ascii_view(text).find(needle) != std::string_view::npos;
    return contains(text, py::str(needle));
}

struct OwnStep {
    PyObject* name;
    const FunctionSpec* spec;
};

// The methods the native steps stand for, as the client finds them.
const std::array<OwnStep, 8>& own_steps() {
    static const std::array<OwnStep, 8> steps{{
        {"_is_sensitive_payload_key"_id, &is_sensitive_payload_key_spec},
        {"_mask_token_only"_id, &mask_token_only_spec},
        {"_sanitize_text_for_log"_id, &sanitize_text_for_log_spec},
        {"_sanitize_payload_for_log"_id, &sanitize_payload_for_log_spec},
        {"_sanitize_value_for_log"_id, &sanitize_value_for_log_spec},
        {"_sanitize_url_or_text_for_log"_id, &sanitize_url_or_text_for_log_spec},
        {"_sanitize_url_for_log"_id, &sanitize_url_for_log_spec},
        {"_sanitize_query_string_for_log"_id, &sanitize_query_string_for_log_spec},
    }};
    return steps;
}

// The class holds the module's own methods and nothing that would make
// `self.token` other than the instance's own attribute.
bool class_steps_are_own(const Call& c, PyTypeObject* type) {
    if (type->tp_getattro != PyObject_GenericGetAttr || _PyType_Lookup(type, "token"_id)) return false;
    for (const OwnStep& step : own_steps()) {
        PyObject* found = _PyType_Lookup(type, step.name);
        if (!found || !is_function_of(found, *step.spec, c.module_globals())) return false;
    }
    return has_instance_dict(type);
}

// The instance shadows none of the methods and holds a plain token.
bool instance_steps_are_own(py::handle self, py::object& token) {
    PyObject* instance_dict = PyObject_GenericGetDict(self.ptr(), nullptr);
    if (!instance_dict) {
        PyErr_Clear();
        return false;
    }
    py::object held = py::reinterpret_steal<py::object>(instance_dict);
    if (!PyDict_CheckExact(instance_dict)) return false;
    for (const OwnStep& step : own_steps()) {
        if (PyDict_GetItemWithError(instance_dict, step.name)) return false;
    }
    PyObject* value = PyDict_GetItemWithError(instance_dict, "token"_id);
    if (PyErr_Occurred()) PyErr_Clear();
    if (!value || !(value == Py_None || PyUnicode_CheckExact(value))) return false;
    token = borrow(value);
    return true;
}

// The urllib functions the masking calls, and the helpers they call in turn.
bool url_functions_are_standard(const Call& c) {
    for (PyObject* name : {"urlsplit"_id, "urlunsplit"_id, "parse_qsl"_id, "urlencode"_id}) {
        if (!global_is_stdlib(c, name, "urllib.parse"_id)) return false;
    }
    // urlencode calls quote_plus through its default argument, bound once.
    for (PyObject* name : {"quote"_id, "quote_from_bytes"_id, "unquote"_id, "unquote_to_bytes"_id}) {
        if (!stdlib_function_intact("urllib.parse"_id, name)) return false;
    }
    return true;
}

PyObject* module_global(const Call& c, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(c.module_globals().ptr(), name);
    if (!value) PyErr_Clear();
    return value;
}

bool is_tuple_of_str(PyObject* markers) {
    if (!markers || !PyTuple_CheckExact(markers)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(markers); ++i) {
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(markers, i))) return false;
    }
    return true;
}

bool own_url_pattern(const Call& c) {
    PyObject* pattern = module_global(c, "_URL_IN_TEXT_RE"_id);
    return pattern && is_compiled_pattern(pattern, url_in_text_pattern, url_in_text_flags);
}

// Everything but the instance: the class, the module's globals and the
// standard modules they lead to. Remembered while none of those changes.
bool shared_pieces_are_own(const Call& c, PyTypeObject* type) {
    static GuardMemo& memo = *new GuardMemo;
    PyObject* globals = c.module_globals().ptr();
    if (memo.holds({globals, reinterpret_cast<PyObject*>(type)})) return true;
    memo.begin({globals, reinterpret_cast<PyObject*>(type)});
    if (!class_steps_are_own(c, type) || !url_functions_are_standard(c) || !own_url_pattern(c) ||
        !is_tuple_of_str(module_global(c, "_SENSITIVE_PAYLOAD_KEYS"_id))) {
        return false;
    }
    PyObject* urllib_parse = loaded_module("urllib.parse"_id);
    PyObject* re = loaded_module("re"_id);
    if (!urllib_parse || !re) return false;
    memo.read_type(type);
    memo.read_dict(globals);
    memo.read_dict(PyImport_GetModuleDict());
    memo.read_dict(PyModule_GetDict(urllib_parse));
    memo.read_dict(PyModule_GetDict(re));
    memo.seal();
    return true;
}

// str.lower() of a key's str(); ASCII text without calling the method.
py::object lowered(PyObject* text) {
    if (!PyUnicode_IS_ASCII(text)) return call_method(text, "lower"_id);
    std::string_view view = ascii_view(text);
    std::size_t upper = 0;
    while (upper < view.size() && !(view[upper] >= 'A' && view[upper] <= 'Z')) ++upper;
    if (upper == view.size()) return borrow(text);
    std::string lower(view);
    for (std::size_t i = upper; i < lower.size(); ++i) {
        if (lower[i] >= 'A' && lower[i] <= 'Z') lower[i] = static_cast<char>(lower[i] - 'A' + 'a');
    }
    return ascii_text(lower);
}

// Verdicts on key texts, kept across calls: payloads repeat their keys, and
// the verdict depends only on the text and the marker tuple (both immutable).
class SensitiveVerdicts {
public:
    static SensitiveVerdicts& instance() {
        static SensitiveVerdicts& verdicts = *new SensitiveVerdicts;
        return verdicts;
    }

    std::optional<bool> find(PyObject* markers, PyObject* text) {
        if (markers != markers_.ptr() || !PyUnicode_CheckExact(text)) return std::nullopt;
        PyObject* known = PyDict_GetItemWithError(known_.ptr(), text);
        if (!known) {
            if (PyErr_Occurred()) throw py::error_already_set();
            return std::nullopt;
        }
        return known == Py_True;
    }

    void remember(PyObject* markers, PyObject* text, bool verdict) {
        if (!PyUnicode_CheckExact(text)) return;
        // Bounded: keys that never repeat must not pile up.
        if (markers != markers_.ptr() || PyDict_GET_SIZE(known_.ptr()) >= 4096) {
            markers_ = borrow(markers);
            known_ = py::dict();
        }
        if (PyDict_SetItem(known_.ptr(), text, verdict ? Py_True : Py_False) < 0) throw py::error_already_set();
    }

private:
    py::object markers_;
    py::dict known_;
};

py::object substring(py::handle text, Py_ssize_t begin, Py_ssize_t end) {
    return steal(PyUnicode_Substring(text.ptr(), begin, end));
}

}  // namespace

std::optional<OwnRedaction> OwnRedaction::of(const Call& c, py::handle self) {
    OwnRedaction own(c, self);
    if (!own.refresh()) return std::nullopt;
    return own;
}

bool OwnRedaction::refresh() {
    own_ = false;
    py::object token;
    if (!shared_pieces_are_own(*call_, Py_TYPE(self_.ptr())) || !instance_steps_are_own(self_, token)) return false;
    token_ = std::move(token);
    markers_ = borrow(module_global(*call_, "_SENSITIVE_PAYLOAD_KEYS"_id));
    known_keys_.clear();
    own_ = true;
    return true;
}

// --- calls through the client ---------------------------------------------------

py::object OwnRedaction::through_client(PyObject* method, py::handle argument) {
    return call_method(self_, method, argument);
}

py::object OwnRedaction::value(py::handle value, py::handle key) {
    if (own_ && is_plain_value(value.ptr()) && (!has_key(key) || is_plain_key(key.ptr()))) {
        CallDepth depth;
        return *try_value(value, key);
    }
    // A host's object: its own code runs, and may replace a piece on the way.
    py::object result = key.ptr() ? call_method(self_, "_sanitize_value_for_log"_id, value, key)
                                  : call_method(self_, "_sanitize_value_for_log"_id, value);
    if (own_) refresh();
    return result;
}

py::object OwnRedaction::payload(py::handle payload) {
    if (!own_ || !is_plain_value(payload.ptr())) return through_client("_sanitize_payload_for_log"_id, payload);
    // The call of _sanitize_payload_for_log, and its call of _sanitize_value_for_log.
    CallDepth payload_call;
    CallDepth value_call;
    return *try_value(payload, py::none());
}

bool OwnRedaction::holds_token(std::string_view ascii) const {
    if (token_.is_none() || PyUnicode_GET_LENGTH(token_.ptr()) == 0) return false;
    // Text of other characters cannot occur in ASCII text.
    return PyUnicode_IS_ASCII(token_.ptr()) && ascii.find(ascii_view(token_.ptr())) != std::string_view::npos;
}

py::object OwnRedaction::mask(py::handle text) {
    if (!own_ || !PyUnicode_CheckExact(text.ptr())) return through_client("_mask_token_only"_id, text);
    CallDepth depth;
    if (token_.is_none() || PyUnicode_GET_LENGTH(token_.ptr()) == 0) return borrow(text);
    return steal(PyUnicode_Replace(text.ptr(), token_.ptr(), mask_text(), -1));
}

bool OwnRedaction::sensitive(py::handle key) {
    CallDepth depth;
    BuiltinCallDepth lower_call;  // str(key).lower()
    for (const auto& [known, verdict] : known_keys_) {
        if (known.ptr() == key.ptr()) return verdict;
    }
    py::object text = PyUnicode_CheckExact(key.ptr()) ? borrow(key) : steal(PyObject_Str(key.ptr()));
    SensitiveVerdicts& verdicts = SensitiveVerdicts::instance();
    std::optional<bool> verdict = verdicts.find(markers_.ptr(), text.ptr());
    if (!verdict) {
        py::object key_l = lowered(text.ptr());
        verdict = false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(markers_.ptr()) && !*verdict; ++i) {
            int found = PyUnicode_Contains(key_l.ptr(), PyTuple_GET_ITEM(markers_.ptr(), i));
            if (found < 0) throw py::error_already_set();
            verdict = found == 1;
        }
        verdicts.remember(markers_.ptr(), text.ptr(), *verdict);
    }
    if (known_keys_.size() < 32) known_keys_.emplace_back(borrow(key), *verdict);
    return *verdict;
}

py::object OwnRedaction::url_or_text(py::handle value) {
    if (!own_ || !PyUnicode_CheckExact(value.ptr())) return through_client("_sanitize_url_or_text_for_log"_id, value);
    CallDepth depth;
    return *try_url_or_text(value);
}

py::object OwnRedaction::text(py::handle text) {
    if (!own_ || !PyUnicode_CheckExact(text.ptr())) return through_client("_sanitize_text_for_log"_id, text);
    CallDepth depth;
    return *try_text(text);
}

py::object OwnRedaction::url(py::handle url) {
    if (own_ && PyUnicode_CheckExact(url.ptr()) && PyUnicode_IS_ASCII(url.ptr()) &&
        split_plain_url(ascii_view(url.ptr()))) {
        CallDepth depth;
        return *try_url(url);
    }
    return through_client("_sanitize_url_for_log"_id, url);
}

py::object OwnRedaction::query(py::handle query) {
    if (own_ && PyUnicode_CheckExact(query.ptr()) && PyUnicode_IS_ASCII(query.ptr())) {
        CallDepth depth;
        return *try_query(query);
    }
    return through_client("_sanitize_query_string_for_log"_id, query);
}

// --- method bodies --------------------------------------------------------------

std::optional<py::object> OwnRedaction::try_value(py::handle value, py::handle key) {
    if (!own_ || !is_plain_value(value.ptr()) || (has_key(key) && !is_plain_key(key.ptr()))) return std::nullopt;
    if (has_key(key) && sensitive(key)) return borrow(mask_text());
    PyObject* raw = value.ptr();
    if (PyUnicode_CheckExact(raw)) return url_or_text(value);
    if (is_plain_scalar(raw)) return borrow(value);
    if (PyDict_CheckExact(raw)) return mapping(value);
    if (PyBytes_CheckExact(raw)) {
        PyObject* decoded = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw), PyBytes_GET_SIZE(raw), "strict");
        if (!decoded) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw py::error_already_set();
            PyErr_Clear();
            return steal(PyUnicode_FromFormat("<%zd bytes>", PyBytes_GET_SIZE(raw)));
        }
        return text(steal(decoded));
    }
    return container(value);
}

py::object OwnRedaction::container(py::handle value) {
    NestingGuard guard;
    py::list result;
    py::object iterator = steal(PyObject_GetIter(value.ptr()));
    while (PyObject* next = PyIter_Next(iterator.ptr())) {
        py::object item = py::reinterpret_steal<py::object>(next);
        result.append(this->value(item, py::handle()));
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return result;
}

py::object OwnRedaction::mapping(py::handle value) {
    NestingGuard guard;
    py::dict result;
    // Through items(), so a dictionary changed by a host's object on the way
    // fails as iteration in Python would.
    py::object iterator = steal(PyObject_GetIter(call_method(value, "items"_id).ptr()));
    while (PyObject* next = PyIter_Next(iterator.ptr())) {
        py::object item = py::reinterpret_steal<py::object>(next);
        py::object key = borrow(PyTuple_GET_ITEM(item.ptr(), 0));
        py::object item_value = borrow(PyTuple_GET_ITEM(item.ptr(), 1));
        py::object shown = shown_key(key);
        py::object sanitized = this->value(item_value, key);
        if (PyDict_SetItem(result.ptr(), shown.ptr(), sanitized.ptr()) < 0) throw py::error_already_set();
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return result;
}

py::object OwnRedaction::shown_key(py::handle key) {
    if (PyUnicode_CheckExact(key.ptr())) return mask(key);
    py::object text = steal(PyObject_Str(key.ptr()));
    if (own_ && !is_plain_key(key.ptr())) refresh();
    return mask(text);
}

std::optional<py::object> OwnRedaction::try_url_or_text(py::handle value) {
    if (!own_ || !PyUnicode_CheckExact(value.ptr())) return std::nullopt;
    return contains_text(value.ptr(), "://") ? url(value) : text(value);
}

std::optional<py::object> OwnRedaction::try_text(py::handle text) {
    if (!own_ || !PyUnicode_CheckExact(text.ptr())) return std::nullopt;
    py::object masked = mask(text);
    if (!PyUnicode_CheckExact(masked.ptr())) return std::nullopt;
    if (!contains_text(masked.ptr(), "http")) return masked;
    BuiltinCallDepth sub_call;  // _URL_IN_TEXT_RE.sub(...)
    std::optional<TextSpan> span = next_url_in_text(masked.ptr(), 0);
    if (!span) return masked;
    py::list pieces;
    Py_ssize_t done = 0;
    for (; span; span = next_url_in_text(masked.ptr(), done)) {
        if (span->begin > done) pieces.append(substring(masked, done, span->begin));
        // The pattern's replacement callable is one call, the method another.
        CallDepth replacement;
        py::object shown = url(substring(masked, span->begin, span->end));
        if (!PyUnicode_Check(shown.ptr())) {
            PyErr_Format(PyExc_TypeError, "expected str instance, %.200s found", Py_TYPE(shown.ptr())->tp_name);
            throw py::error_already_set();
        }
        pieces.append(shown);
        done = span->end;
    }
    if (done < PyUnicode_GET_LENGTH(masked.ptr())) {
        pieces.append(substring(masked, done, PyUnicode_GET_LENGTH(masked.ptr())));
    }
    return steal(PyUnicode_Join(py::str("").ptr(), pieces.ptr()));
}

std::optional<py::object> OwnRedaction::try_url(py::handle url) {
    if (!own_ || !PyUnicode_CheckExact(url.ptr()) || !PyUnicode_IS_ASCII(url.ptr())) return std::nullopt;
    std::string_view text = ascii_view(url.ptr());
    std::optional<PlainUrl> parts = split_plain_url(text);
    if (!parts) return std::nullopt;
    std::string_view netloc = text.substr(parts->netloc_begin, parts->netloc_end - parts->netloc_begin);
    if (!parts->has_query && !parts->has_fragment && netloc.find('@') == std::string_view::npos &&
        !holds_token(text)) {
        // Nothing to mask and nothing urlunsplit would change: the steps
        // below give back the text they were given. They would go two calls
        // deep (the query, then its masking), and so does this.
        CallDepth query_call;
        CallDepth mask_call;
        return borrow(url);
    }
    auto piece = [&](std::size_t begin, std::size_t end) { return ascii_text(text.substr(begin, end - begin)); };

    std::string rebuilt(text.substr(0, parts->netloc_begin));
    if (std::size_t at = netloc.rfind('@'); at != std::string_view::npos) {
        rebuilt += "***@";
        rebuilt += netloc.substr(at + 1);
    } else {
        rebuilt += netloc;
    }
    std::size_t query_begin = parts->has_query ? parts->path_end + 1 : parts->query_end;
    py::object query = this->query(piece(query_begin, parts->query_end));
    py::object path = mask(piece(parts->netloc_end, parts->path_end));
    py::object fragment = mask(piece(parts->has_fragment ? parts->query_end + 1 : text.size(), text.size()));

    py::object whole = ascii_text(rebuilt);
    auto append = [&whole](const char* separator, py::handle tail) {
        if (separator) whole = steal(PyUnicode_Concat(whole.ptr(), py::str(separator).ptr()));
        whole = steal(PyUnicode_Concat(whole.ptr(), tail.ptr()));
    };
    // urlunsplit: a path that lost its leading "/" to the mask gets one back;
    // an empty query or fragment drops its delimiter.
    if (PyObject_Length(path.ptr()) > 0 && !PyUnicode_Tailmatch(path.ptr(), py::str("/").ptr(), 0, 1, -1)) {
        append("/", path);
    } else {
        append(nullptr, path);
    }
    if (truthy(query)) append("?", query);
    if (truthy(fragment)) append("#", fragment);
    return mask(whole);
}

std::optional<py::object> OwnRedaction::try_query(py::handle query) {
    if (!own_ || !PyUnicode_CheckExact(query.ptr()) || !PyUnicode_IS_ASCII(query.ptr())) return std::nullopt;
    return mask(ascii_text(reencoded(mask(query), false).text));
}

std::optional<py::object> OwnRedaction::try_form_body(py::handle body) {
    if (!own_ || !PyUnicode_CheckExact(body.ptr()) || !PyUnicode_IS_ASCII(body.ptr())) return std::nullopt;
    std::string_view text = ascii_view(body.ptr());
    if (text.find_first_of("=&") != std::string_view::npos) {
        Reencoded form = reencoded(mask(body), true);
        if (form.pairs > 0) return mask(ascii_text(form.text));
    }
    return this->text(body);
}

// urlencode([(shown key, _sanitize_value_for_log(v, k)) for k, v in
// parse_qsl(raw, keep_blank_values=True)]), the shown key being the masked
// key, or the key sanitised as free text.
OwnRedaction::Reencoded OwnRedaction::reencoded(py::handle raw, bool key_as_text) {
    if (!PyUnicode_CheckExact(raw.ptr()) || !PyUnicode_IS_ASCII(raw.ptr())) {
        PyErr_SetString(PyExc_SystemError, "masking ASCII text gave other text");
        throw py::error_already_set();
    }
    std::string_view text = ascii_view(raw.ptr());
    Reencoded result;
    std::size_t begin = 0;
    while (begin <= text.size()) {
        std::size_t end = text.find('&', begin);
        if (end == std::string_view::npos) end = text.size();
        std::string_view item = text.substr(begin, end - begin);
        begin = end + 1;
        if (item.empty()) continue;
        std::size_t equals = item.find('=');
        py::object key = steal(decode_query_component(item.substr(0, equals)));
        py::object value = steal(decode_query_component(
            equals == std::string_view::npos ? std::string_view() : item.substr(equals + 1)));
        py::object shown = key_as_text ? this->text(key) : mask(key);
        py::object safe = this->value(value, key);
        if (result.pairs++ > 0) result.text += '&';
        for (py::object* part : {&shown, &safe}) {
            if (!PyUnicode_CheckExact(part->ptr())) *part = steal(PyObject_Str(part->ptr()));
            if (!append_quote_plus(result.text, part->ptr())) throw py::error_already_set();
            if (part == &shown) result.text += '=';
        }
    }
    return result;
}

}  // namespace qc
