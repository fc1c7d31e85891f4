"""Several processes changing one store at once lose none of each other's changes."""

import json
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import child_env

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
