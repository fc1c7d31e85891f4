// The store lock on POSIX: flock on the lock file and on its folder.
#include <cerrno>

#include "lock.hpp"
#include "module.hpp"

namespace rt::lock_platform {

namespace {

Ref fcntl_module() { return imported("fcntl"_id); }

long open_flags(Handle os, Handle access) {
    return os_flag(os, access) | os_flag(os, "O_NOFOLLOW"_id) | os_flag(os, "O_NONBLOCK"_id) |
           os_flag(os, "O_CLOEXEC"_id) | os_flag(os, "O_NOCTTY"_id);
}

}  // namespace

Descriptor open_lock_file(Handle os, Handle path, Handle folder) {
    // O_NOFOLLOW throughout: a link there (planted by whoever may write the folder) fails with
    // ELOOP instead of being followed or created through.
    for (;;) {
        Descriptor fd;
        bool found = suppress(PyExc_FileNotFoundError, [&] {
            // Not writable here (a read-only folder or file system, another user's file): the lock
            // file locks as well when opened for reading.
            if (!suppress({EACCES, EPERM, EROFS}, [&] { fd = open_descriptor(os, path, open_flags(os, "O_RDWR"_id)); }))
                fd = open_descriptor(os, path, open_flags(os, "O_RDONLY"_id));
        });
        if (!found) {
            // Made owner-only, exclusively, so that this call knows the file is its own.
            bool made = false;
            const long create = open_flags(os, "O_RDWR"_id) | os_flag(os, "O_CREAT"_id) | os_flag(os, "O_EXCL"_id);
            if (!suppress({EACCES, EPERM, EROFS}, [&] {
                    made = suppress(PyExc_FileExistsError, [&] { fd = open_descriptor(os, path, create, 0600); });
                }))
                return fd;  // nothing there, and nothing can be made there
            if (!made) continue;  // made by someone else meanwhile
            // Root's file in a user's folder would lock the user out (owner-only): it is the folder owner's.
            give_owner(os, fd.fd(), call_method(os, "fstat"_id, fd.fd()), folder);
        }
        if (file_type(call_method(os, "fstat"_id, fd.fd())) != regular_type) raise_os_error(EINVAL, path, "Not a regular file");
        return fd;
    }
}

void take(Handle, Handle fd, FileLock::Mode mode, Handle path) {
    Ref fcntl = fcntl_module();
    try {
        call_method(fcntl, "flock"_id, fd, getattr(fcntl, mode == FileLock::Shared ? "LOCK_SH"_id : "LOCK_EX"_id));
    } catch (const Error&) {
        Caught exc;
        // ENOLCK, EOPNOTSUPP (no locks on this file system) and the rest: named after the lock file.
        if (long code = exc.os_errno()) raise_os_error(static_cast<int>(code), path);
        exc.reraise();
    }
}

void drop(Handle fd) {
    Ref fcntl = fcntl_module();
    call_method(fcntl, "flock"_id, fd, getattr(fcntl, "LOCK_UN"_id));
}

Descriptor lock_folder(Handle os, Handle dir, FileLock::Mode mode) {
    Descriptor folder;
    // Some network file systems lock only what is open for writing, which a folder never is.
    bool locked = suppress(PyExc_OSError, [&] {
        folder = open_descriptor(os, dir, os_flag(os, "O_RDONLY"_id) | os_flag(os, "O_DIRECTORY"_id) | os_flag(os, "O_CLOEXEC"_id));
        Ref fcntl = fcntl_module();
        call_method(fcntl, "flock"_id, folder.fd(), getattr(fcntl, mode == FileLock::Shared ? "LOCK_SH"_id : "LOCK_EX"_id));
    });
    return locked ? std::move(folder) : Descriptor();
}

namespace {
PyMethodDef forget_def = {"_forget_inherited_store_locks", nullptr, METH_NOARGS, nullptr};
bool registered = false;  // one interpreter per process, and a child inherits the registration
}  // namespace

void after_fork_in_child(PyCFunction forget) {
    if (registered) return;
    forget_def.ml_meth = forget;
    Ref handler = own(PyCFunction_New(&forget_def, nullptr));
    call_method_kw(os_module(), "register_at_fork"_id, kw<"after_in_child">, {handler});
    registered = true;
}

}  // namespace rt::lock_platform
