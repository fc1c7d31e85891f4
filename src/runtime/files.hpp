// Atomic replacement of a text file, through the interpreter's own `os` module.
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
// directory, is flushed to disk, and replaces the old file in one rename. When `path` is a
// symbolic link, the file it points to is replaced and the link stays.
//
// Encoding errors are raised before anything is touched; on any later failure the previous file
// is left as it was and the temporary file is removed.
void replace_text(Handle path, Handle text, NewFile mode);

// The two halves of replace_text, for callers with work between them: the bytes a text-mode
// UTF-8 write of `text` produces (raising as write_text would for a non-str or an unencodable
// character), then the atomic replacement of `path` with those bytes.
Ref text_file_bytes(Handle text);
void replace_file(Handle path, Handle data, NewFile mode);

// Writes `data` (bytes) to a new file at `path`, created owner-only and flushed to disk. Returns
// false, touching nothing, when something already stands at `path`.
bool write_new_file(Handle path, Handle data);

// The file a path names after following symbolic links (the path itself when it is none).
Ref link_target(Handle os, Handle path);

// The interpreter's `os` module.
Ref os_module();

}  // namespace rt
