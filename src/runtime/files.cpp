#include "files.hpp"

#include <atomic>
#include <cerrno>
#include <set>
#include <string>

#include "module.hpp"

namespace rt {

namespace {

// The longest file name the platforms take, in bytes of UTF-8 (ext4, APFS) or UTF-16 units (NTFS;
// never more than the UTF-8 bytes).
constexpr Py_ssize_t name_max = 255;
// A temporary name is "<prefix><16 hex: this process's random token><8 hex: a counter>.tmp".
constexpr Py_ssize_t token_digits = 16, counter_digits = 8;
constexpr Py_ssize_t temp_suffix = token_digits + counter_digits + 4;

Py_ssize_t utf8_length(Py_UCS4 ch) { return ch < 0x80 ? 1 : ch < 0x800 ? 2 : ch < 0x10000 ? 3 : 4; }

// ".<name>." when the temporary names of `name` fit the platforms' limit on a file name. A longer
// name is cut (at a character) and marked with a hash of all of it, ".<cut>~<hash>.", so that
// every name a plain write takes can be replaced. The hash (FNV-1a over the code points) is the
// same in every process.
Ref temp_prefix(Handle name) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name.get());
    const Py_ssize_t room = name_max - temp_suffix - 2;  // the two dots around the name
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

// This process's token, 64 bits from os.urandom, made on first use in each process (a forked
// child makes its own, so that its parent can tell its leftovers from its own live files).
const std::string& process_token(Handle os) {
    static std::string token;
    static long made_in = -1;  // the process id the token was made in
    const long pid = as_long(call_method(os, "getpid"_id));
    if (pid != made_in) {
        Ref random = call_method(os, "urandom"_id, integer(token_digits / 2));
        if (!PyBytes_Check(random.get()) || PyBytes_GET_SIZE(random.get()) != token_digits / 2)
            raise(PyExc_TypeError, "os.urandom() gave something other than %d bytes", int(token_digits / 2));
        std::string digits;
        for (Py_ssize_t i = 0; i < token_digits / 2; ++i) {
            char pair[3];
            PyOS_snprintf(pair, sizeof pair, "%02x", static_cast<unsigned char>(PyBytes_AS_STRING(random.get())[i]));
            digits += pair;
        }
        token = digits;
        made_in = pid;
    }
    return token;
}
std::atomic<unsigned long> temp_counter{0};

Ref temp_name(Handle os, Handle base) {
    char counter[counter_digits + 1];
    PyOS_snprintf(counter, sizeof counter, "%08lx", temp_counter.fetch_add(1) & 0xffffffffu);
    return own(PyUnicode_FromFormat("%U%s%s.tmp", temp_prefix(base).get(), process_token(os).c_str(), counter));
}

// Whether `name` is a temporary name of this layer (of any file) made by another process: the
// token is checked first, so that a writer of this process is never asked.
bool foreign_temp_name(Handle name, const std::string& token) {
    if (!is_temp_name(name)) return false;
    const Py_ssize_t digits = PyUnicode_GET_LENGTH(name.get()) - temp_suffix;
    for (Py_ssize_t i = 0; i < token_digits; ++i)
        if (PyUnicode_READ_CHAR(name.get(), digits + i) != static_cast<Py_UCS4>(token[i])) return true;
    return false;
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
        const Py_ssize_t size = PyBytes_GET_SIZE(remaining.get());
        const Py_ssize_t n = as_ssize(call(write, fd, remaining));
        // a count it was not given is no count at all: the io module's own error
        if (n < 0 || n > size)
            raise(PyExc_OSError, "raw write() returned invalid length %zd (should have been between 0 and %zd)", n, size);
        if (n == 0) raise(PyExc_OSError, "short write");
        if (n == size) break;
        remaining = own(PyBytes_FromStringAndSize(PyBytes_AS_STRING(remaining.get()) + n, size - n));
    }
}

// The pending error, when it is an OSError that names one of `names` (the temporary file, the
// file behind a link, a descriptor), raised again as the plain write of `where` would have raised
// it: the same type, errno and message, naming `where` alone.
[[noreturn]] void rethrow_naming(Handle where, std::initializer_list<Handle> names) {
    if (!error_matches(PyExc_OSError)) throw Error{};
    PendingError exc;
    exc.normalize();
    auto* e = reinterpret_cast<PyOSErrorObject*>(exc.value());
    bool named = false;
    if (e && PyObject_TypeCheck(exc.value(), reinterpret_cast<PyTypeObject*>(PyExc_OSError)) && e->filename &&
        e->myerrno && e->strerror) {
        for (Handle name : names)
            if (name.get() == e->filename || (name.get() && PyUnicode_Check(name.get()) && PyUnicode_Check(e->filename) &&
                                              PyUnicode_Compare(e->filename, name) == 0))
                named = true;
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
    raise_instance(renamed);
}

// os.O_WRONLY | os.O_CREAT | os.O_EXCL and the platform's binary and no-inherit flags.
long exclusive_create_flags(Handle os) {
    return os_flag(os, "O_WRONLY"_id) | os_flag(os, "O_CREAT"_id) | os_flag(os, "O_EXCL"_id) | os_flag(os, "O_BINARY"_id) |
           os_flag(os, "O_NOINHERIT"_id) | os_flag(os, "O_CLOEXEC"_id);
}

// The temporary file's writer holds fcntl.flock on it until the rename, where the platform has it
// (the leftover cleanup below takes that lock to prove a writer gone). False when the file was
// removed before the lock was taken, by a cleanup that took it first: the writer starts again.
bool hold_temp_file(Handle os, Handle fd, Handle temp, Handle made) {
    Ref platform = platform_module();
    Ref flock = lookup(platform, "flock"_id);
    if (!flock) return true;  // Windows: a file open for writing cannot be removed
    // A file system without locks: no cleanup can take one either, so nothing is removed.
    if (!suppress(PyExc_OSError, [&] { call(flock, fd, getattr(platform, "LOCK_EX"_id)); })) return true;
    return names_file(os, temp, made);
}

// Removes the temporary file at `path` when its writer is gone: its lock can be taken (POSIX), or
// it can be removed at all (Windows, where an open file cannot be). Best effort.
void remove_if_writer_gone(Handle os, Handle path) {
    Ref platform = platform_module();
    Ref flock = lookup(platform, "flock"_id);
    suppress(PyExc_OSError, [&] {
        if (!flock) {
            if (file_type(call_method(os, "lstat"_id, path)) == regular_type) call_method(os, "unlink"_id, path);
            return;
        }
        Descriptor fd = open_descriptor(os, path, os_flag(os, "O_RDONLY"_id) | os_flag(os, "O_NOFOLLOW"_id) |
                                                      os_flag(os, "O_NONBLOCK"_id) | os_flag(os, "O_CLOEXEC"_id) |
                                                      os_flag(os, "O_NOCTTY"_id));
        Ref st = call_method(os, "fstat"_id, fd.fd());
        if (file_type(st) != regular_type) return;
        Ref exclusive_now = own(PyNumber_Or(getattr(platform, "LOCK_EX"_id).get(), getattr(platform, "LOCK_NB"_id).get()));
        call(flock, fd.fd(), exclusive_now);  // raises while the writer lives
        if (names_file(os, path, st)) call_method(os, "unlink"_id, path);
    });
}

// The folders whose leftovers this process has cleared, by identity. Plain C++ data: a folder is
// looked at once per process, so that the cost of a write does not grow with the folder.
std::set<Identity> cleared_folders;

void clear_dead_writers(Handle os, Handle folder) {
    Ref where = directory_or_current(os, folder);
    Ref st, names;
    if (!suppress(PyExc_OSError, [&] { st = call_method(os, "stat"_id, where); })) return;
    if (!cleared_folders.insert(identity(st)).second) return;
    if (!suppress(PyExc_OSError, [&] { names = call_method(os, "listdir"_id, where); })) return;
    Ref os_path = getattr(os, "path"_id);
    const std::string token = process_token(os);
    Ref it = own(PyObject_GetIter(names.get()));
    while (Ref name = next(it))
        if (foreign_temp_name(name, token)) remove_if_writer_gone(os, call_method(os_path, "join"_id, folder, name));
}

// The extended attribute that holds a file's POSIX access ACL. Its mask is the file's group bits.
Handle access_acl_name() { return "system.posix_acl_access"_id; }

// The POSIX access ACL of the file open at `fd`, where the os module reads extended attributes
// (Linux); null when the file has none or its file system keeps none. Errors name `where`.
Ref access_acl(Handle os, Handle fd, Handle where) {
    Ref getxattr = lookup(os, "getxattr"_id);
    if (!getxattr) return nullptr;
    Ref acl;
    try {
        suppress({ENODATA, ENOTSUP, EOPNOTSUPP}, [&] { acl = call(getxattr, fd, access_acl_name()); });
    } catch (const Error&) {
        rethrow_naming(where, {fd});
    }
    return acl;
}

// Gives the new file open at `fd` the replaced file's access ACL, `acl`, or none when that had none
// (a new file takes one from its folder's default ACL, which a file written in place never does).
// Set before the file's mode, which then sets the ACL's mask as it sets the group bits. Errors
// name `where`.
void keep_access_acl(Handle os, Handle fd, Handle acl, Handle where) {
    try {
        if (acl) {
            call_method(os, "setxattr"_id, fd, access_acl_name(), acl);
        } else if (Ref removexattr = lookup(os, "removexattr"_id)) {
            suppress({ENODATA, ENOTSUP, EOPNOTSUPP}, [&] { call(removexattr, fd, access_acl_name()); });
        }
    } catch (const Error&) {
        rethrow_naming(where, {fd});
    }
}

// os.replace(temp, target).
void replace_file(Handle os, Handle temp, Handle target) {
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
            Ref code = lookup(exc.value(), "winerror"_id);
            long winerror = code && PyLong_Check(code.get()) ? as_long(code) : -1;  // none: not the sharing case
            if (winerror != 5 && winerror != 32) exc.reraise();
        }
        Ref pause = own(PyFloat_FromDouble(0.02));
        call_method(imported("time"_id), "sleep"_id, pause);
    }
#else
    call_method(os, "replace"_id, temp, target);
#endif
}

// Whether `path`, opened once more as a plain write opens it, with O_CREAT (still without
// truncating it or blocking; `create_mode` for a file made meanwhile), is still the file whose stat
// result is `st`: the kernel applies some rules only to an open that may create
// (fs.protected_regular refuses another user's file in a sticky world-writable folder), and they
// decide here as they would for write_text. Raises what that open raises. Windows has no such
// rules: no second open there.
bool opens_again_as_a_plain_write([[maybe_unused]] Handle os, [[maybe_unused]] Handle path,
                                  [[maybe_unused]] long flags, [[maybe_unused]] long create_mode,
                                  [[maybe_unused]] Handle st) {
#ifdef _WIN32
    return true;
#else
    Descriptor again;
    // ENXIO: a FIFO that no one reads, or a socket, now stands there
    if (!suppress({ENXIO}, [&] { again = open_descriptor(os, path, flags | os_flag(os, "O_CREAT"_id), create_mode); }))
        return false;
    const bool same = identity(call_method(os, "fstat"_id, again.fd())) == identity(st);
    again.close();
    return same;
#endif
}

}  // namespace

bool is_temp_name(Handle name) {
    if (!PyUnicode_Check(name.get())) return false;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name.get());
    if (length < 3 + temp_suffix || PyUnicode_READ_CHAR(name.get(), 0) != '.' ||
        PyUnicode_READ_CHAR(name.get(), length - temp_suffix - 1) != '.' ||
        check(PyUnicode_Tailmatch(name, ".tmp"_id, 0, length, 1)) == 0)
        return false;
    const Py_ssize_t digits = length - temp_suffix;
    for (Py_ssize_t i = 0; i < token_digits + counter_digits; ++i) {
        Py_UCS4 ch = PyUnicode_READ_CHAR(name.get(), digits + i);
        if (!((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f'))) return false;
    }
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

detail::TempFile::TempFile(Handle os, Handle folder, Handle base, long create_mode, Handle where)
    : os_(new_ref(os)), where_(new_ref(where)), maker_(as_long(call_method(os, "getpid"_id))) {
    Ref os_path = getattr(os, "path"_id);
    for (int attempt = 0; !fd_; ++attempt) {
        Ref temp = call_method(os_path, "join"_id, folder, temp_name(os, base));
        bool created = false;
        try {
            created = rt::suppress(PyExc_FileExistsError, [&] { fd_ = open_descriptor(os, temp, exclusive_create_flags(os), create_mode); });
        } catch (const Error&) {
            rethrow_naming(where, {temp});
        }
        if (!created) {
            if (attempt > 100) raise(PyExc_FileExistsError, "no free temporary file name beside %R", where.get());
            continue;
        }
        path_ = std::move(temp);
        bool held = false;
        try {
            made_ = call_method(os, "fstat"_id, fd_.fd());
            held = hold_temp_file(os, fd_.fd(), path_, made_);
        } catch (const Error&) {
            cleanup([&] { fd_.close(); });  // not constructed: the destructor does not run
            cleanup([&] { call_method(os, "unlink"_id, path_); });
            rethrow_naming(where, {path_});
        }
        if (!held) {
            fd_.close();
            path_ = nullptr;  // removed by a cleanup that took it first: not ours to remove again
        }
    }
}

detail::TempFile::~TempFile() noexcept(false) {
    if (interpreter_reachable()) remove();
}

void detail::TempFile::remove() {
    if (named_ || !path_) return;
    Ref path = std::move(path_);  // removed once
    // removed whatever the close raised (Windows removes no open file: closed first)
    cleanup([&] { if (fd_) fd_.close(); },
            [&] { if (as_long(call_method(os_, "getpid"_id)) == maker_) call_method(os_, "unlink"_id, path); });
}

void detail::TempFile::write(Handle data, Handle mode) {
    try {
        write_all(os_, fd_.fd(), data);
        if (Ref fchmod = lookup(os_, "fchmod"_id); fchmod && mode.get()) call(fchmod, fd_.fd(), mode);
        sync_file(os_, fd_.fd());
    } catch (const Error&) {
        rethrow_naming(where_, {path_});
    }
}

void detail::TempFile::close_before_naming() {
#ifdef _WIN32
    if (fd_) fd_.close();  // Windows renames and links no file that is open
#endif
}

void detail::TempFile::rename_over(Handle target) {
    close_before_naming();
    try {
        replace_file(os_, path_, target);
    } catch (const Error&) {
        rethrow_naming(where_, {path_, target});
    }
    named_ = true;
}

void detail::TempFile::close() {
    assert(named_);
    if (fd_) cleanup([&] { fd_.close(); });
}

bool detail::TempFile::link_as(Handle target) {
    close_before_naming();
    bool linked = false;
    try {
        linked = rt::suppress(PyExc_FileExistsError, [&] { call_method(os_, "link"_id, path_, target); });
    } catch (const Error&) {
        rethrow_naming(where_, {path_, target});
    }
    return linked;  // the temporary name goes when this object ends
}

bool write_new_file(Handle path, Handle data) {
    Ref os = os_module();
    Ref target = call_method(os, "fsdecode"_id, path);
    auto [folder, base] = split_path(getattr(os, "path"_id), target);
    detail::TempFile temp(os, folder, base, 0600, target);
    temp.write(data, integer(0600));
    if (!temp.link_as(target)) return false;
    try {
        sync_directory(os, folder);
        temp.remove();  // its temporary name; the file stays at `target`
    } catch (const Error&) {
        cleanup([&] { call_method(os, "unlink"_id, target); });
        throw;
    }
    return true;
}

Replacement::Replacement(Handle path, NewFile mode) : mode_(mode) {
    os_ = os_module();
    where_ = call_method(os_, "fsdecode"_id, path);  // the file as the caller names it, for errors
    try {
        open_target();
        folder_ = split_path(getattr(os_, "path"_id), target_).first;
        clear_dead_writers(os_, folder_);
    } catch (const Error&) {
        raise_naming_path();
    }
}

void check_replaceable(Handle path) {
    Replacement checked(path, NewFile::LikeOpenWrite);  // nothing prepared: nothing to undo
}

// The temporary file is removed here rather than by std::optional's end, which may not raise.
Replacement::~Replacement() noexcept(false) {
    if (temp_ && interpreter_reachable()) temp_->remove();
}

// Opens the file as a plain write would, without truncating it or waiting for a FIFO's reader, and
// finds the name of what it opened: `where_`, or the file its link leads to.
void Replacement::open_target() {
    const long flags = os_flag(os_, "O_WRONLY"_id) | os_flag(os_, "O_NONBLOCK"_id) | os_flag(os_, "O_NOCTTY"_id) |
                       os_flag(os_, "O_CLOEXEC"_id) | os_flag(os_, "O_BINARY"_id) | os_flag(os_, "O_NOINHERIT"_id);
    const long create_mode = mode_ == NewFile::Private ? 0600 : 0666;  // as this file's plain write makes it
    for (int attempt = 0;; ++attempt) {
        Descriptor fd;
        bool opened = false;
        bool found = suppress(PyExc_FileNotFoundError, [&] {
            // ENXIO: a FIFO that no one reads, or a socket
            opened = suppress({ENXIO}, [&] { fd = open_descriptor(os_, where_, flags); });
        });
        if (!found) {
            Ref st;
            if (!suppress(PyExc_FileNotFoundError, [&] { st = call_method(os_, "lstat"_id, where_); })) {
                target_ = where_;  // nothing there: a new file
                return;
            }
            if (file_type(st) != regular_type) raise_os_error(EINVAL, where_, "Not a regular file");  // a link to nothing
            continue;  // made in the meantime
        }
        if (!opened) raise_os_error(EINVAL, where_, "Not a regular file");
        Ref st = call_method(os_, "fstat"_id, fd.fd());
        if (file_type(st) != regular_type) raise_os_error(EINVAL, where_, "Not a regular file");
        const bool same = opens_again_as_a_plain_write(os_, where_, flags, create_mode, st);
        Ref acl = access_acl(os_, fd.fd(), where_);  // kept on the new file, as a write in place keeps it
        fd.close();  // held until then, so that no other file can take its identity meanwhile
        Ref name = where_;
        bool named = same && names_file(os_, name, st);
        if (same && !named) {  // reached through a link: the name of the file it leads to, if that is still the one
            name = call_method(getattr(os_, "path"_id), "realpath"_id, where_);
            named = names_file(os_, name, st);
        }
        if (named) {
            target_ = std::move(name);
            current_ = std::move(st);
            acl_ = std::move(acl);
            return;
        }
        // Moved or replaced since it was opened: open it again.
        if (attempt >= 10) raise_os_error(EAGAIN, where_, "Replaced by another writer while being opened");
    }
}

void Replacement::prepare(Handle data) {
    assert(!temp_);
    try {
        // A file replaced like an open for writing would keep its mode, but for the set-user-ID and
        // set-group-ID bits, which the kernel drops from a file written to.
        Ref keep_mode;
        if (mode_ == NewFile::Private) keep_mode = integer(0600);
        else if (current_) keep_mode = own(PyNumber_And(getattr(current_, "st_mode"_id).get(), integer(01777).get()));
        Ref base = split_path(getattr(os_, "path"_id), target_).second;
        detail::TempFile& temp = temp_.emplace(os_, folder_, base, keep_mode ? 0600 : 0666, where_);
        if (current_) {
            give_owner(os_, temp.fd(), temp.made(), current_);
            keep_access_acl(os_, temp.fd(), acl_, where_);
        }
        temp.write(data, keep_mode);
    } catch (const Error&) {
        raise_naming_path();
    }
}

void Replacement::commit() {
    assert(temp_);
    temp_->rename_over(target_);
}

void Replacement::flush_folder() {
    assert(temp_);
    temp_->close();  // the writer's lock goes with the descriptor, now that the file has its name
    sync_directory(os_, folder_);
}

void Replacement::raise_naming_path() { rethrow_naming(where_, {temp_ ? temp_->path() : nullptr, target_}); }

}  // namespace rt
