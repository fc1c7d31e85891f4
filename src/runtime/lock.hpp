// The inter-process file lock.
#pragma once

#include "ref.hpp"

namespace rt {

// A lock on the file at `path` (made owner-only when missing), held from construction to
// destruction: Exclusive against every other holder, Shared against exclusive ones only. It is
// taken through the interpreter's own modules (fcntl.flock on POSIX; msvcrt.locking on Windows,
// where every lock is exclusive), waits while another holder has it, and the operating system
// drops it if the holder dies.
//
// A thread that already holds the file (the same device and inode, however the path is spelt)
// runs inside that hold instead of waiting for itself: code reached again from inside a held
// section, such as an override calling back in. An exclusive lock asked for inside a shared one
// turns that hold exclusive until the inner lock ends.
//
// Removing or replacing the lock file lets nothing in: on POSIX the directory that holds it is
// locked as well, after the file (where the file system locks directories), and taking the lock
// succeeds only while `path` still names the locked file; when it was removed or replaced in the
// meantime, the new one is locked instead. A forked child never holds
// its parent's locks: it closes the descriptors it inherited (os.register_at_fork), and a lock it
// was inside of runs unguarded there. The descriptors are close-on-exec too. Greenlets that
// share a thread share its holds.
//
// A failure to open the lock file or to take the lock is raised, with two exceptions where the
// section runs unguarded: nothing stands at `path` and nothing can be made there (the directory
// takes no files, so nothing needs guarding), or the file system offers no locks at all.
class FileLock {
public:
    enum Mode { Shared, Exclusive };
    FileLock(Handle path, Mode mode);
    // Releasing runs Python code, which a forced unwind may leave: not noexcept.
    ~FileLock() noexcept(false);
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // A lock file a thread holds, by its identity: in that thread's list and in the process's.
    struct Hold {
        unsigned long long dev = 0, ino = 0;
        long fd = -1, dir_fd = -1;  // dir_fd: the directory's lock, -1 without one
        Mode mode = Shared;
        bool linked = false;  // false again once released, or closed in a forked child
        Hold* next_in_thread = nullptr;
        Hold *prev_in_process = nullptr, *next_in_process = nullptr;
    };

private:
    bool join(Hold* h);
    [[maybe_unused]] Mode mode_;  // read only where a shared hold can turn exclusive (not on Windows)
    Ref os_, platform_, fd_, dir_fd_;  // what this object opened and locked, null when it holds none of its own
    Hold own_;                // this object's hold, when it opened the lock file
    Hold* joined_ = nullptr;  // the hold of this thread it runs inside instead
    bool upgraded_ = false;   // turned that shared hold exclusive
};

}  // namespace rt
