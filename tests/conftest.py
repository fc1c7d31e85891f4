"""Shared test setup: the stand-in host package on the path, helpers to run code in a fresh
interpreter, a store directory per test and an archiver over a fresh root per test."""

import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
HOST = ROOT / "host"
# A development build can be tested without installing it: KESTROW_DEV_PATH names a folder that
# holds zantor/kestrow/... with the freshly built modules.
DEV_PATH = os.environ.get("KESTROW_DEV_PATH")

for entry in (str(ROOT / "tests"), str(HOST), DEV_PATH):
    if entry and entry not in sys.path:
        sys.path.insert(0, entry)


from support.fixtures import *  # noqa: E402,F401,F403  (secret service, HTTP server, browser)


def on_disk(text):
    """The bytes a text write leaves on this platform: UTF-8, each newline the platform's own
    (CRLF on Windows), as the modules' files are written."""
    return text.replace("\n", os.linesep).encode("utf-8")


def symlink_or_skip(link, target):
    """Makes `link` point at `target`, or skips where this system makes none: Windows without the
    privilege refuses, and Wine reports success without making one."""
    try:
        link.symlink_to(target)
    except OSError as exc:
        pytest.skip(f"no symbolic links on this system: {exc}")
    if not link.is_symlink():
        pytest.skip("this system reported a symbolic link it did not make (Wine)")


def child_env(**extra):
    """Environment for a child interpreter that sees the same modules as the tests."""
    env = dict(os.environ)
    paths = [str(extra.pop("PYTHONPATH"))] if "PYTHONPATH" in extra else []
    paths += [p for p in (DEV_PATH, str(HOST), str(ROOT / "tests")) if p]
    if env.get("PYTHONPATH"):
        paths.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(paths)
    env.update({k: str(v) for k, v in extra.items()})
    return env


def run_python(code, *, check=True, timeout=120, **env):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess (text mode)."""
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=child_env(**env),
    )
    if check and proc.returncode != 0:
        raise AssertionError(f"child failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc


@pytest.fixture
def shared_tmp():
    """A temporary directory that other users can pass through (tmp_path's parents are root's)."""
    top = tempfile.mkdtemp()
    os.chmod(top, 0o711)
    yield Path(top)
    shutil.rmtree(top)


@pytest.fixture
def lockmere():
    import zantor.kestrow.services.lockmere as module

    return module


@pytest.fixture
def store_parent(tmp_path):
    """A parent directory for a store; the store itself lives in its "kestrow" folder."""
    return tmp_path / "config"


@pytest.fixture
def store(lockmere, store_parent):
    return lockmere.KestrowLockmere(base_dir=store_parent)


@pytest.fixture
def archiver():
    import zantor.kestrow.scraping.archiver as module

    return module


@pytest.fixture
def root(tmp_path):
    return tmp_path / "archive"


@pytest.fixture
def archive(archiver, root):
    return archiver.KestrowArchiver(root)
