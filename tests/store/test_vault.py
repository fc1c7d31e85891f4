"""The keyring password vault: the account-name rule, the keyring entry's key, and how the
password methods reach, translate and swallow keyring errors."""

import inspect
import types

import keyring.errors
import pytest
from hypothesis import given, strategies as st

from support.keyrings import RaisingKeyring, install, memory_keyring  # noqa: F401  (fixture)
from zantor.kestrow.domain.exceptions import InvalidCollectOptionError, KestrowDependencyError

MISSING = "当前环境缺少 keyring，无法安全保存Kestrow密码"
SERVICE = "zantor-kestrow"


class Str(str):
    pass


class NoBackend(keyring.errors.NoKeyringError):
    pass


@pytest.fixture
def raising(request):
    previous = install(RaisingKeyring(request.param))
    yield request.param
    keyring.set_keyring(previous)


class Recorder:
    """Stands in for the keyring package and records calls exactly as made."""

    errors = keyring.errors

    def __init__(self, result="pw"):
        self.calls, self.result = [], result

    def __getattr__(self, method):
        return lambda *args, **kwargs: self.calls.append((method, args, kwargs)) or self.result


@pytest.mark.parametrize("name", ["main", "-lead", "trail_", "_a-b_c-", "工作账号", "ＡＢＣ１２３", "x²³", "Ωmega", "٣"])
def test_accepted_names(store, name):
    assert store._validate_name(name) is None


@pytest.mark.parametrize("name", ["", "-", "_", "-_-", " main", "main ", "ma in", "a\tb", "a.b", "a:b", "a/b", "a@b",
                                  "a\u2013b", "a\u2010b", "a\uff0db", "a\uff3fb", "e\u0301", "a\x00b"])
def test_rejected_names(store, name):
    with pytest.raises(InvalidCollectOptionError) as info:
        store._validate_name(name)
    assert info.value.args == ("账号名称只能包含字母、数字、下划线和中划线",)
    assert info.value.__cause__ is None and info.value.__context__ is None


@given(st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=6))
def test_name_rule_is_isalnum_without_hyphens_and_low_lines(name):
    from zantor.kestrow.services.lockmere import KestrowLockmere

    try:
        object.__new__(KestrowLockmere)._validate_name(name)
        accepted = True
    except InvalidCollectOptionError:
        accepted = False
    assert accepted == name.replace("-", "").replace("_", "").isalnum()


def test_keyring_calls_and_keys(lockmere, store, monkeypatch):
    assert (store._keyring_account("main"), store._keyring_account("")) == ("account:main", "account:")
    recorder = Recorder()
    monkeypatch.setattr(lockmere, "keyring", recorder)  # any object bound to `keyring` is used
    assert store._require_keyring() is recorder
    assert store._set_password("main", "") is None
    assert store._get_password("main") == "pw"
    assert store._delete_password("main") is None
    key = (SERVICE, "account:main")
    assert recorder.calls == [("set_password", key + ("",), {}), ("get_password", key, {}),
                              ("delete_password", key, {})]


def test_round_trip_and_missing_entries(store, memory_keyring):
    assert store._get_password("main") is None
    store._set_password("main", "")
    assert store._get_password("main") == ""
    store._set_password("main", "秘密")
    assert memory_keyring.entries == {(SERVICE, "account:main"): "秘密"}
    store._delete_password("main")
    assert store._delete_password("main") is None and memory_keyring.entries == {}


@pytest.mark.parametrize("raising", [keyring.errors.NoKeyringError("none"), NoBackend("sub")], indirect=True)
def test_no_keyring_is_translated_with_cause(store, raising):
    for call, message in ((lambda: store._set_password("main", "pw"), "当前系统 keyring 不可用，无法安全保存Kestrow密码"),
                          (lambda: store._get_password("main"), "当前系统 keyring 不可用，无法读取Kestrow密码")):
        with pytest.raises(KestrowDependencyError) as info:
            call()
        assert info.value.args == (message,)
        assert info.value.__cause__ is raising and info.value.__suppress_context__
    assert store._delete_password("main") is None


@pytest.mark.parametrize("raising", [keyring.errors.PasswordSetError("other"), OSError("dbus"), KeyboardInterrupt()],
                         indirect=True)
def test_other_keyring_errors_propagate_unchanged(store, raising):
    for call in (lambda: store._set_password("main", "pw"), lambda: store._get_password("main")):
        with pytest.raises(type(raising)) as info:
            call()
        assert info.value is raising
    if isinstance(raising, Exception):
        assert store._delete_password("main") is None
    else:  # only Exception subclasses are swallowed
        pytest.raises(KeyboardInterrupt, store._delete_password, "main")


@pytest.mark.parametrize("unavailable", [False, 0, None, ""])
def test_keyring_unavailable(lockmere, store, memory_keyring, monkeypatch, unavailable):
    monkeypatch.setattr(lockmere, "_KEYRING_AVAILABLE", unavailable)
    for call in (store._require_keyring, lambda: store._set_password("main", "pw"), lambda: store._get_password("main")):
        with pytest.raises(KestrowDependencyError) as info:
            call()
        assert info.value.args == (MISSING,) and info.value.__cause__ is None
    assert store._delete_password("main") is None
    assert memory_keyring.calls == []


def test_failed_except_clause_replaces_the_error(lockmere, store, monkeypatch):
    failing = types.SimpleNamespace(set_password=lambda *a: 1 / 0, get_password=lambda *a: 1 / 0)
    monkeypatch.setattr(lockmere, "keyring", failing)  # no `errors` to match against
    for call in (lambda: store._set_password("main", "pw"), lambda: store._get_password("main")):
        with pytest.raises(AttributeError, match="errors") as info:
            call()
        assert isinstance(info.value.__context__, ZeroDivisionError)
    monkeypatch.delattr(lockmere, "keyring")
    with pytest.raises(NameError, match="name 'keyring' is not defined"):
        store._require_keyring()
    assert store._delete_password("main") is None


@pytest.mark.parametrize("result, type_name", [(5, "int"), (Str("pw"), "Str"), (b"pw", "bytes")])
def test_get_password_result_must_be_str_or_none(lockmere, store, monkeypatch, result, type_name):
    monkeypatch.setattr(lockmere, "keyring", Recorder(result))
    with pytest.raises(TypeError, match=f"^Expected str, got {type_name}$"):
        store._get_password("main")


def test_siblings_are_reached_through_self(lockmere, store_parent, memory_keyring):
    class Store(lockmere.KestrowLockmere):
        def _keyring_account(self, name):
            return "custom:" + name

    store = Store(base_dir=store_parent)
    store._set_password("main", "pw")
    store._delete_password("other")
    store._require_keyring = lambda: Recorder()
    assert store._get_password("main") == "pw"
    assert memory_keyring.calls == [("set_password", SERVICE, "custom:main", "pw"),
                                    ("delete_password", SERVICE, "custom:other")]


@pytest.mark.parametrize("bad", [None, Str("main"), b"main"])
@pytest.mark.parametrize("method, args", [("_validate_name", ()), ("_keyring_account", ()), ("_set_password", ("pw",)),
                                          ("_get_password", ()), ("_delete_password", ())])
def test_name_must_be_exactly_str(store, memory_keyring, method, args, bad):
    with pytest.raises(TypeError, match=r"^Argument 'name' has incorrect type \(expected str, got "):
        getattr(store, method)(bad, *args)
    assert memory_keyring.calls == []


METHODS = {
    "save": ("(self, *, name: 'str', username: 'str', password: 'str') -> 'dict'", "保存命名账号。"),
    "list": ("(self) -> 'list[dict]'", "列出已保存账号，不返回密码。"),
    "delete": ("(self, *, name: 'str') -> 'bool'", "删除命名账号。"),
    "get": ("(self, *, name: 'str') -> 'dict'", "读取命名账号和密码。"),
    "_validate_name": ("(self, name: 'str') -> 'None'", "校验账号别名。"),
    "_keyring_account": ("(self, name: 'str') -> 'str'", "生成 keyring account。"),
    "_require_keyring": ("(self)", "获取 keyring 模块。"),
    "_set_password": ("(self, name: 'str', password: 'str') -> 'None'", "写入系统凭据管理器。"),
    "_get_password": ("(self, name: 'str') -> 'str | None'", "读取系统凭据管理器密码。"),
    "_delete_password": ("(self, name: 'str') -> 'None'", "删除系统凭据管理器密码。"),
}


def test_class_holds_the_methods_in_order(lockmere):
    cls = lockmere.KestrowLockmere
    assert [k for k, v in vars(cls).items() if callable(v)] == [
        "__init__", "save", "list", "delete", "get", "_load_accounts", "_save_accounts", *list(METHODS)[4:]]
    for name, (signature, doc) in METHODS.items():
        func = vars(cls)[name]
        assert (str(inspect.signature(func)), func.__doc__) == (signature, doc)
        assert (func.__qualname__, func.__defaults__, func.__kwdefaults__) == (f"KestrowLockmere.{name}", None, None)
    assert cls._require_keyring.__annotations__ == {}
    assert cls._set_password.__code__.co_varnames == ("self", "name", "password", "kr", "exc")
    assert cls._get_password.__code__.co_varnames == ("self", "name", "kr", "exc")
    assert cls._delete_password.__code__.co_varnames == ("self", "name")
    assert cls.get.__code__.co_varnames == ("self", "name", "accounts", "account", "password")
