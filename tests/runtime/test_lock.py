"""The store lock: several processes changing one store at once lose none of each other's changes,
operations on one name in different threads run whole, one after the other, a failing lock call
leaks nothing, and the lock is released on errors and taken again without waiting on re-entry."""

import errno
import json
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from conftest import child_env, run_python
from support.keyrings import memory_keyring  # noqa: F401  (fixture)

SERVICE = "zantor-kestrow"

WORKER = """
    import sys, time
    from support.keyrings import MemoryKeyring, install
    from zantor.kestrow.services.lockmere import KestrowLockmere

    install(MemoryKeyring())
    parent, worker, count, start = sys.argv[1], sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
    store = KestrowLockmere(base_dir=parent)
    while time.time() < start:
        pass
    for i in range(count):
        store.save(name=f"w{worker}-{i}", username=f"user{i}", password="pw")
        if i % 2:
            assert store.delete(name=f"w{worker}-{i}") is True
"""


def start_worker(code, *args):
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                            env=child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def test_concurrent_saves_and_deletes_all_take_effect(store):
    store.meta_path.write_text('{"kept": {"username": "k"}}', encoding="utf-8")
    workers, count = 4, 25
    start = time.time() + 1.5  # all interpreters are up before the first save
    procs = [start_worker(WORKER, store.base_dir.parent, w, count, start) for w in range(workers)]
    for p in procs:
        out, err = p.communicate(timeout=120)
        assert p.returncode == 0, err
    accounts = json.loads(store.meta_path.read_text(encoding="utf-8"))
    expected = {"kept"} | {f"w{w}-{i}" for w in range(workers) for i in range(0, count, 2)}
    assert set(accounts) == expected
    assert all(accounts[f"w{w}-{i}"] == {"username": f"user{i}"} for w in range(workers) for i in range(0, count, 2))


@pytest.mark.skipif(sys.platform == "win32", reason="holds the lock with fcntl")
def test_save_waits_for_the_lock_holder(store):
    import fcntl

    lock_path = store.base_dir / ".accounts.lock"
    with open(lock_path, "a+b") as held:
        fcntl.flock(held, fcntl.LOCK_EX)
        proc = start_worker(WORKER, store.base_dir.parent, 0, 1, 0)
        time.sleep(1.0)
        waiting = proc.poll() is None and not store.meta_path.exists()
        fcntl.flock(held, fcntl.LOCK_UN)
        out, err = proc.communicate(timeout=60)
    assert waiting, "save ran while another process held the store lock"
    assert proc.returncode == 0, err
    assert json.loads(store.meta_path.read_text(encoding="utf-8")) == {"w0-0": {"username": "user0"}}


def save(name, username, password):
    return lambda store: store.save(name=name, username=username, password=password)


def get(name):
    return lambda store: store.get(name=name)


def delete(name):
    return lambda store: store.delete(name=name)


def remove_lock_file(store_dir):
    (store_dir / ".accounts.lock").unlink()


def replace_lock_file(store_dir):
    (store_dir / "new.lock").write_bytes(b"")
    (store_dir / "new.lock").replace(store_dir / ".accounts.lock")


class Greenlets:
    """A cooperative scheduler as greenlet-based servers have one: time.sleep switches to the other
    greenlets that are ready, in turn."""

    def __init__(self, monkeypatch):
        greenlet = pytest.importorskip("greenlet", reason="greenlet, a compiled package, is not installed here")

        self.greenlet, self.ready = greenlet, []
        self.hub = greenlet.greenlet(self.loop)
        monkeypatch.setattr(time, "sleep", self.sleep)

    def loop(self):
        while self.ready:
            self.ready.pop(0).switch()

    def sleep(self, seconds=0):
        self.ready.append(self.greenlet.getcurrent())
        self.hub.switch()

    def start(self, body):
        self.ready.append(self.greenlet.greenlet(body, parent=self.hub))


# The first operation, inside one of its steps, starts the second: in another thread, given half a
# second, time enough to run to the end unless it waits for the first; or in another greenlet of
# the same thread, switched to while the first waits (for a D-Bus reply, say). Either way the
# outcome must be the one of the two in that order, also when the lock file is removed or
# replaced just before the second starts.
@pytest.mark.parametrize("how", ["threads", "greenlets"])
@pytest.mark.parametrize("step, first, second, results, listed, passwords, tamper", [
    ("_set_password", save("main", "u2", "pw2"), delete("main"),  # between the keyring and the file
     [{"name": "main", "username": "u2"}, True], [], {}, None),
    ("_save_accounts", delete("main"), save("main", "u2", "pw2"),  # between the file and the keyring
     [True, {"name": "main", "username": "u2"}], [{"name": "main", "username": "u2"}], {"main": "pw2"}, None),
    ("_load_accounts", get("main"), delete("main"),  # between reading the file and the keyring
     [{"name": "main", "username": "u", "password": "pw"}, True], [], {}, None),
    ("_set_password", save("main", "u2", "pw2"), delete("main"),
     [{"name": "main", "username": "u2"}, True], [], {}, remove_lock_file),
    ("_set_password", save("main", "u2", "pw2"), delete("main"),
     [{"name": "main", "username": "u2"}, True], [], {}, replace_lock_file),
], ids=["delete-during-save", "save-during-delete", "delete-during-get", "lock-file-removed", "lock-file-replaced"])
def test_operations_on_one_name_run_whole(lockmere, store_parent, memory_keyring, monkeypatch, how, step, first,
                                          second, results, listed, passwords, tamper):
    if how == "greenlets" and "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("greenlet copies stacks with memcpy, which AddressSanitizer reports as an underflow")
    plain = lockmere.KestrowLockmere(base_dir=store_parent)
    plain.save(name="main", username="u", password="pw")
    done, started = [], []
    greenlets = Greenlets(monkeypatch) if how == "greenlets" else None

    class Store(lockmere.KestrowLockmere):
        pass

    def in_step(self, *args):
        value = getattr(lockmere.KestrowLockmere, step)(self, *args)
        if not started:
            if tamper and sys.platform == "win32":
                with pytest.raises(PermissionError):  # Windows removes and replaces no file that is open
                    tamper(plain.base_dir)
            elif tamper:
                tamper(plain.base_dir)
            if greenlets:
                started.append(greenlets.start(lambda: done.append(second(plain))) or "greenlet")
                time.sleep(0)  # a cooperative wait: the other greenlet runs
            else:
                started.append(threading.Thread(target=lambda: done.append(second(plain))))
                started[0].start()
                started[0].join(0.5)
        return value

    setattr(Store, step, in_step)
    if greenlets:
        greenlets.start(lambda: done.insert(0, first(Store(base_dir=store_parent))))
        greenlets.hub.switch()
    else:
        done.insert(0, first(Store(base_dir=store_parent)))
        started[0].join(30)
    assert done == results
    assert plain.list() == listed
    assert memory_keyring.entries == {(SERVICE, f"account:{k}"): v for k, v in passwords.items()}


# Two holders of a shared lock (a get) whose keyring callback saves: both turn exclusive at once.
UPGRADES = """
    import sys, threading
    from support.keyrings import MemoryKeyring, install
    from zantor.kestrow.services.lockmere import KestrowLockmere

    install(MemoryKeyring())

    class Store(KestrowLockmere):
        def _get_password(self, name):
            if name.startswith("reader"):
                self.save(name="saved-by-" + name, username="u", password="p")
            return "pw"

    def reads(name):
        store = Store(base_dir=sys.argv[1])
        store.save(name=name, username="u", password="p")
        # the save made from inside the outer save's own keyring call is kept, not renamed over
        assert {name, "saved-by-" + name} <= {a["name"] for a in store.list()}, store.list()
        for _ in range(int(sys.argv[3])):
            store.get(name=name)

    if sys.argv[2] == "threads":
        failed = []
        threading.excepthook = lambda args: failed.append(args.exc_value)
        threads = [threading.Thread(target=reads, args=(f"reader{n}",)) for n in range(2)]
        [t.start() for t in threads]
        [t.join() for t in threads]
        sys.exit(repr(failed) if failed else 0)
    else:
        reads(sys.argv[2])
"""


@pytest.mark.parametrize("how", ["threads", "processes"])
def test_holders_turning_exclusive_together_never_deadlock(store_parent, how):
    kinds = ["threads"] if how == "threads" else ["reader0", "reader1"]
    procs = [start_worker(UPGRADES, store_parent, kind, 100) for kind in kinds]
    for p in procs:
        out, err = p.communicate(timeout=60)
        assert p.returncode == 0, err


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="counts descriptors in /proc")
@pytest.mark.parametrize("code", [errno.ENOLCK, errno.EOPNOTSUPP, errno.EIO])
def test_a_lock_that_cannot_be_taken_is_an_error(store, memory_keyring, monkeypatch, code):
    """A file system without locks (NFS without its lock manager, some FUSE file systems) or a
    failing one: nothing goes on unguarded; the error names the lock file and the cause."""
    import fcntl

    real = fcntl.flock

    def flock(fd, operation):
        if operation != fcntl.LOCK_UN:
            raise OSError(code, os.strerror(code))
        return real(fd, operation)

    monkeypatch.setattr(fcntl, "flock", flock)
    descriptors = len(os.listdir("/proc/self/fd"))
    for call in (lambda: store.save(name="main", username="u", password="p"), lambda: store.delete(name="main"),
                 lambda: store.get(name="main")):
        with pytest.raises(OSError) as info:
            call()
        assert (info.value.errno, info.value.filename) == (code, str(store.base_dir / ".accounts.lock"))
    assert not store.meta_path.exists() and memory_keyring.entries == {}
    assert len(os.listdir("/proc/self/fd")) == descriptors


@pytest.mark.skipif(not hasattr(os, "fork"), reason="forks")
@pytest.mark.parametrize("step", ["_get_password", "_set_password"])
def test_a_forked_child_goes_no_further_in_its_parents_section(store_parent, tmp_path, step):
    """A keyring backend that forks, the child returning into the save only after its parent's
    save has returned: the child holds no lock, so it changes nothing (no keyring entry, not even
    to put one back, and no file its parent made) and says why; the parent's save stands."""
    run_python(f"""
        import os
        from support.keyrings import DirectoryKeyring, install
        from zantor.kestrow.services.lockmere import KestrowLockmere
        keys = DirectoryKeyring({str(tmp_path / "keys")!r})
        install(keys)
        go_on, told = os.pipe()

        class Store(KestrowLockmere):
            child = None

            def {step}(self, *args):
                result = super().{step}(*args)
                if self.fork_here and self.child is None:
                    self.child = os.fork()
                    if self.child == 0:
                        os.read(go_on, 1)
                return result

        store = Store(base_dir={str(store_parent)!r})
        store.fork_here = False
        store.save(name="main", username="u", password="old")
        store.fork_here = True
        try:
            store.save(name="main", username="u2", password="new")
        except RuntimeError as exc:
            assert store.child == 0 and "no longer held" in str(exc), exc
            os._exit(7)
        if store.child == 0:
            os._exit(1)
        os.write(told, b"!")
        assert os.waitstatus_to_exitcode(os.waitpid(store.child, 0)[1]) == 7
        assert store.list() == [{{"name": "main", "username": "u2"}}]
        assert keys.get_password("zantor-kestrow", "account:main") == "new", keys.log()
        assert [pid for pid, *_ in keys.log()] == [os.getpid()] * 2, keys.log()
    """, timeout=30)


@pytest.mark.skipif(not hasattr(os, "symlink") or sys.platform == "win32", reason="POSIX links and flock")
def test_lock_is_released_on_errors_and_reentry_does_not_wait(store_parent, tmp_path):
    # Runs in a child so that a lock left held would show as a timeout, not a hung suite. Calls
    # back in come through the same store, through another spelling of its directory (a link to
    # it) and from a shared hold (get) into an exclusive one (save).
    store_parent.mkdir()
    os.symlink(store_parent, tmp_path / "link")
    run_python(f"""
        import fcntl
        from support.keyrings import MemoryKeyring, install
        from zantor.kestrow.services.lockmere import KestrowLockmere
        keys = MemoryKeyring()
        install(keys)
        parent, link = {str(store_parent)!r}, {str(tmp_path / "link")!r}

        class Failing(KestrowLockmere):
            def _save_accounts(self, accounts):
                raise OSError("disk full")

        class Reentrant(KestrowLockmere):
            def _save_accounts(self, accounts):
                super()._save_accounts(accounts)
                if "inner" not in accounts:
                    self.save(name="inner", username="u", password="p")
                    KestrowLockmere(base_dir=link).save(name="linked", username="u", password="p")

            def _get_password(self, name):
                if name == "outer":
                    self.delete(name="linked")
                return super()._get_password(name)

        for _ in range(2):
            try:
                Failing(base_dir=parent).save(name="a", username="u", password="p")
            except OSError:
                pass
        store = Reentrant(base_dir=parent)
        store.save(name="outer", username="u", password="p")
        assert [a["name"] for a in store.list()] == ["outer", "inner", "linked"]
        assert store.get(name="outer")["password"] == "p"
        assert [a["name"] for a in store.list()] == ["outer", "inner"]

        # A save made inside another's keyring call is kept: the outer one, whose mapping no
        # longer matches the file, fails as a whole rather than renaming over it.
        class SavesInside(KestrowLockmere):
            def _set_password(self, name, password):
                super()._set_password(name, password)
                if name == "late":
                    KestrowLockmere(base_dir=link).save(name="early", username="u", password="p")

        try:
            SavesInside(base_dir=parent).save(name="late", username="u", password="p")
            raise AssertionError("the outer save renamed over the one made inside it")
        except OSError as exc:
            assert "changed during this call" in str(exc), exc
        assert [a["name"] for a in store.list()] == ["outer", "inner", "early"]
        assert keys.get_password("zantor-kestrow", "account:late") is None
        with open(store.base_dir / ".accounts.lock", "rb") as lock:  # nothing is held any more
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    """, timeout=30)
