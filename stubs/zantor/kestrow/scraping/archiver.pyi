"""Kestrow页面归档工具。"""

import json as json
from collections.abc import Awaitable, Coroutine
from pathlib import Path as Path
from typing import Any as Any, Literal, Protocol, type_check_only

# What the captures need of the objects they are given: exactly the calls they make, each of whose
# results they await. A page or locator of the page library's asynchronous interface has them. The
# two protocols exist only for type checkers: import them under `if TYPE_CHECKING:`.
@type_check_only
class CapturablePage(Protocol):
    """archive_page() 所用的页面对象。"""

    def screenshot(self, *, path: str, full_page: bool) -> Awaitable[object]: ...
    def content(self) -> Awaitable[str]: ...

@type_check_only
class CapturableLocator(Protocol):
    """archive_locator() 所用的页面元素定位对象。"""

    def wait_for(self, *, state: Literal["visible"], timeout: int) -> Awaitable[object]: ...
    def screenshot(self, *, path: str) -> Awaitable[object]: ...
    def evaluate(self, expression: str, /) -> Awaitable[str]: ...

class KestrowArchiver:
    """保存截图、HTML、Markdown 和 JSON 文件。"""

    root_dir: Path
    def __init__(self, root_dir: Path) -> None: ...
    # Calling a capture returns a coroutine object of the module's own type, not the language's
    # (types.CoroutineType), hence no `async def` here.
    def archive_page(self, page: CapturablePage, *, section: str) -> Coroutine[Any, Any, dict[str, str]]:
        """归档当前页面状态。

        Args:
            page: Playwright page 对象。
            section: 归档分区名称。
        """
    def archive_locator(self, locator: CapturableLocator, *, section: str) -> Coroutine[Any, Any, dict[str, str]]:
        """归档指定页面元素。"""
    def html_to_markdown(self, html: str) -> str:
        """将 HTML 转为 Markdown。"""
    def save_json(self, *, section: str, filename: str, payload: dict[str, Any]) -> str:
        """保存 JSON 文件并返回路径。"""
