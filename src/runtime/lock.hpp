// The inter-process store lock.
#pragma once

#include "os.hpp"

namespace rt {

// A lock on the store that the lock file at `path` guards, held from construction to destruction:
// Exclusive against every other holder, Shared against exclusive ones only. Waiting holders of
// other processes wait in the kernel (flock on POSIX, msvcrt.locking on Windows, where every lock
// is exclusive); the kernel drops a lock whose holder dies.
//
// Who holds it. One owner per process at a time: a thread, or a greenlet where the greenlet
// module is loaded. Another owner of this process waits cooperatively, sleeping through the
// interpreter's time.sleep (which greenlet schedulers patch), until the holder is done. The same
// owner asking again (an override calling back in, however the path is spelt) runs inside its
// own hold; an Exclusive lock asked inside a Shared one turns the hold exclusive until the inner
// lock ends. The bookkeeping lives on the heap, never on a stack that a greenlet switch moves.
//
// What is locked. The lock file is never created or opened through a link, and must be a regular
// file. On POSIX the folder that holds it is locked too, after the file: removing or replacing the
// lock file then lets nothing in. Where a folder cannot be locked (Windows, some network file
// systems) the lock is taken only while `path` still names the locked file. Locks are always
// taken file first, then folder, and changed by dropping both and taking them again in that
// order, so two holders never wait for each other.
//
// Failure. A lock that cannot be taken (no locks on this file system, a lock file that cannot
// be opened or is not a regular file) raises OSError naming the lock file: nothing goes on
// unguarded. The one exception: a store folder that does not exist, where there is nothing to read
// and no lock file can be made. Nothing is held then, and check_can_write() refuses to go on, in
// case the folder has been made again meanwhile.
//
// A lock file made by another user than the folder's owner (root acting on a user's store) is
// given to the folder's owner where the process may, so that it never locks the owner out.
//
// Fork. A forked child never holds its parent's lock: it closes the descriptors it inherited
// without unlocking them (os.register_at_fork), and they are close-on-exec too. A section that
// was running in the forking thread goes on in the child without the lock: check_held() says so.
class FileLock {
public:
    enum Mode { Shared, Exclusive };
    FileLock(Handle path, Mode mode);
    // Releasing runs Python code, which a forced unwind may leave: not noexcept.
    ~FileLock() noexcept(false);
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Raises RuntimeError when this process does not hold the lock it took: a forked child goes
    // no further in a section its parent held.
    void check_held() const;
    // Whether this process still holds what it took (false in a forked child).
    bool held() const noexcept;
    // check_held(), and FileNotFoundError naming the lock file when nothing could be locked
    // because the store folder did not exist: called before a write.
    void check_can_write() const;

    struct Hold;  // one process's hold of one store (lock.cpp)

private:
    Hold* hold_ = nullptr;   // null: a store folder that does not exist, nothing held
    bool taken_ = false;     // this object took the hold (it did not join one)
    bool upgraded_ = false;  // this object turned the hold it joined exclusive
    Ref unlocked_;           // the lock file, when the store folder did not exist
};

// What each platform provides (lock_posix.cpp, lock_windows.cpp; CMake builds one of them).
namespace lock_platform {

// The lock file at `path`, opened for locking without following a link, created owner-only
// when missing (and given to the owner of the folder, whose os.stat is `folder`, where the
// process may); never blocks and is never inherited by a program a child runs. A closed
// Descriptor when nothing stands at `path` and nothing can be made there. Raises when what
// stands there is a link or not a regular file.
Descriptor open_lock_file(Handle os, Handle path, Handle folder);

// Waits for the lock on `fd` and takes it (Shared may be taken as Exclusive). A failure raises
// OSError naming `path`.
void take(Handle os, Handle fd, FileLock::Mode mode, Handle path);

// Gives the lock on `fd` up.
void drop(Handle fd);

// The folder `dir`, locked; a closed Descriptor where a folder cannot be locked.
Descriptor lock_folder(Handle os, Handle dir, FileLock::Mode mode);

// Runs `forget` in every child that os.fork() makes (once registered, for the process).
void after_fork_in_child(PyCFunction forget);

}  // namespace lock_platform

}  // namespace rt
