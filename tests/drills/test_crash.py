"""Crash safety: a process saving accounts in a tight loop is killed with SIGKILL again and again,
at random moments. After every kill accounts.json still parses, and it holds every account whose
save returned, with that save's user name or a later one; a later save clears the temporary files
the killed ones left, and nothing else. And a program whose daemon threads are
inside the modules' calls when it exits ends as cleanly as the same program in plain Python."""

import json
import os
import shutil
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import child_env

# One interpreter imports the store once, then forks a saver per round and kills it: a round
# costs a fork and a few milliseconds instead of an interpreter start.
DRILL = """
    import json, os, random, signal, sys, time
    from pathlib import Path
    from support.keyrings import MemoryKeyring, install
    from zantor.kestrow.services.lockmere import KestrowLockmere

    install(MemoryKeyring())
    store = KestrowLockmere(base_dir=sys.argv[1])
    kills, seed = int(sys.argv[2]), int(sys.argv[3])
    rng = random.Random(seed)
    confirmed = {}  # name -> (round, save) of the last save reported as returned
    saves = interrupted = 0
    seen = set()

    def saver(round_, out):
        n = 0
        while True:
            n += 1
            name = f"acct{rng.randrange(40)}-{round_ % 3}"
            store.save(name=name, username=f"{round_}:{n}", password="pw")
            os.write(out, f"{name} {round_} {n}\\n".encode())  # one write per line: atomic on a pipe

    for round_ in range(kills):
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(read_end)
            try:
                saver(round_, write_end)
            finally:
                os._exit(1)
        os.close(write_end)
        time.sleep(rng.uniform(0.001, 0.06))  # a save is two flushes: file and directory
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        with os.fdopen(read_end, "rb") as pipe:
            reports = pipe.read().decode().splitlines()
        for line in reports:
            name, r, n = line.split()
            confirmed[name] = (int(r), int(n))
        saves += len(reports)

        text = store.meta_path.read_text(encoding="utf-8") if confirmed else "{}"
        accounts = json.loads(text)  # always whole: never empty, partial or damaged
        assert isinstance(accounts, dict), text
        for name, last in confirmed.items():
            r, n = accounts[name]["username"].split(":")
            assert (int(r), int(n)) >= last, (name, last, accounts[name])
        # a save killed between making its temporary file and renaming it leaves that file
        temporary = {p.name for p in store.base_dir.iterdir() if p.name.endswith(".tmp")}
        interrupted, seen = interrupted + len(temporary - seen), temporary
        assert not list(store.base_dir.glob("accounts.json.damaged*"))

    # Names close to a leftover's but not one, or a caller's file that only looks like one (a name
    # with a process id in it): the last save must keep them.
    dead, digits = pid, "0123456789abcdef01234567"
    kept = [f".accounts.json.{dead}.0.tmp", f".accounts.json.{digits.upper()}.tmp", f".accounts.json.{digits[1:]}.tmp",
            f".accounts.json.{digits}.tmp.bak", f"accounts.json.{digits}.tmp", f".accounts.json{digits}.tmp"]
    for name in kept:
        (store.base_dir / name).write_bytes(b"")
    store.save(name="last", username="u", password="pw")
    left = {p.name for p in store.base_dir.iterdir()} - {"accounts.json", ".accounts.lock"}
    assert left == set(kept), left
    print(json.dumps({"kills": kills, "saves": saves, "interrupted_writes": interrupted,
                      "accounts": len(confirmed)}))
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork and SIGKILL")
def test_saves_survive_sigkill(tmp_path):
    kills = 150
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(DRILL), str(tmp_path), str(kills), "20240517"],
                          capture_output=True, text=True, timeout=300, env=child_env())
    assert proc.returncode == 0, proc.stdout + proc.stderr
    summary = json.loads(proc.stdout.splitlines()[-1])
    print(summary)
    # most kills land between saves; some must have hit one in the middle of its write
    assert summary["saves"] > kills and summary["interrupted_writes"] > 0, summary


# A writer that dies between making its temporary file and renaming it (here: killed in its flush)
# leaves the file behind; the next process to replace a file in that folder removes it. A writer
# that is only slow (paused in its flush) keeps its file, whatever its process id says about it in
# this namespace, and finishes its write.
WRITER = """
    import os, signal, sys, time
    from pathlib import Path
    from support.pages import Page
    from zantor.kestrow.scraping.archiver import KestrowArchiver

    archive = KestrowArchiver(Path(sys.argv[1]))
    filename = sys.argv[3]

    def capture():
        try:
            archive.archive_page(Page("<p>page</p>"), section="s").send(None)
        except StopIteration:
            pass

    write = capture if filename == "page.html" else lambda: archive.save_json(section="s", filename=filename, payload={})
    real_fsync, go_on = os.fsync, Path(sys.argv[1]) / "go on"
    if sys.argv[2] == "killed":
        os.fsync = lambda fd: os.kill(os.getpid(), signal.SIGKILL)
    elif sys.argv[2] == "paused":
        def fsync(fd):
            (Path(sys.argv[1]) / "paused").touch()
            while not go_on.exists():
                time.sleep(0.01)
            real_fsync(fd)
        os.fsync = fsync
    write()
"""


def other_pid_namespace():
    unshare = shutil.which("unshare")
    if unshare and subprocess.run([unshare, "--pid", "--fork", "true"], capture_output=True).returncode == 0:
        return (unshare, "--pid", "--fork")
    return ()


OTHER_PID_NAMESPACE = other_pid_namespace() if sys.platform.startswith("linux") else ()


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs SIGKILL")
@pytest.mark.parametrize("how", ["killed", "paused"])
@pytest.mark.parametrize("filename", ["data.json", "名" * 80 + ".json", "page.html"], ids=["json", "long", "page"])
def test_a_writer_that_died_leaves_nothing_one_that_lives_keeps_its_file(tmp_path, filename, how):
    def start(mode, prefix=()):
        return subprocess.Popen([*prefix, sys.executable, "-c", textwrap.dedent(WRITER), str(tmp_path), mode, filename],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=child_env())

    first = start(how)
    if how == "killed":
        assert first.wait(timeout=60) == -9
    else:
        while not (tmp_path / "paused").exists():
            assert first.poll() is None, first.communicate()
            time.sleep(0.01)
    section = tmp_path / "s"
    left = [p.name for p in section.iterdir() if p.name.endswith(".tmp")]
    assert left != []
    second = start("whole", OTHER_PID_NAMESPACE)  # as a container sharing the volume: the first pid means nothing
    assert second.wait(timeout=60) == 0, second.communicate()
    assert [p.name for p in section.iterdir() if p.name.endswith(".tmp")] == ([] if how == "killed" else left)
    if how == "paused":
        (tmp_path / "go on").touch()
        assert first.wait(timeout=60) == 0, first.communicate()
    assert {p.name for p in section.iterdir()} == ({"page.html", "page.md"} if filename == "page.html" else {filename})


# Daemon threads busy in one kind of call while the main thread returns. At exit the interpreter
# ends each of them, when it next asks for the GIL, by unwinding its stack (pthread_exit): wherever
# the native code is then, the process must still exit with status 0.
EXIT_DRILL = """
    import sys, threading, time
    from pathlib import Path
    from support.keyrings import MemoryKeyring, install
    from support.pages import Page
    from zantor.kestrow.scraping.archiver import KestrowArchiver
    from zantor.kestrow.services.lockmere import KestrowLockmere

    kind, folder, wait = sys.argv[1], Path(sys.argv[2]), float(sys.argv[3])
    install(MemoryKeyring())
    store = KestrowLockmere(base_dir=folder)
    archive = KestrowArchiver(folder / "archive")
    html = "<body>" + "<p style='display:none'>a</p><div><b>x</b> y</div>" * 100 + "</body>"

    def capture():
        coro = archive.archive_page(Page(html), section="s")
        try:
            coro.send(None)
        except StopIteration:
            pass

    calls = {
        "save": lambda i: store.save(name=f"n{i % 5}", username="u", password="pw"),
        "save_json": lambda i: archive.save_json(section="s", filename="f.json", payload={"k": list(range(50))}),
        "archive_page": lambda i: capture(),
        "html_to_markdown": lambda i: archive.html_to_markdown(html),
    }

    def loop():
        i = 0
        while True:
            calls[kind](i)
            i += 1

    for _ in range(3):
        threading.Thread(target=loop, daemon=True).start()
    time.sleep(wait)
"""


@pytest.mark.parametrize("kind", ["save", "save_json", "archive_page", "html_to_markdown"])
def test_exit_with_daemon_threads_inside_calls(tmp_path, kind):
    runs = [subprocess.Popen([sys.executable, "-c", textwrap.dedent(EXIT_DRILL), kind, str(tmp_path / str(run)),
                              str(0.05 + 0.04 * run)], env=child_env(), stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True) for run in range(5)]
    errors = [p.communicate(timeout=120)[1] for p in runs]
    assert [p.returncode for p in runs] == [0] * len(runs), errors
