"""A private, throw-away Secret Service for tests and demos.

``SecretService`` starts its own D-Bus session bus and a ``gnome-keyring-daemon``
running only the *secrets* component. Everything lives in a temporary
directory, so the real user's keyrings are never read or written. The daemon
is started with ``--unlock``; on an empty data directory that creates the
``login`` keyring with the given password, leaves it unlocked and makes it
the ``default`` alias, which is what ``keyring``'s SecretService backend uses.
No password prompt is ever needed (there is no prompter on a headless box).

Usage::

    from support.secret_service import SecretService

    with SecretService() as svc:           # sets DBUS_SESSION_BUS_ADDRESS
        import keyring.backends.SecretService as ss
        kr = ss.Keyring()
        kr.set_password("svc", "user", "pw")

    # or run a command inside one:
    #   python -m support.secret_service -- python examples/demo.py
"""

from __future__ import annotations

import argparse
import ctypes
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Mapping, Sequence

__all__ = [
    "SecretService",
    "SecretServiceError",
    "DEFAULT_PASSWORD",
    "refresh_keyring_backend",
    "main",
]

DEFAULT_PASSWORD = "kestrow-test-keyring"
SECRETS_BUS_NAME = "org.freedesktop.secrets"
DEFAULT_ALIAS_PATH = "/org/freedesktop/secrets/aliases/default"

# A minimal session bus: no service directories, so nothing gets activated
# behind our back (in particular not a second keyring daemon with the real
# user's environment, nor a password prompter).
_BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""

_PR_SET_PDEATHSIG = 1


class SecretServiceError(RuntimeError):
    """The private bus or keyring daemon could not be brought up."""


def _die_with_parent() -> None:  # pragma: no cover - runs in the child
    # If the test process is killed outright, take the daemons with it.
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM)
    except Exception:
        pass


def _short_tmpdir() -> str:
    # AF_UNIX paths are limited to ~107 bytes; keep the socket path short.
    base = tempfile.gettempdir()
    if len(base) > 60:
        base = "/tmp"
    return tempfile.mkdtemp(prefix="kestrow-ss-", dir=base)


def refresh_keyring_backend() -> None:
    """Make an already-imported ``keyring`` notice a bus that appeared later.

    ``keyring`` probes the available backends once per process and caches the
    answer. If it was imported (and asked) before the private service started,
    it would keep using the fail backend. Harmless when keyring is unused.
    """
    if "keyring" not in sys.modules:
        return
    import keyring.backend
    import keyring.core

    reset = getattr(keyring.backend.get_all_keyring, "reset", None)
    if reset is not None:
        try:
            reset()
        except KeyError:  # nothing cached yet
            pass
    keyring.core.init_backend()


class SecretService:
    """Private D-Bus session bus + gnome-keyring secrets daemon.

    Parameters
    ----------
    password:
        Password of the ``login`` keyring that becomes the default collection.
    startup_timeout:
        Seconds to wait for each daemon to come up.
    set_environ:
        While running, export ``DBUS_SESSION_BUS_ADDRESS`` into ``os.environ``
        (restored on stop). Turn off to only use :attr:`env` / :meth:`run`.
    """

    def __init__(
        self,
        password: str = DEFAULT_PASSWORD,
        *,
        startup_timeout: float = 15.0,
        set_environ: bool = True,
    ) -> None:
        self.password = password
        self.startup_timeout = startup_timeout
        self.set_environ = set_environ
        self.tmpdir: Path | None = None
        self.address: str | None = None
        self._bus: subprocess.Popen | None = None
        self._keyring: subprocess.Popen | None = None
        self._saved_env: dict[str, str | None] = {}

    # -- public API ---------------------------------------------------------

    @property
    def running(self) -> bool:
        return (
            self._bus is not None
            and self._bus.poll() is None
            and self._keyring is not None
            and self._keyring.poll() is None
        )

    @property
    def env(self) -> dict[str, str]:
        """Variables a client process needs to reach this service."""
        if self.address is None:
            raise SecretServiceError("secret service is not running")
        return {"DBUS_SESSION_BUS_ADDRESS": self.address}

    def child_env(self, base: Mapping[str, str] | None = None) -> dict[str, str]:
        """A full environment for a subprocess (``base`` defaults to os.environ)."""
        env = dict(os.environ if base is None else base)
        env.update(self.env)
        return env

    def run(self, cmd: Sequence[str], **kwargs) -> subprocess.CompletedProcess:
        """``subprocess.run`` with this service's bus in the environment."""
        kwargs["env"] = self.child_env(kwargs.get("env"))
        return subprocess.run(list(cmd), **kwargs)

    def start(self) -> "SecretService":
        if self._bus is not None:
            raise SecretServiceError("already started")
        for tool in ("dbus-daemon", "gnome-keyring-daemon"):
            if shutil.which(tool) is None:
                raise SecretServiceError(
                    f"{tool} not found; run tools/bootstrap.sh first"
                )
        try:
            self.tmpdir = Path(_short_tmpdir())
            self._start_bus()
            self._start_keyring()
            self._check_default_collection()
        except BaseException:
            self.stop()
            raise
        if self.set_environ:
            self._export_env()
            refresh_keyring_backend()
        return self

    def stop(self) -> None:
        self._restore_env()
        for proc in (self._keyring, self._bus):
            if proc is None or proc.poll() is not None:
                continue
            proc.terminate()
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait(timeout=5)
        self._keyring = self._bus = None
        self.address = None
        if self.tmpdir is not None:
            shutil.rmtree(self.tmpdir, ignore_errors=True)
            self.tmpdir = None
        if self.set_environ:
            refresh_keyring_backend()

    def __enter__(self) -> "SecretService":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    # -- internals ----------------------------------------------------------

    def _log_tail(self, name: str) -> str:
        assert self.tmpdir is not None
        try:
            text = (self.tmpdir / name).read_text(errors="replace")
        except OSError:
            return ""
        return text[-2000:]

    def _daemon_env(self) -> dict[str, str]:
        assert self.tmpdir is not None
        home = self.tmpdir / "home"
        runtime = self.tmpdir / "run"
        for d in (home, runtime):
            d.mkdir(mode=0o700, exist_ok=True)
        env = {
            k: v
            for k, v in os.environ.items()
            if not k.startswith(("DBUS_", "GNOME_KEYRING", "XDG_", "SSH_AUTH"))
        }
        env.update(
            HOME=str(home),
            XDG_RUNTIME_DIR=str(runtime),
            XDG_DATA_HOME=str(home / ".local/share"),
            XDG_CONFIG_HOME=str(home / ".config"),
            XDG_CACHE_HOME=str(home / ".cache"),
            LC_ALL="C",
        )
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
        return env

    def _start_bus(self) -> None:
        assert self.tmpdir is not None
        socket = self.tmpdir / "bus"
        config = self.tmpdir / "bus.conf"
        config.write_text(_BUS_CONFIG.format(socket=socket))
        with open(self.tmpdir / "dbus.log", "wb") as log:
            self._bus = subprocess.Popen(
                ["dbus-daemon", f"--config-file={config}", "--nofork",
                 "--nopidfile", "--print-address=1"],
                stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE,
                stderr=log,
                env=self._daemon_env(),
                preexec_fn=_die_with_parent,
            )
        assert self._bus.stdout is not None
        # The daemon prints its address once it is listening.
        line = _readline_with_timeout(self._bus, self.startup_timeout)
        self._bus.stdout.close()
        if not line:
            raise SecretServiceError(
                "dbus-daemon did not start:\n" + self._log_tail("dbus.log")
            )
        self.address = line.strip()

    def _start_keyring(self) -> None:
        assert self.tmpdir is not None and self.address is not None
        env = self._daemon_env()
        env["DBUS_SESSION_BUS_ADDRESS"] = self.address
        with open(self.tmpdir / "keyring.log", "wb") as log:
            self._keyring = subprocess.Popen(
                ["gnome-keyring-daemon", "--foreground",
                 "--components=secrets", "--unlock"],
                stdin=subprocess.PIPE,
                stdout=log,
                stderr=subprocess.STDOUT,
                env=env,
                preexec_fn=_die_with_parent,
            )
        assert self._keyring.stdin is not None
        # --unlock reads the password up to EOF.
        self._keyring.stdin.write(self.password.encode())
        self._keyring.stdin.close()

        deadline = time.monotonic() + self.startup_timeout
        while not self._name_has_owner(SECRETS_BUS_NAME):
            if self._keyring.poll() is not None:
                raise SecretServiceError(
                    f"gnome-keyring-daemon exited with {self._keyring.returncode}:\n"
                    + self._log_tail("keyring.log")
                )
            if time.monotonic() > deadline:
                raise SecretServiceError(
                    "gnome-keyring-daemon did not claim "
                    f"{SECRETS_BUS_NAME} in {self.startup_timeout}s:\n"
                    + self._log_tail("keyring.log")
                )
            time.sleep(0.05)

    def _connect(self):
        from jeepney.io.blocking import open_dbus_connection

        assert self.address is not None
        return open_dbus_connection(self.address)

    def _name_has_owner(self, name: str) -> bool:
        from jeepney.bus_messages import message_bus

        with self._connect() as conn:
            reply = conn.send_and_get_reply(message_bus.NameHasOwner(name), timeout=5)
        return bool(reply.body[0])

    def _check_default_collection(self) -> None:
        """The default alias must exist and be unlocked, or clients would
        need a prompt that can never be answered here."""
        import secretstorage
        from secretstorage.exceptions import ItemNotFoundException

        with self._connect() as conn:
            try:
                coll = secretstorage.Collection(conn, DEFAULT_ALIAS_PATH)
            except ItemNotFoundException:
                raise SecretServiceError(
                    "keyring daemon has no default collection:\n"
                    + self._log_tail("keyring.log")
                ) from None
            if coll.is_locked():
                raise SecretServiceError(
                    "default collection is locked (wrong password for an "
                    "existing keyring?)"
                )

    # -- environment ----------------------------------------------------------

    def _export_env(self) -> None:
        for key, value in self.env.items():
            self._saved_env.setdefault(key, os.environ.get(key))
            os.environ[key] = value

    def _restore_env(self) -> None:
        for key, old in self._saved_env.items():
            if old is None:
                os.environ.pop(key, None)
            else:
                os.environ[key] = old
        self._saved_env.clear()


def _readline_with_timeout(proc: subprocess.Popen, timeout: float) -> str:
    import selectors

    assert proc.stdout is not None
    buf = b""
    deadline = time.monotonic() + timeout
    with selectors.DefaultSelector() as sel:
        sel.register(proc.stdout, selectors.EVENT_READ)
        while b"\n" not in buf:
            left = deadline - time.monotonic()
            if left <= 0 or not sel.select(left):
                break
            chunk = os.read(proc.stdout.fileno(), 4096)
            if not chunk:
                break
            buf += chunk
    return buf.decode(errors="replace").split("\n", 1)[0] if b"\n" in buf else ""


def main(argv: Sequence[str] | None = None) -> int:
    """``python -m support.secret_service [--password PW] [-- CMD ARGS...]``

    With a command: run it with DBUS_SESSION_BUS_ADDRESS pointing at a fresh
    private secret service and exit with its status. Without one: print the
    ``export`` line and keep the service up until interrupted.
    """
    parser = argparse.ArgumentParser(prog="python -m support.secret_service")
    parser.add_argument("--password", default=DEFAULT_PASSWORD)
    parser.add_argument("cmd", nargs=argparse.REMAINDER)
    args = parser.parse_args(argv)
    cmd = list(args.cmd)
    if cmd and cmd[0] == "--":
        cmd = cmd[1:]

    with SecretService(args.password) as svc:
        if cmd:
            return subprocess.call(cmd, env=svc.child_env())
        print(f"export DBUS_SESSION_BUS_ADDRESS='{svc.address}'", flush=True)
        stop = False

        def _handler(signum, frame):
            nonlocal stop
            stop = True

        signal.signal(signal.SIGTERM, _handler)
        try:
            while not stop and svc.running:
                time.sleep(0.5)
        except KeyboardInterrupt:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
