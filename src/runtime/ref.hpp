// Owned and borrowed references, the "a Python exception is set" error and the one guard that
// hands it back to the interpreter, interned names, and the call helpers every method body uses.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cassert>
#include <cstddef>
#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace rt {

// Thrown whenever a C API call failed: the interpreter's error indicator holds the exception.
// The guard (below) turns it back into NULL or -1 at the entry point.
struct Error {};

[[noreturn]] inline void fail() { throw Error{}; }

// raise type(format % ...), with PyErr_Format's format.
[[noreturn]] void raise(PyObject* type, const char* format, ...);

inline PyObject* check(PyObject* p) {
    if (!p) fail();
    return p;
}
inline int check(int r) {
    if (r < 0) fail();
    return r;
}

#if defined(__GLIBCXX__)
// What glibc throws through a thread that pthread_exit ends. CPython 3.11 ends a daemon thread
// that way when it asks for the GIL back while the interpreter finalises.
using ForcedUnwind = abi::__forced_unwind;
#else
struct ForcedUnwind {};  // never thrown where the C library has no forced unwinding
#endif

// False only on a thread that the interpreter is ending at exit: it holds no GIL and never will
// again, so nothing dropped while its stack unwinds may touch a Python object. What it held is
// left to the exiting process.
inline bool interpreter_reachable() noexcept { return !_Py_IsFinalizing() || PyGILState_Check(); }

class Handle;
class Name;

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
        if (p_ && interpreter_reachable()) Py_DECREF(p_);
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

// A borrowed reference: what the helpers take. Made from a PyObject*, a Ref or a Name; it owns
// nothing, so it is a parameter type, never a variable that outlives its source.
class Handle {
public:
    Handle(PyObject* p) noexcept : p_(p) {}
    Handle(const Ref& r) noexcept : p_(r.get()) {}
    Handle(const Name& n);
    PyObject* get() const noexcept { return p_; }
    operator PyObject*() const noexcept { return p_; }

private:
    PyObject* p_;
};

// A new reference to a borrowed object (a null handle gives a null Ref).
inline Ref new_ref(Handle h) noexcept { return Ref(Py_XNewRef(h.get())); }

// An interned string made on first use and kept for the life of the process. These are the only
// Python objects that live in C++ statics besides a module's own single-instance record.
class Name {
public:
    constexpr explicit Name(const char* text) : text_(text) {}
    Name(const Name&) = delete;  // a copy would intern (and keep) its own reference
    Name& operator=(const Name&) = delete;
    operator PyObject*() const {
        if (!obj_) obj_ = check(PyUnicode_InternFromString(text_));
        return obj_;
    }
    const char* c_str() const { return text_; }

private:
    const char* text_;
    mutable PyObject* obj_ = nullptr;
};

inline Handle::Handle(const Name& n) : p_(n) {}

// A tuple of N interned keyword names for calls with fixed keywords, made on first use:
// `const rt::KwNames kw_mkdir{"parents", "exist_ok"};` is a KwNames<2>.
template <size_t N>
class KwNames {
public:
    template <class... S>
    constexpr KwNames(S... names) : names_{names...} {}
    KwNames(const KwNames&) = delete;
    KwNames& operator=(const KwNames&) = delete;
    PyObject* tuple() const {
        if (!obj_) {
            Ref t = own(PyTuple_New(N));
            for (size_t i = 0; i < N; ++i)
                PyTuple_SET_ITEM(t.get(), i, check(PyUnicode_InternFromString(names_[i])));
            obj_ = t.release();
        }
        return obj_;
    }

private:
    const char* names_[N];
    mutable PyObject* obj_ = nullptr;
};
template <class... S>
KwNames(S...) -> KwNames<sizeof...(S)>;

// --- calls -------------------------------------------------------------------------------------
// Argument vectors are sized at compile time, with the free slot in front that
// PY_VECTORCALL_ARGUMENTS_OFFSET lets the callee borrow; a keyword call takes exactly as many
// values as its KwNames has names, or does not compile.

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

// callable(*positional, **dict(zip(kwnames, values)))
template <size_t P, size_t N>
Ref call_kw(Handle callable, const Handle (&positional)[P], const KwNames<N>& kwnames, const Handle (&values)[N]) {
    PyObject* argv[1 + P + N] = {nullptr};
    for (size_t i = 0; i < P; ++i) argv[1 + i] = positional[i];
    for (size_t i = 0; i < N; ++i) argv[1 + P + i] = values[i];
    return own(PyObject_Vectorcall(callable, argv + 1, P | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.tuple()));
}
template <size_t N>
Ref call_kw(Handle callable, const KwNames<N>& kwnames, const Handle (&values)[N]) {
    PyObject* argv[1 + N] = {nullptr};
    for (size_t i = 0; i < N; ++i) argv[1 + i] = values[i];
    return own(PyObject_Vectorcall(callable, argv + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.tuple()));
}

// obj.name(*positional, **keywords); the method vector starts with obj, the slot the callee may
// borrow when the method is bound
template <size_t P, size_t N>
Ref call_method_kw(Handle obj, Handle name, const Handle (&positional)[P], const KwNames<N>& kwnames,
                   const Handle (&values)[N]) {
    PyObject* argv[1 + P + N] = {obj};
    for (size_t i = 0; i < P; ++i) argv[1 + i] = positional[i];
    for (size_t i = 0; i < N; ++i) argv[1 + P + i] = values[i];
    return own(PyObject_VectorcallMethod(name, argv, (1 + P) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.tuple()));
}
template <size_t N>
Ref call_method_kw(Handle obj, Handle name, const KwNames<N>& kwnames, const Handle (&values)[N]) {
    PyObject* argv[1 + N] = {obj};
    for (size_t i = 0; i < N; ++i) argv[1 + i] = values[i];
    return own(PyObject_VectorcallMethod(name, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.tuple()));
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

// --- errors ------------------------------------------------------------------------------------

// Inside a `catch (...)` block: the C++ exception being handled becomes the interpreter's error.
// rt::Error already set it; std::bad_alloc is MemoryError; anything else foreign is SystemError. A
// forced unwind is rethrown: it must pass through every frame up to the thread's start.
void translate_current_exception();

// The one way back from C++ to the interpreter. Every slot and entry point runs its body through
// it and gets `on_error` (NULL, -1) when the body raised.
template <class R, class F>
R guard(R on_error, F&& body) {
    try {
        return body();
    } catch (...) {
        translate_current_exception();
    }
    assert(PyErr_Occurred());
    return on_error;
}

// An exception taken off the error indicator and owned here: restore() puts it back, otherwise
// it is dropped with this object.
class SavedError {
public:
    SavedError() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    // Takes over (type, value, traceback), any of them null.
    SavedError(PyObject* type, PyObject* value, PyObject* tb) noexcept : type_(type), value_(value), tb_(tb) {}
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    ~SavedError() noexcept(false);

    explicit operator bool() const noexcept { return type_ != nullptr; }
    PyObject* type() const noexcept { return type_; }
    PyObject* value() const noexcept { return value_; }
    PyObject* traceback() const noexcept { return tb_; }
    // The value made an instance of the type, with the traceback attached.
    void normalize() noexcept;
    // isinstance(exc, cls), as an except clause matches
    bool matches(Handle cls) const noexcept { return type_ && PyErr_GivenExceptionMatches(type_, cls) != 0; }
    // Back on the error indicator (nothing is set if nothing was taken).
    void restore() noexcept { PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr), std::exchange(tb_, nullptr)); }
    [[noreturn]] void reraise() {
        restore();
        fail();
    }

private:
    PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
};

// The current exception matches `type` as an `except type:` clause would.
inline bool error_matches(Handle type) { return PyErr_ExceptionMatches(type) != 0; }

// try: body()
// except <type>: pass
// Returns false when an exception matching `type` was raised and cleared; anything else
// propagates.
template <class F>
bool unless_raises(Handle type, F&& body) {
    try {
        body();
        return true;
    } catch (const Error&) {
        if (!error_matches(type)) throw;
        PyErr_Clear();
        return false;
    }
}

// Cleanup on an error path: the pending exception is set aside while `body` runs and put back
// after it; a failure of the cleanup itself is dropped.
template <class F>
void cleanup(F&& body) {
    SavedError pending;
    try {
        body();
    } catch (const Error&) {
        PyErr_Clear();
    }
    pending.restore();
}

// Setter body for a str-only attribute such as __name__ and __qualname__ (a getset `set`):
// refuses deletion and non-str values with the interpreter's message.
inline int set_str_attribute(PyObject** slot, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

// The module called `name`: as it stands in sys.modules, else imported now.
Ref imported(Handle name);

// `raise cls(message)`, with no cause.
[[noreturn]] void raise_new(Handle cls, Handle message);

// The body of an `except` clause: the exception that escaped, taken off the error indicator, is
// the one being handled while this object lives, so whatever is raised meanwhile gets it as its
// context. It is dropped at the end of the clause unless re-raised.
class Handled {
public:
    Handled();
    ~Handled() noexcept(false);
    Handled(const Handled&) = delete;
    Handled& operator=(const Handled&) = delete;

    bool matches(Handle cls) const { return caught_.matches(cls); }
    // `raise`: the exception goes on unchanged
    [[noreturn]] void reraise() { caught_.reraise(); }
    // `raise cls(message) from exc`
    [[noreturn]] void raise_from(Handle cls, Handle message);

private:
    SavedError caught_;
    PyObject* outer_ = nullptr;
};

// `raise cls(message) from exc` for the exception on the indicator.
[[noreturn]] void raise_from_current(Handle cls, Handle message);

// "Expected %s, got %.200s" unless `value` is exactly `type` or None.
void check_result(Handle value, PyTypeObject* type);

}  // namespace rt
