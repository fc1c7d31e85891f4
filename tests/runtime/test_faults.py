"""Faults of the file system under a store and an archive: a full disk, a read-only directory, and
a store directory removed after construction. Each write fails with the file system's OSError,
the previous file stays as it was, and no temporary file is left behind."""

import atexit
import contextlib
import errno
import json
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import pytest

from conftest import child_env
from support.keyrings import memory_keyring  # noqa: F401  (fixture)
from support.pages import Page
from zantor.kestrow.domain.exceptions import InvalidCollectOptionError
from zantor.kestrow.scraping.archiver import KestrowArchiver
from zantor.kestrow.services.lockmere import KestrowLockmere

NOBODY = 65534


def run(*command):
    return subprocess.run(command, capture_output=True, text=True).returncode == 0


def mounts_allowed():
    """Whether this process may mount file systems (root with the capability, not in every
    container)."""
    if not hasattr(os, "geteuid") or os.geteuid() != 0 or not shutil.which("mount"):
        return False
    with tempfile.TemporaryDirectory() as probe:
        if not run("mount", "-t", "tmpfs", "-o", "size=16k", "tmpfs", probe):
            return False
        run("umount", probe)
        return True


MOUNTS = mounts_allowed()


@contextlib.contextmanager
def mounted(target, *commands):
    """Runs the mount commands on `target`; unmounts it afterwards."""
    for command in commands:
        assert run(*command), command
    try:
        yield
    finally:
        assert run("umount", str(target)) or run("umount", "-l", str(target))


def contents(folder):
    """Every file below `folder` with its bytes, by relative path."""
    return {p.relative_to(folder).as_posix(): p.read_bytes() for p in sorted(Path(folder).rglob("*")) if p.is_file()}


def assert_failed_write_left_nothing(call, folder, errnos):
    """`call` raises the file system's OSError; the files below `folder` are as they were."""
    before = contents(folder)
    with pytest.raises(OSError) as info:
        call()
    assert info.value.errno in errnos, info.value
    assert contents(folder) == before
    return info.value


# --- full disk ------------------------------------------------------------------------------------

class TmpfsDisk:
    """A 64 KiB tmpfs; `fill` takes all its free space with a filler file."""

    how = "tmpfs of 64 KiB"

    def __init__(self, path, monkeypatch):
        self.path = path

    def fill(self):
        fd = os.open(self.path / "filler", os.O_WRONLY | os.O_CREAT | os.O_APPEND)
        try:
            while os.write(fd, b"\0" * 1024):
                pass
        except OSError as exc:
            assert exc.errno == errno.ENOSPC
        finally:
            os.close(fd)

    def free(self):
        (self.path / "filler").unlink()


class FailingWrite:
    """Without mounts: os.write accepts a few more bytes, then fails as a full disk does."""

    how = "os.write failing with ENOSPC"

    def __init__(self, path, monkeypatch):
        self.path, self.monkeypatch, self.real = path, monkeypatch, os.write

    def fill(self):
        room = [4]

        def write(fd, data):
            if room[0] <= 0:
                raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
            n = self.real(fd, bytes(data[: room[0]]))
            room[0] -= n
            return n

        self.monkeypatch.setattr(os, "write", write)

    def free(self):
        self.monkeypatch.setattr(os, "write", self.real)


@pytest.fixture
def disk(tmp_path, monkeypatch):
    path = tmp_path / "disk"
    path.mkdir()
    if not MOUNTS:
        print("full disk simulated:", FailingWrite.how)
        yield FailingWrite(path, monkeypatch)
        return
    with mounted(path, ("mount", "-t", "tmpfs", "-o", "size=64k,mode=0700", "tmpfs", str(path))):
        yield TmpfsDisk(path, monkeypatch)


def test_full_disk(disk, memory_keyring):
    store = KestrowLockmere(base_dir=disk.path)
    store.save(name="main", username="u", password="pw")
    archive = KestrowArchiver(disk.path / "archive")
    archive.save_json(section="s", filename="data.json", payload={"k": "v"})
    disk.fill()

    full = {errno.ENOSPC}
    assert_failed_write_left_nothing(lambda: store.save(name="other", username="x" * 5000, password="pw"),
                                     store.base_dir, full)
    assert_failed_write_left_nothing(lambda: store.delete(name="main"), store.base_dir, full)
    assert_failed_write_left_nothing(
        lambda: archive.save_json(section="s", filename="data.json", payload={"k": "w" * 5000}), archive.root_dir, full)
    # a damaged file is kept as a copy before it is replaced; without room for the copy the save
    # fails and the damaged file stays where it is, with no partial copy beside it
    disk.free()
    store.meta_path.write_bytes(b"{damaged")
    disk.fill()
    assert_failed_write_left_nothing(lambda: store.save(name="main", username="v", password="pw"),
                                     store.base_dir, full)

    disk.free()
    store.save(name="main", username="v", password="pw")
    assert json.loads(store.meta_path.read_text(encoding="utf-8")) == {"main": {"username": "v"}}
    assert (store.base_dir / "accounts.json.damaged").read_bytes() == b"{damaged"


# --- read-only directory --------------------------------------------------------------------------

@contextlib.contextmanager
def read_only_mount(folder):
    target = str(folder)
    with mounted(folder, ("mount", "--bind", target, target), ("mount", "-o", "remount,bind,ro", target)):
        yield {errno.EROFS}


@contextlib.contextmanager
def no_write_permission(folder):
    """Permission bits 0500. Root ignores them, so as root the calls run with the effective user
    id of nobody, who then owns the files."""
    as_root = os.geteuid() == 0
    if as_root:
        for path in [folder, *folder.rglob("*")]:
            os.chown(path, NOBODY, -1)
    folder.chmod(0o500)
    try:
        if as_root:
            os.seteuid(NOBODY)
        try:
            yield {errno.EACCES, errno.EPERM}
        finally:
            if as_root:
                os.seteuid(0)
    finally:
        folder.chmod(0o700)


@pytest.mark.parametrize("how", ["read-only mount", "no write permission"])
def test_read_only_directory(how, shared_tmp, memory_keyring):
    if how == "read-only mount" and not MOUNTS:
        pytest.skip("mounting is not permitted here")
    if how == "no write permission" and not hasattr(os, "geteuid"):
        pytest.skip("POSIX permission bits only")
    store = KestrowLockmere(base_dir=shared_tmp)
    store.save(name="main", username="u", password="pw")
    archive = KestrowArchiver(shared_tmp / "archive")
    archive.save_json(section="s", filename="data.json", payload={"k": "v"})
    make_read_only = read_only_mount if how == "read-only mount" else no_write_permission

    with make_read_only(store.base_dir) as refused:
        assert_failed_write_left_nothing(lambda: store.save(name="other", username="x", password="pw"),
                                         store.base_dir, refused)
        assert_failed_write_left_nothing(lambda: store.delete(name="main"), store.base_dir, refused)
        assert store.list() == [{"name": "main", "username": "u"}]  # reading goes on
        assert store.delete(name="absent") is False
    with make_read_only(archive.root_dir / "s") as refused:
        assert_failed_write_left_nothing(
            lambda: archive.save_json(section="s", filename="data.json", payload={}), archive.root_dir, refused)


# --- a lock file that cannot be used ---------------------------------------------------------------

def unreadable_lock(lock, outside):
    lock.chmod(0)  # left by a run as another user, in a folder this user may write
    return PermissionError


def linked_lock(lock, outside):
    lock.unlink()
    lock.symlink_to(outside)  # planted by whoever may write a shared folder
    return OSError


def lock_linked_to_nothing(lock, outside):
    outside.unlink()
    return linked_lock(lock, outside)


def fifo_lock(lock, outside):
    lock.unlink()
    os.mkfifo(lock)
    return OSError


def folder_lock(lock, outside):
    lock.unlink()
    lock.mkdir()
    return OSError


@pytest.mark.skipif(not hasattr(os, "geteuid"), reason="POSIX permission bits, links and FIFOs")
@pytest.mark.parametrize("make", [unreadable_lock, linked_lock, lock_linked_to_nothing, fifo_lock, folder_lock],
                         ids=["unreadable", "link", "link to nothing", "FIFO", "folder"])
def test_a_lock_file_that_cannot_be_used(shared_tmp, memory_keyring, make):
    """The operations that lock raise an OSError naming the lock file, before touching the keyring
    or the file; none goes on unguarded, and nothing is opened or created through a link."""
    store = KestrowLockmere(base_dir=shared_tmp)
    store.save(name="main", username="u", password="pw")
    lock, outside = store.base_dir / ".accounts.lock", shared_tmp / "outside"
    outside.write_bytes(b"theirs")
    outside.chmod(0o644)
    refused = make(lock, outside)
    as_root = os.geteuid() == 0 and make is unreadable_lock
    if as_root:  # root opens anything: the calls run as nobody, who owns all but the lock file
        for path in (store.base_dir, store.meta_path):
            os.chown(path, NOBODY, -1)
    before = store.meta_path.read_bytes(), outside.exists() and outside.read_bytes()
    try:
        if as_root:
            os.seteuid(NOBODY)
        for call in (lambda: store.save(name="main", username="v", password="new"),
                     lambda: store.save(name="other", username="x", password="pw"),
                     lambda: store.delete(name="main"), lambda: store.get(name="main")):
            with pytest.raises(refused) as info:
                call()
            assert info.value.filename == str(lock)
        assert store.list() == [{"name": "main", "username": "u"}]  # reading the file takes no lock
    finally:
        if as_root:
            os.seteuid(0)
    assert (store.meta_path.read_bytes(), outside.exists() and outside.read_bytes()) == before
    assert memory_keyring.entries == {("zantor-kestrow", "account:main"): "pw"}


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="root acting on another user's store")
def test_a_lock_file_root_makes_in_a_users_store_is_the_users(shared_tmp, memory_keyring):
    store = KestrowLockmere(base_dir=shared_tmp)
    os.chown(store.base_dir, NOBODY, NOBODY)
    with pytest.raises(InvalidCollectOptionError):
        store.get(name="main")  # a call that locks, as root
    lock = store.base_dir / ".accounts.lock"
    assert (lock.stat().st_uid, lock.stat().st_gid, stat.S_IMODE(lock.stat().st_mode)) == (NOBODY, NOBODY, 0o600)
    os.seteuid(NOBODY)
    try:
        store.save(name="main", username="u", password="pw")  # the owner is not locked out
    finally:
        os.seteuid(0)
    assert store.list() == [{"name": "main", "username": "u"}]


# --- what a plain write would refuse, and what it must not replace --------------------------------

def write_store(folder):
    store = KestrowLockmere(base_dir=folder)
    return store.meta_path, lambda: store.save(name="other", username="x", password="pw")


def write_json(folder):
    archive = KestrowArchiver(folder / "archive")
    (folder / "archive" / "s").mkdir()
    return folder / "archive" / "s" / "data.json", lambda: archive.save_json(section="s", filename="data.json",
                                                                            payload={"k": 1})


def write_page(folder):
    archive = KestrowArchiver(folder / "archive")
    (folder / "archive" / "s").mkdir()

    def capture():
        try:
            archive.archive_page(Page("<p>page</p>"), section="s").send(None)
        except StopIteration:
            pass

    return folder / "archive" / "s" / "page.html", capture


def special_file(make):
    """A target that is a symbolic link to a FIFO or a character device beside it."""
    def prepare(target):
        node = target.parent / "node"
        make(node)
        target.symlink_to(node)
        return lambda: (stat.S_IFMT(os.stat(target).st_mode), os.lstat(node).st_mode)
    return prepare


def as_nobody_read_only(target):
    target.write_text('{"main": {"username": "u"}}', encoding="utf-8")
    target.chmod(0o400)
    return lambda: (target.read_bytes(), stat.S_IMODE(target.stat().st_mode))


def owned_by_nobody(target):
    target.write_text("{}", encoding="utf-8")
    os.chown(target, NOBODY, NOBODY)
    return None


def planted_link(target):
    """Another user's link, in a sticky world-writable folder, to a file of this user's outside it:
    with fs.protected_symlinks the kernel refuses to follow it, and so must the write."""
    protected = Path("/proc/sys/fs/protected_symlinks")
    try:
        if protected.read_text().strip() != "1":
            protected.write_text("1")
            atexit.register(protected.write_text, "0")
    except OSError:
        pytest.skip("fs.protected_symlinks cannot be turned on here")
    outside = target.parent.parent / ("outside-" + target.name)
    outside.write_text("{}", encoding="utf-8")
    target.parent.chmod(0o1777)
    target.symlink_to(outside)
    os.lchown(target, NOBODY, NOBODY)
    return lambda: (outside.read_bytes(), os.stat(outside).st_uid)


RESTORE = []  # settings of the system a case changed, put back after it


def protected_regular(target):
    """Another user's file in a sticky world-writable folder: with fs.protected_regular the kernel
    refuses an open that may create it, as write_text's does (one that may not, it lets through)."""
    setting = Path("/proc/sys/fs/protected_regular")
    try:
        old = setting.read_text()
        setting.write_text("1")
    except OSError:
        pytest.skip("fs.protected_regular cannot be set here")
    RESTORE.append(lambda: setting.write_text(old))
    owned_by_nobody(target)
    target.parent.chmod(0o1777)
    return lambda: (target.read_bytes(), os.stat(target).st_uid)


def link_to_nothing(target):
    target.symlink_to(target.parent / "nothing")
    return lambda: sorted(p.name for p in target.parent.iterdir() if p.name != ".accounts.lock")


def make_device(node):
    try:
        os.mknod(node, 0o600 | stat.S_IFCHR, os.makedev(1, 3))
    except PermissionError:
        pytest.skip("this process may not make device nodes")


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="POSIX file types and owners")
@pytest.mark.parametrize("write", [write_store, write_json, write_page], ids=["accounts.json", "save_json", "page.html"])
@pytest.mark.parametrize("case, prepare, refused", [
    ("link to a FIFO", special_file(lambda node: os.mkfifo(node)), OSError),  # never swapped for a regular file
    ("link to a device", special_file(make_device), OSError),
    ("read-only file", as_nobody_read_only, PermissionError),  # as a plain write refuses it
    ("another user's file", owned_by_nobody, None),  # replaced, but it stays theirs
    ("another user's link, sticky folder", planted_link, PermissionError),  # the kernel decides
    ("another user's file, sticky folder", protected_regular, PermissionError),  # as for an open that may create
    ("link to nothing", link_to_nothing, OSError),  # nothing is created through a link
], ids=lambda v: v if isinstance(v, str) else "")
def test_replacing_follows_the_plain_write_rules(shared_tmp, memory_keyring, write, case, prepare, refused):
    as_root = os.geteuid() == 0
    if case.startswith("another user's") and not as_root:
        pytest.skip("only root can give a file away")
    if case == "read-only file" and as_root:  # root writes anything: the call runs as nobody, who owns it all
        os.chown(shared_tmp, NOBODY, NOBODY)
        os.seteuid(NOBODY)
    try:
        target, call = write(shared_tmp)
        state = prepare(target)
        before = state and state()
        if refused:
            with pytest.raises(OSError) as info:
                call()
            # the store's read before a save comes first, and says it changed nothing
            error = info.value if info.value.filename else info.value.__cause__
            assert isinstance(error, refused) and error.filename == str(target)
            assert state() == before  # nothing written, the mode kept
        else:
            call()
            assert (os.stat(target).st_uid, os.stat(target).st_gid) == (NOBODY, NOBODY)
    finally:
        if as_root:
            os.seteuid(0)
        while RESTORE:
            RESTORE.pop()()


# --- every step failing in turn -------------------------------------------------------------------
# The runtime reaches the file system only through the interpreter's os (and fcntl or msvcrt for
# locks), so every step an operation takes can be counted, and each one failed in turn. After a
# call that raised, nothing has changed (files, keyring, folder), unless the failure came after the
# commit point (the rename), when the new state is in place whole. After a call that returned,
# the new state is in place. Either way no temporary file is left and no descriptor leaks.

STEPS = ["open", "close", "read", "write", "fsync", "fstat", "stat", "lstat", "replace", "unlink", "listdir",
         "fchown", "fchmod", "mkdir", "readlink", "getxattr", "setxattr", "removexattr"]
LOCKS = ("msvcrt", "locking") if sys.platform == "win32" else ("fcntl", "flock")
FAILURES = {name: OSError(code, os.strerror(code)) for name, code in [
    ("EIO", errno.EIO), ("ENOSPC", errno.ENOSPC), ("EMFILE", errno.EMFILE), ("EACCES", errno.EACCES),
    ("ENOLCK", errno.ENOLCK)]}
FAILURES.update(MemoryError=MemoryError(), KeyboardInterrupt=KeyboardInterrupt())


class Steps:
    """While active, records the name of every os (and lock) call; the `fail_at`-th raises `error`."""

    def __init__(self, fail_at=None, error=None):
        self.fail_at, self.error, self.calls, self.active = fail_at, error, [], False
        self.failed = None

    def install(self, monkeypatch):
        import importlib

        places = [(os, name) for name in STEPS if hasattr(os, name)]
        places.append((importlib.import_module(LOCKS[0]), LOCKS[1]))
        for module, name in places:
            real = getattr(module, name)

            def step(*args, real=real, name=name, **kwargs):
                if self.active:
                    self.calls.append(name)
                    if len(self.calls) - 1 == self.fail_at:
                        self.failed = name
                        if name == "close":  # the kernel frees the descriptor even when close fails
                            real(*args, **kwargs)
                        raise self.error
                return real(*args, **kwargs)
            monkeypatch.setattr(module, name, step)


def relative(result, folder):
    return result.replace(str(folder), "<folder>") if isinstance(result, str) else result


def descriptors():
    """How many descriptors this process holds. Windows: the C runtime's table, which is where the
    modules' descriptors live (under Wine, /proc/self/fd lists Wine's own host descriptors, which
    come and go on their own)."""
    if os.name == "nt":
        import msvcrt

        def held(fd):
            try:
                msvcrt.get_osfhandle(fd)
                return True
            except OSError:
                return False
        return sum(map(held, range(512)))
    return len(os.listdir("/proc/self/fd")) if os.path.isdir("/proc/self/fd") else None


def state(folder, keyring_entries):
    """What an operation may change: the files below `folder` (but the lock file and temporary
    files, counted apart), and the keyring."""
    files = {p.relative_to(folder).as_posix(): p.read_bytes() for p in sorted(Path(folder).rglob("*"))
             if p.is_file() and p.name != ".accounts.lock" and not p.name.endswith(".tmp")}
    return files, dict(keyring_entries)


def temporary_files(folder):
    return sorted(p.name for p in Path(folder).rglob("*.tmp") if not p.name.startswith(".dead."))


DEAD = ".dead." + "ab" * 12 + ".tmp"  # a temporary file of a writer that is gone


class Lockmere(KestrowLockmere):
    """A subclass whose _load_accounts is its own: the operations read beside it."""

    def _load_accounts(self):
        return super()._load_accounts()


def drive(coro):
    try:
        coro.send(None)
    except StopIteration as done:
        return done.value
    raise AssertionError("the capture did not finish")


def on_store(call, text='{"main": {"username": "u"}, "kept": {"username": "k"}}', cls=KestrowLockmere):
    def prepare(folder):
        store = cls(base_dir=folder)
        store.meta_path.write_text(text, encoding="utf-8")
        return lambda: call(store)
    return prepare


def on_archive(call):
    def prepare(folder):
        archiver = KestrowArchiver(Path(folder) / "archive")
        archiver.save_json(section="s", filename="data.json", payload={"old": True})
        return lambda: call(archiver)
    return prepare


# name: (prepare(folder) -> operation, several files replaced one by one)
OPERATIONS = {
    "save new": (on_store(lambda s: s.save(name="new", username="n", password="pw")), False),
    "save existing": (on_store(lambda s: s.save(name="main", username="u2", password="pw2")), False),
    "save over damaged": (on_store(lambda s: s.save(name="main", username="u", password="pw"), "{damaged"), False),
    "save, load overridden": (on_store(lambda s: s.save(name="new", username="n", password="pw"), cls=Lockmere),
                              False),
    "delete existing": (on_store(lambda s: s.delete(name="main")), False),
    "delete missing": (on_store(lambda s: s.delete(name="ghost")), False),
    "get": (on_store(lambda s: s.get(name="main")), False),
    "save_json new": (on_archive(lambda a: a.save_json(section="s", filename="new.json", payload={"a": 1})), False),
    "save_json replaced": (on_archive(lambda a: a.save_json(section="s", filename="data.json", payload={"a": 1})),
                           False),
    "archive_page": (on_archive(lambda a: drive(a.archive_page(Page("<p>page</p>"), section="s"))), True),
    "first write in a folder": (None, False),  # a fresh folder each run, with a dead writer's leftover
}


def prepared(name, folder, keyring_):
    """A folder as the case starts from: files written, the keyring set, the folder already looked
    at once (so that every run takes the same steps); the operation."""
    keyring_.entries.clear()
    keyring_.entries[("zantor-kestrow", "account:main")] = "pw"
    for path in sorted(Path(folder).rglob("*"), reverse=True):
        path.unlink() if not path.is_dir() else path.rmdir()
    if name == "first write in a folder":
        (Path(folder) / DEAD).write_bytes(b"half")
        archiver = KestrowArchiver(Path(folder))
        return lambda: archiver.save_json(section="", filename="new.json", payload={})
    return OPERATIONS[name][0](folder)


@pytest.mark.parametrize("error", list(FAILURES))
@pytest.mark.parametrize("name", list(OPERATIONS))
def test_every_step_fails_in_turn(tmp_path, memory_keyring, monkeypatch, name, error):
    steps = Steps()
    steps.install(monkeypatch)
    fresh = name == "first write in a folder"
    folders = (tmp_path / str(n) for n in range(10_000))

    def folder():
        if fresh:
            where = next(folders)
            where.mkdir()
            return where
        return tmp_path

    if not fresh:  # the folders of the case are looked at once, before the steps are counted
        prepared(name, tmp_path, memory_keyring)()
    for _ in range(10):  # a fresh folder's first write looks at it (unless it has the identity of an earlier one)
        where = folder()
        operation = prepared(name, where, memory_keyring)
        before = state(where, memory_keyring.entries)
        steps.calls, steps.active = [], True
        result = relative(operation(), where)
        steps.active = False
        after, clean = state(where, memory_keyring.entries), list(steps.calls)
        if not fresh or "listdir" in clean:
            break
    assert not temporary_files(where)
    several = OPERATIONS.get(name, (None, False))[1]

    for k in range(len(clean)):
        where = folder()
        operation = prepared(name, where, memory_keyring)
        assert state(where, memory_keyring.entries) == before
        open_before = descriptors()
        steps.calls, steps.fail_at, steps.error, steps.failed = [], k, FAILURES[error], None
        steps.active = True
        try:
            returned, raised = relative(operation(), where), None
        except BaseException as exc:
            returned, raised = None, exc
        finally:
            steps.active = False
        now = state(where, memory_keyring.entries)
        if fresh and steps.calls[:k] != clean[:k]:
            continue  # a new folder at the identity of one looked at before: not looked at again
        where_failed = f"step {k} ({steps.failed}) failing with {error}"
        if raised is None:
            # an interrupt is never dropped, not even by a cleanup step (a close after the rename)
            assert error != "KeyboardInterrupt" or steps.failed is None, where_failed
            assert (returned, now) == (result, after), where_failed
        else:
            if error == "KeyboardInterrupt":  # as itself, never turned into another error
                assert raised is FAILURES[error], where_failed
            else:
                assert isinstance(raised, Exception), where_failed
            if several:  # each file the old one or the new one, whole
                assert all(now[0].get(f) in (before[0].get(f), after[0].get(f)) for f in set(now[0]) | set(after[0])), \
                    where_failed
            else:  # the new state only once this run has renamed (a rename may be retried on Windows)
                assert now == before or ("replace" in steps.calls[:k] and now == after), where_failed
        # a temporary file stays only where removing it was the step that failed
        assert not temporary_files(where) or steps.failed == "unlink", where_failed
        assert descriptors() == open_before, where_failed
    print(f"{name}: {len(clean)} steps failed in turn with {error}")


def raising(exc):
    def fail(*args, **kwargs):
        raise exc
    return fail


def test_an_exit_while_removing_a_failed_write_wins(tmp_path, memory_keyring, monkeypatch):
    """A cleanup step's interrupt is never dropped (the harness above fails each step with one):
    SystemExit from removing the temporary file after a failed write comes out as itself, the
    write's error its context, as in `except: os.unlink(temp); raise`."""
    operation = prepared("save_json replaced", tmp_path, memory_keyring)
    before = state(tmp_path, memory_keyring.entries)
    with monkeypatch.context() as patch:
        patch.setattr(os, "write", raising(OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))))
        patch.setattr(os, "unlink", raising(SystemExit("exit while removing")))
        with pytest.raises(SystemExit) as info:
            operation()
    assert isinstance(info.value.__context__, OSError) and info.value.__context__.errno == errno.ENOSPC
    assert state(tmp_path, memory_keyring.entries) == before and len(temporary_files(tmp_path)) == 1


# The same steps, now ending the process (SIGKILL) just before each one in turn: the next
# operation, in another process, finds the old state or the new one, and no temporary file left.
KILLED = """
    import fcntl, os, signal, sys
    from pathlib import Path
    from support.keyrings import DirectoryKeyring, install
    from zantor.kestrow.scraping.archiver import KestrowArchiver
    from zantor.kestrow.services.lockmere import KestrowLockmere

    name, top, steps = sys.argv[1], Path(sys.argv[2]), sys.argv[3].split(",")
    install(DirectoryKeyring(top / "keyring"))

    def prepare(folder):
        # Plain writes: the checking process never writes in the folder through the modules before
        # the next operation, which must find what the killed one left.
        if name == "save_json":
            (folder / "s").mkdir(parents=True)
            (folder / "s" / "data.json").write_text('{"old": true}', encoding="utf-8")
            archive = KestrowArchiver(folder)
            return (lambda: archive.save_json(section="s", filename="data.json", payload={"a": 1}),
                    lambda: archive.save_json(section="s", filename="next.json", payload={}))
        store = KestrowLockmere(base_dir=folder)
        text = "{damaged" if name == "save over damaged" else '{"main": {"username": "u"}}'
        store.meta_path.write_text(text, encoding="utf-8")
        operation = {"save": lambda: store.save(name="new", username="n", password="pw"),
                     "save over damaged": lambda: store.save(name="main", username="u", password="pw"),
                     "delete": lambda: store.delete(name="main")}[name]
        return operation, lambda: store.save(name="next", username="x", password="pw")

    def state(folder, also=()):
        return {p.relative_to(folder).as_posix(): p.read_bytes() for p in sorted(folder.rglob("*"))
                if p.is_file() and p.name not in (".accounts.lock", *also)}

    def killed_at(k, folder):
        folder.mkdir()
        operation, following = prepare(folder)
        before = state(folder)
        pid = os.fork()
        if pid == 0:
            calls = []
            for module, step in [(os, s) for s in steps] + [(fcntl, "flock")]:
                def counted(*args, real=getattr(module, step), **kwargs):
                    calls.append(1)
                    if len(calls) - 1 == k:
                        os.kill(os.getpid(), signal.SIGKILL)
                    return real(*args, **kwargs)
                setattr(module, step, counted)
            operation()
            os._exit(0)
        status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
        return before, state(folder), following, status

    main = "s/data.json" if name == "save_json" else "kestrow/accounts.json"
    _, after, _, status = killed_at(-1, top / "clean")
    assert status == 0
    k = 0
    while True:
        folder = top / str(k)
        before, now, following, status = killed_at(k, folder)
        if status == 0:
            break  # past the last step
        assert status == -9, status
        temporary = {n for n in now if n.endswith(".tmp")}
        # each file the old one or the new one, whole (a damaged file's copy is made before it goes)
        assert all(now.get(n) in (before.get(n), after.get(n)) for n in set(now) - temporary | set(after)), (k, now)
        assert now.get(main) in (before.get(main), after.get(main)), (k, now)
        following()
        assert not [p for p in folder.rglob("*.tmp")], (k, temporary)
        k += 1
    print(k)
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork and SIGKILL")
@pytest.mark.parametrize("name", ["save", "save over damaged", "delete", "save_json"])
def test_killed_at_every_step(tmp_path, name):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(KILLED), name, str(tmp_path), ",".join(STEPS)],
                          capture_output=True, text=True, timeout=300, env=child_env())
    assert proc.returncode == 0, proc.stdout + proc.stderr
    print(f"{name}: killed before each of {proc.stdout.strip()} steps")


# --- store directory removed ----------------------------------------------------------------------

def test_store_directory_removed_after_construction(tmp_path, memory_keyring):
    store = KestrowLockmere(base_dir=tmp_path / "config")
    store.save(name="main", username="u", password="pw")
    moved = tmp_path / "moved"
    store.base_dir.rename(moved)  # the old directory, with its file, is kept elsewhere to compare
    before = contents(moved)

    with pytest.raises(FileNotFoundError):
        store.save(name="other", username="x", password="pw")
    assert store.delete(name="main") is False  # no file: nothing to delete, nothing written
    assert store.list() == []
    assert contents(moved) == before
    assert not store.base_dir.exists()


# --- power loss: a full flush where the system has one -------------------------------------------

@pytest.mark.skipif(sys.platform == "win32", reason="fcntl")
@pytest.mark.parametrize("refusal", [None, errno.ENOTSUP, errno.EINVAL], ids=["flushed", "ENOTSUP", "EINVAL"])
def test_full_flush_where_fcntl_offers_it(tmp_path, monkeypatch, refusal):
    """Where fsync leaves the data in the drive's cache (macOS), fcntl's F_FULLFSYNC flushes the file
    and its directory; a file system that refuses it gets fsync."""
    import fcntl

    flushes, real_fsync = [], os.fsync

    def full_flush(fd, command, *args):
        assert command == 51
        flushes.append(("full", stat.S_IFMT(os.fstat(fd).st_mode)))
        if refusal:
            raise OSError(refusal, os.strerror(refusal))
        return 0

    monkeypatch.setattr(fcntl, "F_FULLFSYNC", 51, raising=False)
    monkeypatch.setattr(fcntl, "fcntl", full_flush)
    monkeypatch.setattr(os, "fsync", lambda fd: flushes.append(("fsync", stat.S_IFMT(os.fstat(fd).st_mode))) or
                        real_fsync(fd))
    KestrowArchiver(tmp_path).save_json(section="s", filename="f.json", payload={})
    file, folder = [("full", stat.S_IFREG)], [("full", stat.S_IFDIR)]
    if refusal:
        file, folder = file + [("fsync", stat.S_IFREG)], folder + [("fsync", stat.S_IFDIR)]
    assert flushes == file + folder


# --- power loss: the order of the flushes ---------------------------------------------------------

def strace_works():
    return shutil.which("strace") is not None and run("strace", "-qq", "-o", os.devnull, "true")


WRITES = """
    import sys
    from pathlib import Path
    from support.keyrings import MemoryKeyring, install
    from support.pages import Page
    from zantor.kestrow.scraping.archiver import KestrowArchiver
    from zantor.kestrow.services.lockmere import KestrowLockmere

    install(MemoryKeyring())
    folder = Path(sys.argv[1])
    store = KestrowLockmere(base_dir=folder)
    store.save(name="main", username="u", password="pw")  # over a damaged file: copied, then replaced
    archive = KestrowArchiver(folder / "archive")
    archive.save_json(section="s", filename="data.json", payload={"k": 1})
    try:
        archive.archive_page(Page("<p>page</p>"), section="s").send(None)
    except StopIteration:
        pass
"""

CALL = re.compile(r"^(\w+)\((.*)\)\s+=\s+(-?\d+)")
QUOTED = re.compile(r'"((?:[^"\\]|\\.)*)"')


def file_steps(trace, target):
    """What the system calls in `trace` do to `target`, in order, from the creation of the file
    that becomes it (target itself, made new, or a temporary file renamed to it) to the first
    flush of its directory after that: (step, line number) pairs, the steps "create", "write"
    (consecutive writes as one), "fsync", "close", "rename" and "fsync dir" (the first flush of the
    directory once the file has its name)."""
    directory = os.path.dirname(target)
    temporary = re.compile(re.escape(os.path.join(directory, "." + os.path.basename(target))) + r"\.[0-9a-f]{24}\.tmp")
    paths, made, steps = {}, None, []  # descriptor -> the path it was opened with; the file that becomes target
    for number, line in enumerate(trace):
        match = CALL.match(line)
        if not match:
            continue
        call, args, result = match.group(1), match.group(2), int(match.group(3))
        names = QUOTED.findall(args)
        step = None
        if call in ("open", "openat") and result >= 0:
            paths[result] = names[0]
            # an open of the existing target that may create (as a plain write's) creates nothing
            created = "O_CREAT" in args and ("O_EXCL" in args or names[0] != target)
            if made is None and created and (names[0] == target or temporary.fullmatch(names[0])):
                made, step = names[0], "create"
        elif made is None:
            continue
        elif call.startswith(("rename", "link")):
            step = ("rename" if call.startswith("rename") else "link") if names == [made, target] else None
        elif call in ("write", "fsync", "fdatasync", "close"):
            path = paths.get(int(args.split(",")[0]))
            renamed = any(done in ("rename", "link") for done, _ in steps)
            step = call if path == made else "fsync dir" if renamed and (path, call) == (directory, "fsync") else None
        if step and not (step == "write" and steps[-1][0] == "write"):
            steps.append((step, number))
        if step == "fsync dir":
            break
    return steps


@pytest.mark.skipif(not strace_works(), reason="needs strace (Debian package strace) allowed to trace")
def test_files_are_flushed_before_and_after_the_rename(tmp_path):
    """A power loss after a call returned loses nothing: each file's bytes reach the disk before it
    takes its name, and its directory (where the rename lives) before the call returns. A damaged
    accounts.json is kept beside it, durably, before it is replaced."""
    store_dir = tmp_path / "kestrow"
    store_dir.mkdir()
    (store_dir / "accounts.json").write_bytes(b"{damaged")
    log = tmp_path / "trace"
    proc = subprocess.run(["strace", "-qq", "-s", "4096", "-o", str(log), "-e",
                           "trace=open,openat,write,fsync,fdatasync,close,rename,renameat,renameat2,link,linkat",
                           sys.executable, "-c", textwrap.dedent(WRITES), str(tmp_path)],
                          capture_output=True, text=True, timeout=120, env=child_env())
    assert proc.returncode == 0, proc.stderr
    trace = log.read_text().splitlines()
    # the temporary file stays open (its writer's lock held) until it has taken the file's name
    replaced = ["create", "write", "fsync", "rename", "close", "fsync dir"]
    steps = {name: file_steps(trace, str(folder / name)) for folder, names in [
        (store_dir, ["accounts.json.damaged", "accounts.json"]),
        (tmp_path / "archive" / "s", ["data.json", "page.html", "page.md"])] for name in names}
    assert {name: [step for step, _ in found] for name, found in steps.items()} == {
        "accounts.json.damaged": ["create", "write", "fsync", "link", "fsync dir"], "accounts.json": replaced,
        "data.json": replaced, "page.html": replaced, "page.md": replaced}
    # the copy is on disk before the damaged file is replaced
    assert steps["accounts.json.damaged"][-1][1] < dict(steps["accounts.json"])["rename"]
