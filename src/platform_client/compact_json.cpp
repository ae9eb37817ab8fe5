#include "compact_json.hpp"

#include <array>
#include <cmath>
#include <cstring>
#include <vector>
#include <utility>

#include "fast_path.hpp"

namespace qc {

// The shortcuts follow the json modules of 3.10 to 3.12; other interpreters
// call json.loads and json.dumps.
#if PY_VERSION_HEX >= 0x030A0000 && PY_VERSION_HEX < 0x030D0000
namespace {

bool encoder_methods_are_standard(PyObject* encoder_type) {
    return methods_defined_as(reinterpret_cast<PyTypeObject*>(encoder_type), "json.encoder"_id,
                              {{"__init__"_id, "JSONEncoder.__init__"_id},
                               {"encode"_id, "JSONEncoder.encode"_id},
                               {"iterencode"_id, "JSONEncoder.iterencode"_id}});
}

// _json.make_encoder: the C type the module exports under that name.
bool is_c_encoder_type(PyObject* make_encoder) {
    PyObject* c_json = loaded_module("_json"_id);
    return c_json && PyType_Check(make_encoder) && module_value(c_json, "make_encoder"_id) == make_encoder &&
           std::strcmp(reinterpret_cast<PyTypeObject*>(make_encoder)->tp_name, "_json.Encoder") == 0;
}

PyObject* instance_value(PyObject* obj, PyObject* name) {
    PyObject** slot = _PyObject_GetDictPtr(obj);
    if (!slot || !*slot) return nullptr;
    PyObject* value = PyDict_GetItemWithError(*slot, name);
    if (!value) PyErr_Clear();
    return value;
}

bool is_c_type(PyObject* obj, PyObject* module_name, PyObject* exported_as, const char* type_name) {
    PyObject* module = loaded_module(module_name);
    return module && module_value(module, exported_as) == reinterpret_cast<PyObject*>(Py_TYPE(obj)) &&
           std::strcmp(Py_TYPE(obj)->tp_name, type_name) == 0;
}

// JSONDecoder.decode's whitespace matcher: WHITESPACE.match, bound as the
// default of its `_w` parameter.
bool decode_skips_json_whitespace(PyObject* decode) {
    PyObject* defaults = PyFunction_GET_DEFAULTS(decode);
    if (!defaults || !PyTuple_CheckExact(defaults) || PyTuple_GET_SIZE(defaults) != 1) return false;
    PyObject* match = PyTuple_GET_ITEM(defaults, 0);
    return is_builtin_named(match, "match") && is_compiled_pattern(PyCFunction_GET_SELF(match), "[ \\t\\n\\r]*", 120);
}

}  // namespace

PyObject* checked_scanner_of(PyObject* json, GuardMemo& memo) {
    if (json != loaded_module("json"_id)) return nullptr;
    PyObject* loads = module_value(json, "loads"_id);
    PyObject* decoder = module_value(json, "_default_decoder"_id);
    if (!loads || !decoder || !is_stdlib_object(loads, "json"_id, "loads"_id)) return nullptr;
    PyTypeObject* type = Py_TYPE(decoder);
    if (!is_stdlib_object(reinterpret_cast<PyObject*>(type), "json.decoder"_id, "JSONDecoder"_id)) return nullptr;
    PyObject* decode = _PyType_Lookup(type, "decode"_id);
    PyObject* raw_decode = _PyType_Lookup(type, "raw_decode"_id);
    if (!decode || !raw_decode || !is_defined_as(decode, "json.decoder"_id, "JSONDecoder.decode"_id) ||
        !is_defined_as(raw_decode, "json.decoder"_id, "JSONDecoder.raw_decode"_id) ||
        !decode_skips_json_whitespace(decode) || instance_value(decoder, "decode"_id) ||
        instance_value(decoder, "raw_decode"_id)) {
        return nullptr;
    }
    PyObject* scanner = instance_value(decoder, "scan_once"_id);
    if (!scanner || !is_c_type(scanner, "_json"_id, "make_scanner"_id, "_json.Scanner")) return nullptr;
    PyObject* c_json = loaded_module("_json"_id);
    PyObject* json_decoder = loaded_module("json.decoder"_id);
    if (!c_json || !json_decoder) return nullptr;
    memo.read_dict(PyImport_GetModuleDict());
    memo.read_dict(PyModule_GetDict(json));
    memo.read_dict(PyModule_GetDict(json_decoder));
    memo.read_dict(PyModule_GetDict(c_json));
    memo.read_instance_dict(decoder);
    memo.read_type(type);
    memo.read_defaults(decode);
    return scanner;
}

namespace {

PyObject* checked_scanner(const Call& c, GuardMemo& memo) {
    PyObject* json = PyDict_GetItemWithError(c.module_globals().ptr(), "json"_id);
    if (!json) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* scanner = checked_scanner_of(json, memo);
    if (scanner) memo.read_dict(c.module_globals().ptr());
    return scanner;
}

// The scanner json.loads(text) ends in, or nothing while any piece on the
// way is not the standard one.
PyObject* standard_scanner(const Call& c) {
    static GuardMemo& memo = *new GuardMemo;
    static PyObject* scanner = nullptr;  // alive while the decoder holds it, which the memo checks
    PyObject* globals = c.module_globals().ptr();
    if (memo.holds({globals})) return scanner;
    memo.begin({globals});
    scanner = checked_scanner(c, memo);
    if (scanner) memo.seal();
    return scanner;
}

Py_ssize_t skip_json_whitespace(PyObject* text, Py_ssize_t at) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    while (at < length) {
        Py_UCS4 ch = PyUnicode_READ_CHAR(text, at);
        if (ch != ' ' && ch != '\t' && ch != '\n' && ch != '\r') break;
        ++at;
    }
    return at;
}

}  // namespace

bool decodes_as_standard(const Call& c) { return standard_scanner(c) != nullptr; }

namespace {

// The scanner was made from a decoder with no hooks: strict, objects as
// dicts, numbers as int and float.
bool scanner_settings_are_default(PyObject* scanner) {
    auto setting = [scanner](PyObject* name) { return getattr(scanner, name); };
    return setting("strict"_id).ptr() == Py_True && setting("object_hook"_id).is_none() &&
           setting("object_pairs_hook"_id).is_none() &&
           setting("parse_float"_id).ptr() == reinterpret_cast<PyObject*>(&PyFloat_Type) &&
           setting("parse_int"_id).ptr() == reinterpret_cast<PyObject*>(&PyLong_Type);
}

}  // namespace

bool has_default_settings(PyObject* scanner) {
    // Held, so that another scanner cannot come to live at the same address.
    static py::object& verified = *new py::object;
    if (verified.ptr() == scanner) return true;
    if (!scanner_settings_are_default(scanner)) return false;
    verified = py::reinterpret_borrow<py::object>(scanner);
    return true;
}

bool decodes_with_default_settings(const Call& c) {
    PyObject* scanner = standard_scanner(c);
    return scanner && has_default_settings(scanner);
}

std::optional<py::object> loads_with(PyObject* scanner, py::handle text) {
    if (!PyUnicode_CheckExact(text.ptr())) return std::nullopt;
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    // A byte order mark, or text that is not one whole value, is left to
    // json.loads, which raises its own error for it.
    if (length > 0 && PyUnicode_READ_CHAR(text.ptr(), 0) == 0xFEFF) return std::nullopt;
    py::object start = py::int_(skip_json_whitespace(text.ptr(), 0));
    PyObject* scanned = PyObject_CallFunctionObjArgs(scanner, text.ptr(), start.ptr(), nullptr);
    if (!scanned) {
        // The scanner has no side effects: json.loads repeats the work and
        // raises what it raises. Only interruptions go on from here.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
        PyErr_Clear();
        return std::nullopt;
    }
    py::object result = py::reinterpret_steal<py::object>(scanned);
    if (!PyTuple_CheckExact(scanned) || PyTuple_GET_SIZE(scanned) != 2) return std::nullopt;
    Py_ssize_t end = PyLong_AsSsize_t(PyTuple_GET_ITEM(scanned, 1));
    if (end == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (skip_json_whitespace(text.ptr(), end) != length) return std::nullopt;
    return py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(scanned, 0));
}

std::optional<py::object> loads_for_log(const Call& c, py::handle text) {
    if (!PyUnicode_CheckExact(text.ptr())) return std::nullopt;
    PyObject* scanner = standard_scanner(c);
    if (!scanner) return std::nullopt;
    return loads_with(scanner, text);
}

namespace {

// What json.dumps(value, ...) ends in while every piece on the way is the
// standard one: the C encoder type, the string encoder and the separators
// JSONEncoder instances find on their class.
struct EncoderPieces {
    PyObject* make_encoder = nullptr;
    PyObject* encode_string = nullptr;
    PyObject* key_separator = nullptr;
    PyObject* item_separator = nullptr;
};

std::optional<EncoderPieces> checked_encoder_pieces(const Call& c, GuardMemo& memo) {
    PyObject* json = PyDict_GetItemWithError(c.module_globals().ptr(), "json"_id);
    if (!json) {
        PyErr_Clear();
        return std::nullopt;
    }
    PyObject* json_encoder = loaded_module("json.encoder"_id);
    PyObject* c_json = loaded_module("_json"_id);
    if (json != loaded_module("json"_id) || !json_encoder || !c_json) return std::nullopt;
    PyObject* dumps = module_value(json, "dumps"_id);
    PyObject* encoder_type = module_value(json, "JSONEncoder"_id);
    EncoderPieces pieces;
    pieces.make_encoder = module_value(json_encoder, "c_make_encoder"_id);
    pieces.encode_string = module_value(json_encoder, "encode_basestring"_id);
    if (!dumps || !encoder_type || !pieces.make_encoder || !pieces.encode_string || !PyType_Check(encoder_type) ||
        !is_stdlib_object(dumps, "json"_id, "dumps"_id) ||
        !is_stdlib_object(encoder_type, "json.encoder"_id, "JSONEncoder"_id) ||
        !encoder_methods_are_standard(encoder_type) ||
        !is_c_encoder_type(pieces.make_encoder) ||
        !is_stdlib_object(pieces.encode_string, "_json"_id, "encode_basestring"_id)) {
        return std::nullopt;
    }
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(encoder_type);
    pieces.key_separator = _PyType_Lookup(type, "key_separator"_id);
    pieces.item_separator = _PyType_Lookup(type, "item_separator"_id);
    if (!pieces.key_separator || !pieces.item_separator) return std::nullopt;
    memo.read_dict(c.module_globals().ptr());
    memo.read_dict(PyImport_GetModuleDict());
    memo.read_dict(PyModule_GetDict(json));
    memo.read_dict(PyModule_GetDict(json_encoder));
    memo.read_dict(PyModule_GetDict(c_json));
    memo.read_type(type);
    return pieces;
}

std::optional<EncoderPieces> standard_encoder_pieces(const Call& c) {
    static GuardMemo& memo = *new GuardMemo;
    static EncoderPieces remembered;  // alive while the namespaces the memo checks hold them
    PyObject* globals = c.module_globals().ptr();
    if (memo.holds({globals})) return remembered;
    memo.begin({globals});
    std::optional<EncoderPieces> pieces = checked_encoder_pieces(c, memo);
    if (!pieces) return std::nullopt;
    remembered = *pieces;
    memo.seal();
    return pieces;
}

// One C encoder, made as json.dumps would make it and used again while it is
// idle: its only state is the circular-reference markers, empty again after
// every encoding that finished. Host code run by the encoder (str() of an
// object) may log again; that nested rendering gets an encoder of its own.
class ReusedEncoder {
public:
    py::object encode(const EncoderPieces& pieces, py::handle value) {
        if (busy_) return build(pieces, py::dict())(value, py::int_(0));
        // An encoding that failed half-way leaves its markers behind.
        if (!made_for(pieces) || PyDict_GET_SIZE(markers_.ptr()) != 0) rebuild(pieces);
        busy_ = true;
        struct Idle {
            bool& busy;
            ~Idle() { busy = false; }
        } idle{busy_};
        return encoder_(value, py::int_(0));
    }

private:
    bool made_for(const EncoderPieces& pieces) const {
        return encoder_ && made_with_[0] == pieces.make_encoder && made_with_[1] == pieces.encode_string &&
               made_with_[2] == pieces.key_separator && made_with_[3] == pieces.item_separator;
    }

    void rebuild(const EncoderPieces& pieces) {
        markers_ = py::dict();
        encoder_ = build(pieces, markers_);
        made_with_ = {pieces.make_encoder, pieces.encode_string, pieces.key_separator, pieces.item_separator};
        for (std::size_t i = 0; i < made_with_.size(); ++i) {
            held_[i] = py::reinterpret_borrow<py::object>(made_with_[i]);
        }
    }

    static py::object build(const EncoderPieces& pieces, py::handle markers) {
        return call(pieces.make_encoder, markers, reinterpret_cast<PyObject*>(&PyUnicode_Type), pieces.encode_string,
                    py::none(), pieces.key_separator, pieces.item_separator, py::bool_(false), py::bool_(false),
                    py::bool_(true));
    }

    py::object encoder_;
    py::dict markers_;
    std::array<PyObject*, 4> made_with_{};
    std::array<py::object, 4> held_;  // keeps made_with_ from naming other objects later
    bool busy_ = false;
};

void check_written(int status) {
    if (status < 0) throw py::error_already_set();
}

void write_json_escape(_PyUnicodeWriter& writer, Py_UCS4 ch) {
    const char* two = nullptr;
    switch (ch) {
        case '\\': two = "\\\\"; break;
        case '"': two = "\\\""; break;
        case '\b': two = "\\b"; break;
        case '\f': two = "\\f"; break;
        case '\n': two = "\\n"; break;
        case '\r': two = "\\r"; break;
        case '\t': two = "\\t"; break;
        default: {
            static constexpr char hex[] = "0123456789abcdef";
            const char code[] = {'\\', 'u', '0', '0', hex[(ch >> 4) & 0xf], hex[ch & 0xf]};
            check_written(_PyUnicodeWriter_WriteASCIIString(&writer, code, 6));
            return;
        }
    }
    check_written(_PyUnicodeWriter_WriteASCIIString(&writer, two, 2));
}

}  // namespace

void write_json_string(_PyUnicodeWriter& writer, PyObject* text) {
    check_written(_PyUnicodeWriter_WriteChar(&writer, '"'));
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t plain_from = 0;
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (ch > 0x1f && ch != '\\' && ch != '"') continue;
        if (i > plain_from) check_written(_PyUnicodeWriter_WriteSubstring(&writer, text, plain_from, i));
        plain_from = i + 1;
        write_json_escape(writer, ch);
    }
    if (plain_from < length) check_written(_PyUnicodeWriter_WriteSubstring(&writer, text, plain_from, length));
    check_written(_PyUnicodeWriter_WriteChar(&writer, '"'));
}

namespace {

// What the C encoder writes for a value made only of what it encodes by
// itself (None, booleans, str, int, float, lists, tuples and plain dicts with
// str keys), written here in one pass without the chunk list; nothing for a
// value with anything else in it, which then goes to the encoder. No code of
// the host's runs on the way, so giving up part-way changes nothing. Deep
// nesting and cycles fail as they fail there.
class PlainJsonWriter {
public:
    PlainJsonWriter(PyObject* key_separator, PyObject* item_separator)
        : key_separator_(key_separator), item_separator_(item_separator) {
        _PyUnicodeWriter_Init(&writer_);
        writer_.overallocate = 1;
        writer_.min_length = 256;  // a log line's worth before the first growth
    }
    ~PlainJsonWriter() {
        if (!finished_) _PyUnicodeWriter_Dealloc(&writer_);
    }
    PlainJsonWriter(const PlainJsonWriter&) = delete;
    PlainJsonWriter& operator=(const PlainJsonWriter&) = delete;

    std::optional<py::object> render(PyObject* value) {
        if (!write(value)) return std::nullopt;
        finished_ = true;
        return detail::checked(_PyUnicodeWriter_Finish(&writer_));
    }

private:
    bool write(PyObject* value) {
        if (value == Py_None) return ascii("null");
        if (value == Py_True) return ascii("true");
        if (value == Py_False) return ascii("false");
        if (PyUnicode_Check(value)) return string(value);
        if (PyLong_Check(value)) return text(detail::checked(PyLong_Type.tp_repr(value)));
        if (PyFloat_Check(value)) return number(value);
        if (PyList_Check(value) || PyTuple_Check(value)) return sequence(value);
        if (PyDict_CheckExact(value)) return mapping(value);
        return false;
    }

    bool ascii(const char* text) {
        check(_PyUnicodeWriter_WriteASCIIString(&writer_, text, static_cast<Py_ssize_t>(std::strlen(text))));
        return true;
    }

    bool text(py::handle text) {
        check(_PyUnicodeWriter_WriteStr(&writer_, text.ptr()));
        return true;
    }

    bool number(PyObject* value) {
        double x = PyFloat_AS_DOUBLE(value);
        if (!std::isfinite(x)) return ascii(x > 0 ? "Infinity" : x < 0 ? "-Infinity" : "NaN");
        return text(detail::checked(PyFloat_Type.tp_repr(value)));
    }

    bool string(PyObject* value) {
        write_json_string(writer_, value);
        return true;
    }

    // A container on the way down from the top, met again, is a cycle.
    bool enter(PyObject* container) {
        for (PyObject* open : open_) {
            if (open == container) {
                PyErr_SetString(PyExc_ValueError, "Circular reference detected");
                throw py::error_already_set();
            }
        }
        open_.push_back(container);
        return true;
    }

    bool sequence(PyObject* value) {
        RecursionLevel level;
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
        if (size == 0) return ascii("[]");
        enter(value);
        check(_PyUnicodeWriter_WriteChar(&writer_, '['));
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (i > 0) text(item_separator_);
            if (!write(PySequence_Fast_GET_ITEM(value, i))) return false;
        }
        check(_PyUnicodeWriter_WriteChar(&writer_, ']'));
        open_.pop_back();
        return true;
    }

    bool mapping(PyObject* value) {
        RecursionLevel level;
        if (PyDict_GET_SIZE(value) == 0) return ascii("{}");
        enter(value);
        // The encoder walks a snapshot of the items.
        py::object items = detail::checked(PyDict_Items(value));
        check(_PyUnicodeWriter_WriteChar(&writer_, '{'));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
            PyObject* item = PyList_GET_ITEM(items.ptr(), i);
            PyObject* key = PyTuple_GET_ITEM(item, 0);
            if (!PyUnicode_Check(key)) return false;
            if (i > 0) text(item_separator_);
            string(key);
            text(key_separator_);
            if (!write(PyTuple_GET_ITEM(item, 1))) return false;
        }
        check(_PyUnicodeWriter_WriteChar(&writer_, '}'));
        open_.pop_back();
        return true;
    }

    // The encoder's own depth count for each list and dict it enters.
    struct RecursionLevel {
        RecursionLevel() {
            if (Py_EnterRecursiveCall(" while encoding a JSON object")) throw py::error_already_set();
        }
        ~RecursionLevel() { Py_LeaveRecursiveCall(); }
    };

    static void check(int status) {
        if (status < 0) throw py::error_already_set();
    }

    _PyUnicodeWriter writer_;
    PyObject* key_separator_;
    PyObject* item_separator_;
    std::vector<PyObject*> open_;
    bool finished_ = false;
};

}  // namespace

std::optional<py::object> dumps_for_log(const Call& c, py::handle value) {
    std::optional<EncoderPieces> pieces = standard_encoder_pieces(c);
    if (!pieces) return std::nullopt;
    // JSONEncoder.encode: a string is encoded on its own.
    if (PyUnicode_Check(value.ptr())) return call(pieces->encode_string, value);
    if (PyUnicode_Check(pieces->key_separator) && PyUnicode_Check(pieces->item_separator)) {
        PlainJsonWriter writer(pieces->key_separator, pieces->item_separator);
        if (std::optional<py::object> text = writer.render(value.ptr())) return text;
    }
    static ReusedEncoder& encoder = *new ReusedEncoder;
    py::object chunks = encoder.encode(*pieces, value);
    if (!PyList_Check(chunks.ptr()) && !PyTuple_Check(chunks.ptr())) {
        chunks = detail::checked(PySequence_List(chunks.ptr()));
    }
    return detail::checked(PyUnicode_Join(""_id, chunks.ptr()));
}

std::optional<JsonSeparators> plain_json_separators(const Call& c) {
    std::optional<EncoderPieces> pieces = standard_encoder_pieces(c);
    if (!pieces || !PyUnicode_Check(pieces->key_separator) || !PyUnicode_Check(pieces->item_separator)) {
        return std::nullopt;
    }
    return JsonSeparators{pieces->key_separator, pieces->item_separator};
}

#else
bool decodes_as_standard(const Call&) { return false; }
bool decodes_with_default_settings(const Call&) { return false; }
std::optional<JsonSeparators> plain_json_separators(const Call&) { return std::nullopt; }
std::optional<py::object> loads_for_log(const Call&, py::handle) { return std::nullopt; }
PyObject* checked_scanner_of(PyObject*, GuardMemo&) { return nullptr; }
bool has_default_settings(PyObject*) { return false; }
std::optional<py::object> loads_with(PyObject*, py::handle) { return std::nullopt; }
std::optional<py::object> dumps_for_log(const Call&, py::handle) { return std::nullopt; }
#endif

}  // namespace qc
