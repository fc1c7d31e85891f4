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

private:
    bool join_held();
    Mode mode_;
    Ref os_, platform_, fd_;  // fd_: the lock file this object opened, null when it holds none of its own
    unsigned long long dev_ = 0, ino_ = 0;  // the lock file's identity
    bool upgraded_ = false;                 // turned this thread's shared hold exclusive
};

}  // namespace rt
