// Owned and borrowed references, the "a Python exception is set" error, interned names and the
// handful of call helpers that every method body uses.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <utility>

namespace rt {

// Thrown whenever a C API call failed: the interpreter's error indicator holds the exception.
// Entry points from Python catch it and return NULL (or -1); nothing else about it is needed.
struct Error {};

[[noreturn]] inline void fail() { throw Error{}; }

inline PyObject* check(PyObject* p) {
    if (!p) fail();
    return p;
}
inline int check(int r) {
    if (r < 0) fail();
    return r;
}

// An owned (strong) reference. Moves are free; copies take a new reference.
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref& o) noexcept : p_(Py_XNewRef(o.p_)) {}
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ~Ref() { Py_XDECREF(p_); }
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }

    // Takes over a new reference; throws if it is NULL (the call failed).
    static Ref steal(PyObject* p) { return Ref(check(p)); }
    // Takes over a new reference that may be NULL without an error (lookups that can miss).
    static Ref steal_or_null(PyObject* p) noexcept { return Ref(p); }
    // Takes a new reference to a borrowed one.
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return p_; }
    operator PyObject*() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

inline Ref own(PyObject* p) { return Ref::steal(p); }

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

// A tuple of interned keyword names for calls with fixed keywords, made on first use.
class KwNames {
public:
    static constexpr int max_names = 6;
    constexpr KwNames(std::initializer_list<const char*> names) {
        for (const char* n : names) names_[size_++] = n;
    }
    operator PyObject*() const;
    Py_ssize_t size() const { return size_; }

private:
    const char* names_[max_names] = {};
    int size_ = 0;
    mutable PyObject* obj_ = nullptr;
};

// --- calls -------------------------------------------------------------------------------------

// callable(*args)
template <class... A>
Ref call(PyObject* callable, const A&... args) {
    PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
    return own(PyObject_Vectorcall(callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr));
}

// callable(*positional, **dict(zip(kwnames, keyword_values)))
Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> positional, const KwNames& kwnames,
            std::initializer_list<PyObject*> keyword_values);

// obj.name(*args), looked up by name at call time
template <class... A>
Ref call_method(PyObject* obj, PyObject* name, const A&... args) {
    PyObject* argv[] = {obj, static_cast<PyObject*>(args)...};
    return own(PyObject_VectorcallMethod(name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         nullptr));
}

// obj.name(*positional, **keywords)
Ref call_method_kw(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> positional,
                   const KwNames& kwnames, std::initializer_list<PyObject*> keyword_values);

// --- small conveniences ------------------------------------------------------------------------

inline Ref getattr(PyObject* obj, PyObject* name) { return own(PyObject_GetAttr(obj, name)); }
inline void setattr(PyObject* obj, PyObject* name, PyObject* value) {
    check(PyObject_SetAttr(obj, name, value));
}
inline bool truth(PyObject* obj) { return check(PyObject_IsTrue(obj)) != 0; }
inline Ref str(const char* utf8) { return own(PyUnicode_FromString(utf8)); }
inline Ref to_str(PyObject* obj) { return own(PyObject_Str(obj)); }
inline Ref integer(long v) { return own(PyLong_FromLong(v)); }
inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
inline Ref new_dict() { return own(PyDict_New()); }
inline Ref new_list(Py_ssize_t n = 0) { return own(PyList_New(n)); }
inline void dict_set(PyObject* d, PyObject* k, PyObject* v) { check(PyDict_SetItem(d, k, v)); }
inline Ref concat(PyObject* a, PyObject* b) { return own(PyUnicode_Concat(a, b)); }
// left / right, the pathlib join
inline Ref join(PyObject* left, PyObject* right) { return own(PyNumber_TrueDivide(left, right)); }

// The current exception matches `type` as an `except type:` clause would.
inline bool error_matches(PyObject* type) { return PyErr_ExceptionMatches(type) != 0; }

// try: body()
// except <type>: pass
// Returns false when an exception matching `type` was raised and cleared; anything else
// propagates.
template <class F>
bool unless_raises(PyObject* type, F&& body) {
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
void cleanup(F&& body) noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    try {
        body();
    } catch (const Error&) {
        PyErr_Clear();
    }
    PyErr_Restore(type, value, tb);
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
Ref imported(PyObject* name);

// `raise cls(message)`, with no cause.
[[noreturn]] void raise_new(PyObject* cls, PyObject* message);
// The body of an `except` clause: the exception that escaped, taken off the error indicator, is
// the one being handled while this object lives, so whatever is raised meanwhile gets it as its
// context. It is dropped at the end of the clause unless re-raised.
class Handled {
public:
    Handled();
    ~Handled();
    Handled(const Handled&) = delete;
    Handled& operator=(const Handled&) = delete;

    // isinstance(exc, cls), as an except clause matches
    bool matches(PyObject* cls) const { return PyErr_GivenExceptionMatches(value_, cls) != 0; }
    // `raise`: the exception goes on unchanged
    [[noreturn]] void reraise();
    // `raise cls(message) from exc`
    [[noreturn]] void raise_from(PyObject* cls, PyObject* message);

private:
    PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr, *outer_ = nullptr;
};

// `raise cls(message) from exc` for the exception on the indicator.
[[noreturn]] void raise_from_current(PyObject* cls, PyObject* message);

// "Expected %s, got %.200s" unless `value` is exactly `type` or None.
void check_result(PyObject* value, PyTypeObject* type);

}  // namespace rt

// Every entry point from Python wraps its body in one of these.
#define RT_GUARD_NULL(...)                                                                     \
    try {                                                                                      \
        __VA_ARGS__                                                                            \
    } catch (const ::rt::Error&) {                                                             \
        return nullptr;                                                                        \
    }
