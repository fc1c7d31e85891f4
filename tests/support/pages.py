"""Stand-ins for the page library's page and locator objects, for the tests and drills that drive
the captures without a browser: a plain one (Page), and one that records every call and what is
sent or thrown into its awaitables (FakePage, FakeLocator)."""


class Done:
    """An awaitable that completes at once with `value`."""

    def __init__(self, value=None):
        self.value = value

    def __await__(self):
        return self.value
        yield  # noqa: unreachable; makes this a generator


class Tick(Done):
    """An awaitable that yields once, then completes."""

    def __await__(self):
        yield "tick"
        return self.value


class Page:
    """A page and a locator in one: every call gives `awaitable` (completing with `html` where the
    HTML is asked for); with `writes_png` the screenshot is written as the real one would be."""

    def __init__(self, html="<p>x</p>", awaitable=Done, writes_png=False):
        self.html, self.awaitable, self.writes_png = html, awaitable, writes_png

    def screenshot(self, **kwargs):
        if self.writes_png:
            with open(kwargs["path"], "wb") as f:
                f.write(b"\x89PNG\r\n\x1a\n")
        return self.awaitable()

    def content(self):
        return self.awaitable(self.html)

    def wait_for(self, **kwargs):
        return self.awaitable()

    def evaluate(self, script):
        return self.awaitable(self.html)


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
