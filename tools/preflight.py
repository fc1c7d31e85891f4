"""Checks that the machine set up by tools/bootstrap.sh can run the real suite:
a working Secret Service behind `keyring`, and Debian's Chromium under
Playwright taking full-page screenshots of locally served pages."""

from __future__ import annotations

import os
import struct
import subprocess
import sys
import textwrap
import urllib.error
import urllib.request
import zlib
from pathlib import Path

import pytest

from support.browser import DEFAULT_VIEWPORT, LocalHTTPServer, new_page
from support.fixtures import (  # noqa: F401  (pytest fixtures)
    browser,
    http_server,
    secret_keyring,
    secret_service,
    unique_name,
)
from support.secret_service import SecretService

TESTS_DIR = Path(__file__).resolve().parent


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


# ---------------------------------------------------------------------------
# Secret Service / keyring
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "username, password",
    [
        ("alice", "s3cret"),
        ("bob@example.test", "pässwörd ✓ 密码"),
        ("carol", ""),
        ("dave", "x" * 4096),
        ("用户", "line1\nline2\ttab"),
    ],
)
def test_keyring_round_trip(secret_keyring, unique_name, username, password):
    from keyring.errors import PasswordDeleteError

    assert secret_keyring.get_password(unique_name, username) is None
    secret_keyring.set_password(unique_name, username, password)
    assert secret_keyring.get_password(unique_name, username) == password

    # Overwrite replaces rather than adding a second item.
    secret_keyring.set_password(unique_name, username, password + "!")
    assert secret_keyring.get_password(unique_name, username) == password + "!"

    secret_keyring.delete_password(unique_name, username)
    assert secret_keyring.get_password(unique_name, username) is None
    with pytest.raises(PasswordDeleteError):
        secret_keyring.delete_password(unique_name, username)


def test_keyring_entries_are_keyed_by_service_and_user(secret_keyring, unique_name):
    other = unique_name + "-other"
    secret_keyring.set_password(unique_name, "u", "one")
    secret_keyring.set_password(unique_name, "v", "two")
    secret_keyring.set_password(other, "u", "three")
    try:
        assert secret_keyring.get_password(unique_name, "u") == "one"
        assert secret_keyring.get_password(unique_name, "v") == "two"
        assert secret_keyring.get_password(other, "u") == "three"
        assert secret_keyring.get_password(other, "v") is None
    finally:
        for svc, user in ((unique_name, "u"), (unique_name, "v"), (other, "u")):
            secret_keyring.delete_password(svc, user)


def test_default_keyring_api_uses_private_service(secret_service, unique_name):
    import keyring

    from support.secret_service import refresh_keyring_backend

    refresh_keyring_backend()  # other tests may have swapped the process-wide backend
    assert type(keyring.get_keyring()).__module__ == "keyring.backends.SecretService"
    keyring.set_password(unique_name, "u", "pw")
    try:
        assert keyring.get_password(unique_name, "u") == "pw"
    finally:
        keyring.delete_password(unique_name, "u")


def test_service_is_private_and_cleans_up(secret_service):
    before = os.environ.get("DBUS_SESSION_BUS_ADDRESS")
    assert before == secret_service.address

    with SecretService(password="other") as inner:
        assert os.environ["DBUS_SESSION_BUS_ADDRESS"] == inner.address != before
        keyrings = inner.tmpdir / "home/.local/share/keyrings"
        assert (keyrings / "login.keyring").is_file()
        procs = (inner._bus, inner._keyring)
        tmpdir = inner.tmpdir

    assert os.environ.get("DBUS_SESSION_BUS_ADDRESS") == before
    assert all(p.poll() is not None for p in procs), "daemons left running"
    assert not tmpdir.exists()


def test_cli_runs_command_inside_service():
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
    proc = subprocess.run(
        [sys.executable, "-m", "support.secret_service", "--",
         sys.executable, "-c", script],
        env=env, capture_output=True, text=True, timeout=60,
    )
    # Exit status of the inner command is passed through.
    assert proc.returncode == 7, proc.stderr


# ---------------------------------------------------------------------------
# Local HTTP server
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "path, status, body",
    [
        ("/page.html", 200, "<p>在内存中</p>"),
        ("/page.html?q=1", 200, "<p>在内存中</p>"),
        ("/dir/", 200, "from disk"),
        ("/dir/index.html", 200, "from disk"),
        ("/missing", 404, None),
        ("/../secret.txt", 404, None),
        ("/dir/..%2f..%2fsecret.txt", 404, None),
    ],
)
def test_http_server_routes(tmp_path, path, status, body):
    root = tmp_path / "root"
    (root / "dir").mkdir(parents=True)
    (root / "dir/index.html").write_text("from disk")
    (tmp_path / "secret.txt").write_text("outside the root")

    with LocalHTTPServer(root=root, pages={"/page.html": "<p>在内存中</p>"}) as srv:
        try:
            with urllib.request.urlopen(srv.url(path), timeout=10) as resp:
                got_status, got = resp.status, resp.read().decode()
        except urllib.error.HTTPError as err:
            got_status, got = err.code, None
    assert got_status == status
    if body is not None:
        assert got == body


# ---------------------------------------------------------------------------
# Chromium via Playwright
# ---------------------------------------------------------------------------

TALL_PAGE = """<!doctype html>
<html><head><meta charset="utf-8"><title>tall</title>
<style>body{margin:0;font-family:sans-serif} .blk{height:%dpx;border-bottom:4px solid #246}</style>
</head><body>
<h1>Kestrow archive check — 归档测试</h1>
%s
</body></html>
"""


@pytest.mark.parametrize("blocks", [3, 6])
def test_full_page_screenshot_is_tall_png(browser, http_server, blocks):
    height = DEFAULT_VIEWPORT["height"]
    body = "".join(
        f'<div class="blk">section {i} 第{i}节</div>' for i in range(blocks)
    )
    path = http_server.add(f"/tall-{blocks}.html", TALL_PAGE % (height // 2, body))
    url = http_server.url(path)

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


def test_browser_is_debian_chromium(browser):
    from support.browser import CHROMIUM_PATH

    async def version(b):
        return b.version

    reported = subprocess.run(
        [CHROMIUM_PATH, "--version"], capture_output=True, text=True, timeout=60
    ).stdout
    assert browser.run(version) in reported
