// The method object: a callable that behaves, from Python, like a function defined in a class
// body. It binds like a function, carries the usual function attributes and a signature that
// inspect and help() read, and is called through vectorcall with its arguments checked first.
#pragma once

#include <array>

#include "call.hpp"
#include "objects.hpp"
#include "signature.hpp"

namespace rt {

// What a body sees of one call: the checked arguments in declaration order (borrowed, `self`
// first) and the globals of the module that defined the method.
struct Call {
    PyObject* function = nullptr;  // the method object being called
    PyObject* globals = nullptr;
    int count = 0;                 // parameters in the method's table, self included
    PyObject* args[max_params] = {};

    PyObject* operator[](int i) const {
        assert(i < count);
        return args[i];
    }

    // The parameters as `auto [self, name] = c.params<2>();`, exactly as many as the table lists.
    template <size_t N>
    std::array<PyObject*, N> params() const {
        static_assert(N <= max_params);
        assert(N == static_cast<size_t>(count));
        std::array<PyObject*, N> a;
        for (size_t i = 0; i < N; ++i) a[i] = args[i];
        return a;
    }

    // A module global, looked up now: the module's namespace, then the builtins.
    Ref global(Handle name) const;
};

using Body = Ref (*)(Call&);

inline constexpr int max_locals = 6;

struct MethodDef {
    const char* name;
    Param params[max_params];    // `self` first; ends at the first unnamed entry
    const char* returns;         // return annotation, or null for none
    const char* doc;             // null: __doc__ is None
    Body body;
    bool coroutine = false;      // the body returns a coroutine object
    const char* locals[max_locals] = {};  // further local names shown by introspection
};

// A new method object for `def`, belonging to the module whose namespace is `globals` and to the
// class called `class_name`.
Ref make_method(const MethodDef& def, PyObject* globals, const char* class_name);

// type(name, (), namespace) with __module__, __qualname__, __doc__ and the methods in order.
Ref make_class(PyObject* globals, const char* module_name, const char* name, const char* doc,
               const MethodDef* methods, size_t count);

template <size_t N>
Ref make_class(PyObject* globals, const char* module_name, const char* name, const char* doc,
               const MethodDef (&methods)[N]) {
    return make_class(globals, module_name, name, doc, methods, N);
}

// Whether `bound` (what `obj.<name>` gave) is a method object of this runtime with body `body`,
// bound to `obj`: a sibling that is not overridden, whose behaviour the caller therefore knows.
bool is_own_method(Handle bound, Handle obj, Body body);

// Module global lookup shared by Call::global and the coroutine bodies.
Ref lookup_global(PyObject* globals, Handle name);

// The setter of a str-only attribute such as __name__ and __qualname__, for the getset tables of
// the function and coroutine types: refuses deletion and non-str values with the interpreter's
// message. 0, or -1 with the error set.
int set_str_attribute(PyObject** slot, PyObject* value, const char* what);

}  // namespace rt
