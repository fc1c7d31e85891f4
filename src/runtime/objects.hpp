// Small operations on Python objects, each the C API call behind one line of Python: attributes,
// truth, numbers, strings, dicts and lists, iteration.
#pragma once

#include "ref.hpp"

namespace rt {

inline Ref getattr(Handle obj, Handle name) { return own(PyObject_GetAttr(obj, name)); }
inline void setattr(Handle obj, Handle name, Handle value) { check(PyObject_SetAttr(obj, name, value)); }
inline bool truth(Handle obj) { return check(PyObject_IsTrue(obj)) != 0; }
// a == b, as the operator answers it (no shortcut for an object that is itself)
inline bool equal(Handle a, Handle b) { return truth(own(PyObject_RichCompare(a, b, Py_EQ))); }
inline Ref str(const char* utf8) { return own(PyUnicode_FromString(utf8)); }
inline Ref to_str(Handle obj) { return own(PyObject_Str(obj)); }
inline Ref integer(long v) { return own(PyLong_FromLong(v)); }
inline Ref none() { return new_ref(Py_None); }
inline Ref boolean(bool v) { return new_ref(v ? Py_True : Py_False); }
inline Ref new_dict() { return own(PyDict_New()); }
inline Ref new_list(Py_ssize_t n = 0) { return own(PyList_New(n)); }
inline void dict_set(Handle d, Handle k, Handle v) { check(PyDict_SetItem(d, k, v)); }
inline Ref concat(Handle a, Handle b) { return own(PyUnicode_Concat(a, b)); }
// left / right, the pathlib join
inline Ref join(Handle left, Handle right) { return own(PyNumber_TrueDivide(left, right)); }
// obj.name, or a null Ref when obj has no such attribute
Ref lookup(Handle obj, Handle name);
// next(iterator), or a null Ref when it is exhausted
Ref next(Handle iterator);
// d.get(key) for an exact dict: a null Ref when the key is absent (a failing __eq__ raises)
Ref dict_get(Handle d, Handle key);
// int(value) as a C long or Py_ssize_t; raises for a non-int or one out of range
long as_long(Handle value);
Py_ssize_t as_ssize(Handle value);

}  // namespace rt
