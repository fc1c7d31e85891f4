// Atomic, durable replacement of a file, and the cleanup of what writers that died left behind.
#pragma once

#include "os.hpp"

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
// What a plain write would refuse is refused before anything is written, with its error: a
// directory (IsADirectoryError), a file this process may not write (PermissionError; root keeps
// its rights). So is what it would not refuse but must not be replaced by a new file, anything
// but a regular file (a device, a FIFO, a socket). A replaced file keeps its mode, and its owner
// and group where the process may give them. Encoding errors are raised before anything is
// touched; on any later failure the previous file is left as it was and the temporary file is
// removed. Errors read as the plain write's: an OSError that would name the temporary file names
// `path`, with the same type, errno and message.
void replace_text(Handle path, Handle text, NewFile mode);

// The bytes a text-mode UTF-8 write of `text` produces (raising as write_text would for a non-str
// or an unencodable character).
Ref text_file_bytes(Handle text);

// replace_text in two steps, for callers with work between them: constructing one checks what
// stands at `path` (raising what replace_text would raise before anything is written) and removes
// the temporary files that writers killed in the middle of replacing it left behind; write()
// then replaces it with `data` (bytes).
class Replacement {
public:
    Replacement(Handle path, NewFile mode);
    void write(Handle data);

private:
    NewFile mode_;
    Ref os_, where_, target_, current_;  // current_: os.stat of the file replaced, null when there is none
};

void replace_file(Handle path, Handle data, NewFile mode);

// Writes `data` (bytes) to a new file at `path`, created owner-only and flushed to disk, its
// directory too. Returns false, touching nothing, when something already stands at `path`.
bool write_new_file(Handle path, Handle data);

// Removes the temporary files that replacing `path` left beside it in processes that have ended
// before renaming them (killed in the middle of a write): names of exactly its pattern for this
// file, ".<name>.<pid>.<n>.tmp" (a name too long to take the suffix is shortened and marked with
// a hash of the whole name), whose process no longer exists, and nothing else. Best effort: a
// file that cannot be listed or removed stays. Every replacement runs it first. POSIX only: on
// Windows nothing is removed, since os.kill(pid, 0) would not ask whether a process exists there
// (signal 0 is CTRL_C_EVENT, sent to the process).
void remove_leftover_temp_files(Handle path);

}  // namespace rt
