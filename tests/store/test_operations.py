"""The account operations save, list, delete and get: results, order of checks, effects on the
metadata file and the keyring, and calls through `self`."""

import errno
import json
import os
import re

import keyring
import pytest

from support.keyrings import memory_keyring  # noqa: F401  (fixture)
from zantor.kestrow.domain.exceptions import InvalidCollectOptionError, KestrowDependencyError

SERVICE = "zantor-kestrow"
NAME_MESSAGE = "账号名称只能包含字母、数字、下划线和中划线"


class Str(str):
    pass


def write_accounts(store, text):
    store.meta_path.write_text(text, encoding="utf-8")


def test_save_list_get_delete(store, memory_keyring):
    assert store.list() == []
    assert store.save(name="main", username="张三", password="pw1") == {"name": "main", "username": "张三"}
    store.save(name="alt", username="  ", password="pw2")
    result = store.save(name="main", username="李四", password="pw3")  # replaced in place
    assert list(result) == ["name", "username"]
    assert store.meta_path.read_text(encoding="utf-8") == json.dumps(
        {"main": {"username": "李四"}, "alt": {"username": "  "}}, ensure_ascii=False, indent=2)
    assert "pw" not in store.meta_path.read_text(encoding="utf-8")
    assert store.list() == [{"name": "main", "username": "李四"}, {"name": "alt", "username": "  "}]
    got = store.get(name="main")
    assert list(got.items()) == [("name", "main"), ("username", "李四"), ("password", "pw3")]
    assert store.delete(name="main") is True
    assert store.list() == [{"name": "alt", "username": "  "}]
    assert memory_keyring.entries == {(SERVICE, "account:alt"): "pw2"}


def test_hand_edited_file(store, memory_keyring):
    write_accounts(store, '{"z": {"username": "1", "note": 1}, "a": {}, "m": {"username": null}}')
    assert store.list() == [{"name": "z", "username": "1"}, {"name": "a", "username": None},
                            {"name": "m", "username": None}]  # the file's order, not sorted
    store.save(name="z", username="2", password="pw")  # the whole entry is replaced, in place
    saved = json.loads(store.meta_path.read_text(encoding="utf-8"))
    assert list(saved.items()) == [("z", {"username": "2"}), ("a", {}), ("m", {"username": None})]
    memory_keyring.entries[SERVICE, "account:m"] = "pw"
    assert store.get(name="m") == {"name": "m", "username": None, "password": "pw"}


@pytest.mark.parametrize("name, username, password, message", [
    ("a b", "", "", NAME_MESSAGE),
    ("main", "", "", "必须提供Kestrow用户名"),
    ("main", "", "pw", "必须提供Kestrow用户名"),
    ("main", "user", "", "必须提供Kestrow密码"),
])
def test_save_checks_in_order_before_touching_anything(store, memory_keyring, name, username, password, message):
    with pytest.raises(InvalidCollectOptionError) as info:
        store.save(name=name, username=username, password=password)
    assert info.value.args == (message,)
    assert memory_keyring.calls == [] and not store.meta_path.exists()


NOBODY = 65534


def unencodable(store):
    return "\udcff", UnicodeEncodeError  # what sys.argv gives for bytes that are not UTF-8


def unreadable(store):
    if not hasattr(os, "geteuid"):
        pytest.skip("POSIX permission bits")
    store.meta_path.chmod(0o200)
    if os.geteuid() == 0:  # root reads anything: the save runs as nobody, who owns the store
        for path in (store.base_dir, store.meta_path, store.base_dir / ".accounts.lock"):
            os.chown(path, NOBODY, -1)
        os.seteuid(NOBODY)
    return "u2", OSError


def failing_write(store):
    def _save_accounts(accounts):
        raise OSError(errno.ENOSPC, "No space left on device")
    store._save_accounts = _save_accounts  # an override: written after the keyring, then undone
    return "u2", OSError


def interrupted_keyring(store):
    backend = keyring.get_keyring()
    stores = backend.set_password

    def set_password(service, username, password):
        stores(service, username, password)
        if password == "new":
            raise KeyboardInterrupt  # arrives after the backend stored the entry
    backend.set_password = set_password
    return "u2", KeyboardInterrupt


@pytest.mark.parametrize("name", ["main", "new"], ids=["existing account", "new account"])
@pytest.mark.parametrize("fault", [unencodable, unreadable, failing_write, interrupted_keyring])
def test_a_failed_save_leaves_the_keyring_as_it_was(lockmere, shared_tmp, memory_keyring, name, fault):
    store = lockmere.KestrowLockmere(base_dir=shared_tmp)
    store.save(name="main", username="u", password="pw")
    before = store.meta_path.read_bytes()
    try:
        username, error = fault(store)
        with pytest.raises(error) as info:
            store.save(name=name, username=username, password="new")
        assert "could not be read" in str(info.value) if fault is unreadable else True, info.value
    finally:
        if hasattr(os, "seteuid"):
            os.seteuid(0) if os.getuid() == 0 else None
    store.meta_path.chmod(0o600)
    assert store.meta_path.read_bytes() == before
    assert memory_keyring.entries == {(SERVICE, "account:main"): "pw"}


@pytest.mark.parametrize("call, parses", [
    (lambda s: s.save(name="main", username="u2", password="p2"), 1), (lambda s: s.delete(name="main"), 1),
    (lambda s: s.get(name="main"), 1), (lambda s: s.list(), 1),
    (lambda s: s._save_accounts({}), 1),  # on its own it reads the file for a damaged copy
], ids=["save", "delete", "get", "list", "_save_accounts"])
def test_one_parse_per_operation(lockmere, store, memory_keyring, monkeypatch, call, parses):
    store.save(name="main", username="u", password="p")
    loads = []
    monkeypatch.setattr(lockmere, "json", type("Json", (), {
        "loads": staticmethod(lambda text: loads.append(text) or json.loads(text)), "dumps": staticmethod(json.dumps)}))
    call(store)
    assert len(loads) == parses


def test_without_keyring(lockmere, store, monkeypatch):
    monkeypatch.setattr(lockmere, "_KEYRING_AVAILABLE", False)
    with pytest.raises(KestrowDependencyError):
        store.save(name="main", username="u", password="pw")
    assert not store.meta_path.exists()
    write_accounts(store, '{"main": {"username": "u"}}')
    assert store.list() == [{"name": "main", "username": "u"}]
    with pytest.raises(KestrowDependencyError):
        store.get(name="main")
    assert store.delete(name="main") is True and store.list() == []


def test_delete_of_missing_name(store, memory_keyring):
    assert store.delete(name="ghost") is False
    assert not store.meta_path.exists()
    write_accounts(store, '{"main":{"username":"u"}}')
    memory_keyring.entries[SERVICE, "account:ghost"] = "orphan"
    assert store.delete(name="ghost") is False
    assert store.meta_path.read_text(encoding="utf-8") == '{"main":{"username":"u"}}'  # not rewritten
    assert memory_keyring.calls == [("delete_password", SERVICE, "account:ghost")] * 2
    assert memory_keyring.entries == {}


@pytest.mark.parametrize("content, password, message", [
    ("{}", "pw", "Kestrow账号 `main` 不存在，请先执行 account save"),
    ('{"main": {}}', "pw", "Kestrow账号 `main` 不存在，请先执行 account save"),
    ('{"main": {"username": "u"}}', None, "Kestrow账号 `main` 缺少密码，请重新执行 account save"),
    ('{"main": {"username": "u"}}', "", "Kestrow账号 `main` 缺少密码，请重新执行 account save"),
])
def test_get_failures(store, memory_keyring, content, password, message):
    write_accounts(store, content)
    if password is not None:
        memory_keyring.entries[SERVICE, "account:main"] = password
    with pytest.raises(InvalidCollectOptionError) as info:
        store.get(name="main")
    assert info.value.args == (message,)


@pytest.mark.parametrize("call, message", [
    (lambda s: s.save("main", username="u", password="p"), r"save\(\) takes exactly 1 positional argument \(2 given\)"),
    (lambda s: s.save(name="main", username="u"), r"save\(\) needs keyword-only argument password"),
    (lambda s: s.save(name="main", username=None, password="p"), r"Argument 'username' has incorrect type"),
    (lambda s: s.save(name="main", username="u", password=Str("p")), r"Argument 'password' .* got Str\)\. "),
    (lambda s: s.delete(name=None), r"Argument 'name' has incorrect type \(expected str, got NoneType\)$"),
    (lambda s: s.delete(nam="main"), r"delete\(\) got an unexpected keyword argument 'nam'"),
    (lambda s: s.get("main"), r"get\(\) takes exactly 1 positional argument \(2 given\)"),
    (lambda s: s.get(name=Str("main")), r"Argument 'name' .* got Str\)"),
    (lambda s: s.list(1), r"list\(\) takes exactly 1 positional argument \(2 given\)"),
])
def test_argument_errors_come_before_any_access(store, memory_keyring, call, message):
    store.meta_path = None  # any file access would fail differently
    with pytest.raises(TypeError, match=message):
        call(store)
    assert memory_keyring.calls == []


def test_operations_call_siblings_through_self(lockmere, store_parent, memory_keyring):
    class Store(lockmere.KestrowLockmere):
        def _validate_name(self, name):
            self.validated.append(name)

        def _load_accounts(self):
            return dict(self.accounts)

        def _save_accounts(self, accounts):
            self.accounts = accounts

    store = Store(base_dir=store_parent)
    store.validated, store.accounts = [], {"x": {"username": "y"}}
    store.save(name="not valid!", username="u", password="p")
    assert store.accounts == {"x": {"username": "y"}, "not valid!": {"username": "u"}}
    assert store.get(name="not valid!")["password"] == "p"
    assert store.list()[1] == {"name": "not valid!", "username": "u"}
    assert store.delete(name="x") is True and list(store.accounts) == ["not valid!"]
    assert store.validated == ["not valid!"] * 2 + ["x"]
    assert not store.meta_path.exists()


def test_store_follows_reassigned_meta_path(store, tmp_path, memory_keyring):
    store.meta_path = tmp_path / "elsewhere.json"
    store.save(name="main", username="u", password="p")
    assert json.loads(store.meta_path.read_text(encoding="utf-8")) == {"main": {"username": "u"}}
    assert (tmp_path / ".accounts.lock").exists()


def test_removed_store_directory(store, memory_keyring):
    store.base_dir.rmdir()
    assert store.delete(name="main") is False
    with pytest.raises(FileNotFoundError):
        store.save(name="main", username="u", password="p")
    assert memory_keyring.entries == {}  # found before the keyring is touched
    # Made again (by another store) once this save found it missing: nothing was locked, so
    # nothing is written.
    read_password = store._get_password
    store._get_password = lambda name: (store.base_dir.mkdir(exist_ok=True), read_password(name))[1]
    with pytest.raises(FileNotFoundError) as info:
        store.save(name="main", username="u", password="p")
    assert info.value.filename == str(store.base_dir / ".accounts.lock")
    assert memory_keyring.entries == {} and list(store.base_dir.iterdir()) == []


class Entry(dict):
    """An entry whose `get` is its own: the operations must call it, not read the dict."""

    def get(self, key, default=None):
        return f"via get: {key}"


class Accounts:
    """A mapping that is no dict: only `items` and `get` are there."""

    def __init__(self, pairs):
        self.pairs = pairs

    def items(self):
        return iter(self.pairs)

    def get(self, key):
        return dict(self.pairs).get(key)


class Mutating(dict):
    def get(self, key, default=None):
        self.accounts["new"] = {}  # changes the mapping being listed
        return "u"


@pytest.mark.parametrize("accounts, listed", [
    ({"a": {"username": "u"}, "b": Entry()}, [{"name": "a", "username": "u"}, {"name": "b", "username": "via get: username"}]),
    (Accounts([("a", {"username": "u"}), ["b", {}]]), [{"name": "a", "username": "u"}, {"name": "b", "username": None}]),
    (Accounts([("a", {}, 3)]), ValueError("too many values to unpack (expected 2)")),
    (Accounts([7]), TypeError("cannot unpack non-iterable int object")),
    ({"a": Mutating()}, RuntimeError("dictionary changed size during iteration")),
])
def test_list_and_get_read_mappings_as_python_does(lockmere, store_parent, memory_keyring, accounts, listed):
    class Store(lockmere.KestrowLockmere):
        def _load_accounts(self):
            return accounts

    store = Store(base_dir=store_parent)
    for entry in accounts.values() if isinstance(accounts, dict) else ():
        if isinstance(entry, Mutating):
            entry.accounts = accounts
    if isinstance(listed, Exception):
        with pytest.raises(type(listed), match=f"^{re.escape(str(listed))}$"):
            store.list()
        return
    assert store.list() == listed
    memory_keyring.entries[SERVICE, "account:a"] = "pw"
    assert store.get(name="a") == {"name": "a", "username": "u", "password": "pw"}

