#include "ref.hpp"

#include <cstdarg>
#include <new>

namespace rt {

void raise(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    fail();
}

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

Ref lookup(Handle obj, Handle name) {
    PyObject* value = nullptr;
    check(_PyObject_LookupAttr(obj, name, &value));
    return own_or_null(value);
}

Ref next(Handle iterator) {
    Ref item = own_or_null(PyIter_Next(iterator));
    if (!item && PyErr_Occurred()) fail();
    return item;
}

SavedError::~SavedError() noexcept(false) {
    if (!type_ || !interpreter_reachable()) return;
    Py_DECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(tb_);
}

void SavedError::normalize() noexcept {
    PyErr_NormalizeException(&type_, &value_, &tb_);
    if (tb_ && value_) PyException_SetTraceback(value_, tb_);
}

namespace {

[[noreturn]] void raise_instance(Handle exc) {
    if (!PyExceptionInstance_Check(exc.get())) raise(PyExc_TypeError, "exceptions must derive from BaseException");
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc);
    fail();
}

}  // namespace

Ref imported(Handle name) {
    Ref module = own_or_null(PyImport_GetModule(name));
    if (module) return module;
    if (PyErr_Occurred()) fail();
    return own(PyImport_Import(name));
}

void raise_new(Handle cls, Handle message) { raise_instance(call(cls, message)); }

Handled::Handled() {
    caught_.normalize();
    outer_ = PyErr_GetHandledException();
    PyErr_SetHandledException(caught_.value());
}

Handled::~Handled() noexcept(false) {
    if (!interpreter_reachable()) return;
    PyErr_SetHandledException(outer_);
    Py_XDECREF(outer_);
}

void Handled::raise_from(Handle cls, Handle message) {
    Ref exc = call(cls, message);
    if (PyExceptionInstance_Check(exc.get()) && caught_.value())
        PyException_SetCause(exc.get(), Py_NewRef(caught_.value()));
    raise_instance(exc);
}

void raise_from_current(Handle cls, Handle message) {
    Handled exc;
    exc.raise_from(cls, message);
}

void check_result(Handle value, PyTypeObject* type) {
    if (Py_TYPE(value.get()) == type || value.get() == Py_None) return;
    raise(PyExc_TypeError, "Expected %s, got %.200s", type->tp_name, Py_TYPE(value.get())->tp_name);
}

}  // namespace rt
