#include "mapping.hpp"

namespace rt {

std::pair<Ref, Ref> unpack_pair(Handle pair) {
    PyObject* p = pair.get();
    if (PyTuple_CheckExact(p) && PyTuple_GET_SIZE(p) == 2)
        return {new_ref(PyTuple_GET_ITEM(p, 0)), new_ref(PyTuple_GET_ITEM(p, 1))};
    if (!Py_TYPE(p)->tp_iter && !PySequence_Check(p))  // what iter() would refuse
        raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(p)->tp_name);
    Ref it = own(PyObject_GetIter(p));
    Ref values[2];
    for (int i = 0; i < 2; ++i) {
        values[i] = next(it);
        if (!values[i]) raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
    }
    if (next(it)) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    return {std::move(values[0]), std::move(values[1])};
}

Ref mapping_get(Handle mapping, Handle key) {
    if (PyDict_CheckExact(mapping.get())) {
        Ref value = dict_get(mapping, key);
        return value ? value : none();
    }
    return call_method(mapping, "get"_id, key);
}

namespace detail {

void dict_changed_size() { raise(PyExc_RuntimeError, "dictionary changed size during iteration"); }

void dict_keys_changed() { raise(PyExc_RuntimeError, "dictionary keys changed during iteration"); }

}  // namespace detail

}  // namespace rt
