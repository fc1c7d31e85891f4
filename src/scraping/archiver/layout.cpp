// The archive layout: directories below the root, and the rule that keeps output inside it.
#include "archiver.hpp"
#include "runtime/mapping.hpp"

namespace archiver {

namespace {

[[noreturn]] void leaves_root(const PathName& name, const char* how) {
    rt::raise(PyExc_ValueError, "%s %R would place files outside the archive root: %s", name.param, name.value, how);
}

[[noreturn]] void climbs_out_of_link(const PathName& name, Handle link) {
    rt::raise(PyExc_ValueError,
              "%s %R would place files outside the archive root: its '..' follows the symbolic link %R, which the "
              "system climbs from the link's target, not back to the folder that holds the link",
              name.param, name.value, link.get());
}

[[noreturn]] void read_as_another(const PathName& name, PyObject* part, Handle read_as) {
    rt::raise(PyExc_ValueError, "%s %R is not a name this system keeps: it reads %R as %R", name.param, name.value,
              part, read_as.get());
}

[[noreturn]] void temporary_name(const PathName& name, PyObject* part) {
    rt::raise(PyExc_ValueError,
              "%s %R is not a name this archive writes: %R has the form of its temporary files, which a later "
              "write in that folder may remove", name.param, name.value, part);
}

// What the system reads `part` as, when it is the last component of a path: the last component
// of os.path.abspath(sep + part), or the whole result when that has none (a device). POSIX keeps
// every name; Windows drops trailing dots and spaces and reads device names (NUL, CON, COM1, ...)
// as the device. Anchored at the separator, so the current directory is never asked for.
Ref read_by_system(Handle os_path, Handle sep, PyObject* part) {
    Ref resolved = rt::call_method(os_path, "abspath"_id, rt::concat(sep, part));
    Ref last = rt::call_method(os_path, "basename"_id, resolved);
    return rt::truth(last) ? std::move(last) : std::move(resolved);
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

void check_inside_root(Handle root_dir, std::initializer_list<PathName> names) {
    Ref os = rt::os_module();
    Ref os_path = rt::getattr(os, "path"_id);
    Ref sep = rt::getattr(os, "sep"_id);
    Ref altsep = rt::getattr(os, "altsep"_id);
    Ref below = rt::new_list();  // the directories below the root, after the components read so far
    for (const PathName& name : names) {
        if (rt::truth(rt::call_method(os_path, "isabs"_id, name.value))) leaves_root(name, "it is an absolute path");
        auto [drive, rest] = rt::unpack_pair(rt::call_method(os_path, "splitdrive"_id, name.value));
        if (rt::truth(drive)) leaves_root(name, "it names a drive");

        Ref text = rt::new_ref(name.value);
        if (altsep.get() != Py_None) text = rt::own(PyUnicode_Replace(text.get(), altsep.get(), sep.get(), -1));
        Ref parts = rt::own(PyUnicode_Split(text.get(), sep.get(), -1));
        assert(PyList_Check(parts.get()));
        PyObject* last = nullptr;  // the last component read: the file's name, for a file
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); ++i) {
            PyObject* part = PyList_GET_ITEM(parts.get(), i);
            assert(PyUnicode_CheckExact(part));  // the pieces of a str
            if (PyUnicode_GET_LENGTH(part) == 0 || is(part, "."_id)) continue;
            last = part;
            if (is(part, ".."_id)) {
                const Py_ssize_t depth = PyList_GET_SIZE(below.get());
                if (depth == 0) leaves_root(name, "its '..' components climb above the root");
                // The system reads '..' where it stands: after a symbolic link, in the folder above
                // the link's target. Only a component that is no link can be taken back.
                Ref cancelled = rt::own(PyUnicode_Join(sep.get(), below.get()));
                Ref where = rt::call_method(os_path, "join"_id, root_dir, cancelled);
                if (rt::truth(rt::call_method(os_path, "islink"_id, where))) climbs_out_of_link(name, cancelled);
                rt::check(PyList_SetSlice(below.get(), depth - 1, depth, nullptr));
                continue;
            }
            rt::check(PyList_Append(below.get(), part));
            Ref read_as = read_by_system(os_path, sep, part);
            if (!rt::equal(read_as, part)) read_as_another(name, part, read_as);
        }
        if (name.names == PathName::File && last && rt::is_temp_name(last)) temporary_name(name, last);
    }
}

Ref section_dir_inside_root(Handle root_dir, Handle section) {
    check_inside_root(root_dir, {{"section", section}});
    return rt::join(root_dir, section);
}

}  // namespace archiver
