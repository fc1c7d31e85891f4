"""Preflight: is this machine ready for the test suite? tools/test.sh runs it after
tools/bootstrap.sh and before pytest. It checks the rig the suite stands on, not the product:
a private Secret Service behind `keyring` (round trips, privacy, cleanup of its D-Bus and
keyring daemons), the local HTTP server's routes, and Debian's Chromium under Playwright taking
full-page screenshots of locally served pages.

    .venv/bin/python tools/preflight.py

Prints one line per check and exits 0 when all pass; otherwise 1, after saying what is missing."""

from __future__ import annotations

import os
import struct
import subprocess
import sys
import textwrap
import traceback
import urllib.error
import urllib.request
import uuid
import zlib
from pathlib import Path

TESTS_DIR = Path(__file__).resolve().parent.parent / "tests"
sys.path.insert(0, str(TESTS_DIR))

from support.browser import CHROMIUM_PATH, DEFAULT_VIEWPORT, BrowserThread, LocalHTTPServer, new_page  # noqa: E402
from support.secret_service import SecretService, refresh_keyring_backend  # noqa: E402

CHECKS = []


def check(what, remedy):
    """Registers a check: `what` it shows when it passes, `remedy` what to do when it fails."""
    def register(func):
        CHECKS.append((what, remedy, func))
        return func
    return register


def png_size(data: bytes) -> tuple[int, int]:
    """Width and height of a PNG, after checking signature and IHDR CRC."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG signature"
    length, ctype = struct.unpack(">I4s", data[8:16])
    assert ctype == b"IHDR" and length == 13
    ihdr = data[16:29]
    (crc,) = struct.unpack(">I", data[29:33])
    assert zlib.crc32(b"IHDR" + ihdr) == crc, "corrupt IHDR"
    assert data.endswith(b"IEND\xaeB`\x82"), "PNG is truncated"
    return struct.unpack(">II", ihdr[:8])


def unique_name() -> str:
    return f"kestrow-preflight/{os.getpid()}/{uuid.uuid4().hex}"


# ---------------------------------------------------------------------------
# Secret Service / keyring
# ---------------------------------------------------------------------------

KEYRING_REMEDY = ("the suite needs gnome-keyring and dbus-daemon (Debian packages gnome-keyring, "
                  "dbus-daemon) and the keyring package in .venv: run `bash tools/bootstrap.sh` as root")


@check("keyring round trips through a private Secret Service", KEYRING_REMEDY)
def keyring_round_trip(service):
    import keyring.backends.SecretService
    from keyring.errors import PasswordDeleteError

    backend = keyring.backends.SecretService.Keyring()
    for username, password in [("alice", "s3cret"), ("bob@example.test", "pässwörd ✓ 密码"), ("carol", ""),
                               ("dave", "x" * 4096), ("用户", "line1\nline2\ttab")]:
        name = unique_name()
        assert backend.get_password(name, username) is None
        backend.set_password(name, username, password)
        assert backend.get_password(name, username) == password
        # Overwrite replaces rather than adding a second item.
        backend.set_password(name, username, password + "!")
        assert backend.get_password(name, username) == password + "!"
        backend.delete_password(name, username)
        assert backend.get_password(name, username) is None
        try:
            backend.delete_password(name, username)
        except PasswordDeleteError:
            pass
        else:
            raise AssertionError("deleting a missing password did not raise PasswordDeleteError")

    # Entries are keyed by service and user.
    name = unique_name()
    other = name + "-other"
    backend.set_password(name, "u", "one")
    backend.set_password(name, "v", "two")
    backend.set_password(other, "u", "three")
    try:
        assert backend.get_password(name, "u") == "one"
        assert backend.get_password(name, "v") == "two"
        assert backend.get_password(other, "u") == "three"
        assert backend.get_password(other, "v") is None
    finally:
        for svc, user in ((name, "u"), (name, "v"), (other, "u")):
            backend.delete_password(svc, user)


@check("keyring's default API reaches the private service", KEYRING_REMEDY)
def default_keyring_api(service):
    import keyring

    refresh_keyring_backend()
    assert type(keyring.get_keyring()).__module__ == "keyring.backends.SecretService", keyring.get_keyring()
    name = unique_name()
    keyring.set_password(name, "u", "pw")
    try:
        assert keyring.get_password(name, "u") == "pw"
    finally:
        keyring.delete_password(name, "u")


@check("a nested Secret Service is private and cleans up its daemons and files", KEYRING_REMEDY)
def service_is_private(service):
    before = os.environ.get("DBUS_SESSION_BUS_ADDRESS")
    assert before == service.address
    with SecretService(password="other") as inner:
        assert os.environ["DBUS_SESSION_BUS_ADDRESS"] == inner.address != before
        keyrings = inner.tmpdir / "home/.local/share/keyrings"
        assert (keyrings / "login.keyring").is_file()
        procs = (inner._bus, inner._keyring)
        tmpdir = inner.tmpdir
    assert os.environ.get("DBUS_SESSION_BUS_ADDRESS") == before
    assert all(p.poll() is not None for p in procs), "daemons left running"
    assert not tmpdir.exists()


@check("`python -m support.secret_service -- COMMAND` runs COMMAND inside a service", KEYRING_REMEDY)
def cli_runs_command(service):
    script = textwrap.dedent(
        """
        import sys, keyring
        keyring.set_password("cli-check", "u", "pw")
        ok = keyring.get_password("cli-check", "u") == "pw"
        sys.exit(7 if ok else 1)
        """
    )
    env = dict(os.environ, PYTHONPATH=str(TESTS_DIR))
    env.pop("DBUS_SESSION_BUS_ADDRESS", None)
    proc = subprocess.run([sys.executable, "-m", "support.secret_service", "--", sys.executable, "-c", script],
                          env=env, capture_output=True, text=True, timeout=60)
    # Exit status of the inner command is passed through.
    assert proc.returncode == 7, proc.stderr


# ---------------------------------------------------------------------------
# Local HTTP server
# ---------------------------------------------------------------------------


@check("the local HTTP server serves its pages and folder, and nothing outside it",
       "the loopback interface must accept connections on 127.0.0.1")
def http_server_routes(tmp_path):
    root = tmp_path / "root"
    (root / "dir").mkdir(parents=True)
    (root / "dir/index.html").write_text("from disk")
    (tmp_path / "secret.txt").write_text("outside the root")
    routes = [
        ("/page.html", 200, "<p>在内存中</p>"),
        ("/page.html?q=1", 200, "<p>在内存中</p>"),
        ("/dir/", 200, "from disk"),
        ("/dir/index.html", 200, "from disk"),
        ("/missing", 404, None),
        ("/../secret.txt", 404, None),
        ("/dir/..%2f..%2fsecret.txt", 404, None),
    ]
    with LocalHTTPServer(root=root, pages={"/page.html": "<p>在内存中</p>"}) as srv:
        for path, status, body in routes:
            try:
                with urllib.request.urlopen(srv.url(path), timeout=10) as resp:
                    got_status, got = resp.status, resp.read().decode()
            except urllib.error.HTTPError as err:
                got_status, got = err.code, None
            assert got_status == status, (path, got_status)
            if body is not None:
                assert got == body, (path, got)


# ---------------------------------------------------------------------------
# Chromium via Playwright
# ---------------------------------------------------------------------------

CHROMIUM_REMEDY = (f"the suite drives Debian's Chromium ({CHROMIUM_PATH}, or KESTROW_CHROMIUM) through "
                   "the playwright package in .venv, with fonts-liberation and fonts-wqy-microhei: run "
                   "`bash tools/bootstrap.sh` as root")

TALL_PAGE = """<!doctype html>
<html><head><meta charset="utf-8"><title>tall</title>
<style>body{margin:0;font-family:sans-serif} .blk{height:%dpx;border-bottom:4px solid #246}</style>
</head><body>
<h1>Kestrow archive check — 归档测试</h1>
%s
</body></html>
"""


@check("Playwright drives the expected Chromium", CHROMIUM_REMEDY)
def browser_is_debian_chromium(browser):
    async def version(b):
        return b.version

    reported = subprocess.run([CHROMIUM_PATH, "--version"], capture_output=True, text=True, timeout=60).stdout
    launched = browser.run(version)
    assert launched in reported, f"Playwright launched {launched!r}; {CHROMIUM_PATH} says {reported.strip()!r}"


@check("full-page screenshots of served pages are whole PNGs as tall as the page", CHROMIUM_REMEDY)
def full_page_screenshot(browser):
    height = DEFAULT_VIEWPORT["height"]
    with LocalHTTPServer() as server:
        for blocks in (3, 6):
            body = "".join(f'<div class="blk">section {i} 第{i}节</div>' for i in range(blocks))
            url = server.url(server.add(f"/tall-{blocks}.html", TALL_PAGE % (height // 2, body)))

            async def shoot(b):
                async with new_page(b) as page:
                    resp = await page.goto(url, wait_until="load")
                    title = await page.title()
                    doc_height = await page.evaluate("document.documentElement.scrollHeight")
                    png = await page.screenshot(full_page=True, type="png")
                    return resp.status, title, doc_height, png

            status, title, doc_height, png = browser.run(shoot)
            assert status == 200 and title == "tall"
            width, png_height = png_size(png)
            assert width == DEFAULT_VIEWPORT["width"]
            assert png_height == doc_height > height
            assert png_height >= blocks * height // 2


# ---------------------------------------------------------------------------


def main() -> int:
    import inspect
    import tempfile
    from contextlib import ExitStack

    failed = []
    with ExitStack() as stack:
        resources = {}

        def resource(name):
            # Made on first use, so that a missing daemon fails its own checks and no others.
            if name not in resources:
                if name == "service":
                    resources[name] = stack.enter_context(SecretService())
                elif name == "browser":
                    resources[name] = stack.enter_context(BrowserThread())
                else:
                    resources[name] = Path(stack.enter_context(tempfile.TemporaryDirectory()))
            return resources[name]

        for what, remedy, func in CHECKS:
            try:
                func(*(resource(p) for p in inspect.signature(func).parameters))
            except Exception as exc:
                failed.append((what, remedy))
                detail = "".join(traceback.format_exception_only(type(exc), exc)).strip()
                where = traceback.extract_tb(exc.__traceback__)[-1]
                print(f"preflight: FAIL  {what}\n           {detail} ({Path(where.filename).name}:{where.lineno})")
            else:
                print(f"preflight: ok    {what}")
    if failed:
        print("\npreflight: this machine is not ready for the test suite:")
        for remedy in dict.fromkeys(remedy for _, remedy in failed):
            print(f"  - {remedy}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
