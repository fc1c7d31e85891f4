#include "files.hpp"

#include <atomic>
#include <cerrno>

namespace rt {

namespace {

const Name n_path{"path"}, n_fsdecode{"fsdecode"}, n_replace{"replace"}, n_join{"join"}, n_write{"write"},
    n_unlink{"unlink"}, n_chmod{"chmod"}, n_stat{"stat"}, n_lstat{"lstat"}, n_listdir{"listdir"}, n_st_mode{"st_mode"},
    n_getpid{"getpid"}, n_O_WRONLY{"O_WRONLY"}, n_O_CREAT{"O_CREAT"}, n_O_EXCL{"O_EXCL"}, n_O_BINARY{"O_BINARY"},
    n_O_NOINHERIT{"O_NOINHERIT"}, n_O_CLOEXEC{"O_CLOEXEC"};
#ifdef _WIN32
const Name n_newline{"\n"}, n_text_mode_newline{"\r\n"};  // "\n" as the io module writes it in text mode
#else
const Name n_kill{"kill"}, n_tmp_suffix{".tmp"};
#endif

// Temporary names differ by process id and a counter; O_EXCL settles any remaining clash.
std::atomic<unsigned long> temp_counter{0};

// The encoded bytes write_text would produce: line breaks as the io module writes them in text
// mode (a fixed choice of the platform, whatever os.linesep says), then UTF-8.
Ref encode_for_text_mode(Handle text) {
#ifdef _WIN32
    Ref translated = own(PyUnicode_Replace(text, n_newline, n_text_mode_newline, -1));
    return own(PyUnicode_AsUTF8String(translated.get()));
#else
    return own(PyUnicode_AsUTF8String(text));
#endif
}

void write_all(Handle os, Handle fd, Handle data) {
    Ref remaining = new_ref(data);
    Ref write = getattr(os, n_write);
    while (PyBytes_GET_SIZE(remaining.get()) > 0) {
        Ref written = call(write, fd, remaining);
        Py_ssize_t n = PyLong_AsSsize_t(written.get());
        if (n == -1 && PyErr_Occurred()) fail();
        if (n <= 0) raise(PyExc_OSError, "short write");
        if (n >= PyBytes_GET_SIZE(remaining.get())) break;
        remaining = own(PyBytes_FromStringAndSize(PyBytes_AS_STRING(remaining.get()) + n,
                                                  PyBytes_GET_SIZE(remaining.get()) - n));
    }
}

// Removes the temporary file after a failure, keeping the original error on the indicator.
void discard(Handle os, Handle temp) {
    cleanup([&] { call_method(os, n_unlink, temp); });
}

// The pending error, when it is an OSError that names the temporary file (or the file behind a
// link), raised again as the plain write of `where` would have raised it: the same type, errno
// and message, naming `where` alone.
void name_the_written_file(Handle where, std::initializer_list<Handle> names) {
    if (!error_matches(PyExc_OSError)) return;
    SavedError exc;
    exc.normalize();
    auto* e = reinterpret_cast<PyOSErrorObject*>(exc.value());
    bool named = false;
    if (e && PyObject_TypeCheck(exc.value(), reinterpret_cast<PyTypeObject*>(PyExc_OSError)) && e->filename &&
        PyUnicode_Check(e->filename) && e->myerrno && e->strerror) {
        for (Handle name : names)
            if (name.get() && PyUnicode_Check(name.get()) && PyUnicode_Compare(e->filename, name) == 0) named = true;
    }
    if (!named) exc.reraise();
    Ref renamed = own_or_null(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(Py_TYPE(exc.value())),
                                                           e->myerrno, e->strerror, where.get(), nullptr));
    if (!renamed || !PyExceptionInstance_Check(renamed.get())) {
        PyErr_Clear();
        exc.reraise();  // a class that cannot be made again: its own error stands
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(renamed.get())), renamed.get());
    fail();
}

// os.O_WRONLY | os.O_CREAT | os.O_EXCL and the platform's binary and no-inherit flags.
long exclusive_create_flags(Handle os) {
    return os_flag(os, n_O_WRONLY) | os_flag(os, n_O_CREAT) | os_flag(os, n_O_EXCL) | os_flag(os, n_O_BINARY) |
           os_flag(os, n_O_NOINHERIT) | os_flag(os, n_O_CLOEXEC);
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
    Ref target = call_method(os, n_fsdecode, path);
    Descriptor fd;
    if (!unless_raises(PyExc_FileExistsError, [&] { fd = open_descriptor(os, target, exclusive_create_flags(os), 0600); }))
        return false;
    try {
        write_and_close(os, std::move(fd), data);
    } catch (const Error&) {
        discard(os, target);
        throw;
    }
    sync_directory(os, split_path(getattr(os, n_path), target).first);
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

void replace_file(Handle path, Handle data, NewFile mode) {
    Ref os = os_module();
    Ref where = call_method(os, n_fsdecode, path);  // the file as the caller names it, for errors
    Ref target = link_target(os, where);
    Ref os_path = getattr(os, n_path);
    auto [dir, base] = split_path(os_path, target);

    Ref temp;
    try {
        // What stands at the target now: a directory fails as a plain write would, before any file
        // is made; a file replaced like an open for writing would keep its mode.
        Ref current;
        unless_raises(PyExc_FileNotFoundError, [&] { current = call_method(os, n_stat, target); });
#ifdef _WIN32
        if (current && file_type(current) == directory_type) raise_os_error(EACCES, where);
#else
        if (current && file_type(current) == directory_type) raise_os_error(EISDIR, where);
#endif
        Ref keep_mode;
        if (mode == NewFile::LikeOpenWrite && current)
            keep_mode = own(PyNumber_And(getattr(current, n_st_mode).get(), integer(07777).get()));
        long open_flags = exclusive_create_flags(os);
        long create_mode = mode == NewFile::Private || keep_mode ? 0600 : 0666;
        Ref pid = call_method(os, n_getpid);

        Descriptor fd;
        for (int attempt = 0; !fd; ++attempt) {
            Ref name = own(PyUnicode_FromFormat(".%U.%S.%lu.tmp", base.get(), pid.get(), temp_counter.fetch_add(1)));
            temp = call_method(os_path, n_join, dir, name);
            bool made = unless_raises(PyExc_FileExistsError, [&] { fd = open_descriptor(os, temp, open_flags, create_mode); });
            if (!made && attempt > 100) raise(PyExc_FileExistsError, "no free temporary file name beside %R", where.get());
        }

        try {
            write_and_close(os, std::move(fd), data);
            if (keep_mode) call_method(os, n_chmod, temp, keep_mode);
            call_method(os, n_replace, temp, target);
        } catch (const Error&) {
            discard(os, temp);
            throw;
        }
    } catch (const Error&) {
        name_the_written_file(where, {temp, target});
        throw;
    }
    sync_directory(os, dir);
}

// --- leftover temporary files ------------------------------------------------------------------

#ifndef _WIN32
namespace {

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
    Py_ssize_t end = length - PyUnicode_GET_LENGTH(n_tmp_suffix);
    if (end <= start || check(PyUnicode_Tailmatch(name, prefix, 0, start, -1)) == 0 ||
        check(PyUnicode_Tailmatch(name, n_tmp_suffix, end, length, 1)) == 0)
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
    unless_raises(PyExc_OSError, [&] {
        unless_raises(PyExc_OverflowError, [&] {
            gone = !unless_raises(PyExc_ProcessLookupError, [&] { call_method(os, n_kill, pid, integer(0)); });
        });
    });
    return gone;
}

}  // namespace

void remove_leftover_temp_files(Handle path) {
    Ref os = os_module();
    Ref os_path = getattr(os, n_path);
    auto [dir, base] = split_path(os_path, link_target(os, path));
    Ref names;
    if (!unless_raises(PyExc_OSError, [&] { names = call_method(os, n_listdir, directory_or_current(os, dir)); }))
        return;
    Ref prefix = own(PyUnicode_FromFormat(".%U.", base.get()));
    Ref it = own(PyObject_GetIter(names.get()));
    while (Ref name = next(it)) {
        Ref pid = temp_file_pid(name, prefix);
        if (!pid || !process_is_gone(os, pid)) continue;
        Ref leftover = call_method(os_path, n_join, dir, name);
        unless_raises(PyExc_OSError, [&] {
            if (file_type(call_method(os, n_lstat, leftover)) == regular_type) call_method(os, n_unlink, leftover);
        });
    }
}
#else
// os.kill(pid, 0) would not ask Windows whether a process exists (it sends CTRL_C_EVENT there).
void remove_leftover_temp_files(Handle) {}
#endif

}  // namespace rt
