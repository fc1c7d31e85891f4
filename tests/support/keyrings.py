"""In-process keyring backends for the store's tests, installed through keyring's own API.

``MemoryKeyring`` keeps entries in a dict and records every call; ``RaisingKeyring`` fails each
call with a given exception. The ``memory_keyring`` fixture installs a fresh ``MemoryKeyring``
with ``keyring.set_keyring`` and puts the previous backend back afterwards.
"""

from __future__ import annotations

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
