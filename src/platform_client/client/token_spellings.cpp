#include "client/token_spellings.hpp"

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/interned.hpp"
#include "core/python_calls.hpp"

namespace qc {
namespace {

// UTF-8, with lone surrogates kept as they are encoded by "surrogatepass".
std::string utf8_of(py::handle text) {
    py::object bytes = detail::checked(PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(bytes.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

// What quote() keeps as it is: letters, digits and "_.-~", plus `safe`.
bool kept_by_quote(unsigned char byte, bool keep_slash) {
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
           byte == '_' || byte == '.' || byte == '-' || byte == '~' || (keep_slash && byte == '/');
}

std::string percent_encoded(const std::string& bytes, bool keep_slash, bool space_as_plus, const char* hex) {
    std::string out;
    for (unsigned char byte : bytes) {
        if (kept_by_quote(byte, keep_slash)) {
            out += static_cast<char>(byte);
        } else if (space_as_plus && byte == ' ') {
            out += '+';
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 15];
        }
    }
    return out;
}

// The inside of the JSON string literal json.dumps writes for the token.
std::string json_escaped(const std::string& bytes) {
    std::string out;
    for (unsigned char byte : bytes) {
        switch (byte) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (byte < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", byte);
                    out += escape;
                } else {
                    out += static_cast<char>(byte);
                }
        }
    }
    return out;
}

std::vector<std::string> spellings_of(const std::string& raw, py::handle token) {
    py::object repr = detail::checked(PyObject_Repr(token.ptr()));
    std::string repr_inner = utf8_of(repr);
    repr_inner = repr_inner.size() >= 2 ? repr_inner.substr(1, repr_inner.size() - 2) : std::string();
    std::string with_plus = raw;
    std::replace(with_plus.begin(), with_plus.end(), ' ', '+');
    // A query or form decoder reads "+" as a space; encoding that again
    // writes the space as "+" and everything else percent-encoded.
    std::string plus_decoded = raw;
    std::replace(plus_decoded.begin(), plus_decoded.end(), '+', ' ');

    std::vector<std::string> spellings{raw, repr_inner, json_escaped(raw), with_plus};
    for (const std::string* source : {&raw, static_cast<const std::string*>(&plus_decoded)}) {
        for (const char* hex : {"0123456789ABCDEF", "0123456789abcdef"}) {
            for (bool keep_slash : {false, true}) {
                for (bool space_as_plus : {false, true}) {
                    spellings.push_back(percent_encoded(*source, keep_slash, space_as_plus, hex));
                }
            }
        }
    }
    std::sort(spellings.begin(), spellings.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() > b.size() : a < b;
    });
    spellings.erase(std::unique(spellings.begin(), spellings.end()), spellings.end());
    spellings.erase(std::remove(spellings.begin(), spellings.end(), std::string()), spellings.end());
    return spellings;
}

// The spellings of the last token seen on this thread: a client masks
// thousands of texts with one token. Held as bytes, not Python objects.
const std::vector<std::string>& cached_spellings(py::handle token) {
    thread_local std::string raw;
    thread_local std::vector<std::string> spellings;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(token.ptr(), &size);
    // The usual call: the same token as last time, compared where it lies.
    if (data && !spellings.empty() && std::string_view(data, static_cast<std::size_t>(size)) == raw) {
        return spellings;
    }
    std::string current;
    if (data) {
        current.assign(data, static_cast<std::size_t>(size));
    } else {
        PyErr_Clear();  // lone surrogates
        current = utf8_of(token);
    }
    if (spellings.empty() || current != raw) {
        spellings = spellings_of(current, token);
        raw = std::move(current);
    }
    return spellings;
}

}  // namespace

py::object mask_token_spellings(py::handle token, py::handle text) {
    py::object masked = py::reinterpret_borrow<py::object>(text);
    if (!PyUnicode_Check(token.ptr()) || !PyUnicode_Check(text.ptr()) || PyUnicode_GET_LENGTH(token.ptr()) == 0) {
        return masked;
    }
    const std::vector<std::string>& spellings = cached_spellings(token);
    if (spellings.size() == 1) return detail::checked(PyUnicode_Replace(text.ptr(), token.ptr(), "***"_id, -1));
    for (const std::string& spelling : spellings) {
        py::object needle = detail::checked(
            PyUnicode_DecodeUTF8(spelling.data(), static_cast<Py_ssize_t>(spelling.size()), "surrogatepass"));
        masked = detail::checked(PyUnicode_Replace(masked.ptr(), needle.ptr(), "***"_id, -1));
    }
    return masked;
}

}  // namespace qc
