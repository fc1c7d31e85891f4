// Iterating a mapping's items and reading one entry, as `for k, v in m.items()` and `m.get(k)`
// do, with the exact dict's own operations when the object is an exact dict (its `items` and
// `get` cannot be replaced, so nothing observable changes).
#pragma once

#include <utility>

#include "call.hpp"
#include "objects.hpp"

namespace rt {

// `first, second = pair`, with the interpreter's messages for a pair of the wrong size.
std::pair<Ref, Ref> unpack_pair(Handle pair);

// mapping.get(key)
Ref mapping_get(Handle mapping, Handle key);

namespace detail {
[[noreturn]] void dict_changed_size();
[[noreturn]] void dict_keys_changed();
}  // namespace detail

// for key, value in mapping.items(): body(key, value)
template <class F>
void for_each_item(Handle mapping, F&& body) {
    if (PyDict_CheckExact(mapping.get())) {
        // The dict's items iterator, without the view, the iterator object and the pairs; the same
        // errors when the body changes the dict under it.
        const Py_ssize_t size = PyDict_GET_SIZE(mapping.get());
        Py_ssize_t pos = 0, left = size;
        PyObject *key, *value;
        while (PyDict_Next(mapping, &pos, &key, &value)) {
            if (PyDict_GET_SIZE(mapping.get()) != size) detail::dict_changed_size();
            if (left-- == 0) detail::dict_keys_changed();
            Ref k = new_ref(key), v = new_ref(value);  // the body may remove the entry
            body(k.get(), v.get());
        }
        if (PyDict_GET_SIZE(mapping.get()) != size) detail::dict_changed_size();
        return;
    }
    Ref it = own(PyObject_GetIter(call_method(mapping, "items"_id).get()));
    while (Ref pair = next(it)) {
        auto [key, value] = unpack_pair(pair);
        body(key.get(), value.get());
    }
}

}  // namespace rt
