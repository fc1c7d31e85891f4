// Declarative parameter lists and the argument checks every method makes before its body runs.
#pragma once

#include "ref.hpp"

namespace rt {

inline constexpr int max_params = 8;

struct Param {
    const char* name = nullptr;
    bool keyword_only = false;
    // Stored as the parameter's annotation. "str" and "dict" (also "dict[...]") demand an instance
    // of exactly that type; any other annotation is only recorded.
    const char* annotation = nullptr;
    bool defaults_to_none = false;
};

inline constexpr bool keyword_only = true;

// What the checks need, derived once from a parameter list. It owns the interned parameter
// names, so it is neither copied nor moved: it lives in its method object.
struct Signature {
    const char* func_name = nullptr;
    const Param* params = nullptr;
    int count = 0;       // all parameters, self included
    int positional = 0;  // positional-or-keyword ones, self included
    PyTypeObject* exact_type[max_params] = {};
    int typed = 0;                      // how many parameters demand an exact type
    int typed_index[max_params] = {};   // which ones, in declaration order
    // The parameter names, interned: keywords in a call are nearly always the very same objects
    // (the caller's code object holds interned names), so they match by identity.
    PyObject* names[max_params] = {};

    // Needs the GIL: interns the names.
    Signature(const char* name, const Param* list);
    ~Signature();
    Signature(const Signature&) = delete;
    Signature& operator=(const Signature&) = delete;

    // Fills `out` (borrowed, in declaration order) from a vectorcall argument vector, or raises
    // the TypeError a caller would see.
    void bind(PyObject* const* args, size_t nargsf, PyObject* kwnames, PyObject** out) const;

private:
    void bind_keywords(PyObject* const* values, PyObject* kwnames, PyObject** out) const;
};

// "Expected %s, got %.200s" unless `value` is exactly `type` or None: a result checked against the
// type its return annotation names.
void check_result(Handle value, PyTypeObject* type);

// The type an annotation names when it names a built-in type: "str", "dict", "list", "bool", the
// first word of "str | None" or the origin of "list[dict]". Null for anything else.
PyTypeObject* builtin_type_named(const char* annotation);

}  // namespace rt
