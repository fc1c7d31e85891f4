// Atomic, durable replacement of a regular file, and new files made once.
#pragma once

#include <optional>

#include "os.hpp"

namespace rt {

enum class NewFile {
    Private,        // owner-only (0600), whatever the umask
    LikeOpenWrite,  // a new file gets the umask's default mode; a replaced one keeps its mode
};

// The bytes a text-mode UTF-8 write of `text` produces, as path.write_text(text, encoding="utf-8")
// would write them (the io module's line separator), raising as it would for a non-str or an
// unencodable character.
Ref text_file_bytes(Handle text);

// Replaces the file at `path` (anything os.fsdecode takes) whole: the new bytes go to a temporary
// file beside it, flushed to disk, which then takes the file's name in one rename; the folder is
// flushed after it, so that a returned write survives a power loss. Readers see the old file or
// the new one, never part of either.
//
// The kernel decides what may be written. Constructing one opens `path` as a plain write opens it
// (following links as the kernel allows, but without truncating it and without blocking on a
// FIFO) and takes every check from that descriptor: what a plain write would refuse is refused
// with its error (a directory, no permission, a read-only file system), and so is anything but a
// regular file (a FIFO, a device, a socket, a link to nothing). The file replaced is the one that
// descriptor has open: `path` itself, or the file its link leads to. A replaced file keeps its
// mode (LikeOpenWrite) but for the set-id bits, its POSIX access ACL or its having none (where
// the os module reads extended attributes), and its owner and group where the process may give
// them. Nothing is changed before commit().
//
// The temporary file is created exclusively (never through a link), under a name with 64 random
// bits, and its writer holds a lock on it until the rename (POSIX; on Windows the open file
// cannot be removed). The first replacement in a folder in a process removes the temporary files
// there whose writer is gone, proven by taking that lock, and nothing else; later ones in the
// same folder do not look, so a write costs the same in a big folder.
//
// Errors read as the plain write's: an OSError that would name the temporary file names `path`,
// with the same type, errno and message.
namespace detail {

// What Replacement and write_new_file build on, not a way in of its own: a temporary file beside the
// file it is to become, `base` in `folder`: created exclusively (never
// through a link) under a name with 64 random bits, and held by its writer until it takes its name
// (a lock on POSIX, the open file itself on Windows), so that the cleanup of dead writers' files
// leaves it alone. Removed unless it took its name, by the process that made it only (never by a
// forked child). Errors that would name it name `where`.
class TempFile {
public:
    TempFile(Handle os, Handle folder, Handle base, long create_mode, Handle where);
    ~TempFile() noexcept(false);
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    Handle path() const noexcept { return path_; }
    Handle fd() const noexcept { return fd_.fd(); }
    // os.fstat of the file, as made
    Handle made() const noexcept { return made_; }
    // Writes all of `data`, sets `mode` (unless null) and flushes the file to disk.
    void write(Handle data, Handle mode);
    // Takes the name `target`, replacing what stands there (os.replace). The file stays open, its
    // writer's lock held, until close().
    void rename_over(Handle target);
    // Closes the file once it has its name. A failure is dropped, an interrupt raised (rt::cleanup).
    void close();
    // Takes the name `target` as well (os.link): false, and nothing changed, when something stands
    // there. The temporary name stays until remove().
    bool link_as(Handle target);
    // Unless it took its name by a rename: closes the file and removes its temporary name, as the
    // end of this object does, raising an interrupt that comes meanwhile (rt::cleanup).
    void remove();

private:
    void close_before_naming();
    Ref os_, where_, path_, made_;
    Descriptor fd_;
    long maker_;  // the process that made it: a forked child never removes its parent's file
    bool named_ = false;
};

}  // namespace detail

class Replacement {
public:
    // A temporary file that was prepared and not committed is removed when this object ends.
    Replacement(Handle path, NewFile mode);
    ~Replacement() noexcept(false);
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    // The file that commit() replaces.
    Handle target() const noexcept { return target_; }
    // Writes `data` (bytes) to the temporary file and flushes it. Nothing is visible yet.
    void prepare(Handle data);
    // The commit point: the temporary file takes the target's name.
    void commit();
    // Closes the new file (its writer's lock goes) and flushes the folder, so that the rename
    // survives a power loss. A failure is raised, with the new file in place: nothing that can fail
    // after the rename is done by commit(), so that a commit() that raised changed nothing.
    void flush_folder();
    // All three.
    void write(Handle data) {
        prepare(data);
        commit();
        flush_folder();
    }

private:
    void open_target();
    [[noreturn]] void raise_naming_path();

    NewFile mode_;
    Ref os_, where_, target_, folder_;
    Ref current_;  // os.fstat of the file replaced; null when there is none
    Ref acl_;      // the POSIX access ACL of the file replaced; null when it has none
    std::optional<detail::TempFile> temp_;
};

// Raises what a Replacement of `path` would raise at its construction (what a plain write would
// refuse, and anything but a regular file), and writes nothing: the check for a file that another
// writer writes in its own way, made before that writer is called.
void check_replaceable(Handle path);

// Whether the file name `name` (a str, no folder) has the form of this layer's temporary files,
// ".<name>.<16 hex digits: a process's token><8 hex digits>.tmp", whoever made it. The first
// replacement in a folder removes such files when their writer is gone: a caller's own file must
// never be given such a name.
bool is_temp_name(Handle name);

// Writes `data` (bytes) to a new file at `path`, owner-only, flushed to disk, its folder too: a
// temporary file that then takes the name as a second link, so that the file appears whole or not
// at all. Returns false, touching nothing, when something already stands at `path`.
bool write_new_file(Handle path, Handle data);

}  // namespace rt
