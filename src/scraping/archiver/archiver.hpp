// The page archiver: names shared by its files and the method bodies they define.
#pragma once

#include <initializer_list>

#include "runtime/coroutine.hpp"
#include "runtime/files.hpp"
#include "runtime/function.hpp"

namespace archiver {

using rt::Call;
using rt::Handle;
using rt::Ref;
using namespace rt::literals;

inline constexpr const char* module_name = "zantor.kestrow.scraping.archiver";

// Module globals, looked up by name at each use.
inline constexpr rt::Id<"json"> g_json;

// path.mkdir(parents=True, exist_ok=True)
void make_dir(Handle path);

// path.write_text(text, encoding="utf-8"), except that the file is replaced whole (runtime/files.hpp):
// a failed write leaves the previous file as it was. Encoding errors come first.
inline void write_text(Handle path, Handle text) {
    Ref data = rt::text_file_bytes(text);
    rt::Replacement(path, rt::NewFile::LikeOpenWrite).write(data);
}

// --- archive layout (layout.cpp) ----------------------------------------------------------------

// One caller-given name on the way from the archive root to an output file, with the parameter
// it came in (for the message), and what its last component names.
struct PathName {
    const char* param;
    PyObject* value;  // a str
    enum Names { Folder, File } names = Folder;
};

// Every output file stays inside the archive root, under the names the caller gave. The names,
// joined in order below `root_dir`, must not leave it: a name that is an absolute path (or, on
// Windows, carries a drive) would replace the root in a pathlib join, and a ".." component that
// climbs above the root would walk out of it, as would one that takes back a component that is a
// symbolic link (the system reads it in the folder above the link's target; asked of the file
// system only when a ".." comes). Nor may a component be one the system reads as
// another name (Windows drops trailing dots and spaces, and reads NUL, CON, ... as devices), since
// the path returned would then not name the file written; the system's own os.path.abspath says
// which, so every name POSIX keeps stays allowed there. Each raises ValueError before anything is
// created. Components are read as pathlib reads them (split at the platform's separators, "" and
// "." ignored), so nested names ("a/b") and the empty name (the root itself) are fine, as is a
// ".." that stays below the root. A file's own name may not have the form of the file layer's
// temporary files (rt::is_temp_name), which the next writer in its folder may take for a dead
// writer's and remove.
void check_inside_root(Handle root_dir, std::initializer_list<PathName> names);

// section_dir = root_dir / section, for a section that stays inside the root (checked as above).
Ref section_dir_inside_root(Handle root_dir, Handle section);

// --- method bodies --------------------------------------------------------------------------------

// Constructor and JSON output (module.cpp).
Ref init(Call& c);
Ref save_json(Call& c);

// The capture coroutines (capture.cpp).
rt::Async archive_page(Call& c);
rt::Async archive_locator(Call& c);

// HTML cleaning and Markdown conversion (markdown.cpp).
Ref html_to_markdown(Call& c);

}  // namespace archiver
