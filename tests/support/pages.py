"""A stand-in for the page library's page and locator objects, for the tests and drills that drive
the captures without a browser."""


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
