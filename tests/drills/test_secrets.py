"""Secrets: a password never shows in accounts.json, in a kept copy of a damaged file, in any other
file of the store, in an exception raised on the save and get paths (message, repr, arguments,
cause and context) or in a repr of the store and of what save and list return; and no file of the
store is ever readable by others, whatever the umask, also while it is being written."""

import os
import stat
import uuid

import keyring
import keyring.errors
import pytest

from support.keyrings import MemoryKeyring, RaisingKeyring, install
from zantor.kestrow.domain.exceptions import InvalidCollectOptionError, KestrowDependencyError

TOKEN = uuid.uuid4().hex
PASSWORD = f"秘密-\U0001d11e-{TOKEN}"


class Str(str):
    pass


def exposed(text):
    return TOKEN in text


def chain(exc):
    while exc is not None:
        yield exc
        exc = exc.__cause__ or exc.__context__


def assert_no_secret_in(exc):
    for e in chain(exc):
        for shown in (str(e), repr(e), repr(e.args)):
            assert not exposed(shown), shown


def raised(call):
    try:
        call()
    except Exception as exc:
        return exc
    raise AssertionError("no error")


@pytest.fixture
def spies(store, monkeypatch):
    """Modes of the files the store creates, as asked of os.open, and of each temporary file just
    before it replaces accounts.json."""
    created, renamed = [], []
    real_open, real_replace = os.open, os.replace
    folder = os.fspath(store.base_dir)

    def spy_open(path, flags, mode=0o777, *args, **kwargs):
        if flags & os.O_CREAT and os.path.dirname(os.fspath(path)) == folder:
            created.append((os.path.basename(os.fspath(path)), mode))
        return real_open(path, flags, mode, *args, **kwargs)

    def spy_replace(src, dst, *args, **kwargs):
        renamed.append((os.path.basename(os.fspath(src)), stat.S_IMODE(os.stat(src).st_mode)))
        return real_replace(src, dst, *args, **kwargs)

    monkeypatch.setattr(os, "open", spy_open)
    monkeypatch.setattr(os, "replace", spy_replace)
    return created, renamed


@pytest.mark.parametrize("umask", [0o000, 0o002, 0o022, 0o077])
def test_password_stays_secret_and_files_private(store, spies, umask):
    backend = MemoryKeyring()
    previous_backend = install(backend)
    previous_umask = os.umask(umask)
    try:
        shown = [repr(store), repr(vars(store))]
        shown.append(repr(store.save(name="main", username="user", password=PASSWORD)))
        shown.append(repr(store.save(name="alt", username="user2", password=PASSWORD + "2")))
        shown.append(repr(store.save(name="main", username="user3", password=PASSWORD + "3")))
        shown.append(repr(store.list()))
        assert store.get(name="main")["password"] == PASSWORD + "3"
        assert store.delete(name="alt") is True
        store.meta_path.write_bytes(b'{"damaged": ')  # kept as a copy by the next save
        shown.append(repr(store.save(name="main", username="user", password=PASSWORD)))

        errors = [
            raised(lambda: store.save(name="bad name", username="u", password=PASSWORD)),
            raised(lambda: store.save(name="main", username="", password=PASSWORD)),
            raised(lambda: store.save(name="main", username="\ud800", password=PASSWORD)),
            raised(lambda: store.save(name="main", username="u", password=Str(PASSWORD))),
            raised(lambda: store.save(name=None, username="u", password=PASSWORD)),
            raised(lambda: store.save(name="main", username="u", password=PASSWORD, pw=PASSWORD)),
            raised(lambda: store.save(PASSWORD, name="main", username="u", password=PASSWORD)),
            raised(lambda: store._set_password("main", Str(PASSWORD))),
            raised(lambda: store.get(name="ghost")),
        ]
        store._delete_password("main")
        errors.append(raised(lambda: store.get(name="main")))  # the entry is there, its password is not
        backend.entries["zantor-kestrow", "account:main"] = Str(PASSWORD)
        errors.append(raised(lambda: store.get(name="main")))  # a password of the wrong type
        for failure in (keyring.errors.NoKeyringError("no backend"), RuntimeError("backend broken")):
            install(RaisingKeyring(failure))
            errors.append(raised(lambda: store.save(name="main", username="u", password=PASSWORD)))
            errors.append(raised(lambda: store.get(name="main")))
    finally:
        os.umask(previous_umask)
        keyring.set_keyring(previous_backend)

    assert [type(e) for e in errors] == [InvalidCollectOptionError, InvalidCollectOptionError, UnicodeEncodeError,
                                         TypeError, TypeError, TypeError, TypeError, TypeError,
                                         InvalidCollectOptionError, InvalidCollectOptionError, TypeError,
                                         KestrowDependencyError, KestrowDependencyError, RuntimeError, RuntimeError]
    for exc in errors:
        assert_no_secret_in(exc)
    assert not [text for text in shown if exposed(text)]

    files = sorted(p for p in store.base_dir.rglob("*") if p.is_file())
    assert {p.name for p in files} >= {"accounts.json", "accounts.json.damaged"}
    for path in files:
        assert not exposed(path.read_bytes().decode("utf-8", "replace")), path
        assert os.name != "posix" or stat.S_IMODE(path.stat().st_mode) & 0o077 == 0, (path, oct(path.stat().st_mode))

    created, renamed = spies
    assert created and all(mode & 0o077 == 0 for _, mode in created), created  # what was asked for
    assert renamed and (os.name != "posix" or all(mode == 0o600 for _, mode in renamed)), renamed  # POSIX modes
