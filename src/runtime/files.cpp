#include "files.hpp"

#include <atomic>
#include <cerrno>
#include <initializer_list>
#include <vector>

#include "mapping.hpp"

namespace rt {

namespace {

const Name n_os{"os"}, n_path{"path"}, n_fsdecode{"fsdecode"}, n_replace{"replace"}, n_islink{"islink"},
    n_realpath{"realpath"}, n_split{"split"}, n_join{"join"}, n_lexists{"lexists"}, n_curdir{"curdir"},
    n_open{"open"}, n_write{"write"}, n_fsync{"fsync"}, n_close{"close"}, n_unlink{"unlink"}, n_chmod{"chmod"},
    n_stat{"stat"}, n_lstat{"lstat"}, n_fstat{"fstat"}, n_listdir{"listdir"}, n_kill{"kill"}, n_st_mode{"st_mode"},
    n_st_dev{"st_dev"}, n_st_ino{"st_ino"}, n_getpid{"getpid"}, n_O_RDONLY{"O_RDONLY"}, n_O_WRONLY{"O_WRONLY"},
    n_O_RDWR{"O_RDWR"}, n_O_CREAT{"O_CREAT"}, n_O_EXCL{"O_EXCL"}, n_O_BINARY{"O_BINARY"},
    n_O_NOINHERIT{"O_NOINHERIT"}, n_O_CLOEXEC{"O_CLOEXEC"}, n_O_NONBLOCK{"O_NONBLOCK"},
    n_O_DIRECTORY{"O_DIRECTORY"}, n_tmp_suffix{".tmp"};
#ifdef _WIN32
const Name n_newline{"\n"}, n_text_mode_newline{"\r\n"};  // "\n" as the io module writes it in text mode
const Name n_platform{"msvcrt"}, n_locking{"locking"}, n_LK_LOCK{"LK_LOCK"}, n_LK_UNLCK{"LK_UNLCK"};
#else
const Name n_platform{"fcntl"}, n_flock{"flock"}, n_LOCK_SH{"LOCK_SH"}, n_LOCK_EX{"LOCK_EX"}, n_LOCK_UN{"LOCK_UN"};
#endif

// st_mode as the stat module reads it (the same values on every platform).
constexpr long file_type_bits = 0170000, directory_type = 0040000, regular_type = 0100000;

// Temporary names differ by process id and a counter; O_EXCL settles any remaining clash.
std::atomic<unsigned long> temp_counter{0};

long os_flag(Handle os, Handle name) {
    Ref v = lookup(os, name);
    if (!v) return 0;
    long flag = PyLong_AsLong(v.get());
    if (flag == -1 && PyErr_Occurred()) fail();
    return flag;
}

long as_long(Handle value) {
    long v = PyLong_AsLong(value);
    if (v == -1 && PyErr_Occurred()) fail();
    return v;
}

// The errno of an OSError instance, 0 when it has none.
long errno_of(PyObject* exc) {
    if (!exc || !PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(PyExc_OSError))) return 0;
    PyObject* code = reinterpret_cast<PyOSErrorObject*>(exc)->myerrno;
    if (!code || !PyLong_Check(code)) return 0;
    long v = PyLong_AsLong(code);
    if (v == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return 0;
    }
    return v;
}

// try: body()
// except OSError as exc:
//     if exc.errno not in codes: raise
// Returns false when such an error was raised and cleared.
template <class F>
bool unless_os_error(std::initializer_list<int> codes, F&& body) {
    try {
        body();
        return true;
    } catch (const Error&) {
        if (!error_matches(PyExc_OSError)) throw;
        SavedError exc;
        exc.normalize();
        long code = errno_of(exc.value());
        for (int c : codes)
            if (c == code) return false;
        exc.reraise();
    }
}

// raise OSError(code, os.strerror(code), filename): the subclass that errno maps to.
[[noreturn]] void raise_os_error(int code, Handle filename) {
    errno = code;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    fail();
}

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

// os.path.split(path), with a str file name.
std::pair<Ref, Ref> split(Handle os_path, Handle path) {
    auto parts = unpack_pair(call_method(os_path, n_split, path));
    if (!PyUnicode_Check(parts.second.get())) raise(PyExc_TypeError, "os.path.split() gave a file name that is not a str");
    return parts;
}

// A directory as os.open and os.listdir take it: "" (the path had no directory part) is the
// current one.
Ref directory_or_current(Handle os, Handle dir) {
    if (PyUnicode_Check(dir.get()) && PyUnicode_GET_LENGTH(dir.get()) == 0) return getattr(os, n_curdir);
    return new_ref(dir);
}

long file_type(Handle st) {
    Ref mode = getattr(st, n_st_mode);
    return as_long(mode) & file_type_bits;
}

// A rename or a new name lives in its directory: flush the directory as well, so that the change
// survives a power loss. Best effort where the platform cannot open a directory (Windows) or the
// file system cannot flush one; a failing flush of one that can is raised.
void sync_directory(Handle os, Handle dir) {
#ifndef _WIN32
    Ref flags = integer(os_flag(os, n_O_RDONLY) | os_flag(os, n_O_DIRECTORY) | os_flag(os, n_O_CLOEXEC));
    Ref fd;
    if (!unless_raises(PyExc_OSError, [&] { fd = call_method(os, n_open, directory_or_current(os, dir), flags); }))
        return;
    try {
        unless_os_error({EINVAL, ENOTSUP, EOPNOTSUPP}, [&] { call_method(os, n_fsync, fd); });
    } catch (const Error&) {
        cleanup([&] { call_method(os, n_close, fd); });
        throw;
    }
    call_method(os, n_close, fd);
#else
    (void)os;
    (void)dir;
#endif
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

}  // namespace

Ref os_module() { return imported(n_os); }

Ref link_target(Handle os, Handle path) {
    Ref os_path = getattr(os, n_path);
    Ref target = call_method(os, n_fsdecode, path);
    if (truth(call_method(os_path, n_islink, target))) target = call_method(os_path, n_realpath, target);
    return target;
}

namespace {

// os.O_WRONLY | os.O_CREAT | os.O_EXCL and the platform's binary and no-inherit flags.
Ref exclusive_create_flags(Handle os) {
    return integer(os_flag(os, n_O_WRONLY) | os_flag(os, n_O_CREAT) | os_flag(os, n_O_EXCL) |
                   os_flag(os, n_O_BINARY) | os_flag(os, n_O_NOINHERIT) | os_flag(os, n_O_CLOEXEC));
}

// Writes everything, flushes it to disk and closes the descriptor, also when writing fails.
void write_and_close(Handle os, Handle fd, Handle data) {
    try {
        write_all(os, fd, data);
        call_method(os, n_fsync, fd);
    } catch (const Error&) {
        cleanup([&] { call_method(os, n_close, fd); });
        throw;
    }
    call_method(os, n_close, fd);
}

}  // namespace

bool write_new_file(Handle path, Handle data) {
    Ref os = os_module();
    Ref target = call_method(os, n_fsdecode, path);
    Ref fd;
    if (!unless_raises(PyExc_FileExistsError, [&] { fd = call_method(os, n_open, target, exclusive_create_flags(os), integer(0600)); }))
        return false;
    try {
        write_and_close(os, fd, data);
    } catch (const Error&) {
        discard(os, target);
        throw;
    }
    sync_directory(os, split(getattr(os, n_path), target).first);
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
    auto [dir, base] = split(os_path, target);

    Ref temp, fd;
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
        Ref open_flags = exclusive_create_flags(os);
        Ref create_mode = integer(mode == NewFile::Private || keep_mode ? 0600 : 0666);
        Ref pid = call_method(os, n_getpid);

        for (int attempt = 0; !fd; ++attempt) {
            Ref name = own(PyUnicode_FromFormat(".%U.%S.%lu.tmp", base.get(), pid.get(), temp_counter.fetch_add(1)));
            temp = call_method(os_path, n_join, dir, name);
            bool made = unless_raises(PyExc_FileExistsError, [&] { fd = call_method(os, n_open, temp, open_flags, create_mode); });
            if (!made && attempt > 100) raise(PyExc_FileExistsError, "no free temporary file name beside %R", where.get());
        }

        try {
            write_and_close(os, fd, data);
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
    auto [dir, base] = split(os_path, link_target(os, path));
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

// --- the file lock -----------------------------------------------------------------------------

namespace {

// A lock this thread holds, by the lock file's identity.
struct HeldLock {
    unsigned long long dev, ino;
    long fd;
    FileLock::Mode mode;
};
thread_local std::vector<HeldLock> held_locks;

HeldLock* held(unsigned long long dev, unsigned long long ino) {
    for (HeldLock& h : held_locks)
        if (h.dev == dev && h.ino == ino) return &h;
    return nullptr;
}

unsigned long long identity_part(Handle st, Handle name) {
    Ref value = getattr(st, name);
    unsigned long long v = PyLong_AsUnsignedLongLongMask(value.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) fail();
    return v;
}

// The lock file, opened for locking; created owner-only when missing. Never blocks, whatever
// stands there. A null Ref when nothing stands there and nothing can be made.
Ref open_lock_file(Handle os, Handle path) {
    const long always = os_flag(os, n_O_CLOEXEC) | os_flag(os, n_O_NOINHERIT) | os_flag(os, n_O_NONBLOCK);
    Ref fd;
    Ref create = integer(os_flag(os, n_O_RDWR) | os_flag(os, n_O_CREAT) | always);
    if (unless_raises(PyExc_OSError, [&] { fd = call_method(os, n_open, path, create, integer(0600)); })) return fd;
    // Not writable here (a read-only file system or directory, a file of another user): an
    // existing lock file locks as well when opened for reading.
    try {
        return call_method(os, n_open, path, integer(os_flag(os, n_O_RDONLY) | always));
    } catch (const Error&) {
        Handled exc;
        if (!exc.matches(PyExc_FileNotFoundError)) exc.reraise();
        if (truth(call_method(getattr(os, n_path), n_lexists, path))) exc.reraise();  // a dangling link
        return nullptr;
    }
}

// Waits for the lock and takes it. False when the file system offers no locks at all (some
// network and user-space file systems).
bool take_lock(Handle platform, Handle fd, FileLock::Mode mode) {
#ifdef _WIN32
    (void)mode;  // msvcrt's locks are exclusive
    // LK_LOCK gives up with EDEADLOCK after ten one-second tries; keep waiting for the holder.
    Ref one = integer(1);
    while (!unless_os_error({EDEADLOCK}, [&] { call_method(platform, n_locking, fd, getattr(platform, n_LK_LOCK), one); })) {
    }
    return true;
#else
    return unless_os_error({ENOLCK, EOPNOTSUPP, ENOTSUP}, [&] {
        call_method(platform, n_flock, fd, getattr(platform, mode == FileLock::Shared ? n_LOCK_SH : n_LOCK_EX));
    });
#endif
}

void drop_lock(Handle platform, Handle fd) {
#ifdef _WIN32
    call_method(platform, n_locking, fd, getattr(platform, n_LK_UNLCK), integer(1));
#else
    call_method(platform, n_flock, fd, getattr(platform, n_LOCK_UN));
#endif
}

}  // namespace

FileLock::FileLock(Handle path, Mode mode) : mode_(mode) {
    os_ = os_module();
    platform_ = imported(n_platform);
    if (!held_locks.empty()) {
        // Asked for again inside a held section? Compared by identity, before anything is opened:
        // with lock emulations that follow POSIX record locks, closing a second descriptor of a
        // held file would release it.
        Ref st;
        if (unless_raises(PyExc_OSError, [&] { st = call_method(os_, n_stat, path); })) {
            dev_ = identity_part(st, n_st_dev);
            ino_ = identity_part(st, n_st_ino);
            if (join_held()) return;
        }
    }
    Ref fd = open_lock_file(os_, path);
    if (!fd) return;  // the directory takes no files: nothing to guard
    long number;
    try {
        Ref st = call_method(os_, n_fstat, fd);
        dev_ = identity_part(st, n_st_dev);
        ino_ = identity_part(st, n_st_ino);
        number = as_long(fd);
        if (join_held() || !take_lock(platform_, fd, mode)) {
            call_method(os_, n_close, fd);
            return;
        }
    } catch (const Error&) {
        cleanup([&] { call_method(os_, n_close, fd); });
        throw;
    }
    held_locks.push_back({dev_, ino_, number, mode});
    fd_ = std::move(fd);
}

// This thread already holds the file: run inside that hold, made exclusive if need be.
bool FileLock::join_held() {
    HeldLock* h = held(dev_, ino_);
    if (!h) return false;
#ifndef _WIN32
    if (mode_ == Exclusive && h->mode == Shared) {
        take_lock(platform_, integer(h->fd), Exclusive);
        h->mode = Exclusive;
        upgraded_ = true;
    }
#endif
    return true;
}

FileLock::~FileLock() noexcept(false) {
    if (!interpreter_reachable()) return;
    if (fd_) {
        for (auto h = held_locks.begin(); h != held_locks.end(); ++h) {
            if (h->dev == dev_ && h->ino == ino_) {
                held_locks.erase(h);
                break;
            }
        }
        cleanup([&] { drop_lock(platform_, fd_); });
        cleanup([&] { call_method(os_, n_close, fd_); });  // closing drops the lock in any case
    } else if (upgraded_) {
        if (HeldLock* h = held(dev_, ino_)) {
            cleanup([&] { take_lock(platform_, integer(h->fd), Shared); });
            h->mode = Shared;
        }
    }
}

}  // namespace rt
