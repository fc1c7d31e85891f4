#include "os.hpp"

#include <cerrno>

#include "mapping.hpp"
#include "module.hpp"

namespace rt {

Ref os_module() { return imported("os"_id); }

Ref platform_module() {
#ifdef _WIN32
    return imported("msvcrt"_id);
#else
    return imported("fcntl"_id);
#endif
}

long os_flag(Handle os, Handle name) {
    Ref v = lookup(os, name);
    return v ? as_long(v) : 0;
}

void raise_os_error(int code, Handle filename, const char* message) {
    // Built by the interpreter from the number alone, never through the C library's errno: the
    // module's C runtime need not be the interpreter's (Windows links its own).
    Ref number = integer(code);
    Ref text = message ? str(message) : call_method(os_module(), "strerror"_id, number);
    raise_instance(call(PyExc_OSError, number, text, filename));
}

// --- descriptors -------------------------------------------------------------------------------

Descriptor& Descriptor::operator=(Descriptor&& o) {
    if (this != &o) {
        // The new descriptor is this one's before the old one closes: a close that raises (an
        // interrupt) leaves no descriptor here to be closed twice.
        Ref old_os = std::exchange(os_, std::move(o.os_)), old_fd = std::exchange(fd_, std::move(o.fd_));
        if (old_fd) cleanup([&] { call_method(old_os, "close"_id, old_fd); });
    }
    return *this;
}

Descriptor::~Descriptor() noexcept(false) {
    if (fd_ && interpreter_reachable()) cleanup([&] { call_method(os_, "close"_id, fd_); });
}

void Descriptor::close() {
    Ref fd = std::move(fd_);
    call_method(os_, "close"_id, fd);
}

Descriptor open_descriptor(Handle os, Handle path, long flags, long mode) {
    return Descriptor(os, call_method(os, "open"_id, path, integer(flags), integer(mode)));
}

// --- paths -------------------------------------------------------------------------------------

std::pair<Ref, Ref> split_path(Handle os_path, Handle path) {
    auto parts = unpack_pair(call_method(os_path, "split"_id, path));
    if (!PyUnicode_Check(parts.second.get())) raise(PyExc_TypeError, "os.path.split() gave a file name that is not a str");
    return parts;
}

Ref directory_or_current(Handle os, Handle dir) {
    if (PyUnicode_Check(dir.get()) && PyUnicode_GET_LENGTH(dir.get()) == 0) return getattr(os, "curdir"_id);
    return new_ref(dir);
}

long file_type(Handle st) {
    Ref mode = getattr(st, "st_mode"_id);
    return as_long(mode) & file_type_bits;
}

namespace {
unsigned long long identity_part(Handle st, Handle name) {
    Ref value = getattr(st, name);
    unsigned long long v = PyLong_AsUnsignedLongLongMask(value.get());  // st_ino may not fit a long
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw Error{};
    return v;
}
}  // namespace

Identity identity(Handle st) { return {identity_part(st, "st_dev"_id), identity_part(st, "st_ino"_id)}; }

bool names_file(Handle os, Handle path, Handle st) {
    Ref now;
    if (!suppress(PyExc_FileNotFoundError, [&] { now = call_method(os, "lstat"_id, path); })) return false;
    return file_type(now) == regular_type && identity(now) == identity(st);
}

void give_owner(Handle os, Handle fd, Handle made, Handle owner) {
    Ref fchown = lookup(os, "fchown"_id);
    if (!fchown) return;  // no owners to give (Windows)
    Ref uid = getattr(owner, "st_uid"_id), gid = getattr(owner, "st_gid"_id);
    const bool same_uid = equal(uid, getattr(made, "st_uid"_id)), same_gid = equal(gid, getattr(made, "st_gid"_id));
    if (same_uid && same_gid) return;
    Ref unchanged = integer(-1);
    if (suppress(PyExc_OSError, [&] { call(fchown, fd, same_uid ? unchanged : uid, gid); })) return;
    if (!same_gid) suppress(PyExc_OSError, [&] { call(fchown, fd, unchanged, gid); });
}

// --- flushing ----------------------------------------------------------------------------------

void sync_file(Handle os, Handle fd) {
    // fsync only reaches the drive's cache on macOS; F_FULLFSYNC asks the drive to write it out.
    // The interpreter's fcntl has the name where the system has the call (msvcrt never does).
    Ref platform = platform_module();
    if (Ref full = lookup(platform, "F_FULLFSYNC"_id)) {
        bool done = suppress({EINVAL, ENOTSUP, EOPNOTSUPP, ENOTTY},
                                    [&] { call_method(platform, "fcntl"_id, fd, full); });
        if (done) return;  // otherwise a file system that cannot: fsync as everywhere else
    }
    call_method(os, "fsync"_id, fd);
}

void sync_directory(Handle os, Handle dir) {
    // Windows opens no folder (os.open fails there): nothing to flush.
    long flags = os_flag(os, "O_RDONLY"_id) | os_flag(os, "O_DIRECTORY"_id) | os_flag(os, "O_CLOEXEC"_id);
    Descriptor fd;
    if (!suppress(PyExc_OSError, [&] { fd = open_descriptor(os, directory_or_current(os, dir), flags); }))
        return;
    suppress({EINVAL, ENOTSUP, EOPNOTSUPP}, [&] { sync_file(os, fd.fd()); });
    fd.close();
}

}  // namespace rt
