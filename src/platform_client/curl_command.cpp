// The short, masked curl command that reproduces a prepared request.
#include "fast_path.hpp"
#include "nesting_guard.hpp"
#include "own_redaction.hpp"
#include "raising.hpp"
#include "specs.hpp"

#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qc {
namespace {

// Bodies this long are left out of the command entirely.
constexpr Py_ssize_t body_length_limit = 1000;

// builtins.__import__ as the interpreter defines it; the one found is held,
// so that no other object can come to live at its address.
bool is_builtin_import(PyObject* function) {
    static py::object& known = *new py::object;
    if (function == known.ptr()) return true;
    if (!is_builtin_named(function, "__import__")) return false;
    PyObject* owner = PyCFunction_GET_SELF(function);
    if (!owner || !PyModule_Check(owner) || std::strcmp(PyModule_GetName(owner), "builtins") != 0) {
        PyErr_Clear();
        return false;
    }
    known = py::reinterpret_borrow<py::object>(function);
    return true;
}

// The module the import statement gives back at once for "shlex": the one
// in sys.modules, whose __spec__ says it is not being initialised (else the
// import waits for the thread that is doing it). Remembered while
// sys.modules, the module's namespace and its __spec__ are unchanged; NULL when
// that is not known, and the import system runs.
PyObject* loaded_shlex_known_ready() {
    static GuardMemo& memo = *new GuardMemo;
    static py::object& ready = *new py::object;
    if (memo.holds({})) return ready.ptr();
    memo.begin({});
    PyObject* module = loaded_module("shlex"_id);
    if (!module || _PyType_Lookup(&PyModule_Type, "__spec__"_id)) return nullptr;
    PyObject* spec = module_value(module, "__spec__"_id);
    if (!spec || spec == Py_None) return nullptr;
    PyTypeObject* spec_type = Py_TYPE(spec);
    if (spec_type->tp_getattro != PyObject_GenericGetAttr || !has_instance_dict(spec_type) ||
        _PyType_Lookup(spec_type, "_initializing"_id)) {
        return nullptr;
    }
    PyObject** spec_dict = _PyObject_GetDictPtr(spec);
    if (!spec_dict || !*spec_dict || !PyDict_CheckExact(*spec_dict)) return nullptr;
    PyObject* initializing = PyDict_GetItemWithError(*spec_dict, "_initializing"_id);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return nullptr;
    }
    if (initializing && initializing != Py_False) return nullptr;
    memo.read_dict(PyImport_GetModuleDict());
    memo.read_dict(PyModule_GetDict(module));
    memo.read_type(spec_type);
    memo.read_instance_dict(spec);
    memo.seal();
    ready = py::reinterpret_borrow<py::object>(module);
    return module;
}

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
    if (is_builtin_import(import_function)) {
        if (PyObject* ready = loaded_shlex_known_ready()) return py::reinterpret_borrow<py::object>(ready);
        // What the builtin does once it has parsed its arguments.
        return detail::checked(
            PyImport_ImportModuleLevelObject("shlex"_id, c.module_globals().ptr(), Py_None, Py_None, 0));
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
        if (length == 0) return py::reinterpret_borrow<py::object>("''"_id);
        int kind = PyUnicode_KIND(raw);
        const void* data = PyUnicode_DATA(raw);
        bool safe = true;
        for (Py_ssize_t i = 0; i < length && safe; ++i) safe = is_safe(PyUnicode_READ(kind, data, i));
        if (safe) return py::reinterpret_borrow<py::object>(text);
        Py_ssize_t quote_at = PyUnicode_FindChar(raw, '\'', 0, length, 1);
        if (quote_at == -2) throw py::error_already_set();
        if (quote_at == -1) return wrapped_in_quotes(raw);
        py::object inner = detail::checked(PyUnicode_Replace(raw, "'"_id, "'\"'\"'"_id, -1));
        py::object quoted = detail::checked(PyUnicode_Concat("'"_id, inner.ptr()));
        return detail::checked(PyUnicode_Concat(quoted.ptr(), "'"_id));
    }

private:
    // "'" + text + "'", made at once.
    static py::object wrapped_in_quotes(PyObject* text) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(text);
        py::object quoted = detail::checked(PyUnicode_New(length + 2, PyUnicode_MAX_CHAR_VALUE(text)));
        PyObject* out = quoted.ptr();
        PyUnicode_WRITE(PyUnicode_KIND(out), PyUnicode_DATA(out), 0, '\'');
        if (PyUnicode_CopyCharacters(out, 1, text, 0, length) < 0) throw py::error_already_set();
        PyUnicode_WRITE(PyUnicode_KIND(out), PyUnicode_DATA(out), length + 1, '\'');
        return quoted;
    }

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
        static GuardMemo& memo = *new GuardMemo;
        if (memo.holds({shlex.ptr()})) return true;
        memo.begin({shlex.ptr()});
        if (!is_checked_standard(shlex)) return false;
        memo.read_dict(PyImport_GetModuleDict());
        memo.read_dict(PyModule_GetDict(shlex.ptr()));
        memo.read_dict(PyModule_GetDict(loaded_module("re"_id)));
        memo.seal();
        return true;
    }

    static bool is_checked_standard(py::handle shlex) {
        if (shlex.ptr() != loaded_module("shlex"_id) || !loaded_module("re"_id)) return false;
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
        return is_builtin_named(find_unsafe, "search");
    }

    py::handle shlex_;
};

py::object header_word(py::handle name, py::handle value) {
    py::object text = detail::checked(PyUnicode_Concat(format_plain(name).ptr(), ": "_id));
    return detail::checked(PyUnicode_Concat(text.ptr(), format_plain(value).ptr()));
}

// The body word, or nothing: a body that cannot be decoded or rendered is
// simply left out of the command.
std::optional<py::object> body_word(const Call& c, const Quoter& quote, py::handle body) {
    try {
        py::object body_str;
        if (PyBytes_CheckExact(body.ptr())) {
            body_str = detail::checked(
                PyUnicode_DecodeUTF8(PyBytes_AS_STRING(body.ptr()), PyBytes_GET_SIZE(body.ptr()), "strict"));
        } else if (PyBytes_Check(body.ptr())) {
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

// The header items and the content type of a prepared request, read from
// the store of requests' CaseInsensitiveDict, which is what its items() and
// get() end in, while the class and the mapping methods on that way are the
// libraries' own and the store holds what the class itself puts there.
struct PlainHeaders {
    std::vector<std::pair<py::object, py::object>> items;
    py::object content_type;  // headers.get("Content-Type", "")
};

bool method_is(PyTypeObject* type, PyObject* name, PyObject* module_name, PyObject* qualname) {
    PyObject* found = _PyType_Lookup(type, name);
    return found && is_defined_as(found, module_name, qualname);
}

bool mapping_methods_are_standard(PyTypeObject* type) {
    if (!method_is(type, "items"_id, "collections.abc"_id, "Mapping.items"_id) ||
        !method_is(type, "get"_id, "collections.abc"_id, "Mapping.get"_id) ||
        !method_is(type, "__iter__"_id, "requests.structures"_id, "CaseInsensitiveDict.__iter__"_id) ||
        !method_is(type, "__getitem__"_id, "requests.structures"_id, "CaseInsensitiveDict.__getitem__"_id)) {
        return false;
    }
    // Mapping.items returns ItemsView(self), found in its module's namespace.
    PyObject* items = _PyType_Lookup(type, "items"_id);
    PyObject* view = PyDict_GetItemWithError(PyFunction_GET_GLOBALS(items), "ItemsView"_id);
    if (!view) {
        PyErr_Clear();
        return false;
    }
    return PyType_Check(view) && Py_TYPE(view)->tp_call == PyType_Type.tp_call &&
           method_is(reinterpret_cast<PyTypeObject*>(view), "__iter__"_id, "collections.abc"_id,
                     "ItemsView.__iter__"_id) &&
           method_is(reinterpret_cast<PyTypeObject*>(view), "__init__"_id, "collections.abc"_id,
                     "MappingView.__init__"_id) &&
           _PyType_Lookup(reinterpret_cast<PyTypeObject*>(view), "__new__"_id) ==
               _PyType_Lookup(&PyBaseObject_Type, "__new__"_id);
}

// key.lower() of an ASCII str, without calling the method.
std::optional<py::object> ascii_lower(PyObject* key) {
    if (!PyUnicode_CheckExact(key) || !PyUnicode_IS_ASCII(key)) return std::nullopt;
    std::string lower(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(key)),
                      static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)));
    for (char& ch : lower) {
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    }
    return detail::checked(PyUnicode_FromStringAndSize(lower.data(), static_cast<Py_ssize_t>(lower.size())));
}

bool is_checked_plain_headers_type(PyTypeObject* type, GuardMemo& memo) {
    PyObject* structures = loaded_module("requests.structures"_id);
    PyObject* collections = loaded_module("collections"_id);
    if (!structures || !collections || type->tp_getattro != PyObject_GenericGetAttr ||
        !is_stdlib_object(reinterpret_cast<PyObject*>(type), "requests.structures"_id, "CaseInsensitiveDict"_id) ||
        !mapping_methods_are_standard(type)) {
        return false;
    }
    PyObject* items = _PyType_Lookup(type, "items"_id);
    PyObject* view = PyDict_GetItemWithError(PyFunction_GET_GLOBALS(items), "ItemsView"_id);
    memo.read_dict(PyImport_GetModuleDict());
    memo.read_dict(PyModule_GetDict(structures));
    memo.read_dict(PyModule_GetDict(collections));
    memo.read_dict(PyFunction_GET_GLOBALS(items));
    memo.read_type(type);
    memo.read_type(reinterpret_cast<PyTypeObject*>(view));
    memo.read_type(Py_TYPE(view));
    return true;
}

// The type is requests' own CaseInsensitiveDict with the standard mapping
// methods; remembered while nothing it was checked against changes.
bool is_plain_headers_type(PyTypeObject* type) {
    static GuardMemo& memo = *new GuardMemo;
    if (memo.holds({reinterpret_cast<PyObject*>(type)})) return true;
    memo.begin({reinterpret_cast<PyObject*>(type)});
    if (!is_checked_plain_headers_type(type, memo)) return false;
    memo.seal();
    return true;
}

// `lower` is the ASCII text `text` in lower case.
bool is_ascii_lower_of(PyObject* lower, PyObject* text) {
    if (!PyUnicode_CheckExact(lower) || !PyUnicode_IS_ASCII(lower) ||
        PyUnicode_GET_LENGTH(lower) != PyUnicode_GET_LENGTH(text)) {
        return false;
    }
    const Py_UCS1* a = PyUnicode_1BYTE_DATA(lower);
    const Py_UCS1* b = PyUnicode_1BYTE_DATA(text);
    for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(text); ++i) {
        Py_UCS1 ch = b[i];
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<Py_UCS1>(ch - 'A' + 'a');
        if (a[i] != ch) return false;
    }
    return true;
}

std::optional<PlainHeaders> plain_headers(py::handle headers) {
    PyTypeObject* type = Py_TYPE(headers.ptr());
    if (!is_plain_headers_type(type)) return std::nullopt;
    PyObject* collections = loaded_module("collections"_id);
    if (!collections) return std::nullopt;
    PyObject** dict_slot = _PyObject_GetDictPtr(headers.ptr());
    if (!dict_slot || !*dict_slot) return std::nullopt;
    PyObject* instance = *dict_slot;
    PyObject* store = PyDict_GetItemWithError(instance, "_store"_id);
    PyObject* ordered = PyDict_GetItemWithError(PyModule_GetDict(collections), "OrderedDict"_id);
    if (!store || !ordered || reinterpret_cast<PyObject*>(Py_TYPE(store)) != ordered ||
        PyDict_GetItemWithError(instance, "items"_id) || PyDict_GetItemWithError(instance, "get"_id)) {
        PyErr_Clear();
        return std::nullopt;
    }
    PlainHeaders plain;
    plain.items.reserve(8);
    // The store's keys in its order, each with the entry filed under it.
    py::object iterator = detail::checked(PyObject_GetIter(store));
    while (PyObject* next = PyIter_Next(iterator.ptr())) {
        py::object store_key = py::reinterpret_steal<py::object>(next);
        if (!PyUnicode_CheckExact(store_key.ptr())) return std::nullopt;
        PyObject* entry = PyDict_GetItemWithError(store, store_key.ptr());
        if (!entry || !PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2) {
            if (PyErr_Occurred()) throw py::error_already_set();
            return std::nullopt;
        }
        py::handle key = PyTuple_GET_ITEM(entry, 0);
        if (!PyUnicode_CheckExact(key.ptr()) || !PyUnicode_IS_ASCII(key.ptr())) return std::nullopt;
        // headers[key] looks the value up again under key.lower(): when the
        // entry is filed under that, it is the entry itself.
        PyObject* stored = entry;
        if (!is_ascii_lower_of(store_key.ptr(), key.ptr())) {
            std::optional<py::object> lower = ascii_lower(key.ptr());
            stored = PyDict_GetItemWithError(store, lower->ptr());
            if (!stored || !PyTuple_CheckExact(stored) || PyTuple_GET_SIZE(stored) != 2) {
                PyErr_Clear();
                return std::nullopt;
            }
        }
        plain.items.emplace_back(py::reinterpret_borrow<py::object>(key),
                                 py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(stored, 1)));
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    PyObject* content_type = PyDict_GetItemWithError(store, "content-type"_id);
    if (PyErr_Occurred()) throw py::error_already_set();
    if (content_type && (!PyTuple_CheckExact(content_type) || PyTuple_GET_SIZE(content_type) != 2)) {
        return std::nullopt;
    }
    plain.content_type = py::reinterpret_borrow<py::object>(content_type ? PyTuple_GET_ITEM(content_type, 1)
                                                                         : ""_id);
    return plain;
}

// "multipart/form-data" in content_type.lower()
bool is_multipart(py::handle content_type) {
    static constexpr std::string_view multipart = "multipart/form-data";
    PyObject* text = content_type.ptr();
    if (PyUnicode_CheckExact(text) && PyUnicode_IS_ASCII(text)) {
        std::string_view ascii(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text)),
                               static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
        for (std::size_t at = 0; at + multipart.size() <= ascii.size(); ++at) {
            std::size_t matched = 0;
            while (matched < multipart.size()) {
                char ch = ascii[at + matched];
                if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
                if (ch != multipart[matched]) break;
                ++matched;
            }
            if (matched == multipart.size()) return true;
        }
        return false;
    }
    py::object lowered = call_method(content_type, "lower"_id);
    int found = PySequence_Contains(lowered.ptr(), "multipart/form-data"_id);
    if (found < 0) throw py::error_already_set();
    return found != 0;
}

// self._sanitize_url_for_log(url); its steps are taken here while they are
// the client's own, at the depth the call would add.
py::object shown_url(const Call& c, py::handle self, py::handle url) {
    if (std::optional<OwnRedaction> own = OwnRedaction::of(c, self)) {
        CallDepth method_call;
        if (std::optional<py::object> shown = own->try_url(url)) return *shown;
    }
    return call_method(self, "_sanitize_url_for_log"_id, url);
}

py::object curl_command(const Call& c) {
    auto [self, request] = c.args<2>();
    py::object shlex = import_shlex(c);
    Quoter quote(shlex);

    py::list parts;
    parts.append("curl"_id);
    parts.append("-X"_id);
    parts.append(getattr(request, "method"_id));
    py::object url = shown_url(c, self, getattr(request, "url"_id));
    parts.append(quote(url));

    py::object headers = getattr(request, "headers"_id);
    std::optional<PlainHeaders> plain = plain_headers(headers);
    auto add_header = [&, &self = self](py::handle name, py::handle value) {
        bool is_authorization, is_content_type;
        if (PyUnicode_CheckExact(name.ptr()) && PyUnicode_IS_ASCII(name.ptr())) {
            is_authorization = is_ascii_lower_of("authorization"_id, name.ptr());
            is_content_type = !is_authorization && is_ascii_lower_of("content-type"_id, name.ptr());
        } else {
            py::object lowered = call_method(name, "lower"_id);
            is_authorization = equal(lowered, "authorization"_id);
            is_content_type = !is_authorization && equal(lowered, "content-type"_id);
        }
        if (!is_authorization && !is_content_type) return;
        // Authorization is replaced whole; a content type has no business
        // holding the token, but if it does it is masked too.
        py::object shown = is_authorization ? py::reinterpret_borrow<py::object>("***"_id)
                                            : call_method(self, "_mask_token_only"_id, format_plain(value));
        parts.append("-H"_id);
        parts.append(quote(header_word(name, shown)));
    };
    if (plain) {
        for (const auto& [name, value] : plain->items) add_header(name, value);
    } else {
        for (py::handle item : call_method(headers, "items"_id)) add_header(item[py::int_(0)], item[py::int_(1)]);
    }

    if (is_multipart(plain ? plain->content_type : call_method(headers, "get"_id, "Content-Type"_id, ""_id))) {
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
    return detail::checked(PyUnicode_Join(" "_id, parts.ptr()));
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
