#include "objects.hpp"

namespace rt {

Ref lookup(Handle obj, Handle name) {
    PyObject* value = nullptr;
    check(_PyObject_LookupAttr(obj, name, &value));
    return own_or_null(value);
}

Ref next(Handle iterator) { return own_optional(PyIter_Next(iterator)); }

Ref dict_get(Handle d, Handle key) {
    PyObject* value = PyDict_GetItemWithError(d, key);  // borrowed
    if (!value && PyErr_Occurred()) throw Error{};
    return new_ref(value);
}

long as_long(Handle value) {
    long v = PyLong_AsLong(value);
    if (v == -1 && PyErr_Occurred()) throw Error{};
    return v;
}

Py_ssize_t as_ssize(Handle value) {
    Py_ssize_t v = PyLong_AsSsize_t(value);
    if (v == -1 && PyErr_Occurred()) throw Error{};
    return v;
}

}  // namespace rt
