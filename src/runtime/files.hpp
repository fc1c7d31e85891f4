// Atomic, durable replacement of a file and the inter-process file lock, through the
// interpreter's own `os` module (and its `fcntl` or `msvcrt`).
#pragma once

#include "ref.hpp"

namespace rt {

enum class NewFile {
    Private,        // made owner-only (0600) from the start, whatever the umask
    LikeOpenWrite,  // a new file gets the umask's default mode; a replaced one keeps its mode
};

// Writes `text` (a str) to `path` (anything os.fspath accepts) as UTF-8 in text mode (the io
// module's line separator), the way path.write_text(text, encoding="utf-8") would, except
// that the file is never truncated in place: the whole text goes to a new file in the same
// directory, is flushed to disk, replaces the old file in one rename, and the directory is
// flushed too (where the platform can open one), so that a returned write survives a power
// loss. When `path` is a symbolic link, the file it points to is replaced and the link stays.
//
// Encoding errors are raised before anything is touched; a `path` that is a directory fails
// (IsADirectoryError) before any file is made; on any later failure the previous file is left as
// it was and the temporary file is removed. Errors read as the plain write's: an OSError that
// would name the temporary file names `path`, with the same type, errno and message.
void replace_text(Handle path, Handle text, NewFile mode);

// The two halves of replace_text, for callers with work between them: the bytes a text-mode
// UTF-8 write of `text` produces (raising as write_text would for a non-str or an unencodable
// character), then the atomic replacement of `path` with those bytes.
Ref text_file_bytes(Handle text);
void replace_file(Handle path, Handle data, NewFile mode);

// Writes `data` (bytes) to a new file at `path`, created owner-only and flushed to disk, its
// directory too. Returns false, touching nothing, when something already stands at `path`.
bool write_new_file(Handle path, Handle data);

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

// Removes the temporary files that replace_file left beside `path` in processes that have
// ended before renaming them (killed in the middle of a write): names of exactly its pattern for
// this file, ".<name>.<pid>.<n>.tmp", whose process no longer exists, and nothing else. Best
// effort: a file that cannot be listed or removed stays. POSIX only (nothing is removed where a
// process cannot be asked whether it exists).
void remove_leftover_temp_files(Handle path);

// The file a path names after following symbolic links (the path itself when it is none).
Ref link_target(Handle os, Handle path);

// The interpreter's `os` module.
Ref os_module();

}  // namespace rt
