"""The store end to end through the real keyring package and the system's own credential
manager: a real (private) Secret Service on Linux, the Credential Manager on Windows."""

import sys

import keyring
import pytest

from support.fixtures import secret_keyring, secret_service  # noqa: F401  (fixtures)
from zantor.kestrow.domain.exceptions import InvalidCollectOptionError


@pytest.fixture(params=["secret-service", "windows-credential-manager"])
def system_keyring(request):
    if request.param == "secret-service":
        if sys.platform == "win32":
            pytest.skip("the Secret Service is Linux's (D-Bus); Windows has the Credential Manager")
        backend = request.getfixturevalue("secret_keyring")
    else:
        if sys.platform != "win32":
            pytest.skip("the Credential Manager is Windows'")
        from keyring.backends.Windows import WinVaultKeyring

        backend = WinVaultKeyring()
    previous = keyring.get_keyring()
    keyring.set_keyring(backend)
    yield backend
    keyring.set_keyring(previous)


def test_round_trip_through_the_system_keyring(store, system_keyring):
    assert store.save(name="main", username="张三", password="s3cret 密码") == {"name": "main", "username": "张三"}
    store.save(name="alt", username="bob", password="other")
    assert system_keyring.get_password("zantor-kestrow", "account:main") == "s3cret 密码"
    assert "s3cret" not in store.meta_path.read_text(encoding="utf-8")
    assert store.get(name="main") == {"name": "main", "username": "张三", "password": "s3cret 密码"}
    assert [a["name"] for a in store.list()] == ["main", "alt"]

    assert store.delete(name="main") is True
    assert system_keyring.get_password("zantor-kestrow", "account:main") is None
    with pytest.raises(InvalidCollectOptionError, match="不存在"):
        store.get(name="main")
    assert store.delete(name="main") is False  # the missing entry is no error

    store.save(name="alt", username="bob", password="changed")
    assert store.get(name="alt")["password"] == "changed"
    store.delete(name="alt")
    assert system_keyring.get_password("zantor-kestrow", "account:alt") is None
