"""Kestrow页面归档工具。"""

import json as json
from pathlib import Path as Path
from typing import Any as Any

class KestrowArchiver:
    """保存截图、HTML、Markdown 和 JSON 文件。"""

    root_dir: Path
    def __init__(self, root_dir: Path) -> None: ...
    async def archive_page(self, page: Any, *, section: str) -> dict[str, str]:
        """归档当前页面状态。

        Args:
            page: Playwright page 对象。
            section: 归档分区名称。
        """
    async def archive_locator(self, locator: Any, *, section: str) -> dict[str, str]:
        """归档指定页面元素。"""
    def html_to_markdown(self, html: str) -> str:
        """将 HTML 转为 Markdown。"""
    def save_json(self, *, section: str, filename: str, payload: dict[str, Any]) -> str:
        """保存 JSON 文件并返回路径。"""
