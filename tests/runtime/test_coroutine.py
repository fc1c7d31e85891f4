"""The coroutine protocol of the runtime's coroutine objects, through the archiver's captures
driven by fakes: send, throw, close, __await__, reuse, re-entry, the never-awaited warning,
cancellation, and the states and introspection of a coroutine of the language."""

import asyncio
import asyncio.coroutines
import gc
import inspect
import re
import sys
import types

import pytest

from support.pages import FakeLocator, FakePage, Step


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
