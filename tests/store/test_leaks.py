"""Repeated calls of the vault methods and the account operations, on their successful paths,
their error paths and their argument checks, keep memory and reference counts flat."""

import gc
import os
import sys

import keyring
import keyring.errors
import pytest

from support.keyrings import MemoryKeyring, RaisingKeyring, install
from support.leaks import check_no_leak, leak_calls


class Sink(list):
    def append(self, item):  # the backend's call log would grow by itself
        pass


class Str(str):
    pass


NAME = "main"
NOT_STR = Str("main")
NO_KEYRING = RaisingKeyring(keyring.errors.NoKeyringError("none"))
BROKEN = RaisingKeyring(RuntimeError("broken"))


def failing(error, method, *args, **kwargs):
    def call(store):
        try:
            getattr(store, method)(*args, **kwargs)
        except error:
            return
        raise AssertionError("no error")
    return call


def unreadable(method, **kwargs):
    """A store file that cannot be read for a passing reason: the call refuses to rewrite it."""
    def read(fd, size):
        raise MemoryError

    def call(store):
        real, os.read = os.read, read
        try:
            failing(OSError, method, **kwargs)(store)
        finally:
            os.read = real
    return call


def rolled_back(store):
    """A save whose file write fails after the keyring took the password: the keyring is put back."""
    def _save_accounts(accounts):
        raise OSError("disk full")
    store._save_accounts = _save_accounts
    try:
        failing(OSError, "save", name=NAME, username="u", password="other")(store)
    finally:
        del store._save_accounts


def unlockable(store):
    """A file system without locks: every locking operation refuses."""
    import fcntl

    def flock(fd, operation):
        raise OSError(37, "No locks available")

    real, fcntl.flock = fcntl.flock, flock
    try:
        failing(OSError, "delete", name=NAME)(store)
    finally:
        fcntl.flock = real


def calling(method, *args, **kwargs):
    return lambda store: getattr(store, method)(*args, **kwargs)


# label: (call, iterations, keyring backend or None for the in-memory one). Cheap calls run
# 100,000 times; those that read the metadata file run fewer times, and saves, which replace it
# with an fsync each, fewer still.
CASES = {
    "_validate_name": (calling("_validate_name", NAME), 100_000, None),
    "_validate_name rejects": (failing(Exception, "_validate_name", "a b"), 100_000, None),
    "_keyring_account": (calling("_keyring_account", NAME), 100_000, None),
    "_require_keyring": (calling("_require_keyring"), 100_000, None),
    "_set_password": (calling("_set_password", NAME, "pw"), 100_000, None),
    "_set_password translated": (failing(Exception, "_set_password", NAME, "pw"), 100_000, NO_KEYRING),
    "_get_password": (calling("_get_password", NAME), 100_000, None),
    "_get_password translated": (failing(Exception, "_get_password", NAME), 100_000, NO_KEYRING),
    "_get_password broken": (failing(RuntimeError, "_get_password", NAME), 100_000, BROKEN),
    "_delete_password swallowed": (calling("_delete_password", "ghost"), 100_000, None),
    "list": (calling("list"), 20_000, None),
    "get": (calling("get", name=NAME), 20_000, None),
    "get missing": (failing(Exception, "get", name="ghost"), 20_000, None),
    "delete missing": (calling("delete", name="ghost"), 20_000, None),
    "save": (calling("save", name=NAME, username="u", password="pw"), 3_000, None),
    "save empty password": (failing(Exception, "save", name=NAME, username="u", password=""), 100_000, None),
    "delete unreadable": (unreadable("delete", name=NAME), 20_000, None),
    "save rolled back": (rolled_back, 3_000, None),
    **({"delete without locks": (unlockable, 20_000, None)} if os.name == "posix" else {}),
    "save and delete": (lambda s: (s.save(name="x", username="u", password="p"), s.delete(name="x")), 2_000, None),
    "save argument check": (failing(TypeError, "save", name=NAME, username=None, password="p"), 100_000, None),
    "delete argument check": (failing(TypeError, "delete", NAME), 100_000, None),
    "get argument check": (failing(TypeError, "get", name=NOT_STR), 100_000, None),
    "list argument check": (failing(TypeError, "list", NAME), 100_000, None),
    **{
        f"{method} argument check": (failing(TypeError, method, NOT_STR, *extra), 100_000, None)
        for method, extra in [("_validate_name", ()), ("_keyring_account", ()), ("_set_password", ("pw",)),
                              ("_get_password", ()), ("_delete_password", ())]
    },
}


@pytest.fixture(scope="module")
def leak_store(tmp_path_factory):
    from zantor.kestrow.services.lockmere import KestrowLockmere

    memory = MemoryKeyring()
    memory.calls = Sink()
    previous = install(memory)
    store = KestrowLockmere(base_dir=tmp_path_factory.mktemp("leaks"))
    store.save(name=NAME, username="u", password="pw")
    yield store, memory
    keyring.set_keyring(previous)


@pytest.mark.parametrize("label", list(CASES))
def test_memory_stays_flat(leak_store, label):
    store, memory = leak_store
    call, iterations, backend = CASES[label]
    iterations = leak_calls(iterations)
    watched = [None, True, False, NAME, NOT_STR, store, type(store), keyring, "account:", "zantor-kestrow"]
    keyring.set_keyring(backend or memory)
    try:
        call(store)
        gc.collect()
        refs = [sys.getrefcount(o) for o in watched]
        # A leak of one object per call would show as `iterations`; the file reads of pathlib and
        # io alone move the block count by a few hundred.
        check_no_leak(lambda: call(store), iterations, iterations // 100 + 500)
        gc.collect()
        ref_growth = [sys.getrefcount(o) - r for o, r in zip(watched, refs)]
    finally:
        keyring.set_keyring(memory)
    assert all(abs(g) < iterations // 100 + 20 for g in ref_growth), ref_growth
