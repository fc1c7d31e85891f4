"""One call of every public method of both installed modules, with an in-process keyring and a
stand-in page: the check a cross-built wheel gets where it runs only under emulation.

    python smoke.py        (host/ and pages.py beside this file)

Prints one line starting with "smoke: " when every call gave what it should; exits non-zero
otherwise.
"""

import asyncio
import json
import platform
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE / "host"), str(HERE)]

import keyring  # noqa: E402
import keyring.backend  # noqa: E402

from pages import Page  # noqa: E402


class Memory(keyring.backend.KeyringBackend):
    priority = 0

    def __init__(self):
        super().__init__()
        self.entries = {}

    def set_password(self, service, username, password):
        self.entries[service, username] = password

    def get_password(self, service, username):
        return self.entries.get((service, username))

    def delete_password(self, service, username):
        del self.entries[service, username]


keyring.set_keyring(Memory())

from zantor.kestrow.scraping.archiver import KestrowArchiver  # noqa: E402
from zantor.kestrow.services.lockmere import KestrowLockmere  # noqa: E402


def expect(what, got, want):
    if got != want:
        sys.exit(f"smoke: FAIL {what}: {got!r}, expected {want!r}")


with tempfile.TemporaryDirectory() as tmp:
    store = KestrowLockmere(base_dir=Path(tmp) / "config")
    expect("save", store.save(name="main", username="alice", password="pw"), {"name": "main", "username": "alice"})
    expect("list", store.list(), [{"name": "main", "username": "alice"}])
    expect("get", store.get(name="main"), {"name": "main", "username": "alice", "password": "pw"})
    expect("delete", store.delete(name="main"), True)

    root = Path(tmp) / "archive"
    archiver = KestrowArchiver(root)
    saved = archiver.save_json(section="s", filename="data.json", payload={"键": [1, 2]})
    expect("save_json", json.loads(Path(saved).read_text(encoding="utf-8")), {"键": [1, 2]})
    expect("html_to_markdown", archiver.html_to_markdown("<h1>Kestrow</h1><p>ok</p>"), "# Kestrow\n\nok")
    page = Page(html="<h1>Page</h1>", writes_png=True)
    paths = asyncio.run(archiver.archive_page(page, section="p"))
    expect("archive_page", Path(paths["p_markdown"]).read_text(encoding="utf-8"), "# Page")
    paths = asyncio.run(archiver.archive_locator(page, section="l"))
    expect("archive_locator", sorted(paths), ["l_html", "l_markdown", "l_screenshot"])

print(f"smoke: both modules, every public method, on {platform.machine()} Python {platform.python_version()}")
