"""Faults of the file system under a store and an archive: a full disk, a read-only directory, and
a store directory removed after construction. Each write fails with the file system's OSError,
the previous file stays as it was, and no temporary file is left behind."""

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


@pytest.fixture
def shared_tmp():
    """A temporary directory that other users can pass through (tmp_path's parents are root's)."""
    top = tempfile.mkdtemp()
    os.chmod(top, 0o711)
    yield Path(top)
    shutil.rmtree(top)


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


# --- a lock file this user cannot open ------------------------------------------------------------

@pytest.mark.skipif(not hasattr(os, "geteuid"), reason="POSIX permission bits only")
def test_lock_file_that_cannot_be_opened(shared_tmp, memory_keyring):
    """Left by a run as another user, in a directory this user may write: the operations that lock
    raise its PermissionError, before touching the keyring or the file; none goes on unguarded."""
    store = KestrowLockmere(base_dir=shared_tmp)
    store.save(name="main", username="u", password="pw")
    lock = store.base_dir / ".accounts.lock"
    lock.chmod(0)
    as_root = os.geteuid() == 0
    if as_root:  # root opens anything: the calls run as nobody, who owns all but the lock file
        for path in (store.base_dir, store.meta_path):
            os.chown(path, NOBODY, -1)
    before = store.meta_path.read_bytes()
    try:
        if as_root:
            os.seteuid(NOBODY)
        for call in (lambda: store.save(name="main", username="v", password="new"),
                     lambda: store.save(name="other", username="x", password="pw"),
                     lambda: store.delete(name="main"), lambda: store.get(name="main")):
            with pytest.raises(PermissionError) as info:
                call()
            assert info.value.filename == str(lock)
        assert store.list() == [{"name": "main", "username": "u"}]  # reading the file takes no lock
    finally:
        if as_root:
            os.seteuid(0)
    assert store.meta_path.read_bytes() == before
    assert memory_keyring.entries == {("zantor-kestrow", "account:main"): "pw"}


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


def make_device(node):
    try:
        os.mknod(node, 0o600 | stat.S_IFCHR, os.makedev(1, 3))
    except PermissionError:
        pytest.skip("this process may not make device nodes")


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="POSIX file types and owners")
@pytest.mark.parametrize("write", [write_store, write_json, write_page], ids=["accounts.json", "save_json", "page.html"])
@pytest.mark.parametrize("case, prepare, refused", [
    ("link to a FIFO", special_file(os.mkfifo), OSError),  # never swapped for a regular file
    ("link to a device", special_file(make_device), OSError),
    ("read-only file", as_nobody_read_only, PermissionError),  # as a plain write refuses it
    ("another user's file", owned_by_nobody, None),  # replaced, but it stays theirs
], ids=lambda v: v if isinstance(v, str) else "")
def test_replacing_follows_the_plain_write_rules(shared_tmp, memory_keyring, write, case, prepare, refused):
    as_root = os.geteuid() == 0
    if case == "another user's file" and not as_root:
        pytest.skip("only root can give a file away")
    if case == "read-only file" and as_root:  # root writes anything: the call runs as nobody, who owns it all
        os.chown(shared_tmp, NOBODY, NOBODY)
        os.seteuid(NOBODY)
    try:
        target, call = write(shared_tmp)
        state = prepare(target)
        before = state and state()
        if refused:
            with pytest.raises(refused) as info:
                call()
            assert info.value.filename == str(target)
            assert state() == before  # nothing written, the mode kept
        else:
            call()
            assert (os.stat(target).st_uid, os.stat(target).st_gid) == (NOBODY, NOBODY)
    finally:
        if as_root:
            os.seteuid(0)


# --- a read that fails for a passing reason -------------------------------------------------------

class Failing:
    """Path.read_text raising `error` while active."""

    def __init__(self, monkeypatch, error):
        self.monkeypatch, self.error, self.real = monkeypatch, error, Path.read_text

    def __enter__(self):
        def read_text(path, *args, **kwargs):
            raise self.error
        self.monkeypatch.setattr(Path, "read_text", read_text)

    def __exit__(self, *exc):
        self.monkeypatch.setattr(Path, "read_text", self.real)


@pytest.mark.parametrize("error", [OSError(errno.EMFILE, "Too many open files"), MemoryError(),
                                   RecursionError("maximum recursion depth exceeded"),
                                   PermissionError(errno.EACCES, "Permission denied")], ids=repr)
@pytest.mark.parametrize("where", ["every read", "the load alone"])
@pytest.mark.parametrize("operation", ["save", "delete"])
def test_a_passing_read_failure_never_empties_the_store(tmp_path, memory_keyring, monkeypatch, error, where,
                                                        operation):
    """The file is kept whole and no listed account loses its password; the operation says why."""
    failing = Failing(monkeypatch, error)

    class Store(KestrowLockmere):
        def _load_accounts(self):
            with failing:
                return super()._load_accounts()

    store = (Store if where == "the load alone" else KestrowLockmere)(base_dir=tmp_path)
    store.save(name="main", username="u", password="pw")
    before = store.meta_path.read_bytes()
    with contextlib.ExitStack() as during:
        if where == "every read":
            during.enter_context(failing)
            assert store._load_accounts() == {}  # loading stays forgiving
        with pytest.raises(OSError) as info:
            store.save(name="other", username="x", password="pw2") if operation == "save" else store.delete(name="main")
    assert where == "the load alone" or info.value.__cause__ is error
    assert store.meta_path.read_bytes() == before
    assert memory_keyring.entries[("zantor-kestrow", "account:main")] == "pw"


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
    that becomes it (target itself, or a temporary file renamed to it) to the first flush of its
    directory after that: (step, line number) pairs, the steps "create", "write" (consecutive
    writes as one), "fsync", "close", "rename" and "fsync dir"."""
    directory = os.path.dirname(target)
    temporary = re.compile(re.escape(os.path.join(directory, "." + os.path.basename(target))) + r"\.\d+\.\d+\.tmp")
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
            if made is None and "O_CREAT" in args and (names[0] == target or temporary.fullmatch(names[0])):
                made, step = names[0], "create"
        elif made is None:
            continue
        elif call.startswith("rename"):
            step = "rename" if names == [made, target] else None
        elif call in ("write", "fsync", "fdatasync", "close"):
            path = paths.get(int(args.split(",")[0]))
            step = call if path == made else "fsync dir" if (path, call) == (directory, "fsync") else None
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
                           "trace=open,openat,write,fsync,fdatasync,close,rename,renameat,renameat2",
                           sys.executable, "-c", textwrap.dedent(WRITES), str(tmp_path)],
                          capture_output=True, text=True, timeout=120, env=child_env())
    assert proc.returncode == 0, proc.stderr
    trace = log.read_text().splitlines()
    replaced = ["create", "write", "fsync", "close", "rename", "fsync dir"]
    steps = {name: file_steps(trace, str(folder / name)) for folder, names in [
        (store_dir, ["accounts.json.damaged", "accounts.json"]),
        (tmp_path / "archive" / "s", ["data.json", "page.html", "page.md"])] for name in names}
    assert {name: [step for step, _ in found] for name, found in steps.items()} == {
        "accounts.json.damaged": ["create", "write", "fsync", "close", "fsync dir"], "accounts.json": replaced,
        "data.json": replaced, "page.html": replaced, "page.md": replaced}
    # the copy is on disk before the damaged file is replaced
    assert steps["accounts.json.damaged"][-1][1] < dict(steps["accounts.json"])["rename"]
