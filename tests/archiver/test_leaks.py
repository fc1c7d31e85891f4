"""Many calls keep memory flat: a reference leaked on any path of the argument checks, the
constructor, save_json or html_to_markdown shows as growth in the interpreter's count of
allocated memory blocks, or in the reference counts of the objects passed in."""

import asyncio
import gc
import os
import sys
import tracemalloc
import warnings
import weakref

import pytest

from support.leaks import check_no_leak
from support.pages import Page, Tick

HTML = (
    '<html><head><title>t</title><style>p{}</style></head><body><h1>T</h1><svg><style>x</style></svg>'
    '<div hidden><p style="display:none">a</p></div><p aria-hidden="true">b</p><p style="Visibility : hidden">c</p>'
    '<p style="color: red">kept <b>bold</b></p><img src="data:image/png;base64,AA"><img src="x.png" alt="x">'
    "<table><tr><td>1</td></tr></table><script>x()</script></body></html>"
)

# One leaked object per call would add `times` blocks; caches the libraries and the interpreter
# fill on first use are bounded and settle during the warm-up.
TOLERANCE = 200


def refcounts(*objects):
    return [sys.getrefcount(o) for o in objects]


def same_counts(before, after):
    """Equal up to a little noise from the interpreter's own holders (None is everywhere)."""
    return all(abs(a - b) < 50 for a, b in zip(before, after))


def test_failed_argument_checks(archive):
    payload, section = {"k": [1]}, "s" * 3
    bad_calls = [
        lambda: archive.save_json(section=section, filename="f", payload=[payload]),
        lambda: archive.save_json(section=section, filename=None, payload=payload),
        lambda: archive.save_json(section, "f", payload),
        lambda: archive.save_json(section=section, filename="f"),
        lambda: archive.save_json(section=section, filename="f", payload=payload, extra=1),
        lambda: archive.html_to_markdown(None),
    ]
    state = {"i": 0}

    def call():
        state["i"] += 1
        with pytest.raises(TypeError):
            bad_calls[state["i"] % len(bad_calls)]()

    counts = refcounts(payload, section, archive)
    check_no_leak(call, 100_000, TOLERANCE)
    assert same_counts(counts, refcounts(payload, section, archive))


def test_constructor(archiver, root):
    archiver.KestrowArchiver(root)
    counts = refcounts(root, archiver.KestrowArchiver)
    check_no_leak(lambda: archiver.KestrowArchiver(root), 100_000, TOLERANCE)
    assert same_counts(counts, refcounts(root, archiver.KestrowArchiver))


def test_save_json_writes_and_refusals(archive):
    payload = {"名称": ["值", 1, None]}
    (archive.root_dir / "s" / "dir.json").mkdir(parents=True)  # never replaced
    never_replaced = ["dir.json"]
    if hasattr(os, "mkfifo"):  # POSIX
        os.mkfifo(archive.root_dir / "s" / "fifo.json")
        never_replaced.append("fifo.json")

    def call():
        archive.save_json(section="s", filename="f.json", payload=payload)
        with pytest.raises(ValueError):
            archive.save_json(section="../s", filename="f.json", payload=payload)
        for name in never_replaced:
            with pytest.raises(OSError):
                archive.save_json(section="s", filename=name, payload=payload)

    counts = refcounts(payload)
    check_no_leak(call, 2000, TOLERANCE)
    assert same_counts(counts, refcounts(payload))


def test_html_to_markdown(archive):
    html = HTML * 1
    assert archive.html_to_markdown(html) == "# T\n\nkept **bold**\n\n![x](x.png)\n\n| 1 |\n| --- |"
    counts = refcounts(html, archive)
    check_no_leak(lambda: archive.html_to_markdown(html), 2000, TOLERANCE)
    assert same_counts(counts, refcounts(html, archive))


def test_captures_and_every_way_a_coroutine_ends(archiver, root):
    class Plain(archiver.KestrowArchiver):
        def html_to_markdown(self, html):
            return html

    archive, page, ticking = Plain(root), Page(), Page(awaitable=Tick)
    section = "s"

    def call():
        coro = archive.archive_page(page, section=section)
        try:
            coro.send(None)
        except StopIteration:
            pass
        coro = archive.archive_locator(ticking, section=section)
        coro.send(None)
        coro.close()  # closed while suspended
        coro = archive.archive_page(ticking, section=section)
        coro.send(None)
        with pytest.raises(KeyError):
            coro.throw(KeyError("k"))
        with pytest.raises(TypeError):
            archive.archive_page(page, section=None)

    counts = refcounts(archive, page, ticking, section)
    check_no_leak(call, 3000, TOLERANCE)
    assert same_counts(counts, refcounts(archive, page, ticking, section))


def test_coroutines_dropped_unawaited(archive):
    page = Page()

    def call():
        archive.archive_page(page, section="s")

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        counts = refcounts(archive, page)
        check_no_leak(call, 100_000, TOLERANCE)
        assert same_counts(counts, refcounts(archive, page))


# --- cycles through suspended captures ---------------------------------------------------------------
# Each maker builds one capture suspended at an await, tied into a reference cycle with its page,
# drops every outside reference and returns a weak reference to the page. The collector must free
# them all, as it frees plain coroutines of the same shape.

class CyclePage:
    async def screenshot(self, **kwargs):  # the awaited coroutine holds the page
        await Tick()


def cycle_through_awaited(archive):
    page = CyclePage()
    page.capture = archive.archive_page(page, section="s")
    page.capture.send(None)
    return weakref.ref(page)


class Node:
    """A path-like stand-in whose joins are recorded, so the test can tie them to the page."""

    made = []

    def __truediv__(self, name):
        node = Node()
        Node.made.append(node)
        return node

    def mkdir(self, **kwargs):
        pass

    def __str__(self):
        return "node"


def cycle_through_held_paths(archiver):
    class Plain(archiver.KestrowArchiver):
        pass

    page = Page(awaitable=Tick)
    archive = Plain(Node())
    archive.root_dir = Node()
    page.capture = archive.archive_page(page, section="s")
    page.capture.send(None)
    for node in Node.made:  # the paths the suspended capture holds point back at the page
        node.page = page
    Node.made.clear()
    return weakref.ref(page)


def cycle_through_task(archive):
    loop = asyncio.new_event_loop()
    page = type("Page", (), {"screenshot": lambda self, **kwargs: loop.create_future()})()
    page.task = loop.create_task(archive.archive_page(page, section="s"))
    loop.run_until_complete(asyncio.sleep(0))
    loop.close()  # the future never resolves
    return weakref.ref(page)


@pytest.mark.parametrize("make", [cycle_through_awaited, cycle_through_held_paths, cycle_through_task])
def test_suspended_captures_in_cycles_are_collected(archiver, archive, make):
    count = 20 if make is cycle_through_task else 2000
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        pages = [make(archiver if make is cycle_through_held_paths else archive) for _ in range(count)]
        gc.collect()
    assert sum(page() is not None for page in pages) == 0


def test_coroutine_frames_are_traced(archive):
    page = Page(awaitable=Tick)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        coros = [archive.archive_page(page, section="s") for _ in range(1000)]
        per_coroutine = (tracemalloc.get_traced_memory()[0] - before) / len(coros)
    finally:
        tracemalloc.stop()
    for coro in coros:
        coro.close()
    assert per_coroutine > type(coros[0]).__basicsize__ + 64, per_coroutine  # the object and its frame
