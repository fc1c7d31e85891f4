// The account metadata file: accounts.json, one JSON object of account name to {"username": ...}.
#include "runtime/mapping.hpp"
#include "store.hpp"

namespace lockmere {

namespace {

// Editors on some systems put a byte-order mark in front; the mapping after it still counts.
Ref without_bom(Handle text) {
    assert(PyUnicode_Check(text.get()));
    if (PyUnicode_GET_LENGTH(text.get()) > 0 && PyUnicode_READ_CHAR(text.get(), 0) == 0xFEFF)
        return rt::own(PyUnicode_Substring(text, 1, PyUnicode_GET_LENGTH(text.get())));
    return rt::new_ref(text);
}

// True when `data` (the file's bytes) reads as one JSON object, as loading would take it.
bool reads_as_mapping(const Call& c, Handle data) {
    assert(PyBytes_Check(data.get()));
    Ref parsed;
    bool ok = rt::suppress(PyExc_Exception, [&] {
        Ref text = rt::own(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(data.get()), PyBytes_GET_SIZE(data.get()), "strict"));
        parsed = rt::call_method(c.global(g_json), "loads"_id, without_bom(text));
    });
    return ok && PyDict_Check(parsed.get());
}

// A save never destroys a damaged file silently: before a file that holds something other than
// a JSON object is replaced, its bytes are kept unchanged in a new file beside it named
// "<name>.damaged", "<name>.damaged-1", ... (an earlier copy is never overwritten).
void keep_if_damaged(const Call& c, Handle meta_path) {
    if (!rt::truth(rt::call_method(meta_path, "is_file"_id))) return;  // nothing that holds bytes to keep
    Ref data;
    if (!rt::suppress(PyExc_FileNotFoundError, [&] { data = rt::call_method(meta_path, "read_bytes"_id); }))
        return;
    if (!PyBytes_Check(data.get()) || PyBytes_GET_SIZE(data.get()) == 0 || reads_as_mapping(c, data)) return;

    Ref os = rt::os_module();
    Ref target = rt::link_target(os, meta_path);
    for (int n = 0;; ++n) {
        Ref copy = n == 0 ? rt::own(PyUnicode_FromFormat("%S.damaged", target.get()))
                          : rt::own(PyUnicode_FromFormat("%S.damaged-%d", target.get(), n));
        if (rt::write_new_file(copy, data)) return;
    }
}

}  // namespace

rt::FileLock lock_store(Handle self, rt::FileLock::Mode mode) {
    Ref os = rt::os_module();
    Ref os_path = rt::getattr(os, "path"_id);
    Ref store_dir = rt::call_method(os_path, "dirname"_id, rt::link_target(os, rt::getattr(self, "meta_path"_id)));
    return rt::FileLock(rt::call_method(os_path, "join"_id, store_dir, ".accounts.lock"_id), mode);
}

Ref read_held_accounts(const Call& c, Handle self) {
    Ref meta_path = rt::getattr(self, "meta_path"_id);
    Ref parsed;
    try {
        if (!rt::truth(rt::call_method(meta_path, "is_file"_id))) return nullptr;
        Ref text = rt::call_method_kw(meta_path, "read_text"_id, rt::kw<"encoding">, {"utf-8"_id});
        if (PyUnicode_Check(text.get())) text = without_bom(text);
        parsed = rt::call_method(c.global(g_json), "loads"_id, text);
    } catch (const rt::Error&) {
        rt::Caught exc;
        // Content that is not UTF-8 or not JSON holds no accounts; any other failure (no descriptor
        // left, no memory, no permission, the recursion limit) says nothing about the file.
        if (exc.matches(PyExc_UnicodeDecodeError) || exc.matches(PyExc_ValueError)) return nullptr;
        exc.raise_from(PyExc_OSError, rt::own(PyUnicode_FromFormat(
                                          "the stored accounts in %S could not be read, so nothing was changed",
                                          meta_path.get())));
    }
    return PyDict_Check(parsed.get()) ? parsed : nullptr;
}

void check_nothing_lost(Handle self, Handle held, Handle accounts) {
    if (!held) return;
    rt::for_each_item(held, [&](PyObject* name, PyObject*) {
        if (rt::check(PySequence_Contains(accounts, name)) == 1) return;
        Ref meta_path = rt::getattr(self, "meta_path"_id);
        rt::raise(PyExc_OSError, rt::own(PyUnicode_FromFormat(
                                         "the stored accounts in %S did not load in full, so nothing was changed",
                                         meta_path.get())));
    });
}

Ref load_accounts(Call& c) {
    PyObject* self = c[0];
    // Only a regular file is read: anything else (missing, a directory, a FIFO that would block
    // the read) holds no accounts.
    if (!rt::truth(rt::call_method(rt::getattr(self, "meta_path"_id), "is_file"_id))) return rt::new_dict();
    Ref parsed;
    bool readable = rt::suppress(PyExc_Exception, [&] {
        Ref meta_path = rt::getattr(self, "meta_path"_id);
        Ref text = rt::call_method_kw(meta_path, "read_text"_id, rt::kw<"encoding">, {"utf-8"_id});
        if (PyUnicode_Check(text.get())) text = without_bom(text);
        parsed = rt::call_method(c.global(g_json), "loads"_id, text);
    });
    if (readable && PyDict_Check(parsed.get())) return parsed;
    return rt::new_dict();
}

Ref save_accounts(Call& c) {
    auto [self, accounts] = c.params<2>();
    Ref meta_path = rt::getattr(self, "meta_path"_id);
    Ref indent = rt::integer(2);
    Ref text = rt::call_kw(rt::getattr(c.global(g_json), "dumps"_id), {accounts}, rt::kw<"ensure_ascii", "indent">,
                           {Py_False, indent});
    Ref data = rt::text_file_bytes(text);  // an unencodable name fails here, before any file is touched
    rt::Replacement file(meta_path, rt::NewFile::Private);  // refuses what a plain write would refuse
    keep_if_damaged(c, meta_path);
    file.write(data);
    Ref stat = c.global(g_stat);
    Ref mode = rt::own(PyNumber_Or(rt::getattr(stat, "S_IRUSR"_id).get(), rt::getattr(stat, "S_IWUSR"_id).get()));
    rt::call_method(rt::getattr(self, "meta_path"_id), "chmod"_id, mode);
    return rt::none();
}

}  // namespace lockmere
