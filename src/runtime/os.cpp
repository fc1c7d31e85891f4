#include "os.hpp"

#include <cerrno>

#include "mapping.hpp"

namespace rt {

namespace {

const Name n_os{"os"}, n_path{"path"}, n_fsdecode{"fsdecode"}, n_islink{"islink"}, n_realpath{"realpath"},
    n_split{"split"}, n_curdir{"curdir"}, n_open{"open"}, n_close{"close"}, n_fsync{"fsync"}, n_st_mode{"st_mode"},
    n_strerror{"strerror"}, n_fcntl{"fcntl"}, n_F_FULLFSYNC{"F_FULLFSYNC"};
#ifdef _WIN32
const Name n_platform{"msvcrt"};
#else
const Name n_platform{"fcntl"};
const Name n_O_RDONLY{"O_RDONLY"}, n_O_DIRECTORY{"O_DIRECTORY"}, n_O_CLOEXEC{"O_CLOEXEC"};
#endif

}  // namespace

Ref os_module() { return imported(n_os); }

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

void raise_os_error(int code, Handle filename, const char* message) {
    // Built by the interpreter from the number alone, never through the C library's errno: the
    // module's C runtime need not be the interpreter's (Windows links its own).
    Ref number = integer(code);
    Ref text = message ? str(message) : call_method(os_module(), n_strerror, number);
    Ref exc = call(PyExc_OSError, number, text, filename);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    fail();
}

// --- descriptors -------------------------------------------------------------------------------

Descriptor& Descriptor::operator=(Descriptor&& o) {
    if (this != &o) {
        if (fd_) cleanup([&] { call_method(os_, n_close, fd_); });
        os_ = std::move(o.os_);
        fd_ = std::move(o.fd_);
    }
    return *this;
}

Descriptor::~Descriptor() noexcept(false) {
    if (fd_ && interpreter_reachable()) cleanup([&] { call_method(os_, n_close, fd_); });
}

void Descriptor::close() {
    Ref fd = std::move(fd_);
    call_method(os_, n_close, fd);
}

Descriptor open_descriptor(Handle os, Handle path, long flags, long mode) {
    return Descriptor(os, call_method(os, n_open, path, integer(flags), integer(mode)));
}

// --- paths -------------------------------------------------------------------------------------

std::pair<Ref, Ref> split_path(Handle os_path, Handle path) {
    auto parts = unpack_pair(call_method(os_path, n_split, path));
    if (!PyUnicode_Check(parts.second.get())) raise(PyExc_TypeError, "os.path.split() gave a file name that is not a str");
    return parts;
}

Ref directory_or_current(Handle os, Handle dir) {
    if (PyUnicode_Check(dir.get()) && PyUnicode_GET_LENGTH(dir.get()) == 0) return getattr(os, n_curdir);
    return new_ref(dir);
}

long file_type(Handle st) {
    Ref mode = getattr(st, n_st_mode);
    return as_long(mode) & file_type_bits;
}

Ref link_target(Handle os, Handle path) {
    Ref os_path = getattr(os, n_path);
    Ref target = call_method(os, n_fsdecode, path);
    if (truth(call_method(os_path, n_islink, target))) target = call_method(os_path, n_realpath, target);
    return target;
}

// --- flushing ----------------------------------------------------------------------------------

void sync_file(Handle os, Handle fd) {
    // fsync only reaches the drive's cache on macOS; F_FULLFSYNC asks the drive to write it out.
    // The interpreter's fcntl has the name where the system has the call (msvcrt never does).
    Ref platform = imported(n_platform);
    if (Ref full = lookup(platform, n_F_FULLFSYNC)) {
        bool done = unless_os_error({EINVAL, ENOTSUP, EOPNOTSUPP, ENOTTY},
                                    [&] { call_method(platform, n_fcntl, fd, full); });
        if (done) return;  // otherwise a file system that cannot: fsync as everywhere else
    }
    call_method(os, n_fsync, fd);
}

void sync_directory(Handle os, Handle dir) {
#ifndef _WIN32
    long flags = os_flag(os, n_O_RDONLY) | os_flag(os, n_O_DIRECTORY) | os_flag(os, n_O_CLOEXEC);
    Descriptor fd;
    if (!unless_raises(PyExc_OSError, [&] { fd = open_descriptor(os, directory_or_current(os, dir), flags); }))
        return;
    unless_os_error({EINVAL, ENOTSUP, EOPNOTSUPP}, [&] { sync_file(os, fd.fd()); });
    fd.close();
#else
    (void)os;
    (void)dir;
#endif
}

}  // namespace rt
