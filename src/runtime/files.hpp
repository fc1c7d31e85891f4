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

// Removes the temporary files that replace_file left beside `path` in processes that have
// ended before renaming them (killed in the middle of a write): names of exactly its pattern for
// this file, ".<name>.<pid>.<n>.tmp", whose process no longer exists, and nothing else. Best
// effort: a file that cannot be listed or removed stays. POSIX only (nothing is removed where a
// process cannot be asked whether it exists).
void remove_leftover_temp_files(Handle path);

}  // namespace rt
