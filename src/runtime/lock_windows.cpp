// The store lock on Windows: msvcrt.locking on the first byte of the lock file. A folder cannot be
// opened there, and an open file cannot be removed or replaced, so the lock file alone guards.
#include <cerrno>

#include "lock.hpp"
#include "module.hpp"

namespace rt::lock_platform {

namespace {

Ref msvcrt_module() { return imported("msvcrt"_id); }

// A link stands at `path` (the kernel follows them when opening, so it is looked at first).
void refuse_link(Handle os, Handle path) {
    Ref st;
    if (!suppress(PyExc_FileNotFoundError, [&] { st = call_method(os, "lstat"_id, path); })) return;
    if (file_type(st) != regular_type) raise_os_error(EINVAL, path, "Not a regular file");
}

}  // namespace

Descriptor open_lock_file(Handle os, Handle path, Handle) {  // no owners to give files to
    const long always = os_flag(os, "O_NOINHERIT"_id) | os_flag(os, "O_BINARY"_id);
    refuse_link(os, path);
    Descriptor fd;
    bool opened = suppress({EACCES, EPERM, EROFS}, [&] {
        fd = open_descriptor(os, path, os_flag(os, "O_RDWR"_id) | os_flag(os, "O_CREAT"_id) | always, 0600);
    });
    if (!opened && !suppress(PyExc_FileNotFoundError, [&] { fd = open_descriptor(os, path, os_flag(os, "O_RDONLY"_id) | always); }))
        return fd;
    // Still the file looked at: nothing was swapped in between.
    if (!names_file(os, path, call_method(os, "fstat"_id, fd.fd()))) raise_os_error(EINVAL, path, "Not a regular file");
    return fd;
}

void take(Handle, Handle fd, FileLock::Mode, Handle path) {
    // Every lock is exclusive here. LK_NBLCK, tried again after a pause, rather than LK_LOCK (which
    // gives up after ten seconds): the wait sleeps through time.sleep, like the wait for an owner of
    // this process.
    Ref msvcrt = msvcrt_module();
    Ref one = integer(1);
    double seconds = 0.001;
    for (;;) {
        bool locked = false;
        try {
            call_method(msvcrt, "locking"_id, fd, getattr(msvcrt, "LK_NBLCK"_id), one);
            locked = true;
        } catch (const Error&) {
            Caught exc;
            long code = exc.os_errno();
            if (!code) exc.reraise();
            if (code != EACCES && code != EDEADLOCK) raise_os_error(static_cast<int>(code), path);
        }
        if (locked) return;
        Ref delay = own(PyFloat_FromDouble(seconds));
        call_method(imported("time"_id), "sleep"_id, delay);
        if (seconds < 0.05) seconds *= 2;
    }
}

void drop(Handle fd) {
    Ref msvcrt = msvcrt_module();
    call_method(msvcrt, "locking"_id, fd, getattr(msvcrt, "LK_UNLCK"_id), integer(1));
}

Descriptor lock_folder(Handle, Handle, FileLock::Mode) { return Descriptor(); }

void after_fork_in_child(PyCFunction) {}  // no fork

}  // namespace rt::lock_platform
