"""Typed host code using both modules, as the host's own commands would. Nothing here runs on
import; the test suite has mypy --strict and basedpyright (strict) check this file against the
installed wheel's stubs (tests/test_typing.py), and so can you, from the project root:

    .venv/bin/mypy
    .venv/bin/basedpyright
"""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING, Any

from playwright.async_api import Locator, Page

from zantor.kestrow.domain.exceptions import InvalidCollectOptionError
from zantor.kestrow.scraping.archiver import KestrowArchiver
from zantor.kestrow.services.lockmere import KestrowLockmere

if TYPE_CHECKING:  # shapes that only the stubs define
    from zantor.kestrow.scraping.archiver import CapturableLocator, CapturablePage
    from zantor.kestrow.services.lockmere import FetchedAccount, ListedAccount, SavedAccount


def remember(store: KestrowLockmere, name: str, username: str, password: str) -> str:
    saved: SavedAccount = store.save(name=name, username=username, password=password)
    return saved["name"] + ":" + saved["username"]


def account_names(store: KestrowLockmere) -> list[str]:
    return [account["name"] for account in store.list()]


def usernames(store: KestrowLockmere) -> dict[str, str]:
    listed: list[ListedAccount] = store.list()
    return {a["name"]: a["username"] for a in listed if a["username"] is not None}


def login_for(store: KestrowLockmere, name: str) -> tuple[str, str] | None:
    try:
        account: FetchedAccount = store.get(name=name)
    except InvalidCollectOptionError:
        return None
    password: str = account["password"]
    return account["username"] or "", password


def forget(store: KestrowLockmere, name: str) -> bool:
    return store.delete(name=name)


async def archive_orders(page: Page, root: Path, rows: list[dict[str, Any]]) -> dict[str, str]:
    archiver = KestrowArchiver(root)
    paths = await archiver.archive_page(page, section="orders")
    paths |= await archiver.archive_locator(page.locator("#orders"), section="orders/table")
    paths["orders_data"] = archiver.save_json(section="orders", filename="orders.json", payload={"rows": rows})
    return paths


async def archive_either(archiver: KestrowArchiver, page: CapturablePage, element: CapturableLocator,
                         locator: Locator) -> list[dict[str, str]]:
    pending = archiver.archive_page(page, section="page")  # a coroutine, awaited later
    return [await pending, await archiver.archive_locator(element, section="element"),
            await archiver.archive_locator(locator, section="locator")]


def markdown_of(html: str, root: Path) -> str:
    return KestrowArchiver(root).html_to_markdown(html)


def store_under(config_dir: Path | None = None) -> tuple[KestrowLockmere, Path]:
    store = KestrowLockmere(base_dir=config_dir)
    return store, store.meta_path
