"""Browser and web-server helpers for tests.

* ``launch_chromium()`` – async context manager yielding a Playwright
  ``Browser`` backed by Debian's Chromium (Playwright's own browser builds are
  not available on these machines).
* ``BrowserThread`` – one browser kept alive on a private event loop in a
  background thread, so plain (non-async) tests can share it:
  ``bt.run(async_fn, *args)`` runs ``await async_fn(browser, *args)`` there.
* ``run_with_browser(async_fn, *args)`` – one-shot: launch, run, close.
* ``LocalHTTPServer`` – tiny threaded HTTP server on 127.0.0.1 with an
  ephemeral port, serving a directory and/or an in-memory dict of pages.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextlib
import http.server
import mimetypes
import os
import posixpath
import threading
import urllib.parse
from pathlib import Path
from typing import Any, AsyncIterator, Awaitable, Callable, Mapping, TypeVar, Union

__all__ = [
    "CHROMIUM_PATH",
    "CHROMIUM_ARGS",
    "DEFAULT_VIEWPORT",
    "launch_chromium",
    "new_page",
    "run_with_browser",
    "BrowserThread",
    "LocalHTTPServer",
]

T = TypeVar("T")

#: Override with KESTROW_CHROMIUM=/path/to/chrome if needed.
CHROMIUM_PATH = os.environ.get("KESTROW_CHROMIUM", "/usr/bin/chromium")

CHROMIUM_ARGS = (
    "--no-sandbox",  # we run as root
    "--disable-gpu",
    "--disable-background-networking",
    "--disable-component-update",
    "--no-first-run",
    "--disable-dev-shm-usage",
)

DEFAULT_VIEWPORT = {"width": 1024, "height": 768}

# Seconds; generous because the machine has 2 cores and may be busy building.
LAUNCH_TIMEOUT = 60.0


@contextlib.asynccontextmanager
async def launch_chromium(
    *, headless: bool = True, extra_args: tuple[str, ...] = (), **launch_kwargs: Any
) -> AsyncIterator[Any]:
    """Start Playwright + Debian Chromium; yields ``playwright.async_api.Browser``."""
    from playwright.async_api import async_playwright

    if not os.path.exists(CHROMIUM_PATH):
        raise RuntimeError(
            f"{CHROMIUM_PATH} not found; run tools/bootstrap.sh first"
        )
    launch_kwargs.setdefault("timeout", LAUNCH_TIMEOUT * 1000)
    async with async_playwright() as pw:
        browser = await pw.chromium.launch(
            executable_path=CHROMIUM_PATH,
            headless=headless,
            args=[*CHROMIUM_ARGS, *extra_args],
            **launch_kwargs,
        )
        try:
            yield browser
        finally:
            await browser.close()


@contextlib.asynccontextmanager
async def new_page(
    browser: Any, *, viewport: Mapping[str, int] | None = None, **context_kwargs: Any
) -> AsyncIterator[Any]:
    """A page in a fresh browser context, closed (with its context) on exit."""
    context = await browser.new_context(
        viewport=dict(viewport or DEFAULT_VIEWPORT), **context_kwargs
    )
    try:
        yield await context.new_page()
    finally:
        await context.close()


def run_with_browser(
    fn: Callable[..., Awaitable[T]], *args: Any, **launch_kwargs: Any
) -> T:
    """``asyncio.run`` a coroutine function as ``fn(browser, *args)``."""

    async def _main() -> T:
        async with launch_chromium(**launch_kwargs) as browser:
            return await fn(browser, *args)

    return asyncio.run(_main())


class BrowserThread:
    """A Chromium kept alive on an event loop in a background thread.

    Playwright async objects belong to the loop that created them, so all
    work on this browser goes through :meth:`run`, which executes the given
    coroutine function on that loop and blocks until it finishes.
    """

    def __init__(self, **launch_kwargs: Any) -> None:
        self._launch_kwargs = launch_kwargs
        self._loop: asyncio.AbstractEventLoop | None = None
        self._thread: threading.Thread | None = None
        self._ready = concurrent.futures.Future()
        self._stop: asyncio.Event | None = None
        self.browser: Any = None

    def start(self, timeout: float = LAUNCH_TIMEOUT + 10) -> "BrowserThread":
        self._thread = threading.Thread(
            target=self._thread_main, name="browser-loop", daemon=True
        )
        self._thread.start()
        self._ready.result(timeout=timeout)  # re-raises launch errors
        return self

    def _thread_main(self) -> None:
        loop = asyncio.new_event_loop()
        self._loop = loop
        try:
            loop.run_until_complete(self._serve())
        finally:
            loop.run_until_complete(loop.shutdown_asyncgens())
            loop.close()

    async def _serve(self) -> None:
        self._stop = asyncio.Event()
        try:
            async with launch_chromium(**self._launch_kwargs) as browser:
                self.browser = browser
                self._ready.set_result(None)
                await self._stop.wait()
        except BaseException as exc:
            if not self._ready.done():
                self._ready.set_exception(exc)
            else:
                raise
        finally:
            self.browser = None

    def run(
        self, fn: Callable[..., Awaitable[T]], *args: Any, timeout: float = 120.0
    ) -> T:
        """Run ``await fn(browser, *args)`` on the browser's loop."""
        if self._loop is None or self.browser is None:
            raise RuntimeError("BrowserThread is not running")
        fut = asyncio.run_coroutine_threadsafe(fn(self.browser, *args), self._loop)
        try:
            return fut.result(timeout=timeout)
        except concurrent.futures.TimeoutError:
            fut.cancel()
            raise

    def stop(self, timeout: float = 30.0) -> None:
        if self._loop is not None and self._stop is not None and self._loop.is_running():
            self._loop.call_soon_threadsafe(self._stop.set)
        if self._thread is not None:
            self._thread.join(timeout)
        self._thread = None

    def __enter__(self) -> "BrowserThread":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()


# --------------------------------------------------------------------------
# Local HTTP server
# --------------------------------------------------------------------------

PageBody = Union[str, bytes, tuple[str, Union[str, bytes]]]


class LocalHTTPServer:
    """Threaded HTTP server on 127.0.0.1 with an ephemeral port.

    ``pages`` maps URL paths (``"/index.html"``) to a body (``str`` is sent as
    UTF-8 HTML) or to ``(content_type, body)``. Anything not in ``pages`` is
    looked up under ``root`` when given, else answered with 404. Pages can be
    added while running with :meth:`add`. Every request path is recorded in
    :attr:`requests`.
    """

    def __init__(
        self,
        root: str | os.PathLike[str] | None = None,
        pages: Mapping[str, PageBody] | None = None,
    ) -> None:
        self.root = Path(root).resolve() if root is not None else None
        self._pages: dict[str, tuple[str, bytes]] = {}
        self._lock = threading.Lock()
        self.requests: list[str] = []
        for path, body in (pages or {}).items():
            self.add(path, body)
        self._httpd: http.server.ThreadingHTTPServer | None = None
        self._thread: threading.Thread | None = None

    # -- content -----------------------------------------------------------

    def add(self, path: str, body: PageBody, content_type: str | None = None) -> str:
        """Serve ``body`` at ``path`` (also while running); returns the path."""
        if isinstance(body, tuple):
            content_type, body = body
        if isinstance(body, str):
            body = body.encode("utf-8")
            content_type = content_type or "text/html; charset=utf-8"
        if content_type is None:
            content_type = mimetypes.guess_type(path)[0] or "application/octet-stream"
        if not path.startswith("/"):
            path = "/" + path
        with self._lock:
            self._pages[path] = (content_type, body)
        return path

    def _lookup(self, raw_path: str) -> tuple[str, bytes] | None:
        path = urllib.parse.unquote(urllib.parse.urlsplit(raw_path).path)
        with self._lock:
            hit = self._pages.get(path)
            if hit is None and path.endswith("/"):
                hit = self._pages.get(path + "index.html")
        if hit is not None or self.root is None:
            return hit
        rel = posixpath.normpath(path).lstrip("/")
        target = (self.root / rel).resolve()
        if target.is_dir():
            target = target / "index.html"
        if self.root not in target.parents and target != self.root:
            return None  # path traversal
        if not target.is_file():
            return None
        ctype = mimetypes.guess_type(target.name)[0] or "application/octet-stream"
        if ctype.startswith("text/"):
            ctype += "; charset=utf-8"
        return ctype, target.read_bytes()

    # -- lifecycle -----------------------------------------------------------

    @property
    def port(self) -> int:
        if self._httpd is None:
            raise RuntimeError("server is not running")
        return self._httpd.server_address[1]

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    def url(self, path: str = "/") -> str:
        if not path.startswith("/"):
            path = "/" + path
        return self.base_url + path

    def start(self) -> "LocalHTTPServer":
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self) -> None:  # noqa: N802
                self._respond(send_body=True)

            def do_HEAD(self) -> None:  # noqa: N802
                self._respond(send_body=False)

            def _respond(self, send_body: bool) -> None:
                server.requests.append(self.path)
                hit = server._lookup(self.path)
                if hit is None:
                    ctype, body, status = "text/plain", b"not found", 404
                else:
                    (ctype, body), status = hit, 200
                self.send_response(status)
                self.send_header("Content-Type", ctype)
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Cache-Control", "no-store")
                self.end_headers()
                if send_body:
                    self.wfile.write(body)

            def log_message(self, *args: Any) -> None:
                pass

        self._httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._httpd.daemon_threads = True
        self._thread = threading.Thread(
            target=self._httpd.serve_forever,
            kwargs={"poll_interval": 0.1},
            name="local-http",
            daemon=True,
        )
        self._thread.start()
        return self

    def stop(self) -> None:
        if self._httpd is not None:
            self._httpd.shutdown()
            self._httpd.server_close()
        if self._thread is not None:
            self._thread.join(5)
        self._httpd = self._thread = None

    def __enter__(self) -> "LocalHTTPServer":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()
