"""Keyring backends for the store's tests, installed through keyring's own API.

``MemoryKeyring`` keeps entries in a dict and records every call; ``RaisingKeyring`` fails each
call with a given exception; ``DirectoryKeyring`` keeps entries as files, shared by every process
that opens the same directory. The ``memory_keyring`` fixture installs a fresh ``MemoryKeyring``
with ``keyring.set_keyring`` and puts the previous backend back afterwards.
"""

from __future__ import annotations

import json
import os
from pathlib import Path

import keyring
import keyring.backend
import keyring.errors
import pytest


class MemoryKeyring(keyring.backend.KeyringBackend):
    priority = 0  # never chosen by keyring's own detection; the tests install it explicitly

    def __init__(self):
        super().__init__()
        self.entries: dict[tuple[str, str], str] = {}
        self.calls: list[tuple] = []

    def set_password(self, service, username, password):
        self.calls.append(("set_password", service, username, password))
        self.entries[service, username] = password

    def get_password(self, service, username):
        self.calls.append(("get_password", service, username))
        return self.entries.get((service, username))

    def delete_password(self, service, username):
        self.calls.append(("delete_password", service, username))
        if self.entries.pop((service, username), None) is None:
            raise keyring.errors.PasswordDeleteError("no such password")


class RaisingKeyring(keyring.backend.KeyringBackend):
    priority = 0  # never chosen by keyring's own detection; the tests install it explicitly

    def __init__(self, error: BaseException):
        super().__init__()
        self.error = error

    def fail(self):
        # The same instance every time, without the tracebacks of earlier raises.
        raise self.error.with_traceback(None)

    def set_password(self, service, username, password):
        self.fail()

    def get_password(self, service, username):
        self.fail()

    def delete_password(self, service, username):
        self.fail()


class DirectoryKeyring(keyring.backend.KeyringBackend):
    """One file per entry in `folder`, for several processes at once. Every change is also
    appended to `folder`/log as one line, [pid, call, username, password], in the order the
    changes happen (each line one write to a file opened for appending)."""

    priority = 0  # never chosen by keyring's own detection; the tests install it explicitly

    def __init__(self, folder):
        super().__init__()
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)

    def entry(self, service, username):
        return self.folder / f"{service}\0{username}".encode().hex()  # never "log"

    def record(self, *fields):
        fd = os.open(self.folder / "log", os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600)
        try:
            os.write(fd, (json.dumps([os.getpid(), *fields]) + "\n").encode())
        finally:
            os.close(fd)

    def set_password(self, service, username, password):
        self.record("set_password", username, password)
        temporary = self.entry(service, username).with_suffix(f".{os.getpid()}")
        temporary.write_text(password, encoding="utf-8")
        os.replace(temporary, self.entry(service, username))

    def get_password(self, service, username):
        try:
            return self.entry(service, username).read_text(encoding="utf-8")
        except FileNotFoundError:
            return None

    def delete_password(self, service, username):
        self.record("delete_password", username, None)
        try:
            self.entry(service, username).unlink()
        except FileNotFoundError:
            raise keyring.errors.PasswordDeleteError("no such password") from None

    def entries(self):
        """{(service, username): password} of every entry."""
        found = {}
        for path in self.folder.iterdir():
            if path.name != "log" and not path.suffix:
                service, username = bytes.fromhex(path.name).decode().split("\0")
                found[service, username] = path.read_text(encoding="utf-8")
        return found

    def log(self):
        path = self.folder / "log"
        return [json.loads(line) for line in path.read_text().splitlines()] if path.exists() else []


def install(backend):
    """Makes `backend` keyring's current backend; returns the one it replaces."""
    previous = keyring.get_keyring()
    keyring.set_keyring(backend)
    return previous


@pytest.fixture
def memory_keyring():
    backend = MemoryKeyring()
    previous = install(backend)
    yield backend
    keyring.set_keyring(previous)
