"""Kestrow账号凭据存储。"""

import builtins
import json as json
import stat as stat
from os import PathLike
from pathlib import Path as Path
from types import ModuleType
from typing import Any, Final, TypedDict, type_check_only

from zantor.config import CONFIG_DIR as CONFIG_DIR
from zantor.kestrow.domain.exceptions import (
    InvalidCollectOptionError as InvalidCollectOptionError,
    KestrowDependencyError as KestrowDependencyError,
)

# Bound only when importing the keyring package succeeded.
keyring: ModuleType
_KEYRING_AVAILABLE: bool
_KEYRING_SERVICE: Final[str]

# The shapes of the results. They exist only for type checkers (the module defines no such classes):
# import them under `if TYPE_CHECKING:` to annotate with them.
@type_check_only
class SavedAccount(TypedDict):
    """save() 的结果。"""

    name: str
    username: str

@type_check_only
class ListedAccount(TypedDict):
    """list() 的一项；账号条目没有用户名时为 None。"""

    name: str
    username: str | None

@type_check_only
class FetchedAccount(TypedDict):
    """get() 的结果；账号条目没有用户名时为 None。"""

    name: str
    username: str | None
    password: str

class KestrowLockmere:
    """保存Kestrow账号名与用户名，密码存入系统凭据管理器。"""

    base_dir: Path
    meta_path: Path

    def __init__(self, *, base_dir: str | PathLike[str] | None = None) -> None: ...
    def save(self, *, name: str, username: str, password: str) -> SavedAccount:
        """保存命名账号。"""
    def list(self) -> builtins.list[ListedAccount]:
        """列出已保存账号，不返回密码。"""
    def delete(self, *, name: str) -> bool:
        """删除命名账号。"""
    def get(self, *, name: str) -> FetchedAccount:
        """读取命名账号和密码。"""
    def _load_accounts(self) -> dict[str, Any]:
        """读取账号元数据。"""
    def _save_accounts(self, accounts: dict[str, Any]) -> None:
        """保存账号元数据。"""
    def _validate_name(self, name: str) -> None:
        """校验账号别名。"""
    def _keyring_account(self, name: str) -> str:
        """生成 keyring account。"""
    def _require_keyring(self) -> ModuleType:
        """获取 keyring 模块。"""
    def _set_password(self, name: str, password: str) -> None:
        """写入系统凭据管理器。"""
    def _get_password(self, name: str) -> str | None:
        """读取系统凭据管理器密码。"""
    def _delete_password(self, name: str) -> None:
        """删除系统凭据管理器密码。"""
