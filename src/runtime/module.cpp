#include "module.hpp"

namespace rt {

namespace {

// The interpreter that first loaded either module of this library copy; -1 until then.
int64_t loading_interpreter = -1;

bool same_interpreter() {
    int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (current == -1) return false;
    if (loading_interpreter == -1) {
        loading_interpreter = current;
        return true;
    }
    if (current != loading_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return false;
    }
    return true;
}

// Copies spec.<from> into the namespace as <to>; a missing attribute is skipped, and None is
// skipped too unless `allow_none`.
void copy_spec_attribute(PyObject* spec, PyObject* ns, const char* from, const char* to, bool allow_none) {
    PyObject* value = PyObject_GetAttrString(spec, from);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) fail();
        PyErr_Clear();
        return;
    }
    Ref v = Ref::steal(value);
    if (allow_none || v.get() != Py_None) check(PyDict_SetItemString(ns, to, v));
}

void check_runtime_version(const char* full_name) {
    const char* running = Py_GetVersion();
    int major = 0, minor = 0;
    if (sscanf(running, "%d.%d", &major, &minor) == 2 && (major != 3 || minor != 11)) {
        check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                               "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", 3, 11,
                               full_name, "does not match", major, minor));
    }
}

void enter_in_sys_modules(const char* full_name, PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    Ref name = str(full_name);
    int present = check(PyDict_Contains(modules, name));
    if (!present) check(PyDict_SetItem(modules, name, module));
}

}  // namespace

PyObject* create_module(ModuleRecord& record, PyObject* spec) {
    if (!same_interpreter()) return nullptr;
    if (record.module) return Py_NewRef(record.module);
    try {
        Ref name = getattr(spec, Ref(str("name")));
        Ref module = own(PyModule_NewObject(name));
        PyObject* ns = PyModule_GetDict(module);
        copy_spec_attribute(spec, ns, "loader", "__loader__", true);
        copy_spec_attribute(spec, ns, "origin", "__file__", true);
        copy_spec_attribute(spec, ns, "parent", "__package__", true);
        copy_spec_attribute(spec, ns, "submodule_search_locations", "__path__", false);
        return module.release();
    } catch (const Error&) {
        return nullptr;
    }
}

int exec_module(ModuleRecord& record, PyObject* module) {
    if (record.module) {
        if (record.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.", record.short_name);
        return -1;
    }
    record.module = Py_NewRef(module);
    try {
        check_runtime_version(record.full_name);
        enter_in_sys_modules(record.full_name, module);
        record.body(ModuleBody{module, PyModule_GetDict(module)});
        return 0;
    } catch (const Error&) {
        Py_CLEAR(record.module);
        return -1;
    }
}

Ref ModuleBody::import(const char* dotted) const {
    Ref name = str(dotted);
    return own(PyImport_ImportModuleLevelObject(name, globals, nullptr, nullptr, 0));
}

Ref from_import(PyObject* globals, PyObject* module_name, PyObject* name) {
    // The module as it already stands in sys.modules, when it has the name.
    Ref module = Ref::steal_or_null(PyImport_GetModule(module_name));
    if (PyErr_Occurred()) fail();
    if (module) {
        PyObject* value = nullptr;
        if (check(_PyObject_LookupAttr(module, name, &value)) > 0) return Ref::steal(value);
    }
    Ref fromlist = own(PyTuple_Pack(1, name));
    module = own(PyImport_ImportModuleLevelObject(module_name, globals, nullptr, fromlist, 0));
    PyObject* value = nullptr;
    if (check(_PyObject_LookupAttr(module, name, &value)) > 0) return Ref::steal(value);
    // A submodule that the import put in sys.modules but not on its package.
    Ref full = own(PyUnicode_FromFormat("%U.%U", module_name, name));
    Ref sub = Ref::steal_or_null(PyImport_GetModule(full));
    if (sub) return sub;
    if (PyErr_Occurred()) fail();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    fail();
}

Ref ModuleBody::from_import(const char* module_name, const char* name) const {
    return rt::from_import(globals, Ref(str(module_name)), Ref(str(name)));
}

}  // namespace rt
