"""Importing the archiver module, its namespace and class, and the constructor."""

import inspect
import json
import pathlib
import typing

import pytest

from conftest import run_python

MODULE = "zantor.kestrow.scraping.archiver"


def test_namespace_and_class(archiver):
    # The binding order is read in a fresh interpreter: a test that deletes and restores a global
    # here (monkeypatch.delattr) moves it to the end of the module's dict.
    assert run_python(f"""
        import {MODULE} as m
        print(*[n for n in vars(m) if not n.startswith("__")])
    """).stdout.split() == ["json", "Path", "Any", "KestrowArchiver"]
    assert (archiver.json, archiver.Path, archiver.Any) == (json, pathlib.Path, typing.Any)
    assert archiver.__doc__ == "Kestrow页面归档工具。"
    cls = archiver.KestrowArchiver
    assert type(cls) is type and cls.__mro__ == (cls, object)
    assert (cls.__module__, cls.__qualname__) == (MODULE, "KestrowArchiver")
    assert cls.__doc__ == "保存截图、HTML、Markdown 和 JSON 文件。"
    assert [n for n in vars(cls) if not n.startswith("__") or n == "__init__"] == [
        "__init__", "archive_page", "archive_locator", "html_to_markdown", "save_json"]


@pytest.mark.parametrize(
    "method, doc, signature",
    [
        ("__init__", None, "(self, root_dir: 'Path') -> 'None'"),
        ("html_to_markdown", "将 HTML 转为 Markdown。", "(self, html: 'str') -> 'str'"),
        ("save_json", "保存 JSON 文件并返回路径。",
         "(self, *, section: 'str', filename: 'str', payload: 'dict[str, Any]') -> 'str'"),
    ],
)
def test_method_attributes(archiver, method, doc, signature):
    func = vars(archiver.KestrowArchiver)[method]
    assert (func.__name__, func.__qualname__, func.__module__) == (method, f"KestrowArchiver.{method}", MODULE)
    assert func.__doc__ == doc
    assert str(inspect.signature(func)) == signature
    assert not inspect.iscoroutinefunction(func)


def test_import_runs_the_body_once_and_needs_no_markdown_packages():
    run_python(f"""
        import importlib, sys
        import {MODULE} as first
        cls = first.KestrowArchiver
        del sys.modules["{MODULE}"]
        import {MODULE} as second
        assert second is first and second.KestrowArchiver is cls
        assert importlib.reload(second) is first and first.KestrowArchiver is cls
        assert "bs4" not in sys.modules and "markdownify" not in sys.modules
    """)


class TestConstructor:
    def test_existing_root_keeps_its_contents(self, archiver, tmp_path):
        (tmp_path / "old.txt").write_text("x")
        archive = archiver.KestrowArchiver(tmp_path)
        assert archive.root_dir is tmp_path and vars(archive) == {"root_dir": tmp_path}
        assert [p.name for p in tmp_path.iterdir()] == ["old.txt"]

    def test_missing_parents_are_made(self, archiver, tmp_path):
        root = tmp_path / "a" / "b" / "c"
        archiver.KestrowArchiver(root)
        assert root.is_dir()

    @pytest.mark.parametrize("args, given", [((), 1), (("a", "b"), 3)])
    def test_positional_count(self, archiver, args, given):
        with pytest.raises(TypeError) as info:
            archiver.KestrowArchiver(*args)
        assert str(info.value) == f"__init__() takes exactly 2 positional arguments ({given} given)"

    def test_root_without_mkdir(self, archiver, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        with pytest.raises(AttributeError, match="mkdir"):
            archiver.KestrowArchiver("plain")
        assert list(tmp_path.iterdir()) == []

    def test_root_that_is_a_file(self, archiver, tmp_path):
        (tmp_path / "f").write_text("")
        with pytest.raises(FileExistsError):
            archiver.KestrowArchiver(tmp_path / "f")
