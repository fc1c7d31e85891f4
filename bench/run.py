"""Native modules against their plain-Python equivalents (bench/plain.py).

    .venv/bin/python bench/run.py [--quick] [--only WORD] [--rounds N] [--tmpdir DIR]

Each case times the same work on the native class and on the plain one, interleaved in one run
(the order alternates from round to round), and reports the medians over the rounds and their
ratio, native / plain; lower is better. Both sides run in this interpreter against the same kind
of files in their own temporary store, and before timing each case checks that both sides give
the same result. The modules are the installed ones (the Release wheel that tools/bootstrap.sh
puts into .venv), or a development build when KESTROW_DEV_PATH names one.
"""

from __future__ import annotations

import argparse
import gc
import os
import py_compile
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
import tracemalloc
from importlib.util import cache_from_source
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BENCH = ROOT / "bench"
HOST = ROOT / "host"
CORPUS = ROOT.parent / "shared" / "corpus" / "html"
DEV_PATH = os.environ.get("KESTROW_DEV_PATH")
# tests/ for its support package: the in-process keyring and the plain Markdown steps.
SEARCH_PATH = [p for p in (DEV_PATH, str(HOST), str(BENCH), str(ROOT / "tests")) if p]

for entry in reversed(SEARCH_PATH):
    if entry not in sys.path:
        sys.path.insert(0, entry)

import keyring  # noqa: E402

import plain  # noqa: E402
import zantor.kestrow.scraping.archiver as native_archiver  # noqa: E402
import zantor.kestrow.services.lockmere as native_lockmere  # noqa: E402
# The keyring package's own call path, without a credential manager: the tests' in-process backend.
from support.keyrings import MemoryKeyring  # noqa: E402


class Done:
    """Page-library calls that complete at once: coroutines that return without suspending."""

    def __init__(self, html):
        self.html = html

    async def screenshot(self, *, path, full_page):
        return None

    async def content(self):
        return self.html


def run_to_end(coroutine):
    try:
        coroutine.send(None)
    except StopIteration as stop:
        return stop.value
    raise RuntimeError("the capture suspended")


# --- measuring --------------------------------------------------------------------------------------

class Settings:
    def __init__(self, quick, rounds):
        self.quick = quick
        self.rounds = rounds or (5 if quick else 15)
        self.sample = 0.01 if quick else 0.04  # seconds per timed sample
        # Cases that write files with fsync: one call per sample and many rounds, so that the
        # median sees past the disk's hiccups.
        self.file_rounds = 100 if quick else 400


def calibrate(timer, sample):
    """Loop count that makes one sample last about `sample` seconds."""
    number = 1
    while True:
        if timer.timeit(number) >= sample / 4:
            return max(1, int(number * sample / max(timer.timeit(number), 1e-9)))
        number *= 4


def interleaved(timers, rounds, number):
    """Median seconds per loop of each timer; the order flips every round."""
    samples = [[] for _ in timers]
    for r in range(rounds):
        order = list(range(len(timers)))
        if r % 2:
            order.reverse()
        for i in order:
            samples[i].append(timers[i](number) / number)
    return [statistics.median(s) for s in samples]


def compare_statements(stmt, native_ns, plain_ns, settings, *, files=False):
    """Times `stmt` (a statement, as timeit runs it) against each namespace."""
    timers = [timeit.Timer(stmt, globals=native_ns), timeit.Timer(stmt, globals=plain_ns)]
    if files:
        return interleaved([t.timeit for t in timers], settings.file_rounds, 1)
    number = max(calibrate(t, settings.sample) for t in timers)
    return interleaved([t.timeit for t in timers], settings.rounds, number)


# --- cases --------------------------------------------------------------------------------------------

def make_accounts(n):
    return {f"acct-{i:05d}": {"username": f"user{i}@example.com"} for i in range(n)}


def stores(tmp, label, accounts):
    """A native and a plain store over their own directories, each holding `accounts`."""
    pair = []
    for impl in (native_lockmere, plain):
        store = impl.KestrowLockmere(base_dir=tmp / f"{label}-{impl.__name__}")
        store._save_accounts(dict(accounts))
        pair.append(store)
    a, b = (s.meta_path.read_bytes() for s in pair)
    assert a == b, "native and plain accounts.json differ"
    return pair


def agree(native_result, plain_result, what):
    if native_result != plain_result:
        raise AssertionError(f"{what}: native and plain results differ:\n{native_result!r}\n{plain_result!r}")


def case_method_call(tmp, s):
    n, p = stores(tmp, "call", {})
    agree(n._keyring_account("main"), p._keyring_account("main"), "_keyring_account")
    return compare_statements('store._keyring_account("main")', {"store": n}, {"store": p}, s)


def case_validate(tmp, s, name):
    n, p = stores(tmp, "validate", {})
    agree(n._validate_name(name), p._validate_name(name), "_validate_name")
    return compare_statements("store._validate_name(name)", {"store": n, "name": name},
                              {"store": p, "name": name}, s)


def case_list(tmp, s):
    n, p = stores(tmp, "list", make_accounts(1000))
    agree(n.list(), p.list(), "list")
    native_t, plain_t = compare_statements("store.list()", {"store": n}, {"store": p}, s)
    native_load, plain_load = compare_statements("store._load_accounts()", {"store": n}, {"store": p}, s)
    note = (f"reading the file (_load_accounts: exists, read_text, json.loads, the same library calls on "
            f"both sides) takes {duration(native_load)} native, {duration(plain_load)} plain; building the "
            f"1,000 result dicts takes {duration(native_t - native_load)} native, "
            f"{duration(plain_t - plain_load)} plain (even at no cost the ratio would be "
            f"{native_load / plain_t:.2f})")
    return native_t, plain_t, note


def case_get(tmp, s):
    n, p = stores(tmp, "get", make_accounts(1000))
    for store in (n, p):
        store._set_password("acct-00500", "s3cret-pw")
    agree(n.get(name="acct-00500"), p.get(name="acct-00500"), "get")
    return compare_statements('store.get(name="acct-00500")', {"store": n}, {"store": p}, s)


def case_save(tmp, s):
    n, p = stores(tmp, "save", make_accounts(10))
    stmt = 'store.save(name="acct-00005", username="新用户@example.com", password="s3cret-pw")'
    for store in (n, p):
        exec(stmt, {"store": store})
    agree(n.list(), p.list(), "save")
    agree(n.meta_path.read_bytes(), p.meta_path.read_bytes(), "save (accounts.json)")
    return compare_statements(stmt, {"store": n}, {"store": p}, s, files=True)


def case_delete(tmp, s):
    n, p = stores(tmp, "delete", make_accounts(10))
    stmt = 'store.save(name="acct-00005", username="u", password="pw"); store.delete(name="acct-00005")'
    for store in (n, p):
        exec(stmt, {"store": store})
    agree(n.list(), p.list(), "delete")
    save_n, save_p = compare_statements('store.save(name="acct-00005", username="u", password="pw")',
                                        {"store": n}, {"store": p}, s, files=True)
    both_n, both_p = compare_statements(stmt, {"store": n}, {"store": p}, s, files=True)
    return both_n - save_n, both_p - save_p


def case_big_save(tmp, s):
    """A save in a store of 500,000 accounts (100,000 with --quick) against a plain read-modify-write of the same file (read,
    parse, change, serialise, write_text: no lock, no keyring, no flush)."""
    accounts = make_accounts(100_000 if s.quick else 500_000)
    store = native_lockmere.KestrowLockmere(base_dir=tmp / "big")
    store._save_accounts(accounts)
    path = tmp / "big-plain.json"
    path.write_bytes(store.meta_path.read_bytes())
    import json

    def read_modify_write():
        held = json.loads(path.read_text(encoding="utf-8"))
        held["acct-00005"] = {"username": "新用户@example.com"}
        path.write_text(json.dumps(held, ensure_ascii=False, indent=2), encoding="utf-8")

    def saving(number):
        start = time.perf_counter()
        for _ in range(number):
            store.save(name="acct-00005", username="新用户@example.com", password="s3cret-pw")
        return time.perf_counter() - start

    def plain_rmw(number):
        start = time.perf_counter()
        for _ in range(number):
            read_modify_write()
        return time.perf_counter() - start

    native_t, plain_t = interleaved([saving, plain_rmw], 3, 1)
    agree(store.meta_path.read_bytes(), path.read_bytes(), "500k save (accounts.json)")
    return native_t, plain_t, f"{len(accounts):,} accounts ({store.meta_path.stat().st_size / 1e6:.0f} MB)"


def case_big_folder(tmp, s):
    """One save_json beside 100,000 files (20,000 with --quick) against one in an empty section (native against itself):
    only a folder's first write in a process looks through it."""
    archive = native_archiver.KestrowArchiver(tmp / "folder")
    crowded, empty = tmp / "folder" / "crowded", tmp / "folder" / "empty"
    crowded.mkdir(parents=True)
    count = 20_000 if s.quick else 100_000
    for i in range(count):
        (crowded / f"f{i:06d}.json").touch()
    for section in ("crowded", "empty"):  # the first write in each: the one that looks
        archive.save_json(section=section, filename="first.json", payload={})

    def writing(section):
        def timed(number):
            start = time.perf_counter()
            for _ in range(number):
                archive.save_json(section=section, filename="x.json", payload={"k": 1})
            return time.perf_counter() - start
        return timed

    crowded_t, empty_t = interleaved([writing("crowded"), writing("empty")], s.file_rounds, 1)
    return crowded_t, empty_t, f"native beside {count:,} files / native in an empty section"


def corpus_pages(quick):
    pages = sorted(CORPUS.glob("*.html"))
    if not pages:
        raise SystemExit(f"no HTML pages in {CORPUS}")
    if quick:  # every third page, still with the largest ones among them
        pages = pages[::3]
    return [(page.name, page.read_text(encoding="utf-8")) for page in pages]


def case_markdown(tmp, s):
    n = native_archiver.KestrowArchiver(tmp / "md-native")
    p = plain.KestrowArchiver(tmp / "md-plain")
    rounds = 3 if s.quick else 9
    total = [0.0, 0.0]
    for name, html in corpus_pages(s.quick):
        agree(n.html_to_markdown(html), p.html_to_markdown(html), f"html_to_markdown({name})")

        def timed(archiver, html=html):
            def once(number):
                gc.collect()  # both sides start from the same heap, and as timeit does, no
                gc.disable()  # collection runs at a random moment inside the timing
                try:
                    start = time.perf_counter()
                    for _ in range(number):
                        archiver.html_to_markdown(html)
                    return time.perf_counter() - start
                finally:
                    gc.enable()
            return once

        for i, t in enumerate(interleaved([timed(n), timed(p)], rounds, 1)):
            total[i] += t
    return total


def case_archive_page(tmp, s):
    html = (CORPUS / "001.html").read_text(encoding="utf-8") if (CORPUS / "001.html").exists() else "<p>x</p>"

    def subclass(base):
        class Passthrough(base):
            def html_to_markdown(self, html):
                return html
        return Passthrough

    n = subclass(native_archiver.KestrowArchiver)(tmp / "capture-native")
    p = subclass(plain.KestrowArchiver)(tmp / "capture-plain")
    page = Done(html)
    agree([Path(v).relative_to(n.root_dir) for v in run_to_end(n.archive_page(page, section="home")).values()],
          [Path(v).relative_to(p.root_dir) for v in run_to_end(p.archive_page(page, section="home")).values()],
          "archive_page")
    stmt = 'run_to_end(archiver.archive_page(page, section="home"))'
    ns = {"run_to_end": run_to_end, "page": page}
    return compare_statements(stmt, {**ns, "archiver": n}, {**ns, "archiver": p}, s, files=True)


IMPORT_NATIVE = "import zantor.kestrow.services.lockmere, zantor.kestrow.scraping.archiver"
IMPORT_PLAIN = "import plain"
OWN_MODULES = {
    IMPORT_NATIVE: ("zantor.kestrow.services.lockmere", "zantor.kestrow.scraping.archiver"),
    IMPORT_PLAIN: ("plain",),
}


# The host's packages that hold the native modules; a plain-Python module at the same dotted names
# would need them just the same, so both children import them first, outside the timing.
PARENTS = "import zantor.kestrow.services, zantor.kestrow.scraping"


def child(statement_text, env, *options):
    code = f"{PARENTS}; import time; t = time.perf_counter(); {statement_text}; print(time.perf_counter() - t)"
    return subprocess.run([sys.executable, *options, "-c", code], env=env, capture_output=True, text=True,
                          check=True)


def own_import_seconds(statement_text, env):
    """The modules' own part of the import (-X importtime "self": loading and running the module,
    without the modules it imports)."""
    own = 0
    for line in child(statement_text, env, "-X", "importtime").stderr.splitlines():
        fields = line.split("|")
        if len(fields) == 3 and fields[2].strip() in OWN_MODULES[statement_text]:
            own += int(fields[0].split(":")[1])
    return own * 1e-6


def case_import(tmp, s):
    # Compiled files as an installed module would have them (this machine may forbid writing them).
    for source in [BENCH / "plain.py", *HOST.rglob("*.py")]:
        py_compile.compile(str(source), cfile=cache_from_source(str(source)), doraise=True)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(SEARCH_PATH))
    rounds = 12 if s.quick else 60

    def timer(measure, statement_text):
        return lambda number: sum(measure(statement_text, env) for _ in range(number))

    for statement_text in (IMPORT_NATIVE, IMPORT_PLAIN):  # warm the file cache
        child(statement_text, env)
    whole = lambda statement_text, env: float(child(statement_text, env).stdout)  # noqa: E731
    native_t, plain_t = interleaved([timer(whole, IMPORT_NATIVE), timer(whole, IMPORT_PLAIN)], rounds, 1)
    native_own, plain_own = interleaved([timer(own_import_seconds, IMPORT_NATIVE),
                                         timer(own_import_seconds, IMPORT_PLAIN)], max(5, rounds // 4), 1)
    note = (f"the modules' own part (-X importtime self): native {duration(native_own)} for two shared "
            f"objects, plain {duration(plain_own)} for one .pyc; the rest is json, pathlib, typing and "
            "keyring, imported by both (the parent packages zantor.kestrow.services and .scraping are "
            "imported first, outside the timing, in both)")
    return native_t, plain_t, note


def peak_memory_of_list(tmp):
    """Peak bytes allocated while list() runs on a store of 10,000 accounts."""
    n, p = stores(tmp, "memory", make_accounts(10_000))
    peaks = []
    for store in (n, p):
        store.list()
        gc.collect()
        tracemalloc.start()
        try:
            base = tracemalloc.get_traced_memory()[0]
            tracemalloc.reset_peak()
            result = store.list()
            peaks.append(tracemalloc.get_traced_memory()[1] - base)
            del result
        finally:
            tracemalloc.stop()
    return peaks


CASES = [
    # (label, target, function)
    ('store._keyring_account("main")', 0.9, case_method_call),
    ("_validate_name, 32 ASCII chars", 0.35, lambda t, s: case_validate(t, s, "Main_account-01" + "x" * 17)),
    ("_validate_name, 32 Chinese chars", 0.6, lambda t, s: case_validate(t, s, "账号名称" * 8)),
    ("list(), 1,000 accounts", 0.85, case_list),
    ("get(), 1,000-account store", 1.05, case_get),
    ("save(), in-process keyring", 1.05, case_save),
    ("delete(), in-process keyring", 1.05, case_delete),
    ("save(), 500k accounts vs plain RMW", 1.2, case_big_save),
    ("save_json beside 100k files", 2.0, case_big_folder),
    ("html_to_markdown, corpus", 1.02, case_markdown),
    ("archive_page, fake page", 1.05, case_archive_page),
    ("import both modules", 1.0, case_import),
]


def duration(seconds):
    for unit, scale in (("s", 1), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds and every third corpus page")
    parser.add_argument("--only", metavar="WORD", help="run only the cases whose label contains WORD")
    parser.add_argument("--rounds", type=int, help="rounds for the fast cases (default 15, quick 5)")
    parser.add_argument("--tmpdir", help="where the stores and archives go (default: the system's temporary "
                        "directory)")
    args = parser.parse_args()
    settings = Settings(args.quick, args.rounds)

    previous = keyring.get_keyring()
    keyring.set_keyring(MemoryKeyring())
    started = time.perf_counter()
    modules = Path(native_lockmere.__file__).parent.parent.parent
    print(f"Python {sys.version.split()[0]}; native modules from {modules}; "
          f"files in {args.tmpdir or tempfile.gettempdir()}")
    print(f"medians over {settings.rounds} rounds ({settings.file_rounds} for save and archive_page), "
          "native and plain interleaved\n")
    header = f"{'case':34} {'native':>10} {'plain':>10} {'ratio':>7} {'target':>7}  result"
    print(header)
    print("-" * len(header))
    missed = 0
    notes = []
    try:
        with tempfile.TemporaryDirectory(prefix="kestrow-bench-", dir=args.tmpdir) as tmp:
            for label, target, case in CASES:
                if args.only and args.only.lower() not in label.lower():
                    continue
                case_dir = Path(tmp) / str(len(os.listdir(tmp)))
                case_dir.mkdir()
                native_t, plain_t, *note = case(case_dir, settings)
                ratio = native_t / plain_t
                met = ratio <= target
                missed += not met
                print(f"{label:34} {duration(native_t):>10} {duration(plain_t):>10} {ratio:7.3f} "
                      f"{'≤' + str(target):>7}  {'met' if met else 'MISSED'}", flush=True)
                notes += [f"{label}: {n}" for n in note]
            if not args.only or args.only.lower() in "peak memory of list()":
                native_peak, plain_peak = peak_memory_of_list(Path(tmp))
                print(f"\npeak memory of list(), 10,000 accounts: native {native_peak / 1024:.0f} KiB, "
                      f"plain {plain_peak / 1024:.0f} KiB, ratio {native_peak / plain_peak:.3f}")
    finally:
        keyring.set_keyring(previous)
    for n in notes:
        print(f"\n{n}")
    print(f"\n{missed} target(s) missed; {time.perf_counter() - started:.0f} s")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
