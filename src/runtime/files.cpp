#include "files.hpp"

#include <atomic>
#include <cerrno>
#include "module.hpp"

namespace rt {

namespace {

// The longest file name the platforms take, in bytes of UTF-8 (ext4, APFS) or UTF-16 units (NTFS;
// never more than the UTF-8 bytes).
constexpr Py_ssize_t name_max = 255;
// What a temporary name adds to its prefix at most: "<pid>.<n>.tmp", a 32-bit pid and a 64-bit
// counter.
constexpr Py_ssize_t temp_suffix_max = 10 + 1 + 20 + 4;

// Temporary names differ by process id and a counter; O_EXCL settles any remaining clash.
std::atomic<unsigned long> temp_counter{0};

Py_ssize_t utf8_length(Py_UCS4 ch) { return ch < 0x80 ? 1 : ch < 0x800 ? 2 : ch < 0x10000 ? 3 : 4; }

// ".<name>." when the temporary names of `name` fit the platforms' limit on a file name. A longer
// name is cut (at a character) and marked with a hash of all of it, ".<cut>~<hash>.", so that
// every name a plain write takes can be replaced, and the leftover cleanup of one file still
// finds only that file's temporary names. The hash (FNV-1a over the code points) is the same in
// every process.
Ref temp_prefix(Handle name) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name.get());
    const Py_ssize_t room = name_max - temp_suffix_max - 2;  // the two dots around the name
    Py_ssize_t bytes = 0, fits = 0;
    for (Py_ssize_t i = 0; i < length; ++i) {
        bytes += utf8_length(PyUnicode_READ_CHAR(name.get(), i));
        if (bytes <= room - 9) fits = i + 1;  // leaves room for "~" and the hash
    }
    if (bytes <= room) return own(PyUnicode_FromFormat(".%U.", name.get()));
    unsigned long hash = 2166136261u;
    for (Py_ssize_t i = 0; i < length; ++i) hash = ((hash ^ PyUnicode_READ_CHAR(name.get(), i)) * 16777619u) & 0xffffffffu;
    Ref cut = own(PyUnicode_Substring(name, 0, fits));
    char mark[16];
    PyOS_snprintf(mark, sizeof mark, "~%08lx.", hash);
    return own(PyUnicode_FromFormat(".%U%s", cut.get(), mark));
}

// The encoded bytes write_text would produce: line breaks as the io module writes them in text
// mode (a fixed choice of the platform, whatever os.linesep says), then UTF-8.
Ref encode_for_text_mode(Handle text) {
#ifdef _WIN32
    Ref translated = own(PyUnicode_Replace(text, "\n"_id, "\r\n"_id, -1));
    return own(PyUnicode_AsUTF8String(translated.get()));
#else
    return own(PyUnicode_AsUTF8String(text));
#endif
}

void write_all(Handle os, Handle fd, Handle data) {
    assert(PyBytes_Check(data.get()));  // text_file_bytes() made it, or the caller checked it
    Ref remaining = new_ref(data);
    Ref write = getattr(os, "write"_id);
    while (PyBytes_GET_SIZE(remaining.get()) > 0) {
        Ref written = call(write, fd, remaining);
        Py_ssize_t n = PyLong_AsSsize_t(written.get());
        if (n == -1 && PyErr_Occurred()) throw Error{};
        if (n <= 0) raise(PyExc_OSError, "short write");
        if (n >= PyBytes_GET_SIZE(remaining.get())) break;
        remaining = own(PyBytes_FromStringAndSize(PyBytes_AS_STRING(remaining.get()) + n,
                                                  PyBytes_GET_SIZE(remaining.get()) - n));
    }
}

// Removes the temporary file after a failure, keeping the original error on the indicator.
void discard(Handle os, Handle temp) {
    cleanup([&] { call_method(os, "unlink"_id, temp); });
}

// The pending error, when it is an OSError that names the temporary file (or the file behind a
// link), raised again as the plain write of `where` would have raised it: the same type, errno
// and message, naming `where` alone.
void name_the_written_file(Handle where, std::initializer_list<Handle> names) {
    if (!error_matches(PyExc_OSError)) return;
    PendingError exc;
    exc.normalize();
    auto* e = reinterpret_cast<PyOSErrorObject*>(exc.value());
    bool named = false;
    if (e && PyObject_TypeCheck(exc.value(), reinterpret_cast<PyTypeObject*>(PyExc_OSError)) && e->filename &&
        PyUnicode_Check(e->filename) && e->myerrno && e->strerror) {
        for (Handle name : names)
            if (name.get() && PyUnicode_Check(name.get()) && PyUnicode_Compare(e->filename, name) == 0) named = true;
    }
    if (!named) {
        exc.restore();
        throw Error{};
    }
    Ref renamed = own_or_null(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(Py_TYPE(exc.value())),
                                                           e->myerrno, e->strerror, where.get(), nullptr));
    if (!renamed || !PyExceptionInstance_Check(renamed.get())) {
        PyErr_Clear();
        exc.restore();  // a class that cannot be made again: its own error stands
        throw Error{};
    }
    exc.discard();
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(renamed.get())), renamed.get());
    throw Error{};
}

// os.O_WRONLY | os.O_CREAT | os.O_EXCL and the platform's binary and no-inherit flags.
long exclusive_create_flags(Handle os) {
    return os_flag(os, "O_WRONLY"_id) | os_flag(os, "O_CREAT"_id) | os_flag(os, "O_EXCL"_id) | os_flag(os, "O_BINARY"_id) |
           os_flag(os, "O_NOINHERIT"_id) | os_flag(os, "O_CLOEXEC"_id);
}

// Writes everything, flushes it to disk and closes the descriptor, which it takes over: a failure
// closes it too, before the caller's handler runs.
void write_and_close(Handle os, Descriptor fd, Handle data) {
    write_all(os, fd.fd(), data);
    sync_file(os, fd.fd());
    fd.close();
}

}  // namespace

bool write_new_file(Handle path, Handle data) {
    Ref os = os_module();
    Ref target = call_method(os, "fsdecode"_id, path);
    Descriptor fd;
    if (!suppress(PyExc_FileExistsError, [&] { fd = open_descriptor(os, target, exclusive_create_flags(os), 0600); }))
        return false;
    try {
        write_and_close(os, std::move(fd), data);
    } catch (const Error&) {
        discard(os, target);
        throw;
    }
    sync_directory(os, split_path(getattr(os, "path"_id), target).first);
    return true;
}

Ref text_file_bytes(Handle text) {
    if (!PyUnicode_Check(text.get())) {
        // the TypeError write_text raises
        Ref type_name = own(PyType_GetName(Py_TYPE(text.get())));
        raise(PyExc_TypeError, "data must be str, not %U", type_name.get());
    }
    return encode_for_text_mode(text);
}

void replace_text(Handle path, Handle text, NewFile mode) { replace_file(path, text_file_bytes(text), mode); }

void replace_file(Handle path, Handle data, NewFile mode) { Replacement(path, mode).write(data); }

namespace {

void remove_leftovers_beside(Handle os, Handle target);

// A write to the file `target` names, as a plain open for writing would try it: refused where it
// would be (no write permission, a read-only file system). The file is not changed.
void check_writable(Handle os, Handle target) {
    open_descriptor(os, target, os_flag(os, "O_WRONLY"_id) | os_flag(os, "O_BINARY"_id) | os_flag(os, "O_NOINHERIT"_id) |
                                    os_flag(os, "O_CLOEXEC"_id))
        .close();
}

// The replaced file's owner and group for the new file, where this process may give them (root,
// or a member of the group for the group alone); otherwise it stays the writer's.
void keep_owner(Handle os, Handle fd, Handle current) {
    Ref fchown = lookup(os, "fchown"_id);
    if (!fchown) return;  // no owners to keep (Windows)
    Ref made = call_method(os, "fstat"_id, fd);
    Ref uid = getattr(current, "st_uid"_id), gid = getattr(current, "st_gid"_id);
    bool same_uid = truth(own(PyObject_RichCompare(uid.get(), getattr(made, "st_uid"_id).get(), Py_EQ)));
    bool same_gid = truth(own(PyObject_RichCompare(gid.get(), getattr(made, "st_gid"_id).get(), Py_EQ)));
    if (same_uid && same_gid) return;
    Ref unchanged = integer(-1);
    if (suppress(PyExc_OSError, [&] { call(fchown, fd, same_uid ? unchanged : uid, gid); })) return;
    if (!same_gid) suppress(PyExc_OSError, [&] { call(fchown, fd, unchanged, gid); });
}

// os.replace(temp, target).
void rename_over(Handle os, Handle temp, Handle target) {
#ifdef _WIN32
    // Windows refuses to replace a file that another process has open without delete sharing, which
    // Python's open() never grants: a list() elsewhere, reading the file for a moment, would make
    // this save fail (ERROR_ACCESS_DENIED or ERROR_SHARING_VIOLATION). Such readers are short, so
    // try again for about a second before giving up with the error.
    for (int attempt = 0;; ++attempt) {
        try {
            call_method(os, "replace"_id, temp, target);
            return;
        } catch (const Error&) {
            if (attempt >= 50 || !error_matches(PyExc_PermissionError)) throw;
            Caught exc;
            Ref code = own_or_null(PyObject_GetAttr(exc.value(), "winerror"_id));
            long winerror = code && PyLong_Check(code.get()) ? PyLong_AsLong(code.get()) : -1;
            PyErr_Clear();  // no winerror (or not an int): not the sharing case
            if (winerror != 5 && winerror != 32) exc.reraise();
        }
        Ref pause = own(PyFloat_FromDouble(0.02));
        call_method(imported("time"_id), "sleep"_id, pause);
    }
#else
    call_method(os, "replace"_id, temp, target);
#endif
}

}  // namespace

Replacement::Replacement(Handle path, NewFile mode) : mode_(mode) {
    os_ = os_module();
    where_ = call_method(os_, "fsdecode"_id, path);  // the file as the caller names it, for errors
    target_ = link_target(os_, where_);
    try {
        suppress(PyExc_FileNotFoundError, [&] { current_ = call_method(os_, "stat"_id, target_); });
        if (current_) {
            long type = file_type(current_);
#ifdef _WIN32
            if (type == directory_type) raise_os_error(EACCES, where_);
#else
            if (type == directory_type) raise_os_error(EISDIR, where_);
#endif
            // A device or a FIFO would be swapped for a regular file (and a FIFO would block a
            // plain write): never replaced.
            if (type != regular_type) raise_os_error(EINVAL, where_, "Not a regular file");
            check_writable(os_, target_);
        }
        remove_leftovers_beside(os_, target_);
    } catch (const Error&) {
        name_the_written_file(where_, {target_});
        throw;
    }
}

void Replacement::write(Handle data) {
    Ref os_path = getattr(os_, "path"_id);
    auto [dir, base] = split_path(os_path, target_);
    Ref temp;
    try {
        // A file replaced like an open for writing would keep its mode.
        Ref keep_mode;
        if (mode_ == NewFile::LikeOpenWrite && current_)
            keep_mode = own(PyNumber_And(getattr(current_, "st_mode"_id).get(), integer(07777).get()));
        long open_flags = exclusive_create_flags(os_);
        long create_mode = mode_ == NewFile::Private || keep_mode ? 0600 : 0666;
        Ref prefix = temp_prefix(base);
        Ref pid = call_method(os_, "getpid"_id);

        Descriptor fd;
        for (int attempt = 0; !fd; ++attempt) {
            Ref name = own(PyUnicode_FromFormat("%U%S.%lu.tmp", prefix.get(), pid.get(), temp_counter.fetch_add(1)));
            temp = call_method(os_path, "join"_id, dir, name);
            bool made = suppress(PyExc_FileExistsError, [&] { fd = open_descriptor(os_, temp, open_flags, create_mode); });
            if (!made && attempt > 100) raise(PyExc_FileExistsError, "no free temporary file name beside %R", where_.get());
        }

        try {
            if (current_) keep_owner(os_, fd.fd(), current_);
            write_and_close(os_, std::move(fd), data);
            if (keep_mode) call_method(os_, "chmod"_id, temp, keep_mode);
            rename_over(os_, temp, target_);
        } catch (const Error&) {
            discard(os_, temp);
            throw;
        }
    } catch (const Error&) {
        name_the_written_file(where_, {temp, target_});
        throw;
    }
    sync_directory(os_, dir);
}

// --- leftover temporary files ------------------------------------------------------------------

namespace {

#ifndef _WIN32
// Decimal digits as str() writes a non-negative int: no sign, no leading zero.
bool canonical_number(Handle text, Py_ssize_t start, Py_ssize_t end) {
    if (end <= start || (end - start > 1 && PyUnicode_READ_CHAR(text.get(), start) == '0')) return false;
    for (Py_ssize_t i = start; i < end; ++i) {
        Py_UCS4 ch = PyUnicode_READ_CHAR(text.get(), i);
        if (ch < '0' || ch > '9') return false;
    }
    return true;
}

// The process id in `name` when it is "<prefix><pid>.<n>.tmp" exactly, else a null Ref.
Ref temp_file_pid(Handle name, Handle prefix) {
    if (!PyUnicode_CheckExact(name.get())) return nullptr;
    Py_ssize_t length = PyUnicode_GET_LENGTH(name.get()), start = PyUnicode_GET_LENGTH(prefix.get());
    Py_ssize_t end = length - PyUnicode_GET_LENGTH(".tmp"_id);
    if (end <= start || check(PyUnicode_Tailmatch(name, prefix, 0, start, -1)) == 0 ||
        check(PyUnicode_Tailmatch(name, ".tmp"_id, end, length, 1)) == 0)
        return nullptr;
    Py_ssize_t dot = PyUnicode_FindChar(name, '.', start, end, 1);
    if (dot < 0 || !canonical_number(name, start, dot) || !canonical_number(name, dot + 1, end)) return nullptr;
    Ref digits = own(PyUnicode_Substring(name, start, dot));
    return own(PyLong_FromUnicodeObject(digits.get(), 10));
}

// os.kill(pid, 0) says that no such process exists. Any other answer (it exists, it belongs to
// another user, the number is out of range) keeps its files.
bool process_is_gone(Handle os, Handle pid) {
    bool gone = false;
    suppress(PyExc_OSError, [&] {
        suppress(PyExc_OverflowError, [&] {
            gone = !suppress(PyExc_ProcessLookupError, [&] { call_method(os, "kill"_id, pid, integer(0)); });
        });
    });
    return gone;
}

void remove_leftovers_beside(Handle os, Handle target) {
    Ref os_path = getattr(os, "path"_id);
    auto [dir, base] = split_path(os_path, target);
    Ref names;
    if (!suppress(PyExc_OSError, [&] { names = call_method(os, "listdir"_id, directory_or_current(os, dir)); }))
        return;
    Ref prefix = temp_prefix(base);
    Ref it = own(PyObject_GetIter(names.get()));
    while (Ref name = next(it)) {
        Ref pid = temp_file_pid(name, prefix);
        if (!pid || !process_is_gone(os, pid)) continue;
        Ref leftover = call_method(os_path, "join"_id, dir, name);
        suppress(PyExc_OSError, [&] {
            if (file_type(call_method(os, "lstat"_id, leftover)) == regular_type) call_method(os, "unlink"_id, leftover);
        });
    }
}
#else
// Never on Windows: os.kill(pid, 0) does not ask there whether a process exists, it sends the
// process CTRL_C_EVENT (signal 0). So leftovers stay.
void remove_leftovers_beside(Handle, Handle) {}
#endif

}  // namespace

void remove_leftover_temp_files(Handle path) {
    Ref os = os_module();
    remove_leftovers_beside(os, link_target(os, path));
}

}  // namespace rt
