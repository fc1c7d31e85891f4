// The store lock's bookkeeping, the same on every platform: who in this process holds which store,
// re-entry, cooperative waiting and fork. The kernel's side is lock_posix.cpp or lock_windows.cpp.
#include "lock.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <vector>

#include "module.hpp"

namespace rt {

namespace {

// Who asks: a thread, and within it a greenlet other than the thread's main one.
struct Owner {
    unsigned long thread = 0;
    std::uintptr_t greenlet = 0;  // 0: the thread's main greenlet, or no greenlets at all
    bool operator==(const Owner&) const = default;
};

Owner current_owner() {
    Owner me{PyThread_get_thread_ident(), 0};
    Ref greenlet = dict_get(PyImport_GetModuleDict(), "greenlet"_id);
    if (!greenlet) return me;
    Ref current = call_method(greenlet, "getcurrent"_id);
    if (getattr(current, "parent"_id).get() != Py_None) me.greenlet = reinterpret_cast<std::uintptr_t>(current.get());
    return me;
}

}  // namespace

// One process's hold of one store. Heap records, listed in `holds`: another owner reads them while
// the holder's stack is switched out.
struct FileLock::Hold {
    Identity store;  // the store folder's identity: the key, however its path is spelt
    Owner owner;
    Mode mode;
    Ref path;                  // the lock file, for errors
    Descriptor file, folder;   // either may be closed (see FileLock)
    bool lost = false;         // no longer held: closed in a forked child, or a failed change of mode
};

namespace {

using Hold = FileLock::Hold;

// The holds of this process. Changed only under the GIL.
std::vector<Hold*> holds;

Hold* hold_of(const Identity& store) {
    for (Hold* h : holds)
        if (h->store == store) return h;
    return nullptr;
}

void forget(Hold* h) { holds.erase(std::remove(holds.begin(), holds.end(), h), holds.end()); }

// Lets the other owners of this process run a while: time.sleep, which releases the GIL for other
// threads and which greenlet schedulers replace with a switch to their other greenlets.
void pause(double& seconds) {
    Ref delay = own(PyFloat_FromDouble(seconds));
    call_method(imported("time"_id), "sleep"_id, delay);
    seconds = std::min(seconds * 2, 0.02);
}

// Takes the kernel's locks for `h`, file first, then folder.
void take_locks(Handle os, Hold& h, Handle dir, Handle dir_stat) {
    for (;;) {
        h.file = lock_platform::open_lock_file(os, h.path, dir_stat);
        if (h.file) lock_platform::take(os, h.file.fd(), h.mode, h.path);
        h.folder = lock_platform::lock_folder(os, dir, h.mode);
        if (h.folder) return;
        if (!h.file) raise_os_error(ENOLCK, h.path);  // neither a lock file nor a lockable folder
        // The file's lock alone: it guards only while the path still names that file.
        if (names_file(os, h.path, call_method(os, "fstat"_id, h.file.fd()))) return;
    }
}

// Closes what `h` holds without unlocking it: the process no longer holds that store.
void lose(Hold& h) {
    for (Descriptor* d : {&h.file, &h.folder})
        if (Ref fd = d->release()) suppress(PyExc_OSError, [&] { call_method(os_module(), "close"_id, fd); });
    h.lost = true;
}

// Changes the mode of a hold: both locks dropped, then taken again in the one order. A change
// that fails half way leaves the hold lost rather than half held.
void change_mode(Handle os, Hold& h, FileLock::Mode mode) {
    try {
        if (h.folder) lock_platform::drop(h.folder.fd());
        if (h.file) {
            lock_platform::drop(h.file.fd());
            lock_platform::take(os, h.file.fd(), mode, h.path);
        }
        if (h.folder) lock_platform::take(os, h.folder.fd(), mode, h.path);
    } catch (const Error&) {
        cleanup([&] { lose(h); });
        throw;
    }
    h.mode = mode;
}

// In a forked child: every hold of the parent (of all its threads) is closed, not unlocked, since
// the lock belongs to the parent's open file. The forking thread's sections find theirs lost.
PyObject* forget_inherited_holds(PyObject*, PyObject*) {
    return guard<PyObject*>(nullptr, [] {
        for (Hold* h : holds) lose(*h);
        holds.clear();
        return none().release();
    });
}

}  // namespace

FileLock::FileLock(Handle path, Mode mode) {
    Ref os = os_module();
    lock_platform::after_fork_in_child(forget_inherited_holds);
    Ref dir = directory_or_current(os, split_path(getattr(os, "path"_id), path).first);
    Ref st;
    if (!suppress(PyExc_FileNotFoundError, [&] { st = call_method(os, "stat"_id, dir); })) {
        unlocked_ = new_ref(path);
        return;
    }
    const Identity store = identity(st);
    const Owner me = current_owner();
    double wait = 0.0005;
    while (Hold* h = hold_of(store)) {
        if (h->owner == me) {
            hold_ = h;
            if (mode == Exclusive && h->mode == Shared) {
                change_mode(os, *h, Exclusive);
                upgraded_ = true;
            }
            return;
        }
        pause(wait);
    }
    // This owner claims the store in this process, then waits for the other processes.
    auto h = std::make_unique<Hold>(Hold{store, me, mode, new_ref(path), {}, {}});
    holds.push_back(h.get());
    try {
        take_locks(os, *h, dir, st);
    } catch (...) {
        forget(h.get());
        throw;
    }
    hold_ = h.release();
    taken_ = true;
}

FileLock::~FileLock() noexcept(false) {
    if (!hold_) return;
    if (!taken_) {
        if (upgraded_ && !hold_->lost && interpreter_reachable())
            cleanup([&] { change_mode(os_module(), *hold_, Shared); });
        return;
    }
    // A thread the interpreter is ending at exit touches nothing: other such threads may be
    // unwinding at the same time, without the GIL, and the process is going anyway.
    if (!interpreter_reachable()) return;
    std::unique_ptr<Hold> h(hold_);
    forget(hold_);
    if (h->lost) return;
    // Unlocked before closing, so that a child forked without our fork handler (which would share
    // the open file) cannot keep the lock either.
    // Each step runs whatever the one before raised (an interrupt there is raised after them all).
    auto drop = [](Descriptor& d) { if (d) lock_platform::drop(d.fd()); };
    auto close = [](Descriptor& d) { if (d) d.close(); };
    cleanup([&] { drop(h->folder); }, [&] { close(h->folder); }, [&] { drop(h->file); }, [&] { close(h->file); });
}

void FileLock::check_held() const {
    if (!held())
        raise(PyExc_RuntimeError, "the store lock %R is no longer held by this process (a forked child, or a lock that "
                                  "could not be changed)", hold_->path.get());
}

bool FileLock::held() const noexcept { return !hold_ || !hold_->lost; }

void FileLock::check_can_write() const {
    check_held();
    if (unlocked_) raise_os_error(ENOENT, unlocked_);
}

}  // namespace rt
