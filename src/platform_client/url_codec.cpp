#include "url_codec.hpp"

#include <cstring>

namespace qc {
namespace {

int hex_value(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

// quote()'s always-safe characters; quote_plus adds the space, written "+".
bool always_safe(unsigned char ch) {
    return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '_' ||
           ch == '.' || ch == '-' || ch == '~';
}

// The regular expression's \s for str patterns is str.isspace().
bool ends_url(Py_UCS4 ch) { return ch == '\'' || ch == '"' || ch == '<' || ch == '>' || Py_UNICODE_ISSPACE(ch); }

template <class Char>
bool has_at(const Char* text, Py_ssize_t length, Py_ssize_t at, const char* literal) {
    Py_ssize_t size = static_cast<Py_ssize_t>(std::strlen(literal));
    if (at + size > length) return false;
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (text[at + i] != static_cast<unsigned char>(literal[i])) return false;
    }
    return true;
}

template <class Char>
Py_ssize_t find_http(const Char* text, Py_ssize_t length, Py_ssize_t from) {
    if constexpr (sizeof(Char) == 1) {
        const void* found = from < length ? memmem(text + from, static_cast<std::size_t>(length - from), "http", 4)
                                          : nullptr;
        return found ? static_cast<const Char*>(found) - text : -1;
    } else {
        for (Py_ssize_t i = from; i + 4 <= length; ++i) {
            if (text[i] == 'h' && has_at(text, length, i, "http")) return i;
        }
        return -1;
    }
}

// The pattern tries "https://" before "http://" at each position and needs
// at least one URL character after the "//".
template <class Char>
std::optional<TextSpan> next_url(const Char* text, Py_ssize_t length, Py_ssize_t from) {
    for (Py_ssize_t at = find_http(text, length, from); at >= 0; at = find_http(text, length, at + 1)) {
        Py_ssize_t rest = -1;
        if (has_at(text, length, at + 4, "s://")) {
            rest = at + 8;
        } else if (has_at(text, length, at + 4, "://")) {
            rest = at + 7;
        }
        if (rest < 0 || rest >= length || ends_url(text[rest])) continue;
        Py_ssize_t end = rest + 1;
        while (end < length && !ends_url(text[end])) ++end;
        return TextSpan{at, end};
    }
    return std::nullopt;
}

}  // namespace

std::optional<PlainUrl> split_plain_url(std::string_view url) {
    std::size_t netloc_begin;
    if (url.starts_with("http://")) {
        netloc_begin = 7;
    } else if (url.starts_with("https://")) {
        netloc_begin = 8;
    } else {
        return std::nullopt;
    }
    for (unsigned char ch : url) {
        if (ch <= ' ' || ch >= 0x7f || ch == '[' || ch == ']' || ch == '\\') return std::nullopt;
    }
    std::size_t netloc_end = url.find_first_of("/?#", netloc_begin);
    if (netloc_end == std::string_view::npos) netloc_end = url.size();
    if (netloc_end == netloc_begin) return std::nullopt;
    PlainUrl parts{netloc_begin, netloc_end, url.size(), url.size(), false, false};
    std::size_t hash = url.find('#', netloc_end);
    if (hash != std::string_view::npos) {
        parts.has_fragment = true;
        parts.query_end = hash;
        parts.path_end = hash;
    }
    std::size_t question = url.substr(0, parts.query_end).find('?', netloc_end);
    if (question != std::string_view::npos) {
        parts.has_query = true;
        parts.path_end = question;
    }
    return parts;
}

PyObject* decode_query_component(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char ch = text[i];
        if (ch == '+') {
            bytes += ' ';
        } else if (ch == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
            bytes += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
            i += 2;
        } else {
            bytes += ch;
        }
    }
    return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace");
}

bool append_quote_plus(std::string& out, PyObject* text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) return false;
    static constexpr char digits[] = "0123456789ABCDEF";
    for (Py_ssize_t i = 0; i < size; ++i) {
        unsigned char ch = static_cast<unsigned char>(utf8[i]);
        if (always_safe(ch)) {
            out += static_cast<char>(ch);
        } else if (ch == ' ') {
            out += '+';
        } else {
            out += '%';
            out += digits[ch >> 4];
            out += digits[ch & 15];
        }
    }
    return true;
}

std::optional<TextSpan> next_url_in_text(PyObject* text, Py_ssize_t from) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return next_url(PyUnicode_1BYTE_DATA(text), length, from);
        case PyUnicode_2BYTE_KIND:
            return next_url(PyUnicode_2BYTE_DATA(text), length, from);
        default:
            return next_url(PyUnicode_4BYTE_DATA(text), length, from);
    }
}

}  // namespace qc
