#include "ref.hpp"

namespace rt {

KwNames::operator PyObject*() const {
    if (!obj_) {
        Ref t = own(PyTuple_New(size_));
        for (int i = 0; i < size_; ++i)
            PyTuple_SET_ITEM(t.get(), i, check(PyUnicode_InternFromString(names_[i])));
        obj_ = t.release();
    }
    return obj_;
}

namespace {

// Lays out positional values then keyword values in one vector, with a free slot in front so the
// callee may borrow it (PY_VECTORCALL_ARGUMENTS_OFFSET).
struct Vector {
    static constexpr size_t max_args = 8;
    PyObject* items[1 + 2 * max_args] = {};
    size_t n = 0;
    Vector(PyObject* first, std::initializer_list<PyObject*> a, std::initializer_list<PyObject*> b) {
        if (first) items[1 + n++] = first;
        for (PyObject* p : a) items[1 + n++] = p;
        for (PyObject* p : b) items[1 + n++] = p;
    }
};

}  // namespace

Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> positional, const KwNames& kwnames,
            std::initializer_list<PyObject*> keyword_values) {
    Vector v(nullptr, positional, keyword_values);
    return own(PyObject_Vectorcall(callable, v.items + 1, positional.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   kwnames));
}

Ref call_method_kw(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> positional,
                   const KwNames& kwnames, std::initializer_list<PyObject*> keyword_values) {
    Vector v(obj, positional, keyword_values);
    return own(PyObject_VectorcallMethod(name, v.items + 1, (1 + positional.size()) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         kwnames));
}

namespace {

[[noreturn]] void raise_instance(PyObject* exc) {
    if (!PyExceptionInstance_Check(exc)) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        fail();
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    fail();
}

}  // namespace

Ref imported(PyObject* name) {
    Ref module = Ref::steal_or_null(PyImport_GetModule(name));
    if (module) return module;
    if (PyErr_Occurred()) fail();
    return own(PyImport_Import(name));
}

void raise_new(PyObject* cls, PyObject* message) { raise_instance(call(cls, message)); }

Handled::Handled() {
    PyErr_Fetch(&type_, &value_, &tb_);
    PyErr_NormalizeException(&type_, &value_, &tb_);
    if (tb_) PyException_SetTraceback(value_, tb_);
    outer_ = PyErr_GetHandledException();
    PyErr_SetHandledException(value_);
}

Handled::~Handled() {
    PyErr_SetHandledException(outer_);
    Py_XDECREF(outer_);
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(tb_);
}

void Handled::reraise() {
    PyErr_Restore(type_, value_, tb_);
    type_ = value_ = tb_ = nullptr;
    fail();
}

void Handled::raise_from(PyObject* cls, PyObject* message) {
    Ref exc = call(cls, message);
    if (PyExceptionInstance_Check(exc.get())) PyException_SetCause(exc, Py_NewRef(value_));
    raise_instance(exc);
}

void raise_from_current(PyObject* cls, PyObject* message) {
    Handled exc;
    exc.raise_from(cls, message);
}

void check_result(PyObject* value, PyTypeObject* type) {
    if (Py_TYPE(value) == type || value == Py_None) return;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", type->tp_name, Py_TYPE(value)->tp_name);
    fail();
}

}  // namespace rt
