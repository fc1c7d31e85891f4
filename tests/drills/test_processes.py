"""Concurrency: 8 processes each make 50 mixed saves and deletes of their own accounts on one
store at the same time. Every delete reports exactly what its process's own history predicts,
and the final accounts.json is exactly the union of what each process's operations left."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import child_env

DRILL = """
    import json, os, random, sys
    from support.keyrings import MemoryKeyring, install
    from zantor.kestrow.services.lockmere import KestrowLockmere

    parent, workers, operations = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    install(MemoryKeyring())
    store = KestrowLockmere(base_dir=parent)
    store.save(name="kept", username="k", password="pw")

    def work(worker):
        rng = random.Random(worker)
        mine = {}  # this process's accounts as its successful operations left them
        for i in range(operations):
            name = f"w{worker}-{rng.randrange(8)}"
            if rng.random() < 0.6:
                username = f"user{worker}-{i}"
                assert store.save(name=name, username=username, password=f"pw{i}") == {"name": name, "username": username}
                mine[name] = username
            else:
                assert store.delete(name=name) is (name in mine), (name, mine)
                mine.pop(name, None)
        return mine

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

    expected = {"kept": {"username": "k"}}
    for worker in range(workers):
        with open(os.path.join(parent, f"worker{worker}.json")) as f:
            expected.update({name: {"username": u} for name, u in json.load(f).items()})
    final = json.loads(store.meta_path.read_text(encoding="utf-8"))
    assert final == expected, (final, expected)
    print(json.dumps({"workers": workers, "operations": workers * operations, "accounts": len(final)}))
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="forks the workers")
def test_eight_processes_lose_nothing(tmp_path):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(DRILL), str(tmp_path), "8", "50"],
                          capture_output=True, text=True, timeout=300, env=child_env())
    assert proc.returncode == 0, proc.stdout + proc.stderr
    print(proc.stdout.strip())
