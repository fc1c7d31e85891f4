"""Concurrency: 8 processes each make 50 mixed saves, deletes and gets on one store and one keyring
at the same time. With names of their own, every call reports exactly what its process's own
history predicts, and the final accounts.json is exactly the union of what each process's
operations left. With names they all share, the outcome is that of one serial order: the order in
which the operations reached the keyring, which each does while it holds the store lock. Every
delete reports what that order predicts, every get sees the user name and password of one save
(never a listed account without its password), and the file and the keyring end as it leaves them."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import child_env

DRILL = """
    import json, os, random, sys
    from support.keyrings import DirectoryKeyring, install
    from zantor.kestrow.domain.exceptions import InvalidCollectOptionError
    from zantor.kestrow.services.lockmere import KestrowLockmere

    parent, names, workers, operations = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    shared = names == "shared"
    backend = DirectoryKeyring(os.path.join(parent, "keyring"))
    install(backend)
    store = KestrowLockmere(base_dir=parent)
    store.save(name="kept", username="u-kept", password="p-kept")

    def work(worker):
        rng = random.Random(worker)
        mine = {}  # with own names: this process's accounts as its operations left them
        deletes = []  # what each delete returned, in this process's order
        for i in range(operations):
            name = f"n{rng.randrange(6)}" if shared else f"w{worker}-{rng.randrange(8)}"
            tag = f"{worker}-{i}"
            choice = rng.random()
            if choice < 0.5:
                assert store.save(name=name, username="u" + tag, password="p" + tag) == {"name": name, "username": "u" + tag}
                mine[name] = "u" + tag
            elif choice < 0.8:
                deletes.append(store.delete(name=name))
                assert shared or deletes[-1] is (name in mine), (name, mine)
                mine.pop(name, None)
            else:
                try:
                    got = store.get(name=name)
                except InvalidCollectOptionError as exc:
                    assert exc.args == (f"Kestrow账号 `{name}` 不存在，请先执行 account save",), exc.args
                    assert shared or name not in mine
                else:
                    assert got["password"] == "p" + got["username"][1:], got  # one save's pair
                    assert shared or got["username"] == mine[name]
        return {"pid": os.getpid(), "mine": mine, "deletes": deletes}

    start_read, start_write = os.pipe()
    children = []
    for worker in range(workers):
        out = os.path.join(parent, f"worker{worker}.json")
        pid = os.fork()
        if pid == 0:
            os.close(start_write)
            os.read(start_read, 1)  # all start together, when the parent closes its end
            try:
                result = work(worker)
                with open(out, "w") as f:
                    json.dump(result, f)
                code = 0
            except BaseException as exc:
                print(f"worker {worker}: {exc!r}", file=sys.stderr)
                code = 1
            os._exit(code)
        children.append(pid)
    os.close(start_write)
    failed = [pid for pid in children if os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) != 0]
    assert not failed, failed
    results = []
    for worker in range(workers):
        with open(os.path.join(parent, f"worker{worker}.json")) as f:
            results.append(json.load(f))

    expected = {"kept": "u-kept"}
    if shared:
        deletes = {r["pid"]: iter(r["deletes"]) for r in results}
        for pid, call, account, password in backend.log():
            name = account.removeprefix("account:")
            if call == "set_password":
                expected[name] = "u" + password[1:]
            else:
                if pid in deletes:
                    assert next(deletes[pid]) is (name in expected), (pid, name, expected)
                expected.pop(name, None)
        assert all(next(d, None) is None for d in deletes.values())  # every delete is in the log
    else:
        for r in results:
            expected.update(r["mine"])
    final = json.loads(store.meta_path.read_text(encoding="utf-8"))
    assert final == {name: {"username": u} for name, u in expected.items()}, (final, expected)
    assert backend.entries() == {("zantor-kestrow", "account:" + name): "p" + u[1:] for name, u in expected.items()}
    print(json.dumps({"names": names, "workers": workers, "operations": workers * operations,
                      "deletes": sum(len(r["deletes"]) for r in results), "accounts": len(final)}))
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="forks the workers")
@pytest.mark.parametrize("names", ["own", "shared"])
def test_eight_processes_lose_nothing(tmp_path, names):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(DRILL), str(tmp_path), names, "8", "50"],
                          capture_output=True, text=True, timeout=300, env=child_env())
    assert proc.returncode == 0, proc.stdout + proc.stderr
    print(proc.stdout.strip())


# A process forks while a save holds the store lock (from inside the save, or from another thread
# as a worker pool would), then the holder is killed. The forked child lives on; another process's
# save must not wait for it.
FORKED = """
    import os, sys, threading, time
    from support.keyrings import MemoryKeyring, install
    from zantor.kestrow.services.lockmere import KestrowLockmere

    install(MemoryKeyring())
    folder, how = sys.argv[1], sys.argv[2]
    inside = threading.Event()

    def fork():
        pid = os.fork()
        if pid == 0:
            time.sleep(60)
            os._exit(0)
        with open(os.path.join(folder, "child"), "w") as f:
            f.write(str(pid))

    class Store(KestrowLockmere):
        def _set_password(self, name, password):
            if how == "inside the save":
                fork()
            inside.set()
            time.sleep(60)  # holds the lock until killed

    saver = threading.Thread(target=lambda: Store(base_dir=folder).save(name="a", username="u", password="p"))
    saver.start()
    inside.wait()
    if how == "from another thread":
        fork()
    time.sleep(60)
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="forks")
@pytest.mark.parametrize("how", ["inside the save", "from another thread"])
def test_a_forked_child_never_holds_the_store_lock(tmp_path, how):
    holder = subprocess.Popen([sys.executable, "-c", textwrap.dedent(FORKED), str(tmp_path), how], env=child_env())
    child = tmp_path / "child"
    try:
        deadline = time.time() + 60
        while not child.exists() or not child.read_text():
            assert time.time() < deadline and holder.poll() is None
            time.sleep(0.05)
        holder.kill()
        holder.wait()
        saver = subprocess.run([sys.executable, "-c", textwrap.dedent("""
            import sys
            from support.keyrings import MemoryKeyring, install
            from zantor.kestrow.services.lockmere import KestrowLockmere
            install(MemoryKeyring())
            KestrowLockmere(base_dir=sys.argv[1]).save(name="b", username="u", password="p")
        """), str(tmp_path)], env=child_env(), capture_output=True, text=True, timeout=20)
        assert saver.returncode == 0, saver.stderr
    finally:
        holder.kill()
        if child.exists() and child.read_text():
            os.kill(int(child.read_text()), signal.SIGKILL)
