#include "lock.hpp"

#include <cerrno>

#include "os.hpp"

namespace rt {

namespace {

using Hold = FileLock::Hold;

// The holds of this thread and of the whole process, as lists through the holds themselves (each
// lives in the FileLock that opened its file). Plain pointers: nothing to allocate, and nothing
// for the thread's exit to run. Changed only under the GIL (or by a thread the interpreter is
// ending, which touches no Python object).
thread_local Hold* thread_holds = nullptr;
Hold* process_holds = nullptr;

Hold* held(unsigned long long dev, unsigned long long ino) {
    for (Hold* h = thread_holds; h; h = h->next_in_thread)
        if (h->dev == dev && h->ino == ino) return h;
    return nullptr;
}

void link(Hold& h) {
    h.next_in_thread = thread_holds;
    thread_holds = &h;
    h.prev_in_process = nullptr;
    h.next_in_process = process_holds;
    if (process_holds) process_holds->prev_in_process = &h;
    process_holds = &h;
    h.linked = true;
}

void unlink(Hold& h) {
    for (Hold** p = &thread_holds; *p; p = &(*p)->next_in_thread) {
        if (*p == &h) {
            *p = h.next_in_thread;
            break;
        }
    }
    if (h.prev_in_process) h.prev_in_process->next_in_process = h.next_in_process;
    else process_holds = h.next_in_process;
    if (h.next_in_process) h.next_in_process->prev_in_process = h.prev_in_process;
    h.linked = false;
}

#ifndef _WIN32
// After a fork, in the child: the descriptors of every hold of the parent (of all its threads) are
// closed, so that the lock goes when its holder in the parent goes, whatever the child does. Not
// unlocked (the lock belongs to the parent's open file): closed. The forking thread's own holds
// end unguarded in the child.
PyObject* release_inherited_locks(PyObject*, PyObject*) {
    return guard<PyObject*>(nullptr, [] {
        Ref os = os_module();
        for (Hold* h = process_holds; h; h = h->next_in_process) {
            Ref fd = integer(h->fd);
            suppress(PyExc_OSError, [&] { call_method(os, "close"_id, fd); });
            if (h->dir_fd >= 0) {
                Ref dir_fd = integer(h->dir_fd);
                suppress(PyExc_OSError, [&] { call_method(os, "close"_id, dir_fd); });
            }
            h->fd = h->dir_fd = -1;
            h->linked = false;
        }
        process_holds = nullptr;
        thread_holds = nullptr;
        return none().release();
    });
}

PyMethodDef release_inherited_locks_def = {"_release_inherited_locks", release_inherited_locks, METH_NOARGS, nullptr};
bool released_in_children = false;  // one interpreter per process, and a child inherits the registration

void release_in_forked_children(Handle os) {
    if (released_in_children) return;
    Ref handler = own(PyCFunction_New(&release_inherited_locks_def, nullptr));
    call_method_kw(os, "register_at_fork"_id, kw<"after_in_child">, {handler});
    released_in_children = true;
}
#endif

unsigned long long identity_part(Handle st, Handle name) {
    Ref value = getattr(st, name);
    unsigned long long v = PyLong_AsUnsignedLongLongMask(value.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw Error{};
    return v;
}

// The lock file, opened for locking; created owner-only when missing. Never blocks, whatever
// stands there, and never inherited by a program a child runs. A closed Descriptor when nothing
// stands there and nothing can be made.
Descriptor open_lock_file(Handle os, Handle path) {
    const long always = os_flag(os, "O_CLOEXEC"_id) | os_flag(os, "O_NOINHERIT"_id) | os_flag(os, "O_NONBLOCK"_id);
    Descriptor fd;
    if (suppress(PyExc_OSError, [&] { fd = open_descriptor(os, path, os_flag(os, "O_RDWR"_id) | os_flag(os, "O_CREAT"_id) | always, 0600); }))
        return fd;
    // Not writable here (a read-only file system or directory, a file of another user): an
    // existing lock file locks as well when opened for reading.
    try {
        return open_descriptor(os, path, os_flag(os, "O_RDONLY"_id) | always);
    } catch (const Error&) {
        Caught exc;
        if (!exc.matches(PyExc_FileNotFoundError)) exc.reraise();
        if (truth(call_method(getattr(os, "path"_id), "lexists"_id, path))) exc.reraise();  // a dangling link
        return Descriptor();
    }
}

#ifndef _WIN32
// The hold of this thread that locked the directory of `path`, if any: asked for inside a held
// section after the lock file was replaced, the directory is the same although the file is not.
Hold* held_directory(Handle os, Handle path) {
    Ref st;
    Ref dir = directory_or_current(os, split_path(getattr(os, "path"_id), path).first);
    if (!suppress(PyExc_OSError, [&] { st = call_method(os, "stat"_id, dir); })) return nullptr;
    const unsigned long long dev = identity_part(st, "st_dev"_id), ino = identity_part(st, "st_ino"_id);
    for (Hold* h = thread_holds; h; h = h->next_in_thread) {
        if (h->dir_fd < 0) continue;
        Ref locked = call_method(os, "fstat"_id, integer(h->dir_fd));
        if (identity_part(locked, "st_dev"_id) == dev && identity_part(locked, "st_ino"_id) == ino) return h;
    }
    return nullptr;
}
#endif

// Whether `path` still names the file of identity (dev, ino).
bool still_names(Handle os, Handle path, unsigned long long dev, unsigned long long ino) {
    Ref st;
    if (!suppress(PyExc_FileNotFoundError, [&] { st = call_method(os, "stat"_id, path); })) return false;
    return identity_part(st, "st_dev"_id) == dev && identity_part(st, "st_ino"_id) == ino;
}

// Waits for the lock and takes it. False when the file system offers no locks at all (some
// network and user-space file systems).
bool take_lock(Handle platform, Handle fd, FileLock::Mode mode) {
#ifdef _WIN32
    (void)mode;  // msvcrt's locks are exclusive
    // LK_LOCK gives up with EDEADLOCK after ten one-second tries; keep waiting for the holder.
    Ref one = integer(1);
    while (!suppress({EDEADLOCK}, [&] { call_method(platform, "locking"_id, fd, getattr(platform, "LK_LOCK"_id), one); })) {
    }
    return true;
#else
    return suppress({ENOLCK, EOPNOTSUPP, ENOTSUP}, [&] {
        call_method(platform, "flock"_id, fd, getattr(platform, mode == FileLock::Shared ? "LOCK_SH"_id : "LOCK_EX"_id));
    });
#endif
}

#ifndef _WIN32
// The directory of the lock file, locked after it: a file can be removed or replaced under its
// holder, and whoever opens the path then would lock another file, but the directory that holds
// the store stays. A closed Descriptor where the directory cannot be opened or locked (some
// network file systems lock only files open for writing): the file's lock alone guards then.
Descriptor lock_directory(Handle os, Handle platform, Handle path, FileLock::Mode mode) {
    Descriptor dir;
    if (!suppress(PyExc_OSError, [&] {
            Ref where = directory_or_current(os, split_path(getattr(os, "path"_id), path).first);
            dir = open_descriptor(os, where, os_flag(os, "O_RDONLY"_id) | os_flag(os, "O_DIRECTORY"_id) | os_flag(os, "O_CLOEXEC"_id));
        }))
        return dir;
    bool locked = false;
    suppress(PyExc_OSError, [&] { locked = take_lock(platform, dir.fd(), mode); });
    return locked ? std::move(dir) : Descriptor();
}
#endif

void drop_lock(Handle platform, Handle fd) {
#ifdef _WIN32
    call_method(platform, "locking"_id, fd, getattr(platform, "LK_UNLCK"_id), integer(1));
#else
    call_method(platform, "flock"_id, fd, getattr(platform, "LOCK_UN"_id));
#endif
}

}  // namespace

FileLock::FileLock(Handle path, Mode mode) : mode_(mode) {
    os_ = os_module();
    platform_ = platform_module();
#ifndef _WIN32
    release_in_forked_children(os_);
#endif
    if (thread_holds) {
        // Asked for again inside a held section? Compared by identity, before anything is opened:
        // with lock emulations that follow POSIX record locks, closing a second descriptor of a
        // held file would release it.
        Ref st;
        if (suppress(PyExc_OSError, [&] { st = call_method(os_, "stat"_id, path); })) {
            own_.dev = identity_part(st, "st_dev"_id);
            own_.ino = identity_part(st, "st_ino"_id);
            if (join(held(own_.dev, own_.ino))) return;
        }
#ifndef _WIN32
        if (join(held_directory(os_, path))) return;
#endif
    }
    for (;;) {
        Descriptor fd = open_lock_file(os_, path);
        if (!fd) return;  // the directory takes no files: nothing to guard
        Ref st = call_method(os_, "fstat"_id, fd.fd());
        own_.dev = identity_part(st, "st_dev"_id);
        own_.ino = identity_part(st, "st_ino"_id);
        if (join(held(own_.dev, own_.ino)) || !take_lock(platform_, fd.fd(), mode)) return;
#ifndef _WIN32
        Descriptor dir = lock_directory(os_, platform_, path, mode);
        if (dir) own_.dir_fd = as_long(dir.fd());
        dir_fd_ = dir.release();
#endif
        // Without the directory's lock: a file removed or replaced while this waited guards
        // nothing, since whoever opens the path now gets another one. Lock that one instead.
        if (!dir_fd_ && !still_names(os_, path, own_.dev, own_.ino)) continue;
        own_.fd = as_long(fd.fd());
        own_.mode = mode;
        fd_ = fd.release();
        link(own_);
        return;
    }
}

// This thread already holds the file: run inside that hold, made exclusive if need be.
bool FileLock::join(Hold* h) {
    if (!h) return false;
    joined_ = h;
#ifndef _WIN32
    if (mode_ == Exclusive && h->mode == Shared) {
        take_lock(platform_, integer(h->fd), Exclusive);
        if (h->dir_fd >= 0) take_lock(platform_, integer(h->dir_fd), Exclusive);
        h->mode = Exclusive;
        upgraded_ = true;
    }
#endif
    return true;
}

FileLock::~FileLock() noexcept(false) {
    if (own_.linked) unlink(own_);  // no Python object: also on a thread the interpreter is ending
    if (!interpreter_reachable()) return;
    if (fd_) {
        if (own_.fd < 0) return;  // closed in a forked child
        if (dir_fd_) {
            cleanup([&] { drop_lock(platform_, dir_fd_); });
            cleanup([&] { call_method(os_, "close"_id, dir_fd_); });
        }
        cleanup([&] { drop_lock(platform_, fd_); });
        cleanup([&] { call_method(os_, "close"_id, fd_); });  // closing drops the lock in any case
    } else if (upgraded_ && joined_->linked) {
        if (joined_->dir_fd >= 0) cleanup([&] { take_lock(platform_, integer(joined_->dir_fd), Shared); });
        cleanup([&] { take_lock(platform_, integer(joined_->fd), Shared); });
        joined_->mode = Shared;
    }
}

}  // namespace rt
