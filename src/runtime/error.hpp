// Python errors in C++: the one exception type that means "a Python exception is set", and one
// spelling per intent.
//
//   a C API call failed           rt::check(result), or `throw rt::Error{}` after a test of its own
//   raise a new exception         rt::raise(PyExc_ValueError, "format", ...), rt::raise(cls, message)
//   raise an exception object     rt::raise_instance(exc)
//                                 (an OSError from an errno: rt::raise_os_error in os.hpp)
//   except <type>: pass           rt::suppress(type, body), rt::suppress({EINVAL, ...}, body)
//   except <type> as exc: ...     catch (const rt::Error&) { rt::Caught exc; ... }
//   raise ... from exc            exc.raise_from(cls, message)
//   raise (re-raise)              exc.reraise()
//   except: cleanup; raise        rt::cleanup(body), rt::cleanup(first, then) (also finally:)
//   set an error aside            rt::PendingError pending; ...; pending.restore();
//   back to the interpreter       rt::guard(on_error, body), in every slot and entry point
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cassert>
#include <concepts>
#include <exception>
#include <initializer_list>
#include <type_traits>
#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace rt {

// Thrown whenever a C API call failed: the interpreter's error indicator holds the exception.
// The guard (below) turns it back into NULL or -1 at the entry point.
struct Error {};

inline PyObject* check(PyObject* p) {
    if (!p) [[unlikely]] throw Error{};
    return p;
}
inline int check(int r) {
    if (r < 0) [[unlikely]] throw Error{};
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

// The object that a PyObject* or a reference (ref.hpp: anything with get()) stands for, so that
// the helpers below take whichever the caller holds.
inline PyObject* object_of(PyObject* p) noexcept { return p; }
template <class R>
    requires requires(const R& r) {
        { r.get() } -> std::convertible_to<PyObject*>;
    }
PyObject* object_of(const R& r) noexcept {
    return r.get();
}

// --- raising ---------------------------------------------------------------------------------------

namespace detail {
[[noreturn]] void raise_call(PyObject* cls, PyObject* message);
[[noreturn]] void raise_instance(PyObject* exc);
}  // namespace detail

// raise type(format % ...), with PyErr_Format's format: for the interpreter's own classes.
[[noreturn]] void raise(PyObject* type, const char* format, ...);

// raise cls(message): the class is called as a raise statement would call it, so it can be any
// object (a non-exception result raises the interpreter's TypeError).
template <class C, class M>
    requires(!std::is_convertible_v<const M&, const char*>)
[[noreturn]] void raise(const C& cls, const M& message) {
    detail::raise_call(object_of(cls), object_of(message));
}

// raise exc, for an exception instance already made (anything else raises the interpreter's
// TypeError, as a raise statement does).
template <class E>
[[noreturn]] void raise_instance(const E& exc) {
    detail::raise_instance(object_of(exc));
}

// --- the exception on the indicator --------------------------------------------------------------

// The current exception matches `type` as an `except type:` clause would.
inline bool error_matches(PyObject* type) { return PyErr_ExceptionMatches(type) != 0; }

// An exception taken off the error indicator (or made from its pieces) and owned here until it
// goes back. Each one is restored exactly once, or dropped on purpose with discard(); debug
// builds assert both, so an error set aside on one path cannot be lost or doubled on another.
class PendingError {
public:
    PendingError() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    // Takes over (type, value, traceback), any of them null.
    PendingError(PyObject* type, PyObject* value, PyObject* tb) noexcept : type_(type), value_(value), tb_(tb) {}
    PendingError(const PendingError&) = delete;
    PendingError& operator=(const PendingError&) = delete;
    // Not noexcept: releasing runs Python code, which a forced unwind may leave.
    ~PendingError() noexcept(false);

    explicit operator bool() const noexcept { return type_ != nullptr; }
    PyObject* type() const noexcept { return type_; }
    PyObject* value() const noexcept { return value_; }
    PyObject* traceback() const noexcept { return tb_; }
    // The value made an instance of the type, with the traceback attached.
    void normalize() noexcept;
    // isinstance(exc, cls), as an except clause matches
    bool matches(PyObject* cls) const noexcept { return type_ && PyErr_GivenExceptionMatches(type_, cls) != 0; }
    // Back on the error indicator (nothing is set if nothing was taken).
    void restore() noexcept;
    // Dropped: the exception was handled, or handed on through its pieces.
    void discard();

private:
    PyObject *type_ = nullptr, *value_ = nullptr, *tb_ = nullptr;
#ifndef NDEBUG
    int unwinding_ = std::uncaught_exceptions();  // in flight when made: more at its end is unwinding
    bool done_ = false;                           // restored or discarded
#endif
};

// The body of an `except` clause. Made while an exception is set (in `catch (const rt::Error&)`,
// as a rule), it takes the exception off the indicator and makes it the one being handled while it lives, so that whatever is raised
// meanwhile gets it as its context. Unless re-raised, it is dropped at the end of the clause.
class Caught {
public:
    Caught();
    ~Caught() noexcept(false);
    Caught(const Caught&) = delete;
    Caught& operator=(const Caught&) = delete;

    PyObject* value() const noexcept { return caught_.value(); }
    template <class C>
    bool matches(const C& cls) const {
        return caught_.matches(object_of(cls));
    }
    // exc.errno of a caught OSError, 0 for any other exception or an OSError without one
    long os_errno() const noexcept;
    // `raise`: the exception goes on unchanged
    [[noreturn]] void reraise();
    // `raise cls(message) from exc`: the cause and the context are the caught exception
    template <class C, class M>
    [[noreturn]] void raise_from(const C& cls, const M& message) {
        raise_from_objects(object_of(cls), object_of(message));
    }

private:
    [[noreturn]] void raise_from_objects(PyObject* cls, PyObject* message);
    PendingError caught_;
    PyObject* outer_ = nullptr;  // the exception handled around this clause
};

// --- catching ---------------------------------------------------------------------------------------

namespace detail {
bool clear_if_matches(PyObject* type);
bool clear_if_errno(std::initializer_list<int> codes);

// True when the body ran to its end, false when it raised an error that `clear_if_caught` took
// (and cleared); anything else propagates.
template <class C, class F>
bool suppress(C&& clear_if_caught, F&& body) {
    try {
        body();
        return true;
    } catch (const Error&) {
        if (!clear_if_caught()) throw;
        return false;
    }
}
}  // namespace detail

// try: body()
// except <type>: pass
// True when the body ran to its end, false when it raised `type` (cleared).
template <class T, class F>
bool suppress(const T& type, F&& body) {
    return detail::suppress([&] { return detail::clear_if_matches(object_of(type)); }, body);
}

// try: body()
// except OSError as exc:
//     if exc.errno not in codes: raise
// True when the body ran to its end, false when it raised such an error (cleared).
template <class F>
bool suppress(std::initializer_list<int> codes, F&& body) {
    return detail::suppress([&] { return detail::clear_if_errno(codes); }, body);
}

namespace detail {
// After a cleanup body raised: true when its failure wins over `before` (the exception set aside
// while it ran), which is then dropped, and the failure, chained to it, stays on the indicator;
// false when the failure was dropped (an Exception).
bool cleanup_failure_wins(PendingError& before);

template <class F>
void cleanup_step(F& body) {
    PendingError before;
    try {
        body();
    } catch (const Error&) {
        if (cleanup_failure_wins(before)) return;
    }
    before.restore();
}
}  // namespace detail

// Cleanup, as `except: body(); raise` or `finally: body()` runs it: the pending exception is set
// aside while `body` runs and put back after it. A failure of the cleanup that is an Exception is
// dropped. One that is not (KeyboardInterrupt, SystemExit) wins, as it does in Python: it becomes
// the pending exception, with the one set aside as its __context__; when nothing was pending, it
// is raised, unless a C++ exception is unwinding (the cleanup runs in a destructor), which then
// carries it. Several bodies run in turn, each whatever the ones before it raised:
// cleanup(first, then) is `try: first() finally: then()`.
template <class... F>
void cleanup(F&&... bodies) {
    const bool on_error_path = PyErr_Occurred() != nullptr;
    (detail::cleanup_step(bodies), ...);
    if (!on_error_path && PyErr_Occurred() && std::uncaught_exceptions() == 0) throw Error{};
}

// --- back to the interpreter ------------------------------------------------------------------------

// Inside a `catch (...)` block: the C++ exception being handled becomes the interpreter's error.
// rt::Error already set it; std::bad_alloc is MemoryError; anything else foreign is SystemError. A
// forced unwind is rethrown: it must pass through every frame up to the thread's start.
void translate_current_exception();

// The one way back from C++ to the interpreter. Every slot and entry point runs its body through
// it and gets `on_error` (NULL, -1, PYGEN_ERROR) when the body raised.
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

}  // namespace rt
