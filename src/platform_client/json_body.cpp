#include "json_body.hpp"

#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "compact_json.hpp"
#include "nesting_guard.hpp"

namespace qc {

// The same interpreters as the decoding and encoding shortcuts this stands for.
#if PY_VERSION_HEX >= 0x030A0000 && PY_VERSION_HEX < 0x030D0000
namespace {

constexpr int deepest_nesting = 32;
// Decoding, masking and encoding each go one or two levels deeper per level
// of nesting; with this much room left none of them can meet the limit.
constexpr int depth_room = 4 * deepest_nesting + 64;
// The lowest limit on the digits of an int the interpreter accepts.
constexpr Py_ssize_t safe_integer_length = 640;

bool is_digit(Py_UCS4 ch) { return ch >= '0' && ch <= '9'; }
bool is_json_whitespace(Py_UCS4 ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r'; }

int hex_digit(Py_UCS4 ch) {
    if (ch >= '0' && ch <= '9') return static_cast<int>(ch - '0');
    if (ch >= 'a' && ch <= 'f') return static_cast<int>(ch - 'a' + 10);
    if (ch >= 'A' && ch <= 'F') return static_cast<int>(ch - 'A' + 10);
    return -1;
}

// What the one-character escapes after a backslash stand for; 0 for none.
Py_UCS4 simple_escape(Py_UCS4 ch) {
    switch (ch) {
        case '"': return '"';
        case '\\': return '\\';
        case '/': return '/';
        case 'b': return '\b';
        case 'f': return '\f';
        case 'n': return '\n';
        case 'r': return '\r';
        case 't': return '\t';
        default: return 0;
    }
}

void check(int status) {
    if (status < 0) throw py::error_already_set();
}

// Same text: keys cut from the body or decoded are in their narrowest kind.
bool same_text(PyObject* a, PyObject* b) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    return length == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(length) * PyUnicode_KIND(a)) == 0;
}

// The keys of one object so far: decoding keeps the last value of a
// repeated key in the first one's place, which one pass cannot write.
class SeenKeys {
public:
    // False when `key` was seen before.
    bool add(py::handle key) {
        if (!set_) {
            for (std::size_t i = 0; i < count_; ++i) {
                if (same_text(few_[i].ptr(), key.ptr())) return false;
            }
            if (count_ < few_.size()) {
                few_[count_++] = py::reinterpret_borrow<py::object>(key);
                return true;
            }
            set_ = py::reinterpret_steal<py::object>(PySet_New(nullptr));
            if (!set_) throw py::error_already_set();
            for (const py::object& seen : few_) check(PySet_Add(set_.ptr(), seen.ptr()));
        }
        Py_ssize_t before = PySet_GET_SIZE(set_.ptr());
        check(PySet_Add(set_.ptr(), key.ptr()));
        return PySet_GET_SIZE(set_.ptr()) != before;
    }

private:
    std::array<py::object, 8> few_;
    std::size_t count_ = 0;
    py::object set_;
};

struct FreedWithPyMem {
    void operator()(char* text) const { PyMem_Free(text); }
};

// Reads the text as the standard scanner reads it (strict strings, numbers
// as int and float) and writes the masked value as the C encoder writes it.
// Every method returns false to leave the text to the general path; no code
// of the host's runs on the way, so giving up part-way changes nothing.
class MaskedJsonWriter {
public:
    MaskedJsonWriter(OwnRedaction& own, PyObject* text, JsonSeparators separators)
        : own_(own), text_(text), kind_(PyUnicode_KIND(text)), data_(PyUnicode_DATA(text)),
          length_(PyUnicode_GET_LENGTH(text)), separators_(separators) {
        _PyUnicodeWriter_Init(&writer_);
        writer_.overallocate = 1;
        writer_.min_length = length_ + 16;  // masking mostly keeps the length
    }
    ~MaskedJsonWriter() {
        if (!finished_) _PyUnicodeWriter_Dealloc(&writer_);
    }
    MaskedJsonWriter(const MaskedJsonWriter&) = delete;
    MaskedJsonWriter& operator=(const MaskedJsonWriter&) = delete;

    std::optional<py::object> render() {
        // json.loads refuses a byte order mark.
        if (length_ > 0 && at(0) == 0xFEFF) return std::nullopt;
        skip_whitespace();
        if (!value(true, 0)) return std::nullopt;
        skip_whitespace();
        if (pos_ != length_) return std::nullopt;
        finished_ = true;
        return detail::checked(_PyUnicodeWriter_Finish(&writer_));
    }

private:
    struct StringSpan {
        Py_ssize_t begin;  // the content, between the quotes
        Py_ssize_t end;
        bool escaped;
    };

    Py_UCS4 at(Py_ssize_t i) const { return PyUnicode_READ(kind_, data_, i); }
    bool next_is(Py_UCS4 ch) const { return pos_ < length_ && at(pos_) == ch; }

    bool take(Py_UCS4 ch) {
        if (!next_is(ch)) return false;
        ++pos_;
        return true;
    }

    void skip_whitespace() {
        while (pos_ < length_ && is_json_whitespace(at(pos_))) ++pos_;
    }

    bool ascii(const char* text, Py_ssize_t length) {
        check(_PyUnicodeWriter_WriteASCIIString(&writer_, text, length));
        return true;
    }

    void write_str(PyObject* text) { check(_PyUnicodeWriter_WriteStr(&writer_, text)); }
    void write_char(Py_UCS4 ch) { check(_PyUnicodeWriter_WriteChar(&writer_, ch)); }

    // `shown` is false inside a value masked as a whole: it is only read.
    bool value(bool shown, int depth) {
        if (pos_ >= length_) return false;
        switch (at(pos_)) {
            case '"': return string_value(shown);
            case '{': return object(shown, depth + 1);
            case '[': return array(shown, depth + 1);
            case 't': return literal("true", 4, shown);
            case 'f': return literal("false", 5, shown);
            case 'n': return literal("null", 4, shown);
            default: return number(shown);  // NaN and Infinity are left to the general path
        }
    }

    bool literal(const char* word, Py_ssize_t length, bool shown) {
        if (pos_ + length > length_) return false;
        for (Py_ssize_t i = 0; i < length; ++i) {
            if (at(pos_ + i) != static_cast<Py_UCS4>(word[i])) return false;
        }
        pos_ += length;
        return !shown || ascii(word, length);
    }

    bool object(bool shown, int depth) {
        if (depth > deepest_nesting) return false;
        ++pos_;
        skip_whitespace();
        if (take('}')) return !shown || ascii("{}", 2);
        if (shown) write_char('{');
        SeenKeys seen;
        for (bool first = true;; first = false) {
            std::optional<StringSpan> key = next_is('"') ? scan_string() : std::nullopt;
            if (!key) return false;
            skip_whitespace();
            if (!take(':')) return false;
            skip_whitespace();
            if (shown) {
                if (!entry(*key, first, seen, depth)) return false;
            } else if (!value(false, depth)) {
                return false;
            }
            skip_whitespace();
            if (take('}')) break;
            if (!take(',')) return false;
            skip_whitespace();
        }
        if (shown) write_char('}');
        return true;
    }

    // One key and its value: a sensitive key shows "***" in place of it.
    bool entry(const StringSpan& key_span, bool first, SeenKeys& seen, int depth) {
        py::object key = content(key_span);
        if (!seen.add(key)) return false;
        bool masked = own_.sensitive(key);
        if (!own_.intact()) return false;
        if (!first) write_str(separators_.item);
        write_string_as_read(key_span, key);
        write_str(separators_.key);
        if (!masked) return value(true, depth);
        ascii("\"***\"", 5);
        return value(false, depth);
    }

    bool array(bool shown, int depth) {
        if (depth > deepest_nesting) return false;
        ++pos_;
        skip_whitespace();
        if (take(']')) return !shown || ascii("[]", 2);
        if (shown) write_char('[');
        for (bool first = true;; first = false) {
            if (shown && !first) write_str(separators_.item);
            if (!value(shown, depth)) return false;
            skip_whitespace();
            if (take(']')) break;
            if (!take(',')) return false;
            skip_whitespace();
        }
        if (shown) write_char(']');
        return true;
    }

    // From an opening quote past the closing one, as strict decoding
    // accepts it; surrogates written as escapes are left to the decoder.
    std::optional<StringSpan> scan_string() {
        Py_ssize_t i = pos_ + 1;
        bool escaped = false;
        while (i < length_) {
            Py_UCS4 ch = at(i);
            if (ch == '"') {
                StringSpan span{pos_ + 1, i, escaped};
                pos_ = i + 1;
                return span;
            }
            if (ch < 0x20) return std::nullopt;
            if (ch != '\\') {
                ++i;
                continue;
            }
            escaped = true;
            if (i + 1 >= length_) return std::nullopt;
            if (at(i + 1) != 'u') {
                if (!simple_escape(at(i + 1))) return std::nullopt;
                i += 2;
                continue;
            }
            std::optional<Py_UCS4> code = hex_code(i + 2);
            if (!code || (*code >= 0xD800 && *code <= 0xDFFF)) return std::nullopt;
            i += 6;
        }
        return std::nullopt;
    }

    std::optional<Py_UCS4> hex_code(Py_ssize_t from) const {
        if (from + 4 > length_) return std::nullopt;
        Py_UCS4 code = 0;
        for (Py_ssize_t i = from; i < from + 4; ++i) {
            int digit = hex_digit(at(i));
            if (digit < 0) return std::nullopt;
            code = code * 16 + static_cast<Py_UCS4>(digit);
        }
        return code;
    }

    // The decoded content of a scanned string.
    py::object content(const StringSpan& span) const {
        if (!span.escaped) return detail::checked(PyUnicode_Substring(text_, span.begin, span.end));
        _PyUnicodeWriter decoded;
        _PyUnicodeWriter_Init(&decoded);
        try {
            Py_ssize_t plain_from = span.begin;
            for (Py_ssize_t i = span.begin; i < span.end;) {
                if (at(i) != '\\') {
                    ++i;
                    continue;
                }
                if (i > plain_from) check(_PyUnicodeWriter_WriteSubstring(&decoded, text_, plain_from, i));
                Py_UCS4 ch = at(i + 1) == 'u' ? *hex_code(i + 2) : simple_escape(at(i + 1));
                check(_PyUnicodeWriter_WriteChar(&decoded, ch));
                i += at(i + 1) == 'u' ? 6 : 2;
                plain_from = i;
            }
            if (span.end > plain_from) check(_PyUnicodeWriter_WriteSubstring(&decoded, text_, plain_from, span.end));
        } catch (...) {
            _PyUnicodeWriter_Dealloc(&decoded);
            throw;
        }
        return detail::checked(_PyUnicodeWriter_Finish(&decoded));
    }

    // `needle` occurs in text[begin:end].
    static bool occurs(PyObject* text, PyObject* needle, Py_ssize_t begin, Py_ssize_t end) {
        Py_ssize_t found = PyUnicode_Find(text, needle, begin, end, 1);
        if (found == -2) throw py::error_already_set();
        return found >= 0;
    }

    // Masking leaves a string without "://" and without the token as it is.
    bool maskable(PyObject* text, Py_ssize_t begin, Py_ssize_t end) const {
        if (occurs(text, "://"_id, begin, end)) return true;
        py::handle token = own_.token();
        return !token.is_none() && PyUnicode_GET_LENGTH(token.ptr()) > 0 && occurs(text, token.ptr(), begin, end);
    }

    // A string unchanged by masking; `decoded` is its content when at hand.
    void write_string_as_read(const StringSpan& span, py::handle decoded) {
        if (span.escaped) {
            write_json_string(writer_, decoded.ptr());
            return;
        }
        // Unescaped content needs no escapes: strict decoding took no
        // quote, backslash or control character in it.
        write_char('"');
        check(_PyUnicodeWriter_WriteSubstring(&writer_, text_, span.begin, span.end));
        write_char('"');
    }

    bool string_value(bool shown) {
        std::optional<StringSpan> span = scan_string();
        if (!span) return false;
        if (!shown) return true;
        if (!span->escaped && !maskable(text_, span->begin, span->end)) {
            write_string_as_read(*span, py::handle());
            return true;
        }
        py::object decoded = content(*span);
        // Unescaped, the content is the text just tested; escaped, only the
        // decoded content tells.
        if (span->escaped && !maskable(decoded.ptr(), 0, PyUnicode_GET_LENGTH(decoded.ptr()))) {
            write_json_string(writer_, decoded.ptr());
            return true;
        }
        std::optional<py::object> masked = own_.try_url_or_text(decoded);
        if (!masked || !own_.intact() || !PyUnicode_Check(masked->ptr())) return false;
        write_json_string(writer_, masked->ptr());
        return true;
    }

    bool number(bool shown) {
        const Py_ssize_t begin = pos_;
        Py_ssize_t i = pos_;
        if (i < length_ && at(i) == '-') ++i;
        if (i >= length_) return false;
        if (at(i) == '0') {
            ++i;
        } else if (at(i) >= '1' && at(i) <= '9') {
            while (i < length_ && is_digit(at(i))) ++i;
        } else {
            return false;
        }
        bool is_float = false;
        if (i + 1 < length_ && at(i) == '.' && is_digit(at(i + 1))) {
            i += 2;
            while (i < length_ && is_digit(at(i))) ++i;
            is_float = true;
        }
        if (i < length_ && (at(i) == 'e' || at(i) == 'E')) {
            Py_ssize_t exponent = i + 1;
            if (exponent < length_ && (at(exponent) == '-' || at(exponent) == '+')) ++exponent;
            if (exponent < length_ && is_digit(at(exponent))) {
                while (exponent < length_ && is_digit(at(exponent))) ++exponent;
                i = exponent;
                is_float = true;
            }
        }
        pos_ = i;
        if (!is_float) {
            if (i - begin > safe_integer_length) return false;
            if (!shown) return true;
            // int("-0") is 0.
            if (i - begin == 2 && at(begin) == '-' && at(begin + 1) == '0') return ascii("0", 1);
            check(_PyUnicodeWriter_WriteSubstring(&writer_, text_, begin, i));
            return true;
        }
        return !shown || float_number(begin, i);
    }

    // float(text) written as the encoder writes a float: its repr, or
    // Infinity for a value too large for a double.
    bool float_number(Py_ssize_t begin, Py_ssize_t end) {
        std::string digits;
        digits.reserve(static_cast<std::size_t>(end - begin));
        for (Py_ssize_t i = begin; i < end; ++i) digits.push_back(static_cast<char>(at(i)));
        char* parsed_to = nullptr;
        double x = PyOS_string_to_double(digits.c_str(), &parsed_to, nullptr);
        if (x == -1.0 && PyErr_Occurred()) throw py::error_already_set();
        if (parsed_to != digits.c_str() + digits.size()) return false;
        if (std::isinf(x)) return x > 0 ? ascii("Infinity", 8) : ascii("-Infinity", 9);
        std::unique_ptr<char, FreedWithPyMem> repr(PyOS_double_to_string(x, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr));
        if (!repr) throw py::error_already_set();
        return ascii(repr.get(), static_cast<Py_ssize_t>(std::strlen(repr.get())));
    }

    OwnRedaction& own_;
    PyObject* text_;
    const int kind_;
    const void* data_;
    const Py_ssize_t length_;
    const JsonSeparators separators_;
    Py_ssize_t pos_ = 0;
    _PyUnicodeWriter writer_;
    bool finished_ = false;
};

}  // namespace

std::optional<py::object> render_masked_json(const Call& c, OwnRedaction& own, py::handle text) {
    if (!PyUnicode_CheckExact(text.ptr()) || !own.intact() || !frame_depth_left(depth_room)) return std::nullopt;
    std::optional<JsonSeparators> separators = plain_json_separators(c);
    if (!separators || !decodes_with_default_settings(c)) return std::nullopt;
    return MaskedJsonWriter(own, text.ptr(), *separators).render();
}

#else
std::optional<py::object> render_masked_json(const Call&, OwnRedaction&, py::handle) { return std::nullopt; }
#endif

}  // namespace qc
