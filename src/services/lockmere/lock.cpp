// The store lock: `save` and `delete` read, change and write back the whole account mapping, so
// two of them running at once in different processes would lose one change. Each holds an
// exclusive lock on ".accounts.lock" in the store directory around that cycle. The lock is taken
// through the interpreter's own modules (fcntl.flock on POSIX, msvcrt.locking on Windows): it
// waits only while another holder is inside its cycle, and the operating system drops it if the
// holder dies.
#include <cerrno>
#include <string>
#include <vector>

#include "store.hpp"

namespace lockmere {

namespace {

const Name n_path{"path"}, n_dirname{"dirname"}, n_join{"join"}, n_open{"open"}, n_close{"close"},
    n_O_RDWR{"O_RDWR"}, n_O_RDONLY{"O_RDONLY"}, n_O_CREAT{"O_CREAT"}, n_lock_file{".accounts.lock"};
#ifdef _WIN32
const Name n_platform_module{"msvcrt"}, n_locking{"locking"}, n_LK_LOCK{"LK_LOCK"}, n_LK_UNLCK{"LK_UNLCK"};
#else
const Name n_platform_module{"fcntl"}, n_flock{"flock"}, n_LOCK_EX{"LOCK_EX"}, n_LOCK_UN{"LOCK_UN"};
#endif

// Lock files this thread holds. flock excludes separate opens of one file even within a process,
// so a save or delete reached again from inside a held cycle (an override calling back into the
// store) would otherwise wait for itself forever; it runs inside the cycle that already holds it.
thread_local std::vector<std::string> held_here;

long pending_errno() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    long code = 0;
    if (value && PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(PyExc_OSError))) {
        PyObject* e = reinterpret_cast<PyOSErrorObject*>(value)->myerrno;
        if (e && PyLong_Check(e)) code = PyLong_AsLong(e);
        if (code == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    PyErr_Restore(type, value, tb);
    return code;
}

// The pending error says no file can be made in the directory: it is missing, not writable, or
// on a read-only file system. accounts.json cannot be replaced there either, so nothing needs
// guarding and the operation goes on to meet (or not meet) that error itself.
bool directory_takes_no_files() {
    if (PyErr_ExceptionMatches(PyExc_FileNotFoundError) || PyErr_ExceptionMatches(PyExc_PermissionError))
        return true;
    return PyErr_ExceptionMatches(PyExc_OSError) && pending_errno() == EROFS;
}

// The lock file, opened for locking; null when the directory takes no files and has no lock file.
Ref open_lock_file(Handle os, Handle path) {
    Ref create = rt::own(PyNumber_Or(rt::getattr(os, n_O_RDWR).get(), rt::getattr(os, n_O_CREAT).get()));
    Ref mode = rt::integer(0600);
    PyObject* fd = PyObject_CallMethodObjArgs(os, n_open, path.get(), create.get(), mode.get(), nullptr);
    if (fd) return rt::own(fd);
    if (!directory_takes_no_files()) rt::fail();
    PyErr_Clear();
    fd = PyObject_CallMethodObjArgs(os, n_open, path.get(), rt::getattr(os, n_O_RDONLY).get(), nullptr);
    if (fd) return rt::own(fd);
    if (!directory_takes_no_files()) rt::fail();
    PyErr_Clear();
    return nullptr;
}

// Waits for the lock and takes it. False when the file system offers no locks at all (some
// network and user-space file systems): the cycle then runs unguarded, as it always did.
bool lock(Handle platform, Handle fd) {
#ifdef _WIN32
    // LK_LOCK gives up with EDEADLOCK after ten one-second tries; keep waiting for the holder.
    Ref one = rt::integer(1);
    for (;;) {
        PyObject* r = PyObject_CallMethodObjArgs(platform, n_locking, fd, rt::getattr(platform, n_LK_LOCK).get(),
                                                 one.get(), nullptr);
        if (r) {
            Py_DECREF(r);
            return true;
        }
        if (!PyErr_ExceptionMatches(PyExc_OSError) || pending_errno() != EDEADLOCK) rt::fail();
        PyErr_Clear();
    }
#else
    PyObject* r = PyObject_CallMethodObjArgs(platform, n_flock, fd.get(), rt::getattr(platform, n_LOCK_EX).get(), nullptr);
    if (r) {
        Py_DECREF(r);
        return true;
    }
    long code = PyErr_ExceptionMatches(PyExc_OSError) ? pending_errno() : 0;
    if (code != ENOLCK && code != EOPNOTSUPP && code != ENOTSUP) rt::fail();
    PyErr_Clear();
    return false;
#endif
}

// Releases and closes without raising: runs on error paths too, with the error kept as it is.
void unlock_and_close(Handle os, Handle platform, Handle fd) {
    rt::cleanup([&] {
#ifdef _WIN32
        rt::call_method(platform, n_locking, fd, rt::getattr(platform, n_LK_UNLCK).get(), rt::integer(1).get());
#else
        rt::call_method(platform, n_flock, fd, rt::getattr(platform, n_LOCK_UN));
#endif
    });
    rt::cleanup([&] { rt::call_method(os, n_close, fd); });  // closing drops the lock in any case
}

std::string key_of(Handle path) {
    Ref bytes = rt::own(PyUnicode_AsEncodedString(path, "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()));
}

}  // namespace

StoreLock::StoreLock(Handle meta_path) {
    os_ = rt::os_module();
    Ref os_path = rt::getattr(os_, n_path);
    Ref store_dir = rt::call_method(os_path, n_dirname, rt::link_target(os_, meta_path));
    Ref path = rt::call_method(os_path, n_join, store_dir, n_lock_file);
    std::string key = key_of(path);
    for (const std::string& held : held_here)
        if (held == key) return;

    platform_ = rt::imported(n_platform_module);
    fd_ = open_lock_file(os_, path);
    if (!fd_) return;
    held_here.push_back(std::move(key));
    try {
        if (lock(platform_, fd_)) return;
    } catch (const rt::Error&) {
        release();
        throw;
    }
    release();
}

StoreLock::~StoreLock() {
    if (fd_) release();
}

void StoreLock::release() {
    held_here.pop_back();
    unlock_and_close(os_, platform_, fd_);
    fd_ = Ref();
}

}  // namespace lockmere
