// The archive layout: directories below the root, and the rule that keeps output inside it.
#include "archiver.hpp"
#include "runtime/mapping.hpp"

namespace archiver {

namespace {

[[noreturn]] void leaves_root(const PathName& name, const char* how) {
    rt::raise(PyExc_ValueError, "%s %R would place files outside the archive root: %s", name.param, name.value, how);
}

// Both exact str, so the comparison cannot fail.
bool is(PyObject* part, PyObject* text) {
    assert(PyUnicode_CheckExact(part) && PyUnicode_CheckExact(text));
    return PyUnicode_Compare(part, text) == 0;
}

}  // namespace

void make_dir(Handle path) {
    rt::call_method_kw(path, "mkdir"_id, rt::kw<"parents", "exist_ok">, {Py_True, Py_True});
}

void check_inside_root(std::initializer_list<PathName> names) {
    Ref os = rt::os_module();
    Ref os_path = rt::getattr(os, "path"_id);
    Ref sep = rt::getattr(os, "sep"_id);
    Ref altsep = rt::getattr(os, "altsep"_id);
    Py_ssize_t depth = 0;  // directories below the root, after the components read so far
    for (const PathName& name : names) {
        if (rt::truth(rt::call_method(os_path, "isabs"_id, name.value))) leaves_root(name, "it is an absolute path");
        auto [drive, rest] = rt::unpack_pair(rt::call_method(os_path, "splitdrive"_id, name.value));
        if (rt::truth(drive)) leaves_root(name, "it names a drive");

        Ref text = rt::new_ref(name.value);
        if (altsep.get() != Py_None) text = rt::own(PyUnicode_Replace(text.get(), altsep.get(), sep.get(), -1));
        Ref parts = rt::own(PyUnicode_Split(text.get(), sep.get(), -1));
        assert(PyList_Check(parts.get()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); ++i) {
            PyObject* part = PyList_GET_ITEM(parts.get(), i);
            assert(PyUnicode_CheckExact(part));  // the pieces of a str
            if (PyUnicode_GET_LENGTH(part) == 0 || is(part, "."_id)) continue;
            if (!is(part, ".."_id)) ++depth;
            else if (--depth < 0) leaves_root(name, "its '..' components climb above the root");
        }
    }
}

Ref section_dir_inside_root(Handle root_dir, Handle section) {
    check_inside_root({{"section", section}});
    return rt::join(root_dir, section);
}

}  // namespace archiver
