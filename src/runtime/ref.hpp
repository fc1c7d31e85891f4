// Owned and borrowed references, and nothing else (names: names.hpp; calls: call.hpp; small
// operations on objects: objects.hpp).
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
    friend Ref own_optional(PyObject* p);
    friend Ref new_ref(Handle h) noexcept;
    PyObject* p_ = nullptr;
};

// Takes over a new reference, the result of a C API call: throws if it is NULL (the call failed).
inline Ref own(PyObject* p) { return Ref(check(p)); }
// Takes over a new reference that may be NULL without an error (the caller tells the two apart).
inline Ref own_or_null(PyObject* p) noexcept { return Ref(p); }
// Takes over the result of a call that gives NULL both for "nothing" and for a failure: a null Ref
// for nothing, and throws when the call set an error.
inline Ref own_optional(PyObject* p) {
    if (!p && PyErr_Occurred()) [[unlikely]] throw Error{};
    return Ref(p);
}

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

}  // namespace rt
