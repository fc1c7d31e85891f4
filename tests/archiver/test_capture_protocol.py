"""The capture coroutines driven by fakes: the steps and their order, and the argument errors at
the call (the coroutine protocol they follow is pinned in tests/runtime/test_coroutine.py)."""

import asyncio
import gc
import os
import threading
import warnings

import pytest

from support.pages import HTML, PNG, FakeLocator, FakePage


def drive(coro):
    """Runs a coroutine by hand, sending None, and returns (yielded values, result)."""
    yielded = []
    try:
        while True:
            yielded.append(coro.send(None))
    except StopIteration as stop:
        return yielded, stop.value


class TestSteps:
    def test_archive_page_writes_three_files_and_returns_paths(self, archive, root):
        page = FakePage()
        result = asyncio.run(archive.archive_page(page, section="home"))
        section = root / "home"
        assert result == {
            "home_screenshot": str(section / "screenshot.png"),
            "home_html": str(section / "page.html"),
            "home_markdown": str(section / "page.md"),
        }
        assert list(result) == ["home_screenshot", "home_html", "home_markdown"]
        assert page.log[0] == ("screenshot", {"path": str(section / "screenshot.png"), "full_page": True})
        assert type(page.log[0][1]["path"]) is str
        assert [e[0] for e in page.log] == ["screenshot", "closed", "content"]
        assert (section / "page.html").read_text(encoding="utf-8") == HTML
        assert (section / "page.md").read_text(encoding="utf-8") == archive.html_to_markdown(HTML)
        assert (section / "screenshot.png").read_bytes() == PNG

    def test_archive_locator_waits_then_shoots_then_reads_outer_html(self, archive, root):
        locator = FakeLocator()
        result = asyncio.run(archive.archive_locator(locator, section="首页 a"))
        section = root / "首页 a"
        assert list(result) == ["首页 a_screenshot", "首页 a_html", "首页 a_markdown"]
        calls = [e for e in locator.log if e[0] != "closed"]
        assert calls == [
            ("wait_for", {"state": "visible", "timeout": 10000}),
            ("screenshot", {"path": str(section / "screenshot.png")}),
            ("evaluate", "element => element.outerHTML"),
        ]
        assert (section / "page.md").read_text(encoding="utf-8") == "**bold**"

    def test_empty_section_writes_into_root(self, archive, root):
        result = asyncio.run(archive.archive_page(FakePage(), section=""))
        assert result == {"_screenshot": str(root / "screenshot.png"), "_html": str(root / "page.html"),
                          "_markdown": str(root / "page.md")}

    def test_override_of_html_to_markdown_is_used(self, archiver, root):
        class Plain(archiver.KestrowArchiver):
            def html_to_markdown(self, html):
                return "OVERRIDE " + html

        asyncio.run(Plain(root).archive_page(FakePage(), section="s"))
        assert (root / "s" / "page.md").read_text() == "OVERRIDE " + HTML

    def test_failed_content_keeps_new_screenshot_and_old_text(self, archive, root):
        asyncio.run(archive.archive_page(FakePage(html="<p>old</p>"), section="s"))
        with pytest.raises(ConnectionError):
            asyncio.run(archive.archive_page(FakePage(content_error=ConnectionError("closed")), section="s"))
        assert (root / "s" / "page.html").read_text() == "<p>old</p>"

    @pytest.mark.parametrize("html, type_name", [(b"<p>", "bytes"), (None, "NoneType")])
    def test_captured_value_that_is_not_str(self, archive, root, html, type_name):
        with pytest.raises(TypeError, match=f"^data must be str, not {type_name}$"):
            asyncio.run(archive.archive_page(FakePage(html=html), section="s"))
        assert not (root / "s" / "page.html").exists()

    def test_markdown_failure_comes_after_page_html(self, archiver, root):
        class Broken(archiver.KestrowArchiver):
            def html_to_markdown(self, html):
                raise ImportError("no markdown")

        with pytest.raises(ImportError):
            asyncio.run(Broken(root).archive_page(FakePage(), section="s"))
        assert (root / "s" / "page.html").exists() and not (root / "s" / "page.md").exists()

    # screenshot.png meets the rules page.html meets before the page library is called, whose own
    # plain write would block on a FIFO for good (opened from its other end after a while here, so
    # that a capture that would hang fails instead).
    @pytest.mark.parametrize("capture", ["archive_page", "archive_locator"])
    @pytest.mark.parametrize("kind", ["FIFO", "folder", "link to nothing"])
    def test_a_screenshot_path_that_is_no_regular_file(self, archive, root, capture, kind):
        screenshot = root / "s" / "screenshot.png"
        screenshot.parent.mkdir(parents=True)
        if kind != "folder" and not hasattr(os, "mkfifo"):
            pytest.skip(f"a {kind} in the file system: POSIX only")
        {"FIFO": lambda p: os.mkfifo(p), "folder": os.mkdir, "link to nothing": lambda p: p.symlink_to(p.parent / "nothing")}[kind](
            screenshot)
        with pytest.raises(OSError) as plain:  # page.html's error, through save_json
            archive.save_json(section="s", filename="screenshot.png", payload={})
        page, before = FakeLocator(), sorted(os.listdir(screenshot.parent))
        unblock = threading.Timer(5, lambda: os.close(os.open(screenshot, os.O_RDONLY | os.O_NONBLOCK)))
        if kind == "FIFO":
            unblock.start()
        try:
            with pytest.raises(OSError) as native:
                asyncio.run(getattr(archive, capture)(page, section="s"))
        finally:
            unblock.cancel()
        assert (type(native.value), native.value.errno, native.value.filename, str(native.value)) == \
            (type(plain.value), plain.value.errno, str(screenshot), str(plain.value))
        assert page.log == [] and sorted(os.listdir(screenshot.parent)) == before

    # Outside the root, and on Windows a name it reads as another (more in test_save_json.py).
    @pytest.mark.parametrize("section", ["../out", "/abs/path", "a/../../b"] + (["s.", "NUL"] if os.name == "nt" else []))
    def test_section_outside_root_or_altered_is_refused_before_anything(self, archive, root, section):
        page = FakePage()
        with pytest.raises(ValueError):
            asyncio.run(archive.archive_page(page, section=section))
        assert page.log == [] and sorted(p.name for p in root.parent.iterdir()) == ["archive"]


class TestArguments:
    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda a, p: a.archive_page(p), "archive_page() needs keyword-only argument section"),
            (lambda a, p: a.archive_page(p, "s"), "archive_page() takes exactly 2 positional arguments (3 given)"),
            (lambda a, p: a.archive_page(section="s"), "archive_page() takes exactly 2 positional arguments (1 given)"),
            (lambda a, p: a.archive_page(p, section=None),
             "Argument 'section' has incorrect type (expected str, got NoneType)"),
            (lambda a, p: a.archive_locator(p, section="s", x=1), "archive_locator() got an unexpected keyword argument 'x'"),
            (lambda a, p: a.archive_locator(p, locator=p, section="s"),
             "archive_locator() got multiple values for keyword argument 'locator'"),
        ],
    )
    def test_errors_at_the_call_make_no_coroutine(self, archive, root, call, message):
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(TypeError) as err:
                call(archive, FakePage())
            gc.collect()
        assert str(err.value) == message
        assert list(root.iterdir()) == []

    def test_str_subclass_section_is_refused(self, archive):
        class S(str):
            pass

        with pytest.raises(TypeError, match=r"\(expected str, got S\)\. "):
            archive.archive_page(FakePage(), section=S("x"))

