#include "function.hpp"

#include <cstring>
#include <new>
#include <string>

#include <structmember.h>

#include "module.hpp"

namespace rt {

namespace {

struct Method {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodDef* def;
    Signature sig;
    PyTypeObject* result_type;  // checked after the body, when the return annotation names one
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* kwdefaults;
    PyObject* globals;
    PyObject* code;  // made when first asked for
    PyObject* dict;
    PyObject* weakrefs;
};

extern PyTypeObject method_type;

Method* as_method(PyObject* o) {
    assert(Py_IS_TYPE(o, &method_type));
    return reinterpret_cast<Method*>(o);
}

PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Method* m = as_method(callable);
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = guard<PyObject*>(nullptr, [&] {
        if (!m->globals) raise(PyExc_RuntimeError, "%s() was cleared by the garbage collector", m->def->name);
        Call c;
        c.function = callable;
        c.globals = m->globals;
        c.count = m->sig.count;
        m->sig.bind(args, nargsf, kwnames, c.args);
        Ref r = m->def->body(c);
        if (m->result_type) check_result(r, m->result_type);
        return r.release();
    });
    Py_LeaveRecursiveCall();
    return result;
}

PyObject* method_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) {
    Method* m = as_method(self);
    Py_VISIT(m->name);
    Py_VISIT(m->qualname);
    Py_VISIT(m->module);
    Py_VISIT(m->doc);
    Py_VISIT(m->annotations);
    Py_VISIT(m->kwdefaults);
    Py_VISIT(m->globals);
    Py_VISIT(m->code);
    Py_VISIT(m->dict);
    return 0;
}

// Like a function's: what can hold references is dropped, and the names become empty strings, so
// that repr() and the getters still have something to show.
int method_clear(PyObject* self) {
    Method* m = as_method(self);
    Py_XSETREF(m->name, PyUnicode_New(0, 0));  // the empty string: never fails
    Py_XSETREF(m->qualname, PyUnicode_New(0, 0));
    Py_CLEAR(m->module);
    Py_CLEAR(m->doc);
    Py_CLEAR(m->annotations);
    Py_CLEAR(m->kwdefaults);
    Py_CLEAR(m->globals);
    Py_CLEAR(m->code);
    Py_CLEAR(m->dict);
    return 0;
}

void method_dealloc(PyObject* self) {
    Method* m = as_method(self);
    PyObject_GC_UnTrack(self);
    if (m->weakrefs) PyObject_ClearWeakRefs(self);
    method_clear(self);
    Py_CLEAR(m->name);
    Py_CLEAR(m->qualname);
    m->sig.~Signature();
    Py_TYPE(self)->tp_free(self);
}

PyObject* method_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_method(self)->qualname, self);
}

// --- attributes --------------------------------------------------------------------------------

PyObject* get_slot(PyObject* value) { return Py_NewRef(value ? value : Py_None); }

PyObject* get_name(PyObject* self, void*) { return get_slot(as_method(self)->name); }
int set_name(PyObject* self, PyObject* v, void*) { return set_str_attribute(&as_method(self)->name, v, "__name__"); }
PyObject* get_qualname(PyObject* self, void*) { return get_slot(as_method(self)->qualname); }
int set_qualname(PyObject* self, PyObject* v, void*) {
    return set_str_attribute(&as_method(self)->qualname, v, "__qualname__");
}
PyObject* get_doc(PyObject* self, void*) { return get_slot(as_method(self)->doc); }
int set_doc(PyObject* self, PyObject* v, void*) {
    Py_XSETREF(as_method(self)->doc, Py_NewRef(v ? v : Py_None));
    return 0;
}
PyObject* get_annotations(PyObject* self, void*) {
    Method* m = as_method(self);
    if (!m->annotations && !(m->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(m->annotations);
}
int set_annotations(PyObject* self, PyObject* v, void*) {
    return guard(-1, [&] {
        if (v == Py_None) v = nullptr;
        if (v && !PyDict_Check(v)) raise(PyExc_TypeError, "__annotations__ must be set to a dict object");
        Py_XSETREF(as_method(self)->annotations, Py_XNewRef(v));
        return 0;
    });
}
PyObject* get_defaults(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_kwdefaults(PyObject* self, void*) { return get_slot(as_method(self)->kwdefaults); }
PyObject* get_globals(PyObject* self, void*) { return get_slot(as_method(self)->globals); }

// A code object that describes the parameters and local names, so that inspect, help() and
// asyncio see an ordinary function (or coroutine function). Every field that comes from Python
// (the module name can be any object) goes in through code.replace(), which checks it.
PyObject* get_code(PyObject* self, void*) {
    Method* m = as_method(self);
    if (m->code) return Py_NewRef(m->code);
    return guard<PyObject*>(nullptr, [&] {
        const MethodDef& def = *m->def;
        const int params = m->sig.count;
        int nlocals = params;
        while (nlocals - params < max_locals && def.locals[nlocals - params]) ++nlocals;
        Ref varnames = own(PyTuple_New(nlocals));
        for (int i = 0; i < nlocals; ++i) {
            const char* n = i < params ? def.params[i].name : def.locals[i - params];
            PyTuple_SET_ITEM(varnames.get(), i, check(PyUnicode_InternFromString(n)));
        }
        Ref empty = own(reinterpret_cast<PyObject*>(PyCode_NewEmpty("", def.name, 1)));
        const int flags = CO_OPTIMIZED | CO_NEWLOCALS | (def.coroutine ? CO_COROUTINE : 0);
        Ref code = call_method_kw(empty, "replace"_id,
                                  kw<"co_filename", "co_argcount", "co_kwonlyargcount", "co_nlocals", "co_varnames",
                                     "co_flags", "co_qualname">,
                                  {to_str(m->module ? m->module : Py_None), integer(m->sig.positional),
                                   integer(params - m->sig.positional), integer(nlocals), varnames, integer(flags),
                                   m->qualname});
        if (!m->code) m->code = Py_NewRef(code.get());  // converting the module name may have run Python code
        return Py_NewRef(m->code);
    });
}

// asyncio's marker for coroutine functions; only coroutine methods carry it.
PyObject* get_is_coroutine(PyObject* self, void*) {
    return guard<PyObject*>(nullptr, [&] {
        if (!as_method(self)->def->coroutine) raise(PyExc_AttributeError, "_is_coroutine");
        return getattr(imported("asyncio.coroutines"_id), "_is_coroutine"_id).release();
    });
}

// Pickled by reference, as Python pickles a function: its module and qualified name, which
// unpickling looks up again (pickle checks that they still lead to this object); copy and
// deepcopy hand back the object itself.
PyObject* method_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_method(self)->qualname); }

PyMethodDef method_methods[] = {
    {"__reduce__", method_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef method_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef method_members[] = {
    {"__module__", T_OBJECT, offsetof(Method, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject method_type{};

PyTypeObject* ready_method_type() {
    if (method_type.tp_flags & Py_TPFLAGS_READY) return &method_type;
    Py_SET_REFCNT(&method_type, 1);
    Py_SET_TYPE(&method_type, &PyType_Type);
    method_type.tp_name = "function";
    method_type.tp_basicsize = sizeof(Method);
    method_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                           Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    method_type.tp_vectorcall_offset = offsetof(Method, vectorcall);
    method_type.tp_call = PyVectorcall_Call;
    method_type.tp_descr_get = method_descr_get;
    method_type.tp_dealloc = method_dealloc;
    method_type.tp_traverse = method_traverse;
    method_type.tp_clear = method_clear;
    method_type.tp_repr = method_repr;
    method_type.tp_methods = method_methods;
    method_type.tp_getset = method_getset;
    method_type.tp_members = method_members;
    method_type.tp_dictoffset = offsetof(Method, dict);
    method_type.tp_weaklistoffset = offsetof(Method, weakrefs);
    check(PyType_Ready(&method_type));
    return &method_type;
}

}  // namespace

Ref lookup_global(PyObject* globals, Handle name) {
    if (Ref v = dict_get(globals, name)) return v;
    PyObject* builtins = PyEval_GetBuiltins();
    if (Ref v = builtins ? dict_get(builtins, name) : nullptr) return v;
    raise(PyExc_NameError, "name '%U' is not defined", name.get());
}

Ref Call::global(Handle name) const { return lookup_global(globals, name); }

int set_str_attribute(PyObject** slot, PyObject* value, const char* what) {
    return guard(-1, [&] {
        if (!value || !PyUnicode_Check(value)) raise(PyExc_TypeError, "%s must be set to a string object", what);
        Py_XSETREF(*slot, Py_NewRef(value));
        return 0;
    });
}

bool is_own_method(Handle bound, Handle obj, Body body) {
    if (!PyMethod_Check(bound.get()) || PyMethod_GET_SELF(bound.get()) != obj.get()) return false;
    PyObject* function = PyMethod_GET_FUNCTION(bound.get());
    return Py_IS_TYPE(function, &method_type) && as_method(function)->def->body == body;
}

Ref make_method(const MethodDef& def, PyObject* globals, const char* class_name) {
    PyTypeObject* type = ready_method_type();
    Ref self = own(type->tp_alloc(type, 0));  // zeroed, and tracked: every field is null or valid
    Method* m = as_method(self.get());
    m->vectorcall = method_vectorcall;
    m->def = &def;
    m->result_type = def.coroutine ? nullptr : builtin_type_named(def.returns);
    new (&m->sig) Signature(def.name, def.params);
    m->globals = Py_NewRef(globals);
    Ref module_name = dict_get(globals, "__name__"_id);
    m->module = (module_name ? module_name : none()).release();
    m->name = check(PyUnicode_InternFromString(def.name));
    m->qualname = check(PyUnicode_FromFormat("%s.%s", class_name, def.name));
    m->doc = def.doc ? check(PyUnicode_FromString(def.doc)) : Py_NewRef(Py_None);

    Ref annotations = new_dict();
    Ref kwdefaults;
    for (int i = 0; i < m->sig.count; ++i) {
        const Param& p = def.params[i];
        if (p.annotation) dict_set(annotations, m->sig.names[i], str(p.annotation));
        if (p.defaults_to_none && p.keyword_only) {
            if (!kwdefaults) kwdefaults = new_dict();
            dict_set(kwdefaults, m->sig.names[i], Py_None);
        }
    }
    if (def.returns) dict_set(annotations, "return"_id, str(def.returns));
    m->annotations = annotations.release();
    m->kwdefaults = kwdefaults ? kwdefaults.release() : Py_NewRef(Py_None);
    return self;
}

Ref make_class(PyObject* globals, const char* module_name, const char* name, const char* doc,
               const MethodDef* methods, size_t count) {
    Ref ns = new_dict();
    dict_set(ns, "__module__"_id, str(module_name));
    dict_set(ns, "__qualname__"_id, str(name));
    dict_set(ns, "__doc__"_id, str(doc));
    for (size_t i = 0; i < count; ++i) check(PyDict_SetItemString(ns.get(), methods[i].name, make_method(methods[i], globals, name).get()));
    return call(reinterpret_cast<PyObject*>(&PyType_Type), str(name), own(PyTuple_New(0)), ns);
}

}  // namespace rt
