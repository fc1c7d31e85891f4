// The account metadata file: accounts.json, one JSON object of account name to {"username": ...}.
#include <cerrno>

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

// The bytes of the file at `path`, or null where no regular file stands (nothing, a directory, a
// FIFO that a read would wait on), and in `read` the descriptor's os.fstat (null for nothing).
// Read through one descriptor, so that what is read is what was looked at.
Ref file_bytes(Handle os, Handle path, Ref& read) {
    const long flags = rt::os_flag(os, "O_RDONLY"_id) | rt::os_flag(os, "O_NONBLOCK"_id) | rt::os_flag(os, "O_NOCTTY"_id) |
                       rt::os_flag(os, "O_CLOEXEC"_id) | rt::os_flag(os, "O_BINARY"_id) | rt::os_flag(os, "O_NOINHERIT"_id);
    rt::Descriptor fd;
    if (!rt::suppress({ENOENT, ENOTDIR, ELOOP}, [&] { fd = rt::open_descriptor(os, path, flags); })) return nullptr;
    Ref st = read = rt::call_method(os, "fstat"_id, fd.fd());
    if (rt::file_type(st) != rt::regular_type) return nullptr;
    // Up to one byte more than the file holds: a file that grows or shrinks while it is read is
    // being written in place by someone, and what was read is not its content.
    const Py_ssize_t size = rt::as_ssize(rt::getattr(st, "st_size"_id));
    Ref chunks = rt::new_list();
    for (Py_ssize_t got = 0; got <= size;) {
        Ref chunk = rt::call_method(os, "read"_id, fd.fd(), rt::own(PyLong_FromSsize_t(size + 1 - got)));
        if (!PyBytes_Check(chunk.get())) rt::raise(PyExc_TypeError, "os.read() gave %T, not bytes", chunk.get());
        if (PyBytes_GET_SIZE(chunk.get()) == 0) {
            if (got < size) rt::raise(PyExc_OSError, "%R changed while it was read", path.get());
            break;
        }
        got += PyBytes_GET_SIZE(chunk.get());
        if (got > size) rt::raise(PyExc_OSError, "%R changed while it was read", path.get());
        rt::check(PyList_Append(chunks.get(), chunk.get()));
    }
    fd.close();
    if (PyList_GET_SIZE(chunks.get()) == 1) return rt::new_ref(PyList_GET_ITEM(chunks.get(), 0));
    return rt::own(_PyBytes_Join(rt::own(PyBytes_FromStringAndSize(nullptr, 0)).get(), chunks.get()));
}

// Whether `path` still leads to the file that was read (`read`, its os.fstat; null: nothing stood
// there), with the size and the modification time it had then.
bool unchanged_since(Handle os, Handle path, Handle read) {
    Ref now;
    if (!rt::suppress({ENOENT, ENOTDIR}, [&] { now = rt::call_method(os, "stat"_id, path); })) return !read;
    if (!read || rt::identity(now) != rt::identity(read)) return false;
    auto same = [&](Handle field) { return rt::equal(rt::getattr(now, field), rt::getattr(read, field)); };
    return same("st_size"_id) && same("st_mtime_ns"_id);
}

[[noreturn]] void could_not_read(rt::Caught& exc, Handle meta_path) {
    exc.raise_from(PyExc_OSError, rt::own(PyUnicode_FromFormat(
                                      "the stored accounts in %S could not be read, so nothing was changed", meta_path.get())));
}

}  // namespace

FileContent read_accounts(const Call& c, Handle meta_path, Reading how) {
    Ref os = rt::os_module();
    Ref data, parsed, read;
    try {
        data = file_bytes(os, meta_path, read);
        if (!data) return {nullptr, nullptr, read};
        Ref text = rt::own(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(data.get()), PyBytes_GET_SIZE(data.get()), "strict"));
        parsed = rt::call_method(c.global(g_json), "loads"_id, without_bom(text));
    } catch (const rt::Error&) {
        rt::Caught exc;
        if (!exc.matches(PyExc_Exception)) exc.reraise();  // KeyboardInterrupt, SystemExit: as they are
        // Bytes that are not UTF-8 or not JSON: a damaged file, which holds no accounts.
        if (data && exc.matches(PyExc_ValueError)) return {nullptr, PyBytes_GET_SIZE(data.get()) ? data : nullptr, read};
        // Any other failure (no permission, no descriptor or memory left, the recursion limit)
        // says nothing about the file: strictly, an error; forgivingly, no accounts, unless the
        // path cannot even be looked at (as Path.exists() raises then).
        if (how == Reading::Strict) could_not_read(exc, meta_path);
        if (!data && exc.matches(PyExc_OSError)) rt::suppress({ENOENT, ENOTDIR, ELOOP, EBADF}, [&] { rt::call_method(os, "stat"_id, meta_path); });
        return {};
    }
    if (PyDict_Check(parsed.get())) return {parsed, nullptr, read};
    return {nullptr, PyBytes_GET_SIZE(data.get()) ? data : nullptr, read};  // JSON, but not an object
}

StoredAccounts load_for_change(const Call& c, Handle self) {
    Ref load = rt::getattr(self, "_load_accounts"_id);
    if (rt::is_own_method(load, self, load_accounts)) {
        FileContent file = read_accounts(c, rt::getattr(self, "meta_path"_id), Reading::Strict);
        return {file.accounts ? file.accounts : rt::new_dict(), file.damaged, file.read};
    }
    // An override: its mapping, which must hold every account the file does, so that a failure it
    // passed over never makes the store look emptier than it is.
    Ref accounts = rt::call(load);
    Ref meta_path = rt::getattr(self, "meta_path"_id);
    FileContent file = read_accounts(c, meta_path, Reading::Strict);
    if (file.accounts) {
        rt::for_each_item(file.accounts, [&](PyObject* name, PyObject*) {
            if (rt::check(PySequence_Contains(accounts.get(), name)) == 0)
                rt::raise(PyExc_OSError, rt::own(PyUnicode_FromFormat(
                                             "the stored accounts in %S did not load in full, so nothing was changed",
                                             meta_path.get())));
        });
    }
    return {accounts, file.damaged, file.read};
}

rt::FileLock lock_store(Handle self, rt::FileLock::Mode mode) {
    Ref os_path = rt::getattr(rt::os_module(), "path"_id);
    Ref store_dir = rt::call_method(os_path, "dirname"_id, rt::getattr(self, "meta_path"_id));
    return rt::FileLock(rt::call_method(os_path, "join"_id, store_dir, ".accounts.lock"_id), mode);
}

// --- writing -------------------------------------------------------------------------------------

AccountsUpdate::AccountsUpdate(const Call& c, Handle self, const StoredAccounts& stored)
    : self_(rt::new_ref(self)), accounts_(stored.accounts), meta_path_(rt::getattr(self, "meta_path"_id)), read_(stored.read) {
    // This module's own _save_accounts, given what it accepts, is done up to its commit point now;
    // anything else is called at commit().
    if (PyDict_CheckExact(accounts_.get()) && rt::is_own_method(rt::getattr(self, "_save_accounts"_id), self, save_accounts))
        file_.emplace(c, self, accounts_, &stored.damaged);
}

void AccountsUpdate::commit() {
    if (!unchanged_since(rt::os_module(), meta_path_, read_))
        rt::raise(PyExc_OSError, rt::own(PyUnicode_FromFormat(
                                     "the stored accounts in %S changed during this call, so nothing was changed",
                                     meta_path_.get())));
    if (file_) file_->commit();
    else rt::call_method(self_, "_save_accounts"_id, accounts_);
}

void AccountsUpdate::flush() {
    if (file_) file_->flush();
}

namespace {

// How many copies of damaged files a folder may gather before a save over yet another one fails,
// and how many names, seen free, may turn out taken when written (made meanwhile by others).
constexpr int max_damaged_copies = 10000, max_taken_meanwhile = 10;

// A save never destroys a damaged file silently: its bytes, `kept`, are written unchanged to a new
// file beside `target`, "<name>.damaged", "<name>.damaged-1", ... (an earlier copy is never
// overwritten). A name seen taken is passed over with one lstat; a copy is written only where none
// was seen. Returns the copy's path.
Ref copy_of_damaged(Handle target, Handle kept) {
    Ref lexists = rt::getattr(rt::getattr(rt::os_module(), "path"_id), "lexists"_id);
    for (int n = 0, written = 0;; ++n) {
        if (n == max_damaged_copies || written == max_taken_meanwhile)
            rt::raise(PyExc_FileExistsError, "no free name for a copy of the damaged file %R", target.get());
        Ref copy = n == 0 ? rt::own(PyUnicode_FromFormat("%U.damaged", target.get()))
                          : rt::own(PyUnicode_FromFormat("%U.damaged-%d", target.get(), n));
        if (rt::truth(rt::call(lexists, copy))) continue;
        ++written;
        if (rt::write_new_file(copy, kept)) return copy;
    }
}

}  // namespace

PendingFile::PendingFile(const Call& c, Handle self, Handle accounts, const Ref* damaged) {
    Ref meta_path = rt::getattr(self, "meta_path"_id);
    Ref indent = rt::integer(2);
    Ref text = rt::call_kw(rt::getattr(c.global(g_json), "dumps"_id), {accounts}, rt::kw<"ensure_ascii", "indent">,
                           {Py_False, indent});
    Ref data = rt::text_file_bytes(text);  // an unencodable name fails here, before any file is touched
    rt::Replacement& file = file_.emplace(meta_path, rt::NewFile::Private);
    Ref kept = damaged ? *damaged : read_accounts(c, meta_path, Reading::Strict).damaged;
    file.prepare(data);
    if (kept) {
        copy_ = copy_of_damaged(file.target(), kept);
        maker_ = rt::as_long(rt::call_method(rt::os_module(), "getpid"_id));
    }
}

PendingFile::~PendingFile() noexcept(false) {
    if (copy_ && !committed_ && rt::interpreter_reachable()) {
        rt::cleanup([&] {
            Ref os = rt::os_module();
            if (rt::as_long(rt::call_method(os, "getpid"_id)) == maker_) rt::call_method(os, "unlink"_id, copy_);
        });
    }
}

void PendingFile::commit() {
    file_->commit();
    committed_ = true;
}

void PendingFile::flush() { file_->flush_folder(); }

// --- the two methods -----------------------------------------------------------------------------

Ref load_accounts(Call& c) {
    FileContent file = read_accounts(c, rt::getattr(c[0], "meta_path"_id), Reading::Forgiving);
    return file.accounts ? file.accounts : rt::new_dict();
}

Ref save_accounts(Call& c) {
    auto [self, accounts] = c.params<2>();
    PendingFile file(c, self, accounts, nullptr);
    file.commit();
    file.flush();
    return rt::none();
}

}  // namespace lockmere
