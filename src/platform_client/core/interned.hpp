// Interned attribute and key names, created once per process.
//
//     c.global("logger"_id)      qc::call_method(self, "_url"_id, path)
//
// Interned strings are immutable and shared by every interpreter of the
// process, so caching them in function-local statics is safe; they are never
// released, like the interpreter's own identifier cache.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>

namespace qc {

template <std::size_t N>
struct FixedString {
    char text[N];
    constexpr FixedString(const char (&source)[N]) { std::copy_n(source, N, text); }
};

PyObject* intern_forever(const char* text);

template <FixedString S>
inline PyObject* interned() {
    static PyObject* const name = intern_forever(S.text);
    return name;
}

namespace literals {
template <FixedString S>
inline PyObject* operator""_id() {
    return interned<S>();
}
}  // namespace literals

}  // namespace qc

using namespace qc::literals;
