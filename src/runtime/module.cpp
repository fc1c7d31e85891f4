#include "module.hpp"

#include "call.hpp"
#include "objects.hpp"

namespace rt {

namespace {

// The interpreter that first loaded either module of this library copy; -1 until then.
int64_t loading_interpreter = -1;

void check_same_interpreter() {
    int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (current == -1) throw Error{};
    if (loading_interpreter == -1) {
        loading_interpreter = current;
        return;
    }
    if (current != loading_interpreter)
        raise(PyExc_ImportError,
              "Interpreter change detected - this module can only be loaded into one interpreter per process.");
}

// Copies spec.<from> into the namespace as <to>; a missing attribute is skipped, and None is
// skipped too unless `allow_none`.
void copy_spec_attribute(Handle spec, Handle ns, const char* from, const char* to, bool allow_none) {
    Ref value = lookup(spec, str(from));
    if (value && (allow_none || value.get() != Py_None)) check(PyDict_SetItemString(ns, to, value.get()));
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
    int present = check(PyDict_Contains(modules, name.get()));
    if (!present) check(PyDict_SetItem(modules, name.get(), module));
}

}  // namespace

PyObject* create_module(ModuleRecord& record, PyObject* spec) {
    return guard<PyObject*>(nullptr, [&] {
        check_same_interpreter();
        if (record.module) return Py_NewRef(record.module);
        Ref module = own(PyModule_NewObject(getattr(spec, "name"_id).get()));
        PyObject* ns = PyModule_GetDict(module.get());
        copy_spec_attribute(spec, ns, "loader", "__loader__", true);
        copy_spec_attribute(spec, ns, "origin", "__file__", true);
        copy_spec_attribute(spec, ns, "parent", "__package__", true);
        copy_spec_attribute(spec, ns, "submodule_search_locations", "__path__", false);
        return module.release();
    });
}

int exec_module(ModuleRecord& record, PyObject* module) {
    if (record.module == module) return 0;  // the one module object, executed again
    return guard(-1, [&] {
        if (record.module)
            raise(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                  record.short_name);
        record.module = Py_NewRef(module);
        try {
            check_runtime_version(record.full_name);
            enter_in_sys_modules(record.full_name, module);
            record.body(ModuleBody{module, check(PyModule_GetDict(module))});
        } catch (...) {
            if (interpreter_reachable()) Py_CLEAR(record.module);  // a failed body can be retried
            throw;
        }
        return 0;
    });
}

Ref imported(Handle name) {
    if (Ref module = own_optional(PyImport_GetModule(name))) return module;
    return own(PyImport_Import(name));
}

Ref ModuleBody::import(const char* dotted) const {
    return own(PyImport_ImportModuleLevelObject(str(dotted).get(), globals, nullptr, nullptr, 0));
}

Ref from_import(PyObject* globals, Handle module_name, Handle name) {
    // The module as it already stands in sys.modules, when it has the name.
    Ref module = own_optional(PyImport_GetModule(module_name));
    if (module)
        if (Ref value = lookup(module, name)) return value;
    Ref fromlist = own(PyTuple_Pack(1, name.get()));
    module = own(PyImport_ImportModuleLevelObject(module_name, globals, nullptr, fromlist.get(), 0));
    if (Ref value = lookup(module, name)) return value;
    // A submodule that the import put in sys.modules but not on its package.
    Ref full = own(PyUnicode_FromFormat("%U.%U", module_name.get(), name.get()));
    if (Ref sub = own_optional(PyImport_GetModule(full.get()))) return sub;
    raise(PyExc_ImportError, "cannot import name %S", name.get());
}

Ref ModuleBody::from_import(const char* module_name, const char* name) const {
    return rt::from_import(globals, str(module_name), str(name));
}

}  // namespace rt
