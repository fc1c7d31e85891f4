#include "signature.hpp"

#include <cstring>

#include "names.hpp"

namespace rt {

PyTypeObject* builtin_type_named(const char* annotation) {
    if (!annotation) return nullptr;
    size_t n = std::strcspn(annotation, "[ |");
    auto is = [&](const char* word) { return std::strlen(word) == n && std::strncmp(annotation, word, n) == 0; };
    if (is("str")) return &PyUnicode_Type;
    if (is("dict")) return &PyDict_Type;
    if (is("list")) return &PyList_Type;
    if (is("bool")) return &PyBool_Type;
    return nullptr;
}

void check_result(Handle value, PyTypeObject* type) {
    if (Py_TYPE(value.get()) == type || value.get() == Py_None) return;
    raise(PyExc_TypeError, "Expected %s, got %.200s", type->tp_name, Py_TYPE(value.get())->tp_name);
}

Signature::Signature(const char* name, const Param* list) : func_name(name), params(list) {
    while (count < max_params && params[count].name) {
        const Param& p = params[count];
        if (!p.keyword_only) positional = count + 1;
        PyTypeObject* t = builtin_type_named(p.annotation);
        if (t == &PyUnicode_Type || t == &PyDict_Type) {
            exact_type[count] = t;
            typed_index[typed++] = count;
        }
        ++count;
    }
    for (int i = 0; i < count; ++i) {
        names[i] = PyUnicode_InternFromString(params[i].name);
        if (!names[i]) {
            while (i > 0) Py_CLEAR(names[--i]);  // no destructor runs for a constructor that throws
            throw Error{};
        }
    }
}

Signature::~Signature() {
    if (!interpreter_reachable()) return;
    for (PyObject*& name : names) Py_CLEAR(name);
}

namespace {

[[noreturn]] void wrong_count(const Signature& s, Py_ssize_t given) {
    Py_ssize_t expected = s.positional;
    raise(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", s.func_name, "exactly",
          expected, expected == 1 ? "" : "s", given);
}

[[noreturn]] void wrong_type(const Param& p, PyTypeObject* expected, PyObject* value) {
    bool subclass = PyObject_TypeCheck(value, expected);
    Handle note = subclass ? "Instances of subclasses of built-in types are not accepted."_id : ""_id;
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U", p.name,
          expected->tp_name, Py_TYPE(value)->tp_name, subclass ? ". " : "", note.get());
}

// Index of the parameter called `key`, or -1. Interned names match by identity first.
int find(const Signature& s, PyObject* key) {
    for (int i = 0; i < s.count; ++i)
        if (s.names[i] == key) return i;
    for (int i = 0; i < s.count; ++i)
        if (PyUnicode_CompareWithASCIIString(key, s.params[i].name) == 0) return i;
    return -1;
}

}  // namespace

void Signature::bind(PyObject* const* args, size_t nargsf, PyObject* kwnames, PyObject** out) const {
    assert(!kwnames || PyTuple_Check(kwnames));  // vectorcall passes the keyword names as a tuple
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > positional) wrong_count(*this, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

    if (nargs < count) {
        for (Py_ssize_t i = nargs; i < count; ++i) out[i] = nullptr;
        if (kwnames) bind_keywords(args + nargs, kwnames, out);
        for (int i = nargs; i < positional; ++i)
            if (!out[i]) wrong_count(*this, i);
        for (int i = positional; i < count; ++i) {
            if (out[i]) continue;
            if (!params[i].defaults_to_none)
                raise(PyExc_TypeError, "%s() needs keyword-only argument %U", func_name, names[i]);
            out[i] = Py_None;
        }
    } else if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        bind_keywords(args + nargs, kwnames, out);  // every parameter is already given: an error
    }

    for (int k = 0; k < typed; ++k) {
        int i = typed_index[k];
        assert(out[i]);  // every parameter is bound or has been refused by now
        if (Py_TYPE(out[i]) != exact_type[i]) wrong_type(params[i], exact_type[i], out[i]);
    }
}

void Signature::bind_keywords(PyObject* const* values, PyObject* kwnames, PyObject** out) const {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "%.200s() keywords must be strings", func_name);
        int i = find(*this, key);
        if (i < 0) raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func_name, key);
        if (out[i]) raise(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func_name, key);
        out[i] = values[k];
    }
}

}  // namespace rt
