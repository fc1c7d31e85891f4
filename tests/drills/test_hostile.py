"""The hostile drill: every object the modules look up at call time (module globals and their
attributes, the functions of os, os.path, the lock module (fcntl; msvcrt on Windows) and pathlib,
sibling methods through self, instance attributes, the page library's objects, bs4 and markdownify,
the method objects' own attributes) is replaced in turn by values of the wrong type, or by
callables that return them or raise, and then every method is called. A case passes when the call
returns or raises an ordinary Python exception; a crash, a hang or a SystemError (an error lost or
left set by native code) fails it.

The cases run in child processes, a batch of lookup points each, with a time limit; each case is
announced before it runs, so a crash names the case that caused it."""

import asyncio
import contextlib
import importlib
import inspect
import json
import os
import pathlib
import stat
import subprocess
import sys
import tempfile

import pytest

from conftest import child_env, run_python
from support.pages import Done, Page

BATCHES = 6
# The platform's path and lock modules, as the runtime finds them: posixpath and fcntl on POSIX,
# ntpath and msvcrt on Windows (chosen by platform, so the drill collects everywhere).
PATH = os.path
LOCKING = importlib.import_module("msvcrt" if sys.platform == "win32" else "fcntl")
LOCK_CALLS = ("locking",) if sys.platform == "win32" else ("flock", "lockf", "fcntl")
LOCK_NAMES = ("LK_LOCK", "LK_UNLCK") if sys.platform == "win32" else ("LOCK_EX", "LOCK_UN", "LOCK_SH")
ORIGINAL_DUMPS = json.dumps  # the driver reports through it while json.dumps itself may be replaced


# --- hostile values ------------------------------------------------------------------------------

class StrSub(str):
    pass


class IntSub(int):
    pass


def raising(name, exc_type=ValueError):
    def fail(self, *args):
        raise exc_type(f"hostile {name}")
    return fail


class BadIndex:
    __index__ = raising("__index__")


class BadBool:
    __bool__ = raising("__bool__")


class BadEq:
    __eq__ = raising("__eq__")
    __hash__ = object.__hash__


class BadHash:
    __hash__ = raising("__hash__")


class BadStr:
    __str__ = raising("__str__")
    __repr__ = raising("__repr__")


class BadFspath:
    __fspath__ = raising("__fspath__")


class UnprintableError(Exception):
    def __str__(self):
        raise RuntimeError("hostile __str__ of an exception")


# What a looked-up object may be replaced with, or return. File descriptors never name one this
# process has open (0, 1 and 2 are left alone).
VALUES = {
    "None": lambda: None,
    "int": lambda: 10**6,
    "negative int": lambda: -1,
    "huge int": lambda: 2**70,
    "bytes": lambda: b"bytes",
    "str": lambda: "hostile",
    "lone surrogate": lambda: "a\udc80",
    "list": lambda: ["a", "b"],
    "1-tuple": lambda: ("a",),
    "3-tuple": lambda: ("a", "b", "c"),
    "dict": lambda: {"a": 1},
    "str subclass": lambda: StrSub("hostile"),
    "int subclass": lambda: IntSub(10**6),
    "bad __index__": BadIndex,
    "bad __bool__": BadBool,
    "bad __eq__": BadEq,
    "bad __hash__": BadHash,
    "bad __str__": BadStr,
    "bad __fspath__": BadFspath,
}
RAISES = {
    "raises KeyboardInterrupt": KeyboardInterrupt,
    "raises MemoryError": MemoryError,
    "raises unprintable": UnprintableError,
}


def replacements():
    """(label, factory) for what goes in place of a looked-up object: the values themselves, and
    callables that return each of them or raise."""
    for label, make in VALUES.items():
        yield label, make
        yield f"returns {label}", lambda make=make: (lambda *args, **kwargs: make())
    for label, exc in RAISES.items():
        def raiser(*args, exc=exc, **kwargs):
            raise exc("hostile")
        yield label, lambda raiser=raiser: raiser


# --- lookup points ---------------------------------------------------------------------------------

def setting(obj, name):
    """Puts a value at obj.name; returns the undo."""
    def install(value):
        missing = object()
        old = obj.__dict__.get(name, missing) if isinstance(obj, type) else getattr(obj, name, missing)
        setattr(obj, name, value)

        def undo():
            if old is missing:
                delattr(obj, name)
            else:
                setattr(obj, name, old)
        return undo
    return install


class Chameleon:
    """What a replaced library returns: every attribute is a callable giving the hostile value."""

    def __init__(self, value):
        self._value = value

    def __getattr__(self, name):
        return lambda *args, **kwargs: self._value

    def __call__(self, *args, **kwargs):
        return self._value


def spied_functions():
    """The functions of os, os.path, the lock module and pathlib.Path that the modules call, found
    by running every operation once with each of them wrapped."""
    seen = set()
    places = [(os, n) for n in dir(os) if callable(getattr(os, n)) and not n.startswith("_")
              and not isinstance(getattr(os, n), type)]
    places += [(PATH, n) for n in dir(PATH) if callable(getattr(PATH, n)) and not n.startswith("_")]
    places += [(LOCKING, n) for n in LOCK_CALLS]
    places += [(pathlib.Path, n) for n in ("exists", "read_text", "read_bytes", "write_text", "chmod", "mkdir",
                                            "stat", "is_file", "open", "__truediv__", "__str__", "__fspath__")]
    undo = []
    for obj, name in places:
        real = getattr(obj, name)

        def spy(*args, real=real, key=(obj.__name__, name), **kwargs):
            seen.add(key)
            return real(*args, **kwargs)
        undo.append(setting(obj, name)(spy))
    try:
        with scratch() as folder:
            run_operations(folder)
    finally:
        for u in reversed(undo):
            u()
    modules = {"os": os, PATH.__name__: PATH, LOCKING.__name__: LOCKING, "Path": pathlib.Path}
    return sorted(seen), modules


def lookup_points():
    """(label, install) for every lookup point the drill replaces, in a fixed order."""
    import bs4
    import keyring
    import keyring.errors
    import markdownify
    import zantor.kestrow.scraping.archiver as archiver
    import zantor.kestrow.services.lockmere as lockmere

    points = []
    for name in ("json", "stat", "Path", "CONFIG_DIR", "InvalidCollectOptionError", "KestrowDependencyError",
                 "keyring", "_KEYRING_AVAILABLE", "_KEYRING_SERVICE"):
        points.append((f"lockmere.{name}", setting(lockmere, name)))
    for name in ("json", "Path", "Any"):
        points.append((f"archiver.{name}", setting(archiver, name)))
    for obj, name in [(json, "dumps"), (json, "loads"), (stat, "S_IRUSR"), (stat, "S_IWUSR"),
                      (keyring, "set_password"), (keyring, "get_password"), (keyring, "delete_password"),
                      (keyring, "errors"), (keyring.errors, "NoKeyringError"), (bs4, "BeautifulSoup"),
                      (markdownify, "markdownify"), (os, "sep"), (os, "altsep"), (os, "O_WRONLY"),
                      (os, "O_CREAT"), (os, "O_EXCL"), (os, "O_RDWR"), (os, "O_RDONLY"), (os, "O_CLOEXEC"),
                      *[(LOCKING, name) for name in LOCK_NAMES]]:
        if not hasattr(obj, name):  # O_CLOEXEC: POSIX only
            continue
        points.append((f"{obj.__name__}.{name}", setting(obj, name)))
    points.append(("bs4.BeautifulSoup -> library object", lambda value: setting(bs4, "BeautifulSoup")(
        lambda *args, **kwargs: Chameleon(value))))
    called, modules = spied_functions()
    for module, name in called:
        points.append((f"{module}.{name}", setting(modules[module], name)))
    for cls in (lockmere.KestrowLockmere, archiver.KestrowArchiver):
        for name, method in list(vars(cls).items()):
            if callable(method):
                points.append((f"self.{name}", setting(cls, name)))
                points.append((f"{cls.__name__}.{name}.__module__", setting(method, "__module__")))
    for name in ("meta_path", "base_dir", "root_dir"):
        points.append((f"instance.{name}", instance_attribute(name)))
    for name in ("screenshot", "content", "wait_for", "evaluate"):
        points.append((f"page.{name}", setting(Page, name)))
        points.append((f"page.{name} awaited", lambda value, name=name: setting(Page, name)(
            lambda self, *args, **kwargs: Done(value))))
    return points


# --- the operations: every method ---------------------------------------------------------------

HTML = "<html><body><p hidden>x</p><b>y</b></body></html>"
INSTANCE = {}  # attribute name -> the instance a case reaches it on, set by run_operations


def instance_attribute(name):
    def install(value):
        target = INSTANCE[name]
        old = target.__dict__[name]
        setattr(target, name, value)
        return lambda: setattr(target, name, old)
    return install


def drive(coro):
    """Runs a capture by hand, as a loop would, at most a few steps."""
    try:
        for _ in range(5):
            coro.send(None)
    except StopIteration:
        pass
    finally:
        coro.close()


def operations(folder):
    from zantor.kestrow.scraping.archiver import KestrowArchiver
    from zantor.kestrow.services.lockmere import KestrowLockmere

    store = KestrowLockmere(base_dir=folder)
    archive = KestrowArchiver(pathlib.Path(folder) / "archive")
    INSTANCE.update(meta_path=store, base_dir=store, root_dir=archive)
    page = Page(HTML, writes_png=True)
    return {
        "KestrowLockmere()": lambda: KestrowLockmere(base_dir=folder),
        "save": lambda: store.save(name="main", username="u", password="pw"),
        "list": store.list,
        "get": lambda: store.get(name="main"),
        "delete": lambda: store.delete(name="main"),
        "_load_accounts": store._load_accounts,
        "_save_accounts": lambda: store._save_accounts({"main": {"username": "u"}}),
        "_validate_name": lambda: store._validate_name("main"),
        "_keyring_account": lambda: store._keyring_account("main"),
        "_require_keyring": store._require_keyring,
        "_set_password": lambda: store._set_password("main", "pw"),
        "_get_password": lambda: store._get_password("main"),
        "_delete_password": lambda: store._delete_password("main"),
        "KestrowArchiver()": lambda: KestrowArchiver(pathlib.Path(folder) / "archive"),
        "save_json": lambda: archive.save_json(section="s", filename="f.json", payload={"k": [1, "值"]}),
        "html_to_markdown": lambda: archive.html_to_markdown(HTML),
        "archive_page": lambda: drive(archive.archive_page(page, section="s")),
        "archive_locator": lambda: drive(archive.archive_locator(page, section="s")),
        "introspection": lambda: (inspect.signature(KestrowLockmere.save), KestrowArchiver.archive_page.__code__,
                                  repr(KestrowLockmere.get), KestrowArchiver.archive_page._is_coroutine),
    }


def run_operations(folder, report=None):
    for label, operation in operations(folder).items():
        outcome = attempt(operation)
        if report:
            report(label, outcome)


def attempt(operation):
    """"ok", the name of the ordinary exception raised, or a failure ("FAIL: ...")."""
    try:
        operation()
    except SystemError as exc:
        return f"FAIL: SystemError: {describe(exc)}"
    except BaseException as exc:
        return type(exc).__name__
    return "ok"


def describe(exc):
    try:
        return str(exc)
    except BaseException:
        return "(unprintable)"


@contextlib.contextmanager
def scratch():
    """A fresh folder (on tmpfs where there is one: the saves' fsyncs cost nothing there), also
    the working directory, since replaced path functions may name relative paths."""
    base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(dir=base) as folder, contextlib.chdir(folder):
        yield folder


def emit(**fields):
    sys.stdout.write(ORIGINAL_DUMPS(fields) + "\n")
    sys.stdout.flush()


def child_main(batch, batches):
    """Runs every replacement at the lookup points of one batch, reporting each case."""
    import keyring
    from support.keyrings import MemoryKeyring

    keyring.set_keyring(MemoryKeyring())
    points = lookup_points()
    outcomes = {}
    for label, install in points[batch::batches]:
        for value_label, make in replacements():
            case = f"{label} = {value_label}"
            with scratch() as folder:
                ops = operations(folder)
                ops["save"]()  # an account to read, fetch and delete
                emit(start=case)
                undo = install(make())
                try:
                    for op, operation in ops.items():
                        outcome = attempt(operation)
                        outcomes[outcome] = outcomes.get(outcome, 0) + 1
                        if outcome.startswith("FAIL"):
                            emit(case=case, operation=op, outcome=outcome)
                finally:
                    undo()
    emit(done=len(points[batch::batches]), outcomes=outcomes)


# --- the test --------------------------------------------------------------------------------------

def test_no_hostile_value_crashes_the_interpreter():
    code = f"import sys; from drills.test_hostile import child_main; child_main(int(sys.argv[1]), {BATCHES})"
    children = [subprocess.Popen([sys.executable, "-c", code, str(batch)], env=child_env(), stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True) for batch in range(BATCHES)]
    failures, points, outcomes = [], 0, {}
    for batch, child in enumerate(children):
        try:
            out, err = child.communicate(timeout=180)  # a hang fails the batch
        except subprocess.TimeoutExpired:
            child.kill()
            out, err = child.communicate()
            failures.append(f"batch {batch} hung")
        lines = [json.loads(line) for line in out.splitlines() if line.startswith("{")]
        started = [line["start"] for line in lines if "start" in line]
        failures += [f"{line['case']} -> {line['operation']}: {line['outcome']}" for line in lines if "outcome" in line]
        if child.returncode != 0:
            last = started[-1] if started else "before the first case"
            failures.append(f"batch {batch} ended with status {child.returncode} in {last!r}\n{err[-2000:]}")
        for line in lines:
            points += line.get("done", 0)
            for outcome, count in line.get("outcomes", {}).items():
                outcomes[outcome] = outcomes.get(outcome, 0) + count
    print(f"hostile drill: {points} lookup points, {len(dict(replacements()))} replacements each; outcomes {outcomes}")
    assert not failures, "\n".join(failures)
    # every point was reached: the replaced objects made many calls fail, and the rest went through
    assert points > 80 and outcomes["ok"] > 30_000 and outcomes["TypeError"] > 5_000, outcomes


# Method and coroutine objects the collector has cleared may still be reached, from code that
# runs while their cycle is taken apart: here a probe made during finalization looks at each one
# through a weak reference. They must still have a repr, names, and refuse to run.
CLEARED = """
    import gc, tempfile, weakref
    from pathlib import Path
    from support.pages import Page, Tick
    from zantor.kestrow.scraping.archiver import KestrowArchiver
    from zantor.kestrow.services.lockmere import KestrowLockmere

    seen = []

    class Probe:
        def __init__(self, ref):
            self.ref = ref

        def __del__(self):
            obj = self.ref()
            if obj is not None and repr(obj) and obj.__name__ == obj.__qualname__ == "":  # cleared
                try:
                    obj(None) if callable(obj) else obj.send(None)
                except (RuntimeError, TypeError):
                    seen.append(type(obj).__name__)

    class Holder:
        def __init__(self, target, place):
            self.target, self.place = target, place

        def __del__(self):  # runs while the cycle is finalized, before it is cleared
            self.place["probe"] = Probe(weakref.ref(self.target))

    archive = KestrowArchiver(Path(tempfile.mkdtemp()))
    for _ in range(20):
        page = Page(awaitable=Tick)
        page.probe = None  # first in the dict, so it is released before the coroutine
        page.coro = archive.archive_page(page, section="s")
        page.coro.send(None)
        page.holder = Holder(page.coro, page.__dict__)
        del page
    for cls in (KestrowLockmere, KestrowArchiver):
        for name, method in list(vars(cls).items()):
            if callable(method):
                delattr(cls, name)
                method.__doc__ = Holder(method, method.__dict__)
    del method
    gc.collect()
    print(sorted(set(seen)))
"""


def test_objects_the_collector_cleared_stay_safe():
    # some probes of each kind meet their object cleared (which ones depends on the collector's order)
    assert run_python(CLEARED).stdout.strip() == "['coroutine', 'function']"


# A method's __module__ can be set to anything before anything reads its __code__ (which inspect
# and help() do): each method gets one hostile value in a fresh process, since a code object once
# made is kept.
MODULE_NAMES = """
    import inspect, pydoc
    from zantor.kestrow.scraping.archiver import KestrowArchiver
    from zantor.kestrow.services.lockmere import KestrowLockmere

    class BadStr:
        def __str__(self):
            raise ValueError("hostile __str__")

    class StrSub(str):
        pass

    values = ["\\udc80", BadStr(), None, 5, StrSub("m"), "a\\x00b"]
    methods = [m for cls in (KestrowLockmere, KestrowArchiver) for m in vars(cls).values() if callable(m)]
    outcomes = set()
    for i, method in enumerate(methods):
        method.__module__ = values[i % len(values)]
        for look in (inspect.signature, lambda m: m.__code__.co_filename, pydoc.render_doc, repr):
            try:
                look(method)
                outcomes.add("ok")
            except (ValueError, TypeError) as exc:
                outcomes.add(type(exc).__name__)
    print(sorted(outcomes))
"""


def test_hostile_module_names_of_methods():
    assert run_python(MODULE_NAMES).stdout.strip() == "['ValueError', 'ok']"
