// The pieces of urllib.parse that masking needs, for ASCII text, giving
// exactly what the standard functions give: splitting a plain http(s) URL,
// parse_qsl's decoding of one query item, urlencode's quote_plus, and the
// scan for URLs that the module's URL pattern performs.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>

namespace qc {

// An http or https URL that urlsplit cuts only at its delimiters: ASCII, a
// lower-case scheme, a non-empty authority, and no whitespace, control
// characters, brackets or backslashes anywhere. Offsets into the text.
struct PlainUrl {
    std::size_t netloc_begin;  // after "://"
    std::size_t netloc_end;    // at the first "/", "?" or "#" after it
    std::size_t path_end;      // at the first "?" before the fragment, or the fragment's "#"
    std::size_t query_end;     // at the first "#" (or the end)
    bool has_query;            // a "?" before the fragment
    bool has_fragment;         // a "#"
};

std::optional<PlainUrl> split_plain_url(std::string_view url);

// unquote(item.replace("+", " ")) with UTF-8 and errors="replace", as
// parse_qsl decodes a name or a value. A new reference, or NULL with an error.
PyObject* decode_query_component(std::string_view text);

// quote_plus(text) with the default safe characters, appended to `out`.
// False, with a Python error set, when the text cannot be encoded as UTF-8.
bool append_quote_plus(std::string& out, PyObject* text);

// Where _URL_IN_TEXT_RE (https?://[^\s'"<>]+) next matches in `text` at or
// after `from`: [begin, end), or nothing.
struct TextSpan {
    Py_ssize_t begin;
    Py_ssize_t end;
};
std::optional<TextSpan> next_url_in_text(PyObject* text, Py_ssize_t from);

}  // namespace qc
