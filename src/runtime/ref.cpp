#include "ref.hpp"

namespace rt {

Ref lookup(Handle obj, Handle name) {
    PyObject* value = nullptr;
    check(_PyObject_LookupAttr(obj, name, &value));
    return own_or_null(value);
}

Ref next(Handle iterator) {
    Ref item = own_or_null(PyIter_Next(iterator));
    if (!item && PyErr_Occurred()) throw Error{};
    return item;
}

}  // namespace rt
