// Operating-system helpers, all through the interpreter's own `os` module: descriptors that close
// themselves, OSError from an errno, flushing to disk, file types and identities.
#pragma once

#include <compare>
#include <initializer_list>
#include <utility>

#include "call.hpp"
#include "objects.hpp"

namespace rt {

// The interpreter's `os` module.
Ref os_module();

// The interpreter's module for file locks and flushes beyond `os`: fcntl, or msvcrt on Windows.
Ref platform_module();

// os.<name> as a C long (an open flag, say), 0 when this platform's os has no such name.
long os_flag(Handle os, Handle name);

// raise OSError(code, os.strerror(code), filename): the subclass that errno maps to. A message
// replaces os.strerror(code) where the number alone would mislead. The one way to raise an
// OSError from an errno: built by the interpreter, never through the C library's errno, since the
// module's C runtime need not be the interpreter's (Windows links its own).
[[noreturn]] void raise_os_error(int code, Handle filename, const char* message = nullptr);

// A descriptor from os.open, closed through os.close when this object ends. The close at the end
// keeps a pending exception and drops its own failure unless it is an interrupt (rt::cleanup);
// close() is the success path's close, which raises.
class Descriptor {
public:
    Descriptor() = default;
    Descriptor(Handle os, Ref fd) : os_(new_ref(os)), fd_(std::move(fd)) {}
    Descriptor(Descriptor&&) = default;
    Descriptor& operator=(Descriptor&& o);
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    // Closing runs Python code, which a forced unwind may leave: not noexcept.
    ~Descriptor() noexcept(false);

    explicit operator bool() const noexcept { return bool(fd_); }
    Handle fd() const noexcept { return fd_; }
    // The descriptor, no longer closed by this object.
    Ref release() noexcept { return std::move(fd_); }
    void close();

private:
    Ref os_, fd_;
};

// os.open(path, flags, mode) as a Descriptor.
Descriptor open_descriptor(Handle os, Handle path, long flags, long mode = 0777);

// os.path.split(path), with a str file name.
std::pair<Ref, Ref> split_path(Handle os_path, Handle path);

// A directory as os.open and os.listdir take it: "" (the path had no directory part) is the
// current one.
Ref directory_or_current(Handle os, Handle dir);

// st_mode as the stat module reads it (the same values on every platform).
inline constexpr long file_type_bits = 0170000, directory_type = 0040000, regular_type = 0100000;
long file_type(Handle st);

// A file's identity, (st_dev, st_ino) of a stat result: the same file whatever path or descriptor
// reached it.
struct Identity {
    unsigned long long dev = 0, ino = 0;
    bool operator==(const Identity&) const = default;
    auto operator<=>(const Identity&) const = default;
};
Identity identity(Handle st);

// Whether `path` names, without following a link, the regular file whose stat result is `st`: the
// file an open descriptor has is still the one at that name.
bool names_file(Handle os, Handle path, Handle st);

// Gives the file open at `fd` (os.fstat `made`) the owner and group of `owner` (an os.stat
// result), where this process may (root, or a member of the group for the group alone); otherwise
// it stays the maker's. Nothing where the platform has no owners (Windows).
void give_owner(Handle os, Handle fd, Handle made, Handle owner);

// Flushes what was written through `fd` to the disk: fcntl(fd, F_FULLFSYNC) where the interpreter's
// fcntl has it (macOS), else (or when the file system refuses it) os.fsync.
void sync_file(Handle os, Handle fd);

// A rename or a new name lives in its directory: flush the directory as well, so that the change
// survives a power loss. Best effort where the platform cannot open a directory (Windows) or the
// file system cannot flush one; a failing flush of one that can is raised.
void sync_directory(Handle os, Handle dir);

}  // namespace rt
