"""Importing the store module, its namespace, the class and the constructor."""

import inspect
import sys
import textwrap

import pytest

from conftest import run_python

MODULE = "zantor.kestrow.services.lockmere"


def test_namespace_holds_the_globals_in_binding_order(lockmere):
    # The order is read in a fresh interpreter: a test that deletes and restores a global here
    # (monkeypatch.delattr) moves it to the end of the module's dict.
    names = run_python(f"""
        import {MODULE} as m
        print(*[n for n in vars(m) if not n.startswith("__")])
    """).stdout.split()
    expected = ["json", "stat", "Path", "CONFIG_DIR", "InvalidCollectOptionError", "KestrowDependencyError"]
    if lockmere._KEYRING_AVAILABLE:
        expected.append("keyring")
    expected += ["_KEYRING_AVAILABLE", "_KEYRING_SERVICE", "KestrowLockmere"]
    assert names == expected
    assert lockmere._KEYRING_SERVICE == "zantor-kestrow"
    assert lockmere.__doc__ == "Kestrow账号凭据存储。"
    assert not hasattr(lockmere, "NoKeyringError")


def test_class_is_an_ordinary_class(lockmere):
    cls = lockmere.KestrowLockmere
    assert type(cls) is type
    assert cls.__mro__ == (cls, object)
    assert cls.__module__ == MODULE and cls.__qualname__ == "KestrowLockmere"
    assert cls.__doc__ == "保存Kestrow账号名与用户名，密码存入系统凭据管理器。"
    assert not hasattr(cls, "__slots__")


@pytest.mark.parametrize(
    "method, doc, annotations, kwdefaults, signature",
    [
        ("__init__", None, {"base_dir": "Path | None", "return": "None"}, {"base_dir": None},
         "(self, *, base_dir: 'Path | None' = None) -> 'None'"),
        ("_load_accounts", "读取账号元数据。", {"return": "dict"}, None, "(self) -> 'dict'"),
        ("_save_accounts", "保存账号元数据。", {"accounts": "dict", "return": "None"}, None,
         "(self, accounts: 'dict') -> 'None'"),
    ],
)
def test_method_attributes(lockmere, method, doc, annotations, kwdefaults, signature):
    func = vars(lockmere.KestrowLockmere)[method]
    assert func.__name__ == method
    assert func.__qualname__ == f"KestrowLockmere.{method}"
    assert func.__module__ == MODULE
    assert func.__doc__ == doc
    assert func.__annotations__ == annotations
    assert func.__defaults__ is None
    assert func.__kwdefaults__ == kwdefaults
    assert str(inspect.signature(func)) == signature
    func.custom_attribute = 1  # functions carry a __dict__
    assert func.__dict__ == {"custom_attribute": 1}
    del func.custom_attribute


class TestConstructor:
    def test_default_directory_follows_config_dir_at_call_time(self, lockmere, tmp_path, monkeypatch):
        monkeypatch.setattr(lockmere, "CONFIG_DIR", tmp_path / "a" / "b")
        store = lockmere.KestrowLockmere()
        assert store.base_dir == tmp_path / "a" / "b" / "kestrow"
        assert store.meta_path == store.base_dir / "accounts.json"
        assert store.base_dir.is_dir() and not store.meta_path.exists()
        assert vars(store) == {"base_dir": store.base_dir, "meta_path": store.meta_path}

    @pytest.mark.parametrize("falsy", [None, ""])
    def test_falsy_base_dir_selects_config_dir(self, lockmere, tmp_path, monkeypatch, falsy):
        monkeypatch.setattr(lockmere, "CONFIG_DIR", str(tmp_path))
        assert lockmere.KestrowLockmere(base_dir=falsy).base_dir == tmp_path / "kestrow"

    def test_explicit_base_dir_is_the_parent(self, lockmere, tmp_path):
        store = lockmere.KestrowLockmere(base_dir=str(tmp_path / "p"))
        assert store.base_dir == tmp_path / "p" / "kestrow" and store.base_dir.is_dir()
        lockmere.KestrowLockmere(base_dir=tmp_path / "p")  # a second store on the same directory

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda K, d: K(d), "__init__() takes exactly 1 positional argument (2 given)"),
            (lambda K, d: K(d, d), "__init__() takes exactly 1 positional argument (3 given)"),
            (lambda K, d: K(base=d), "__init__() got an unexpected keyword argument 'base'"),
            (lambda K, d: K.__init__(), "__init__() takes exactly 1 positional argument (0 given)"),
        ],
    )
    def test_argument_errors_come_before_any_directory(self, lockmere, tmp_path, call, message):
        with pytest.raises(TypeError) as err:
            call(lockmere.KestrowLockmere, tmp_path / "x")
        assert str(err.value) == message
        assert list(tmp_path.iterdir()) == []

    def test_file_in_the_way_raises_file_exists(self, lockmere, tmp_path):
        (tmp_path / "kestrow").write_text("")
        with pytest.raises(FileExistsError):
            lockmere.KestrowLockmere(base_dir=tmp_path)

    def test_unusable_base_dir_raises_paths_type_error(self, lockmere):
        with pytest.raises(TypeError):
            lockmere.KestrowLockmere(base_dir=42)

    def test_deleted_global_raises_name_error(self, lockmere, monkeypatch):
        monkeypatch.delattr(lockmere, "Path")
        with pytest.raises(NameError, match="^name 'Path' is not defined$"):
            lockmere.KestrowLockmere(base_dir="x")


def fake_package(root, name, init="", **modules):
    pkg = root / name
    pkg.mkdir(parents=True)
    (pkg / "__init__.py").write_text(textwrap.dedent(init))
    for mod, text in modules.items():
        (pkg / f"{mod}.py").write_text(textwrap.dedent(text))
    return root


class TestLoading:
    def test_keyring_absent(self):
        out = run_python(f"""
            import sys
            sys.modules['keyring'] = None
            import {MODULE} as m
            print(m._KEYRING_AVAILABLE, hasattr(m, 'keyring'))
            del sys.modules['keyring']
            import importlib
            print(importlib.reload(m) is m, m._KEYRING_AVAILABLE, hasattr(m, 'keyring'))
        """).stdout.split()
        assert out == ["False", "False", "True", "False", "False"]

    def test_keyring_errors_failing_leaves_package_bound(self, tmp_path):
        fake_package(tmp_path, "keyring", "MARK = 1\n", errors="raise RuntimeError('broken')\n")
        out = run_python(f"""
            import {MODULE} as m
            print(m._KEYRING_AVAILABLE, m.keyring.MARK)
        """, PYTHONPATH=tmp_path).stdout.split()
        assert out == ["False", "1"]

    def test_keyboard_interrupt_in_keyring_fails_import_and_retry_starts_over(self, tmp_path):
        fake_package(tmp_path, "keyring", "raise KeyboardInterrupt\n")
        out = run_python(f"""
            import sys
            try:
                import {MODULE}
            except KeyboardInterrupt:
                print('interrupted', '{MODULE}' in sys.modules)
            sys.modules['keyring'] = None
            import {MODULE} as m
            print(m._KEYRING_AVAILABLE)
        """, PYTHONPATH=tmp_path).stdout.split()
        assert out == ["interrupted", "False", "False"]

    def test_host_module_lacking_a_name(self):
        out = run_python(f"""
            import zantor.config as config
            saved = config.CONFIG_DIR
            del config.CONFIG_DIR
            try:
                import {MODULE}
            except ImportError as e:
                print(type(e).__name__, e)
            config.CONFIG_DIR = saved
            import {MODULE} as m
            print(m.CONFIG_DIR == saved)
        """).stdout.splitlines()
        assert out == ["ImportError cannot import name CONFIG_DIR", "True"]

    def test_reimport_and_reload_return_the_first_module(self):
        out = run_python(f"""
            import importlib, sys
            import {MODULE} as first
            cls = first.KestrowLockmere
            first.MARK = 'kept'
            del sys.modules['{MODULE}']
            import {MODULE} as second
            print(second is first, second.KestrowLockmere is cls, second.MARK)
            print(importlib.reload(first) is first, first.KestrowLockmere is cls)
        """).stdout.split()
        assert out == ["True", "True", "kept", "True", "True"]

    def test_enters_itself_in_sys_modules_under_its_full_name(self):
        out = run_python(f"""
            import importlib.machinery, importlib.util, os, sys
            import zantor.kestrow.services as pkg
            files = [os.path.join(d, 'lockmere' + suffix) for d in pkg.__path__
                     for suffix in importlib.machinery.EXTENSION_SUFFIXES]
            path = [p for p in files if os.path.isfile(p)][0]
            spec = importlib.util.spec_from_file_location('elsewhere.lockmere', path)
            mod = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(mod)
            print(mod.__name__, sys.modules['{MODULE}'] is mod)
        """).stdout.split()
        assert out == ["elsewhere.lockmere", "True"]

    def test_second_interpreter_is_refused(self):
        proc = run_python(f"""
            import _xxsubinterpreters as interpreters, sys
            import {MODULE}
            interp = interpreters.create()
            code = 'import sys; sys.path[:0] = ' + repr(sys.path) + '; import {MODULE}'
            try:
                interpreters.run_string(interp, code)
            except Exception as e:
                print(e)
        """)
        assert "Interpreter change detected - this module can only be loaded into one interpreter per process." in proc.stdout
