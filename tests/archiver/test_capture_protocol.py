"""The capture coroutines driven by fakes: the steps and their order, and the coroutine protocol
(send, throw, close, __await__, reuse, re-entry, the never-awaited warning, cancellation)."""

import asyncio
import asyncio.coroutines
import gc
import inspect
import re
import sys
import types
import warnings

import pytest

HTML = "<html><head><title>T</title></head><body><h1>Title</h1><script>x()</script><p>text</p></body></html>"
PNG = b"\x89PNG\r\n\x1a\n"


class Step:
    """An awaitable that yields `ticks` times (recording what is sent or thrown in), then returns."""

    def __init__(self, log, name, value=None, ticks=1, catch=None):
        self.log, self.name, self.value, self.ticks, self.catch = log, name, value, ticks, catch

    def __await__(self):
        try:
            for i in range(self.ticks):
                try:
                    sent = yield f"{self.name}:{i}"
                    self.log.append(("sent", self.name, sent))
                except BaseException as exc:
                    self.log.append(("thrown", self.name, type(exc).__name__))
                    if self.catch and isinstance(exc, self.catch):
                        return "recovered"
                    raise
            return self.value
        finally:
            self.log.append(("closed", self.name))


class FakePage:
    def __init__(self, html=HTML, ticks=0, content_error=None):
        self.log, self.html, self.ticks, self.content_error = [], html, ticks, content_error

    def screenshot(self, **kwargs):
        self.log.append(("screenshot", kwargs))
        with open(kwargs["path"], "wb") as f:
            f.write(PNG)
        return Step(self.log, "screenshot", ticks=self.ticks)

    async def content(self):
        self.log.append(("content",))
        if self.content_error:
            raise self.content_error
        return self.html


class FakeLocator(FakePage):
    def wait_for(self, **kwargs):
        self.log.append(("wait_for", kwargs))
        return Step(self.log, "wait_for", ticks=self.ticks)

    async def evaluate(self, script):
        self.log.append(("evaluate", script))
        return "<div id='x'><b>bold</b></div>"


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

    @pytest.mark.parametrize("section", ["../out", "/abs/path", "a/../../b"])
    def test_section_outside_root_is_refused_before_anything(self, archive, root, section):
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


class TestProtocol:
    def test_identity_and_introspection(self, archiver, archive):
        cls = archiver.KestrowArchiver
        for name in ("archive_page", "archive_locator"):
            assert asyncio.iscoroutinefunction(getattr(cls, name))
            assert inspect.iscoroutinefunction(getattr(archive, name))
            assert getattr(cls, name)._is_coroutine is asyncio.coroutines._is_coroutine
        assert not hasattr(cls.html_to_markdown, "_is_coroutine")
        coro = archive.archive_page(FakePage(), section="s")
        assert asyncio.iscoroutine(coro)
        assert (coro.__name__, coro.__qualname__) == ("archive_page", "KestrowArchiver.archive_page")
        assert "KestrowArchiver.archive_page" in repr(coro)
        coro.close()
        assert cls.archive_page.__doc__ == (
            "归档当前页面状态。\n\n        Args:\n            page: Playwright page 对象。\n"
            "            section: 归档分区名称。\n        ")

    def test_values_pass_through_to_the_awaitable(self, archive):
        page = FakePage(ticks=2)
        coro = archive.archive_page(page, section="s")
        assert coro.send(None) == "screenshot:0"
        assert coro.cr_running is False and coro.cr_await is not None
        assert coro.send("a") == "screenshot:1"
        with pytest.raises(StopIteration) as stop:
            coro.send("b")
        assert ("sent", "screenshot", "a") in page.log and ("sent", "screenshot", "b") in page.log
        assert set(stop.value.value) == {"s_screenshot", "s_html", "s_markdown"}
        with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
            coro.send(None)

    def test_first_send_must_be_none(self, archive, root):
        coro = archive.archive_page(FakePage(), section="s")
        with pytest.raises(TypeError, match="^can't send non-None value to a just-started coroutine$"):
            coro.send(1)
        with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
            coro.send(None)
        assert list(root.iterdir()) == []

    def test_throw_reaches_the_awaitable(self, archive):
        page = FakePage(ticks=2)
        coro = archive.archive_page(page, section="s")
        coro.send(None)
        with pytest.raises(KeyError):
            coro.throw(KeyError("k"))
        assert ("thrown", "screenshot", "KeyError") in page.log
        with pytest.raises(RuntimeError):
            coro.throw(KeyError)

    def test_throw_value_returned_by_awaitable_resumes_body(self, archive, root):
        log = []
        page = FakePage()
        page.screenshot = lambda **kw: Step(log, "shot", ticks=2, catch=KeyError)
        coro = archive.archive_page(page, section="s")
        coro.send(None)
        yielded, result = [], None
        with pytest.raises(StopIteration) as stop:
            coro.throw(KeyError)
        assert ("thrown", "shot", "KeyError") in log
        assert (root / "s" / "page.html").exists() and stop.value.value["s_html"]

    def test_throw_into_unstarted_coroutine_ends_it(self, archive, root):
        coro = archive.archive_page(FakePage(), section="s")
        with pytest.raises(ZeroDivisionError):
            coro.throw(ZeroDivisionError)
        with pytest.raises(RuntimeError):
            coro.send(None)
        assert list(root.iterdir()) == []

    def test_close_closes_the_awaitable(self, archive, root):
        page = FakePage(ticks=3)
        coro = archive.archive_page(page, section="s")
        coro.send(None)
        assert coro.close() is None
        assert ("thrown", "screenshot", "GeneratorExit") in page.log and page.log[-1] == ("closed", "screenshot")
        assert coro.close() is None
        with pytest.raises(RuntimeError):
            coro.send(None)
        assert not (root / "s" / "page.html").exists()

    def test_discarded_suspended_coroutine_is_closed(self, archive):
        page = FakePage(ticks=3)
        coro = archive.archive_page(page, section="s")
        coro.send(None)
        del coro
        gc.collect()
        assert page.log[-1] == ("closed", "screenshot")

    def test_never_awaited_warning_and_no_directory(self, archive, root):
        with pytest.warns(RuntimeWarning, match=r"^coroutine 'KestrowArchiver\.archive_locator' was never awaited$"):
            archive.archive_locator(FakeLocator(), section="s")
            gc.collect()
        assert list(root.iterdir()) == []

    def test_reentry_is_refused(self, archive):
        holder = {}

        class Reenter:
            def __await__(self):
                holder["coro"].send(None)
                yield

        page = FakePage()
        page.screenshot = lambda **kw: Reenter()
        holder["coro"] = coro = archive.archive_page(page, section="s")
        with pytest.raises(ValueError, match="^coroutine already executing$"):
            coro.send(None)

    @pytest.mark.parametrize(
        "awaited, message",
        [(42, "object int can't be used in 'await' expression"),
         (type("A", (), {"__await__": lambda self: 5})(), "__await__() returned non-iterator of type 'int'")],
    )
    def test_not_awaitable(self, archive, awaited, message):
        page = FakePage()
        page.screenshot = lambda **kw: awaited
        with pytest.raises(TypeError, match="^" + re.escape(message)):
            asyncio.run(archive.archive_page(page, section="s"))

    def test_stop_iteration_from_the_body_becomes_runtime_error(self, archiver, root):
        class Odd(archiver.KestrowArchiver):
            def html_to_markdown(self, html):
                raise StopIteration("odd")

        with pytest.raises(RuntimeError, match="^coroutine raised StopIteration$") as err:
            asyncio.run(Odd(root).archive_page(FakePage(), section="s"))
        assert isinstance(err.value.__cause__, StopIteration)

    def test_await_from_python_code_and_gather(self, archive, root):
        def locator():
            fake = FakeLocator()
            fake.wait_for = lambda **kw: asyncio.sleep(0.001)  # a real suspension on the loop
            return fake

        async def main():
            one = await archive.archive_page(FakePage(), section="one")
            many = await asyncio.gather(*(archive.archive_locator(locator(), section=f"l{i}") for i in range(5)))
            return one, many

        one, many = asyncio.run(main())
        assert one["one_html"] == str(root / "one" / "page.html")
        assert [m[f"l{i}_markdown"] for i, m in enumerate(many)] == [str(root / f"l{i}" / "page.md") for i in range(5)]

    def test_cancellation_arrives_at_the_current_await(self, archive, root):
        page = FakePage()
        page.screenshot = lambda **kw: asyncio.sleep(30)

        async def main():
            await asyncio.wait_for(archive.archive_page(page, section="s"), 0.05)

        with pytest.raises(asyncio.TimeoutError):
            asyncio.run(main())
        assert (root / "s").is_dir() and not (root / "s" / "page.html").exists()

    def test_task_cancel_propagates_cancelled_error(self, archive):
        page = FakeLocator()
        page.wait_for = lambda **kw: asyncio.sleep(30)

        async def main():
            task = asyncio.ensure_future(archive.archive_locator(page, section="s"))
            await asyncio.sleep(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            return task.cancelled()

        assert asyncio.run(main()) is True


class TestLikeTheLanguage:
    """What a coroutine of the language does, these do too."""

    def test_states_and_introspection(self, archiver, root):
        seen = {}

        class Watched(archiver.KestrowArchiver):
            def html_to_markdown(self, html):
                seen["inside"] = inspect.getcoroutinestate(seen["coro"])
                return html

        page = FakePage(ticks=1)
        seen["coro"] = coro = Watched(root).archive_page(page, section="s")
        assert inspect.getcoroutinestate(coro) == inspect.CORO_CREATED
        assert coro.cr_code is Watched.archive_page.__code__ and coro.cr_origin is None
        assert coro.send(None) == "screenshot:0"
        assert inspect.getcoroutinestate(coro) == inspect.CORO_SUSPENDED
        assert inspect.getcoroutinelocals(coro) == {"self": coro.cr_frame.f_locals["self"], "page": page, "section": "s"}
        assert "running at" in repr(asyncio.ensure_future(coro, loop=asyncio.new_event_loop()))
        with pytest.raises(StopIteration):
            coro.send(None)
        assert seen["inside"] == inspect.CORO_RUNNING
        assert inspect.getcoroutinestate(coro) == inspect.CORO_CLOSED and coro.cr_frame is None

    def test_origin_is_tracked_on_request(self, archive):
        sys.set_coroutine_origin_tracking_depth(2)
        try:
            coro = archive.archive_page(FakePage(), section="s")
        finally:
            sys.set_coroutine_origin_tracking_depth(0)
        origin = coro.cr_origin
        assert origin[0][1:] == (inspect.currentframe().f_lineno - 4, "test_origin_is_tracked_on_request"), origin
        with pytest.warns(RuntimeWarning, match="(?s)was never awaited.*Coroutine created at"):
            del coro
            gc.collect()

    def test_await_method_gives_an_iterator(self, archive):
        @types.coroutine
        def delegate(coro):
            return (yield from coro.__await__())

        page = FakePage()
        page.screenshot = lambda **kw: asyncio.sleep(0)
        result = asyncio.run(delegate(archive.archive_page(page, section="s")))
        assert set(result) == {"s_screenshot", "s_html", "s_markdown"}
        coro = archive.archive_page(FakePage(), section="s")
        with pytest.raises(TypeError):  # the coroutine itself is no iterator
            iter(coro)
        coro.close()

    def test_second_awaiter_is_refused(self, archive):
        page = FakeLocator()
        page.wait_for = lambda **kw: asyncio.sleep(0.05)

        async def main():
            coro = archive.archive_locator(page, section="s")
            first = asyncio.ensure_future(coro)
            await asyncio.sleep(0)

            async def second():
                return await coro

            with pytest.raises(RuntimeError, match="^coroutine is being awaited already$"):
                await second()
            return await first

        assert set(asyncio.run(main())) == {"s_screenshot", "s_html", "s_markdown"}

    @pytest.mark.parametrize("attribute", ["__name__", "__qualname__", "__annotations__"])
    @pytest.mark.parametrize("value", [1, b"q", None])
    def test_attribute_writes_end_as_for_python_objects(self, archiver, archive, attribute, value):
        """Setting (None: deleting) an attribute that the method and coroutine types guard ends as the
        same write on a Python function and coroutine does, and a refused write changes nothing."""
        def outcome(obj):
            before = getattr(obj, attribute, None)
            try:
                if value is None:
                    delattr(obj, attribute)
                else:
                    setattr(obj, attribute, value)
            except (TypeError, AttributeError) as exc:
                assert getattr(obj, attribute, None) is before
                return type(exc), str(exc)
            return None

        def function():
            pass

        async def coroutine():
            pass

        method = archiver.KestrowArchiver.html_to_markdown
        kept = {name: getattr(method, name) for name in ("__name__", "__qualname__", "__annotations__")}
        try:
            assert outcome(method) == outcome(function)
        finally:
            for name, kept_value in kept.items():
                setattr(method, name, kept_value)
        native, plain = archive.archive_page(FakePage(), section="s"), coroutine()
        try:
            assert outcome(native) == outcome(plain)
        finally:
            native.close()
            plain.close()
