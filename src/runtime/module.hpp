// Single-instance, multi-phase module loading shared by both extension modules.
//
// One interpreter per process; one module object per process, handed back on every later import
// and reload; the body runs to its end at most once, and a failed body releases the record so
// the import can be tried again.
#pragma once

#include "ref.hpp"

namespace rt {

// The module called `name`: as it stands in sys.modules, else imported now.
Ref imported(Handle name);

// `from module import name`, as the statement runs in the module whose namespace is `globals`:
// the module as it already stands in sys.modules when it has the name, otherwise an absolute
// import through the ordinary machinery. Usable at call time; pass interned names there.
Ref from_import(PyObject* globals, Handle module_name, Handle name);

// What an exec step's body works with: the module and its namespace.
struct ModuleBody {
    PyObject* module;
    PyObject* globals;

    // `import dotted` (absolute); returns what the statement binds: the top-level package.
    Ref import(const char* dotted) const;
    // `from module import name`
    Ref from_import(const char* module, const char* name) const;
    void bind(const char* name, Handle value) const { check(PyDict_SetItemString(globals, name, value)); }
};

struct ModuleRecord {
    const char* full_name;   // e.g. "zantor.kestrow.services.lockmere"
    const char* short_name;  // e.g. "lockmere"
    void (*body)(const ModuleBody&);
    PyObject* module = nullptr;  // the one module object, once its body has started
};

// The create and exec slots; each module passes its own record.
PyObject* create_module(ModuleRecord& record, PyObject* spec);
int exec_module(ModuleRecord& record, PyObject* module);

}  // namespace rt

// Defines PyInit_<short> with the create and exec slots bound to `record`.
#define RT_DEFINE_MODULE(short_name, record, docstring)                                          \
    static PyObject* short_name##_create(PyObject* spec, PyModuleDef*) {                        \
        return ::rt::create_module(record, spec);                                                \
    }                                                                                            \
    static int short_name##_exec(PyObject* module) { return ::rt::exec_module(record, module); } \
    static PyModuleDef_Slot short_name##_slots[] = {                                             \
        {Py_mod_create, reinterpret_cast<void*>(short_name##_create)},                           \
        {Py_mod_exec, reinterpret_cast<void*>(short_name##_exec)},                               \
        {0, nullptr},                                                                            \
    };                                                                                           \
    static PyModuleDef short_name##_def = {                                                      \
        PyModuleDef_HEAD_INIT, #short_name, docstring, 0, nullptr, short_name##_slots,           \
        nullptr, nullptr, nullptr,                                                               \
    };                                                                                           \
    PyMODINIT_FUNC PyInit_##short_name() { return PyModuleDef_Init(&short_name##_def); }
