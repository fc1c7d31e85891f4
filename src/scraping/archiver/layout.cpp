// The archive layout: directories below the root, and the rule that keeps output inside it.
#include "archiver.hpp"
#include "runtime/mapping.hpp"

namespace archiver {

namespace {

const Name n_mkdir{"mkdir"}, n_path{"path"}, n_isabs{"isabs"}, n_splitdrive{"splitdrive"}, n_sep{"sep"},
    n_altsep{"altsep"}, n_dot{"."}, n_dotdot{".."};
const rt::KwNames kw_mkdir{"parents", "exist_ok"};

[[noreturn]] void leaves_root(const PathName& name, const char* how) {
    rt::raise(PyExc_ValueError, "%s %R would place files outside the archive root: %s", name.param, name.value, how);
}

// Both exact str, so the comparison cannot fail.
bool is(PyObject* part, PyObject* text) { return PyUnicode_Compare(part, text) == 0; }

}  // namespace

void make_dir(Handle path) { rt::call_method_kw(path, n_mkdir, kw_mkdir, {Py_True, Py_True}); }

void check_inside_root(std::initializer_list<PathName> names) {
    Ref os = rt::os_module();
    Ref os_path = rt::getattr(os, n_path);
    Ref sep = rt::getattr(os, n_sep);
    Ref altsep = rt::getattr(os, n_altsep);
    Py_ssize_t depth = 0;  // directories below the root, after the components read so far
    for (const PathName& name : names) {
        if (rt::truth(rt::call_method(os_path, n_isabs, name.value))) leaves_root(name, "it is an absolute path");
        auto [drive, rest] = rt::unpack_pair(rt::call_method(os_path, n_splitdrive, name.value));
        if (rt::truth(drive)) leaves_root(name, "it names a drive");

        Ref text = rt::new_ref(name.value);
        if (altsep.get() != Py_None) text = rt::own(PyUnicode_Replace(text.get(), altsep.get(), sep.get(), -1));
        Ref parts = rt::own(PyUnicode_Split(text.get(), sep.get(), -1));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); ++i) {
            PyObject* part = PyList_GET_ITEM(parts.get(), i);
            if (PyUnicode_GET_LENGTH(part) == 0 || is(part, n_dot)) continue;
            if (!is(part, n_dotdot)) ++depth;
            else if (--depth < 0) leaves_root(name, "its '..' components climb above the root");
        }
    }
}

Ref section_dir_inside_root(Handle root_dir, Handle section) {
    check_inside_root({{"section", section}});
    return rt::join(root_dir, section);
}

}  // namespace archiver
