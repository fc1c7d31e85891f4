#include "lock.hpp"

#include <cerrno>
#include <vector>

#include "os.hpp"

namespace rt {

namespace {

const Name n_path{"path"}, n_lexists{"lexists"}, n_close{"close"}, n_stat{"stat"}, n_fstat{"fstat"},
    n_st_dev{"st_dev"}, n_st_ino{"st_ino"}, n_O_RDONLY{"O_RDONLY"}, n_O_RDWR{"O_RDWR"}, n_O_CREAT{"O_CREAT"},
    n_O_NOINHERIT{"O_NOINHERIT"}, n_O_CLOEXEC{"O_CLOEXEC"}, n_O_NONBLOCK{"O_NONBLOCK"};
#ifdef _WIN32
const Name n_platform{"msvcrt"}, n_locking{"locking"}, n_LK_LOCK{"LK_LOCK"}, n_LK_UNLCK{"LK_UNLCK"};
#else
const Name n_platform{"fcntl"}, n_flock{"flock"}, n_LOCK_SH{"LOCK_SH"}, n_LOCK_EX{"LOCK_EX"}, n_LOCK_UN{"LOCK_UN"};
#endif

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
    Descriptor fd;
    if (unless_raises(PyExc_OSError, [&] { fd = open_descriptor(os, path, os_flag(os, n_O_RDWR) | os_flag(os, n_O_CREAT) | always, 0600); }))
        return fd.release();
    // Not writable here (a read-only file system or directory, a file of another user): an
    // existing lock file locks as well when opened for reading.
    try {
        return open_descriptor(os, path, os_flag(os, n_O_RDONLY) | always).release();
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
    Descriptor fd(os_, open_lock_file(os_, path));
    if (!fd) return;  // the directory takes no files: nothing to guard
    Ref st = call_method(os_, n_fstat, fd.fd());
    dev_ = identity_part(st, n_st_dev);
    ino_ = identity_part(st, n_st_ino);
    long number = as_long(fd.fd());
    if (join_held() || !take_lock(platform_, fd.fd(), mode)) {
        fd.close();
        return;
    }
    held_locks.push_back({dev_, ino_, number, mode});
    fd_ = fd.release();
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
