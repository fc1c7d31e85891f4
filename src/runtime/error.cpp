#include "error.hpp"

#include <cerrno>
#include <cstdarg>
#include <new>

namespace rt {

void raise(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw Error{};
}

namespace {

// The errno of an OSError instance, 0 when it has none.
long errno_of(PyObject* exc) {
    if (!exc || !PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(PyExc_OSError))) return 0;
    PyObject* code = reinterpret_cast<PyOSErrorObject*>(exc)->myerrno;
    if (!code || !PyLong_Check(code)) return 0;
    long v = PyLong_AsLong(code);
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return 0;
    }
    return v;
}

}  // namespace

namespace detail {

void raise_instance(PyObject* exc) {
    if (PyExceptionInstance_Check(exc))
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    else
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    throw Error{};
}

// `raise exc` for what a class call gave, a new reference: dropped once it is raised.
[[noreturn]] void raise_made(PyObject* exc) {
    try {
        raise_instance(exc);
    } catch (const Error&) {
        Py_DECREF(exc);
        throw;
    }
}

void raise_call(PyObject* cls, PyObject* message) { raise_made(check(PyObject_CallOneArg(cls, message))); }


}  // namespace detail

PendingError::~PendingError() noexcept(false) {
    if (!interpreter_reachable()) return;
    // Restored or discarded exactly once, unless a C++ exception unwinds through its owner.
    assert(done_ || std::uncaught_exceptions() > unwinding_);
    assert(PyGILState_Check());
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(tb_);
}

void PendingError::normalize() noexcept {
    PyErr_NormalizeException(&type_, &value_, &tb_);
    if (tb_ && value_) PyException_SetTraceback(value_, tb_);
}

void PendingError::restore() noexcept {
#ifndef NDEBUG
    assert(!done_);
    done_ = true;
#endif
    PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr), std::exchange(tb_, nullptr));
}

void PendingError::discard() {
#ifndef NDEBUG
    assert(!done_);
    done_ = true;
#endif
    Py_CLEAR(type_);
    Py_CLEAR(value_);
    Py_CLEAR(tb_);
}

Caught::Caught() {
    assert(caught_);  // made while an exception is set
    caught_.normalize();
    outer_ = PyErr_GetHandledException();
    PyErr_SetHandledException(caught_.value());
}

Caught::~Caught() noexcept(false) {
    if (!interpreter_reachable()) return;
    PyErr_SetHandledException(outer_);
    Py_XDECREF(outer_);
    if (caught_) caught_.discard();
}

void Caught::reraise() {
    caught_.restore();
    throw Error{};
}

void Caught::raise_from_objects(PyObject* cls, PyObject* message) {
    PyObject* exc = check(PyObject_CallOneArg(cls, message));
    if (PyExceptionInstance_Check(exc) && caught_.value()) PyException_SetCause(exc, Py_NewRef(caught_.value()));
    detail::raise_made(exc);
}

long Caught::os_errno() const noexcept { return errno_of(caught_.value()); }

namespace detail {

bool clear_if_matches(PyObject* type) {
    if (!error_matches(type)) return false;
    PyErr_Clear();
    return true;
}

namespace {
// exc.__context__ = context, as a raise inside an except clause sets it: never the exception
// itself, and where `context`'s own chain holds `exc` the chain is cut there, so that no cycle
// forms (a chain that already is a cycle is walked once, as the interpreter walks it).
void set_context(PyObject* exc, PyObject* context) {
    if (exc == context || !PyExceptionInstance_Check(exc) || !PyExceptionInstance_Check(context)) return;
    PyObject *o = context, *slow = context;
    for (bool step_slow = false;; step_slow = !step_slow) {
        PyObject* next = PyException_GetContext(o);  // held by `o`'s chain while nothing changes it
        Py_XDECREF(next);
        if (!next) break;
        if (next == exc) {
            PyException_SetContext(o, nullptr);
            break;
        }
        o = next;
        if (step_slow) {
            slow = PyException_GetContext(slow);
            Py_DECREF(slow);
        }
        if (o == slow) break;
    }
    PyException_SetContext(exc, Py_NewRef(context));
}
}  // namespace

bool cleanup_failure_wins(PendingError& before) {
    if (!PyErr_Occurred() || error_matches(PyExc_Exception)) {
        PyErr_Clear();
        return false;
    }
    if (before) {
        PendingError failure;
        failure.normalize();
        before.normalize();
        set_context(failure.value(), before.value());
        failure.restore();
    }
    before.discard();
    return true;
}

bool clear_if_errno(std::initializer_list<int> codes) {
    if (!error_matches(PyExc_OSError)) return false;
    PendingError exc;
    exc.normalize();
    long code = errno_of(exc.value());
    for (int c : codes) {
        if (c == code) {
            exc.discard();
            return true;
        }
    }
    exc.restore();
    return false;
}

}  // namespace detail

// A forced unwind carries no C++ object: the handler that matches it by type (the C++ library's
// own idiom, and the only reliable way to tell it apart) binds its reference to nothing, which
// UndefinedBehaviorSanitizer's null check would report. The reference is never used.
#if defined(__GNUC__)
__attribute__((no_sanitize("null")))
#endif
void translate_current_exception() {
    try {
        throw;
    } catch (const Error&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (ForcedUnwind&) {
        throw;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in a native method");
    }
}

}  // namespace rt
