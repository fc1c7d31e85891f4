#include "files.hpp"

#include <atomic>

#include "mapping.hpp"

namespace rt {

namespace {

const Name n_os{"os"}, n_path{"path"}, n_fsdecode{"fsdecode"}, n_replace{"replace"}, n_islink{"islink"},
    n_realpath{"realpath"}, n_split{"split"}, n_join{"join"}, n_open{"open"}, n_write{"write"}, n_fsync{"fsync"},
    n_close{"close"}, n_unlink{"unlink"}, n_chmod{"chmod"}, n_stat{"stat"}, n_st_mode{"st_mode"},
    n_getpid{"getpid"}, n_O_WRONLY{"O_WRONLY"}, n_O_CREAT{"O_CREAT"}, n_O_EXCL{"O_EXCL"}, n_O_BINARY{"O_BINARY"},
    n_O_NOINHERIT{"O_NOINHERIT"}, n_O_CLOEXEC{"O_CLOEXEC"};
#ifdef _WIN32
const Name n_newline{"\n"}, n_text_mode_newline{"\r\n"};  // "\n" as the io module writes it in text mode
#endif

// Temporary names differ by process id and a counter; O_EXCL settles any remaining clash.
std::atomic<unsigned long> temp_counter{0};

long os_flag(Handle os, Handle name) {
    Ref v = lookup(os, name);
    if (!v) return 0;
    long flag = PyLong_AsLong(v.get());
    if (flag == -1 && PyErr_Occurred()) fail();
    return flag;
}

// The encoded bytes write_text would produce: line breaks as the io module writes them in text
// mode (a fixed choice of the platform, whatever os.linesep says), then UTF-8.
Ref encode_for_text_mode(Handle text) {
#ifdef _WIN32
    Ref translated = own(PyUnicode_Replace(text, n_newline, n_text_mode_newline, -1));
    return own(PyUnicode_AsUTF8String(translated.get()));
#else
    return own(PyUnicode_AsUTF8String(text));
#endif
}

void write_all(Handle os, Handle fd, Handle data) {
    Ref remaining = new_ref(data);
    Ref write = getattr(os, n_write);
    while (PyBytes_GET_SIZE(remaining.get()) > 0) {
        Ref written = call(write, fd, remaining);
        Py_ssize_t n = PyLong_AsSsize_t(written.get());
        if (n == -1 && PyErr_Occurred()) fail();
        if (n <= 0) raise(PyExc_OSError, "short write");
        if (n >= PyBytes_GET_SIZE(remaining.get())) break;
        remaining = own(PyBytes_FromStringAndSize(PyBytes_AS_STRING(remaining.get()) + n,
                                                  PyBytes_GET_SIZE(remaining.get()) - n));
    }
}

// Removes the temporary file after a failure, keeping the original error on the indicator.
void discard(Handle os, Handle temp) {
    cleanup([&] { call_method(os, n_unlink, temp); });
}

}  // namespace

Ref os_module() { return imported(n_os); }

Ref link_target(Handle os, Handle path) {
    Ref os_path = getattr(os, n_path);
    Ref target = call_method(os, n_fsdecode, path);
    if (truth(call_method(os_path, n_islink, target))) target = call_method(os_path, n_realpath, target);
    return target;
}

namespace {

// os.O_WRONLY | os.O_CREAT | os.O_EXCL and the platform's binary and no-inherit flags.
Ref exclusive_create_flags(Handle os) {
    return integer(os_flag(os, n_O_WRONLY) | os_flag(os, n_O_CREAT) | os_flag(os, n_O_EXCL) |
                   os_flag(os, n_O_BINARY) | os_flag(os, n_O_NOINHERIT) | os_flag(os, n_O_CLOEXEC));
}

// Writes everything, flushes it to disk and closes the descriptor, also when writing fails.
void write_and_close(Handle os, Handle fd, Handle data) {
    try {
        write_all(os, fd, data);
        call_method(os, n_fsync, fd);
    } catch (const Error&) {
        cleanup([&] { call_method(os, n_close, fd); });
        throw;
    }
    call_method(os, n_close, fd);
}

}  // namespace

bool write_new_file(Handle path, Handle data) {
    Ref os = os_module();
    Ref target = call_method(os, n_fsdecode, path);
    Ref fd;
    if (!unless_raises(PyExc_FileExistsError, [&] { fd = call_method(os, n_open, target, exclusive_create_flags(os), integer(0600)); }))
        return false;
    try {
        write_and_close(os, fd, data);
    } catch (const Error&) {
        discard(os, target);
        throw;
    }
    return true;
}

Ref text_file_bytes(Handle text) {
    if (!PyUnicode_Check(text.get())) {
        // the TypeError write_text raises
        Ref type_name = own(PyType_GetName(Py_TYPE(text.get())));
        raise(PyExc_TypeError, "data must be str, not %U", type_name.get());
    }
    return encode_for_text_mode(text);
}

void replace_text(Handle path, Handle text, NewFile mode) { replace_file(path, text_file_bytes(text), mode); }

void replace_file(Handle path, Handle data, NewFile mode) {
    Ref os = os_module();
    Ref target = link_target(os, path);
    Ref os_path = getattr(os, n_path);
    auto [dir, base] = unpack_pair(call_method(os_path, n_split, target));
    if (!PyUnicode_Check(base.get())) raise(PyExc_TypeError, "os.path.split() gave a file name that is not a str");

    // The mode the finished file must have when it replaces an existing one.
    Ref keep_mode;
    if (mode == NewFile::LikeOpenWrite) {
        unless_raises(PyExc_FileNotFoundError, [&] {
            Ref st = call_method(os, n_stat, target);
            keep_mode = own(PyNumber_And(getattr(st, n_st_mode).get(), integer(07777).get()));
        });
    }
    Ref open_flags = exclusive_create_flags(os);
    Ref create_mode = integer(mode == NewFile::Private || keep_mode ? 0600 : 0666);
    Ref pid = call_method(os, n_getpid);

    Ref temp, fd;
    for (int attempt = 0; !fd; ++attempt) {
        Ref name = own(PyUnicode_FromFormat(".%U.%S.%lu.tmp", base.get(), pid.get(), temp_counter.fetch_add(1)));
        temp = call_method(os_path, n_join, dir, name);
        bool made = unless_raises(PyExc_FileExistsError, [&] { fd = call_method(os, n_open, temp, open_flags, create_mode); });
        if (!made && attempt > 100) raise(PyExc_FileExistsError, "no free temporary file name beside %R", target.get());
    }

    try {
        write_and_close(os, fd, data);
        if (keep_mode) call_method(os, n_chmod, temp, keep_mode);
        call_method(os, n_replace, temp, target);
    } catch (const Error&) {
        discard(os, temp);
        throw;
    }
}

}  // namespace rt
