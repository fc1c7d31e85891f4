// Interned names and keyword tuples: the Python strings the C++ code spells, made once.
#pragma once

#include <cstddef>

#include "ref.hpp"

namespace rt {

// A string literal as a template argument.
template <size_t N>
struct Text {
    char chars[N];
    constexpr Text(const char (&text)[N]) {
        for (size_t i = 0; i < N; ++i) chars[i] = text[i];
    }
};

// The interned str spelt S, made on first use (under the GIL) and kept for the life of the
// process: one static per spelling, shared by every file that uses it. These are the only Python
// objects that live in C++ statics besides a module's own single-instance record.
template <Text S>
PyObject* interned() {
    static PyObject* name = nullptr;
    if (!name) [[unlikely]] {
        assert(PyGILState_Check());
        name = check(PyUnicode_InternFromString(S.chars));
    }
    return name;
}

inline namespace literals {
// "dirname"_id: the interned str "dirname", written where it is used.
template <Text S>
Handle operator""_id() {
    return interned<S>();
}
}  // namespace literals

// The same name as a constant, for the lists that document a module's globals:
// `inline constexpr rt::Id<"json"> g_json;` is "json"_id wherever it is used.
template <Text S>
struct Id {
    operator Handle() const { return interned<S>(); }
};

// The keyword names of a call with fixed keywords, as the tuple that vectorcall takes, made on
// first use: `rt::kw<"parents", "exist_ok">`.
template <Text... S>
struct Keywords {
    static constexpr size_t size = sizeof...(S);
    static PyObject* tuple() {
        static PyObject* names = nullptr;
        if (!names) [[unlikely]] names = check(PyTuple_Pack(size, interned<S>()...));
        return names;
    }
};
template <Text... S>
inline constexpr Keywords<S...> kw{};

}  // namespace rt
