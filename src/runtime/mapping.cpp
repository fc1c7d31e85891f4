#include "mapping.hpp"

namespace rt {

std::pair<Ref, Ref> unpack_pair(PyObject* pair) {
    if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2)
        return {Ref::borrow(PyTuple_GET_ITEM(pair, 0)), Ref::borrow(PyTuple_GET_ITEM(pair, 1))};
    PyObject* iter = PyObject_GetIter(pair);
    if (!iter) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(pair)->tp_iter && !PySequence_Check(pair)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(pair)->tp_name);
        }
        fail();
    }
    Ref it = Ref::steal(iter);
    Ref values[2];
    for (int i = 0; i < 3; ++i) {
        Ref value = Ref::steal_or_null(PyIter_Next(it));
        if (!value) {
            if (PyErr_Occurred()) fail();
            if (i == 2) break;
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            fail();
        }
        if (i == 2) {
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
            fail();
        }
        values[i] = std::move(value);
    }
    return {std::move(values[0]), std::move(values[1])};
}

Ref mapping_get(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* value = PyDict_GetItemWithError(mapping, key);
        if (!value && PyErr_Occurred()) fail();
        return Ref::borrow(value ? value : Py_None);
    }
    static Name get{"get"};
    return call_method(mapping, get, key);
}

namespace detail {

void dict_changed_size() {
    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
    fail();
}

void dict_keys_changed() {
    PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
    fail();
}

}  // namespace detail

}  // namespace rt
