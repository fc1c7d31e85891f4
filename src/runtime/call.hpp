// Calls into Python by vectorcall: positional, by method name, with fixed keywords.
#pragma once

#include "names.hpp"
#include "ref.hpp"

namespace rt {

// Argument vectors are sized at compile time, with the free slot in front that
// PY_VECTORCALL_ARGUMENTS_OFFSET lets the callee borrow; a keyword call takes exactly as many
// values as its keywords (rt::kw<...>) have names, or does not compile.

// callable(*args)
template <class... A>
Ref call(Handle callable, const A&... args) {
    PyObject* argv[] = {nullptr, Handle{args}.get()...};
    return own(PyObject_Vectorcall(callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name(*args), looked up by name at call time
template <class... A>
Ref call_method(Handle obj, Handle name, const A&... args) {
    PyObject* argv[] = {obj, Handle{args}.get()...};
    return own(PyObject_VectorcallMethod(name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(*positional, **dict(zip(keywords, values)))
template <size_t P, class K>
Ref call_kw(Handle callable, const Handle (&positional)[P], const K& keywords, const Handle (&values)[K::size]) {
    PyObject* argv[1 + P + K::size] = {nullptr};
    for (size_t i = 0; i < P; ++i) argv[1 + i] = positional[i];
    for (size_t i = 0; i < K::size; ++i) argv[1 + P + i] = values[i];
    return own(PyObject_Vectorcall(callable, argv + 1, P | PY_VECTORCALL_ARGUMENTS_OFFSET, keywords.tuple()));
}
template <class K>
Ref call_kw(Handle callable, const K& keywords, const Handle (&values)[K::size]) {
    PyObject* argv[1 + K::size] = {nullptr};
    for (size_t i = 0; i < K::size; ++i) argv[1 + i] = values[i];
    return own(PyObject_Vectorcall(callable, argv + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, keywords.tuple()));
}

// obj.name(*positional, **keywords); the method vector starts with obj, the slot the callee may
// borrow when the method is bound
template <size_t P, class K>
Ref call_method_kw(Handle obj, Handle name, const Handle (&positional)[P], const K& keywords, const Handle (&values)[K::size]) {
    PyObject* argv[1 + P + K::size] = {obj};
    for (size_t i = 0; i < P; ++i) argv[1 + i] = positional[i];
    for (size_t i = 0; i < K::size; ++i) argv[1 + P + i] = values[i];
    return own(PyObject_VectorcallMethod(name, argv, (1 + P) | PY_VECTORCALL_ARGUMENTS_OFFSET, keywords.tuple()));
}
template <class K>
Ref call_method_kw(Handle obj, Handle name, const K& keywords, const Handle (&values)[K::size]) {
    PyObject* argv[1 + K::size] = {obj};
    for (size_t i = 0; i < K::size; ++i) argv[1 + i] = values[i];
    return own(PyObject_VectorcallMethod(name, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, keywords.tuple()));
}

}  // namespace rt
