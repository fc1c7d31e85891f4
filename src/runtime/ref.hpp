// Owned and borrowed references, interned names, and the call helpers every method body uses.
#pragma once

#include <cstddef>
#include <utility>

#include "error.hpp"

namespace rt {

class Handle;

// An owned (strong) reference. Moves are free; copies take a new reference. It does not convert
// to PyObject* by itself (so `PyObject* p = rt::getattr(...)` cannot dangle): helpers take a
// Handle, and a C API call takes `.get()`.
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref& o) noexcept : p_(Py_XNewRef(o.p_)) {}
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    // Dropping the last reference runs Python code, which a forced unwind may leave: not noexcept.
    ~Ref() noexcept(false) {
        if (p_ && interpreter_reachable()) {
            assert(PyGILState_Check());
            Py_DECREF(p_);
        }
    }
    Ref& operator=(Ref o) {
        std::swap(p_, o.p_);
        return *this;
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    friend Ref own(PyObject* p);
    friend Ref own_or_null(PyObject* p) noexcept;
    friend Ref new_ref(Handle h) noexcept;
    PyObject* p_ = nullptr;
};

// Takes over a new reference, the result of a C API call: throws if it is NULL (the call failed).
inline Ref own(PyObject* p) { return Ref(check(p)); }
// Takes over a new reference that may be NULL without an error (the caller tells the two apart).
inline Ref own_or_null(PyObject* p) noexcept { return Ref(p); }

// A borrowed reference: what the helpers take. Made from a PyObject* or a Ref; it owns
// nothing, so it is a parameter type, never a variable that outlives its source.
class Handle {
public:
    Handle(PyObject* p) noexcept : p_(p) {}
    Handle(const Ref& r) noexcept : p_(r.get()) {}
    PyObject* get() const noexcept { return p_; }
    operator PyObject*() const noexcept { return p_; }

private:
    PyObject* p_;
};

// A new reference to a borrowed object (a null handle gives a null Ref).
inline Ref new_ref(Handle h) noexcept { return Ref(Py_XNewRef(h.get())); }

// --- interned names ---------------------------------------------------------------------------------

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

// --- calls -------------------------------------------------------------------------------------
// Argument vectors are sized at compile time, with the free slot in front that
// PY_VECTORCALL_ARGUMENTS_OFFSET lets the callee borrow; a keyword call takes exactly as many
// values as its keywords (rt::kw<...>) have names, or does not compile.

// callable(*args)
template <class... A>
Ref call(Handle callable, const A&... args) {
    PyObject* argv[] = {nullptr, Handle{args}.get()...};
    return own(PyObject_Vectorcall(callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(*args), looked up by name at call time
template <class... A>
Ref call_method(Handle obj, Handle name, const A&... args) {
    PyObject* argv[] = {obj, Handle{args}.get()...};
    return own(PyObject_VectorcallMethod(name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(*positional, **dict(zip(keywords, values)))
template <size_t P, class K>
Ref call_kw(Handle callable, const Handle (&positional)[P], const K& keywords, const Handle (&values)[K::size]) {
    PyObject* argv[1 + P + K::size] = {nullptr};
    for (size_t i = 0; i < P; ++i) argv[1 + i] = positional[i];
    for (size_t i = 0; i < K::size; ++i) argv[1 + P + i] = values[i];
    return own(PyObject_Vectorcall(callable, argv + 1, P | PY_VECTORCALL_ARGUMENTS_OFFSET, keywords.tuple()));
}
template <class K>
Ref call_kw(Handle callable, const K& keywords, const Handle (&values)[K::size]) {
    PyObject* argv[1 + K::size] = {nullptr};
    for (size_t i = 0; i < K::size; ++i) argv[1 + i] = values[i];
    return own(PyObject_Vectorcall(callable, argv + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, keywords.tuple()));
}

// obj.name(*positional, **keywords); the method vector starts with obj, the slot the callee may
// borrow when the method is bound
template <size_t P, class K>
Ref call_method_kw(Handle obj, Handle name, const Handle (&positional)[P], const K& keywords, const Handle (&values)[K::size]) {
    PyObject* argv[1 + P + K::size] = {obj};
    for (size_t i = 0; i < P; ++i) argv[1 + i] = positional[i];
    for (size_t i = 0; i < K::size; ++i) argv[1 + P + i] = values[i];
    return own(PyObject_VectorcallMethod(name, argv, (1 + P) | PY_VECTORCALL_ARGUMENTS_OFFSET, keywords.tuple()));
}
template <class K>
Ref call_method_kw(Handle obj, Handle name, const K& keywords, const Handle (&values)[K::size]) {
    PyObject* argv[1 + K::size] = {obj};
    for (size_t i = 0; i < K::size; ++i) argv[1 + i] = values[i];
    return own(PyObject_VectorcallMethod(name, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, keywords.tuple()));
}

// --- small conveniences ------------------------------------------------------------------------

inline Ref getattr(Handle obj, Handle name) { return own(PyObject_GetAttr(obj, name)); }
inline void setattr(Handle obj, Handle name, Handle value) { check(PyObject_SetAttr(obj, name, value)); }
inline bool truth(Handle obj) { return check(PyObject_IsTrue(obj)) != 0; }
inline Ref str(const char* utf8) { return own(PyUnicode_FromString(utf8)); }
inline Ref to_str(Handle obj) { return own(PyObject_Str(obj)); }
inline Ref integer(long v) { return own(PyLong_FromLong(v)); }
inline Ref none() { return new_ref(Py_None); }
inline Ref boolean(bool v) { return new_ref(v ? Py_True : Py_False); }
inline Ref new_dict() { return own(PyDict_New()); }
inline Ref new_list(Py_ssize_t n = 0) { return own(PyList_New(n)); }
inline void dict_set(Handle d, Handle k, Handle v) { check(PyDict_SetItem(d, k, v)); }
inline Ref concat(Handle a, Handle b) { return own(PyUnicode_Concat(a, b)); }
// left / right, the pathlib join
inline Ref join(Handle left, Handle right) { return own(PyNumber_TrueDivide(left, right)); }
// obj.name, or a null Ref when obj has no such attribute
Ref lookup(Handle obj, Handle name);
// next(iterator), or a null Ref when it is exhausted
Ref next(Handle iterator);

}  // namespace rt
