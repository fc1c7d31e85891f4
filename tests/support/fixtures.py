"""Pytest fixtures for the test suite. Make them visible with
``from support.fixtures import *`` in a conftest.py, or import the ones a
module needs by name.

* ``secret_service`` (session): a private D-Bus bus + unlocked gnome-keyring;
  DBUS_SESSION_BUS_ADDRESS points at it for the whole session.
* ``secret_keyring``: a ``keyring`` SecretService backend bound to it.
* ``http_server`` (session) / ``make_http_server``: local pages on 127.0.0.1.
* ``browser`` (session): a shared ``BrowserThread``; tests stay synchronous and
  call ``browser.run(async_fn, *args)`` to get ``await async_fn(b, *args)``.
"""

from __future__ import annotations

import importlib.util
import itertools
import os
import shutil
from typing import Iterator

import pytest

from .browser import CHROMIUM_PATH, BrowserThread, LocalHTTPServer
from .secret_service import SecretService

__all__ = [
    "secret_service",
    "secret_keyring",
    "unique_name",
    "http_server",
    "make_http_server",
    "browser",
]

_counter = itertools.count()


def require(missing: list[str]) -> None:
    """Skips a test whose outside programs are not on this machine (a wheel builder's test run, a
    non-Linux runner). Where tools/test.sh set the machine up (KESTROW_FULL_MACHINE=1), a missing
    program is an error instead: it must never turn the real suite into skips."""
    if not missing:
        return
    message = f"needs {', '.join(missing)}"
    if os.environ.get("KESTROW_FULL_MACHINE") == "1":
        pytest.fail(message + " (tools/bootstrap.sh installs it)", pytrace=False)
    pytest.skip(message)


@pytest.fixture(scope="session")
def secret_service() -> Iterator[SecretService]:
    require([tool for tool in ("dbus-daemon", "gnome-keyring-daemon") if shutil.which(tool) is None])
    with SecretService() as svc:
        yield svc


@pytest.fixture
def secret_keyring(secret_service: SecretService):
    import keyring.backends.SecretService

    return keyring.backends.SecretService.Keyring()


@pytest.fixture
def unique_name(request: pytest.FixtureRequest) -> str:
    """A service name no other test (or earlier run) has used."""
    return f"kestrow-test/{request.node.name}/{os.getpid()}/{next(_counter)}"


@pytest.fixture(scope="session")
def http_server() -> Iterator[LocalHTTPServer]:
    with LocalHTTPServer() as srv:
        yield srv


@pytest.fixture
def make_http_server():
    """Factory for extra servers, e.g. ``make_http_server(root=tmp_path)``."""
    started: list[LocalHTTPServer] = []

    def make(root=None, pages=None) -> LocalHTTPServer:
        srv = LocalHTTPServer(root=root, pages=pages).start()
        started.append(srv)
        return srv

    yield make
    for srv in started:
        srv.stop()


@pytest.fixture(scope="session")
def browser() -> Iterator[BrowserThread]:
    missing = [] if importlib.util.find_spec("playwright") else ["playwright"]
    if not (os.path.isfile(CHROMIUM_PATH) and os.access(CHROMIUM_PATH, os.X_OK)):
        missing.append(f"Chromium at {CHROMIUM_PATH}")
    require(missing)
    with BrowserThread() as bt:
        yield bt
