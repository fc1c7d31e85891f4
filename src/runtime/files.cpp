#include "files.hpp"

#include <atomic>

namespace rt {

namespace {

Name n_os{"os"}, n_path{"path"}, n_fsdecode{"fsdecode"}, n_linesep{"linesep"}, n_replace{"replace"},
    n_islink{"islink"}, n_realpath{"realpath"}, n_split{"split"}, n_join{"join"}, n_open{"open"},
    n_write{"write"}, n_fsync{"fsync"}, n_close{"close"}, n_unlink{"unlink"}, n_chmod{"chmod"},
    n_stat{"stat"}, n_st_mode{"st_mode"}, n_getpid{"getpid"}, n_O_WRONLY{"O_WRONLY"},
    n_O_CREAT{"O_CREAT"}, n_O_EXCL{"O_EXCL"}, n_O_BINARY{"O_BINARY"}, n_O_NOINHERIT{"O_NOINHERIT"},
    n_O_CLOEXEC{"O_CLOEXEC"}, n_newline{"\n"};

// Temporary names differ by process id and a counter; O_EXCL settles any remaining clash.
std::atomic<unsigned long> temp_counter{0};

long os_flag(PyObject* os, PyObject* name) {
    PyObject* value = nullptr;
    if (check(_PyObject_LookupAttr(os, name, &value)) == 0) return 0;
    Ref v = Ref::steal(value);
    long flag = PyLong_AsLong(v);
    if (flag == -1 && PyErr_Occurred()) fail();
    return flag;
}

// The encoded bytes write_text would produce: line breaks as the interpreter writes them in text
// mode, then UTF-8.
Ref encode_for_text_mode(PyObject* os, PyObject* text) {
    Ref linesep = getattr(os, n_linesep);
    Ref translated = Ref::borrow(text);
    if (PyUnicode_Compare(linesep, n_newline) != 0) translated = call_method(text, n_replace, n_newline, linesep.get());
    return own(PyUnicode_AsUTF8String(translated));
}

void write_all(PyObject* os, PyObject* fd, PyObject* data) {
    Ref remaining = Ref::borrow(data);
    Ref write = getattr(os, n_write);
    while (PyBytes_GET_SIZE(remaining.get()) > 0) {
        Ref written = call(write, fd, remaining.get());
        Py_ssize_t n = PyLong_AsSsize_t(written);
        if (n == -1 && PyErr_Occurred()) fail();
        if (n <= 0) {
            PyErr_SetString(PyExc_OSError, "short write");
            fail();
        }
        if (n >= PyBytes_GET_SIZE(remaining.get())) break;
        remaining = own(PyBytes_FromStringAndSize(PyBytes_AS_STRING(remaining.get()) + n,
                                                  PyBytes_GET_SIZE(remaining.get()) - n));
    }
}

// Removes the temporary file after a failure, keeping the original error on the indicator.
void discard(PyObject* os, PyObject* temp) {
    cleanup([&] { call_method(os, n_unlink, temp); });
}

}  // namespace

Ref os_module() { return imported(n_os); }

Ref link_target(PyObject* os, PyObject* path) {
    Ref os_path = getattr(os, n_path);
    Ref target = call_method(os, n_fsdecode, path);
    if (truth(call_method(os_path, n_islink, target.get()))) target = call_method(os_path, n_realpath, target.get());
    return target;
}

namespace {

// os.O_WRONLY | os.O_CREAT | os.O_EXCL and the platform's binary and no-inherit flags.
Ref exclusive_create_flags(PyObject* os) {
    return integer(os_flag(os, n_O_WRONLY) | os_flag(os, n_O_CREAT) | os_flag(os, n_O_EXCL) |
                   os_flag(os, n_O_BINARY) | os_flag(os, n_O_NOINHERIT) | os_flag(os, n_O_CLOEXEC));
}

// Writes everything, flushes it to disk and closes the descriptor, also when writing fails.
void write_and_close(PyObject* os, PyObject* fd, PyObject* data) {
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

bool write_new_file(PyObject* path, PyObject* data) {
    Ref os = os_module();
    Ref target = call_method(os, n_fsdecode, path);
    Ref mode = integer(0600);
    PyObject* opened = PyObject_CallMethodObjArgs(os, n_open, target.get(), exclusive_create_flags(os).get(), mode.get(), nullptr);
    if (!opened) {
        if (!PyErr_ExceptionMatches(PyExc_FileExistsError)) fail();
        PyErr_Clear();
        return false;
    }
    Ref fd = Ref::steal(opened);
    try {
        write_and_close(os, fd, data);
    } catch (const Error&) {
        discard(os, target);
        throw;
    }
    return true;
}

Ref text_file_bytes(PyObject* text) {
    if (!PyUnicode_Check(text)) {
        // the TypeError write_text raises
        Ref type_name = own(PyType_GetName(Py_TYPE(text)));
        PyErr_Format(PyExc_TypeError, "data must be str, not %U", type_name.get());
        fail();
    }
    return encode_for_text_mode(os_module(), text);
}

void replace_text(PyObject* path, PyObject* text, NewFile mode) { replace_file(path, text_file_bytes(text), mode); }

void replace_file(PyObject* path, PyObject* data, NewFile mode) {
    Ref os = os_module();
    Ref target = link_target(os, path);
    Ref os_path = getattr(os, n_path);
    Ref parts = call_method(os_path, n_split, target.get());
    PyObject* dir = PyTuple_GET_ITEM(parts.get(), 0);
    PyObject* base = PyTuple_GET_ITEM(parts.get(), 1);

    // The mode the finished file must have when it replaces an existing one.
    Ref keep_mode;
    if (mode == NewFile::LikeOpenWrite) {
        PyObject* st = PyObject_CallMethodOneArg(os, n_stat, target);
        if (st) {
            Ref s = Ref::steal(st);
            keep_mode = own(PyNumber_And(getattr(s, n_st_mode), Ref(integer(07777))));
        } else if (PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
            PyErr_Clear();
        } else {
            fail();
        }
    }
    Ref open_flags = exclusive_create_flags(os);
    Ref create_mode = integer(mode == NewFile::Private || keep_mode ? 0600 : 0666);
    Ref pid = call_method(os, n_getpid);

    Ref temp, fd;
    for (int attempt = 0;; ++attempt) {
        Ref name = own(PyUnicode_FromFormat(".%U.%S.%lu.tmp", base, pid.get(), temp_counter.fetch_add(1)));
        temp = call_method(os_path, n_join, dir, name.get());
        PyObject* opened = PyObject_CallMethodObjArgs(os, n_open, temp.get(), open_flags.get(), create_mode.get(), nullptr);
        if (opened) {
            fd = Ref::steal(opened);
            break;
        }
        if (attempt > 100 || !PyErr_ExceptionMatches(PyExc_FileExistsError)) fail();
        PyErr_Clear();
    }

    try {
        write_and_close(os, fd, data);
        if (keep_mode) call_method(os, n_chmod, temp.get(), keep_mode.get());
        call_method(os, n_replace, temp.get(), target.get());
    } catch (const Error&) {
        discard(os, temp);
        throw;
    }
}

}  // namespace rt
