"""Plain-Python equivalents of KestrowLockmere and KestrowArchiver, for the benchmarks only.

Every public and private method does what the native one does, step for step and with the same
mended faults: accounts.json and the archive files are replaced atomically and durably (a
temporary file in the same directory, fsync, os.replace, fsync of the directory), with errors
that name the file written and a directory in the target's place refused before anything is
made; accounts.json is owner-only from the start, a damaged accounts.json is kept beside it as
"accounts.json.damaged[-N]" before a save replaces it, a byte-order mark in front of it is
accepted, anything but a regular file there holds no accounts, save and delete read it strictly
before they rewrite it, and every replacement removes the temporary files of killed writers,
refuses a read-only or non-regular target and keeps the owner and group; save and delete hold an
exclusive lock on ".accounts.lock" (and its directory) for the whole operation and get a shared
one, which forked children give up; section and file names may not lead out of the archive root.
Parameters annotated "str" or "dict" take exactly that type, checked inline as a plain-Python
author would, with the native module's message; the other argument errors are Python's own (same
exception type, the interpreter's wording).

Nothing in the modules imports this file.
"""

import errno
import json
import os
import stat
import threading
from pathlib import Path
from typing import Any

from zantor.config import CONFIG_DIR
from zantor.kestrow.domain.exceptions import InvalidCollectOptionError, KestrowDependencyError

try:
    import keyring
    import keyring.errors

    _KEYRING_AVAILABLE = True
except Exception:
    _KEYRING_AVAILABLE = False

_KEYRING_SERVICE = "zantor-kestrow"

if os.name == "nt":
    import msvcrt as _locking
else:
    import fcntl as _locking


# --- argument and result checks ------------------------------------------------------------------

_SUBCLASS_NOTE = "Instances of subclasses of built-in types are not accepted."


def _type_name(t):
    # The type's name as the interpreter prints it in messages (tp_name).
    if t.__flags__ & (1 << 9) or t.__module__ == "builtins":  # heap type, or a built-in
        return t.__name__
    return f"{t.__module__}.{t.__name__}"


def _wrong_type(param, expected, value):
    subclass = isinstance(value, expected)
    raise TypeError(
        f"Argument '{param[:200]}' has incorrect type (expected {expected.__name__}, "
        f"got {_type_name(type(value))[:200]})" + (". " + _SUBCLASS_NOTE if subclass else "")
    )


def _wrong_result(expected, value):
    raise TypeError(f"Expected {expected.__name__}, got {_type_name(type(value))[:200]}")


# --- atomic files ----------------------------------------------------------------------------------

_temp_counter = 0


def _os_flag(name):
    return getattr(os, name, 0)


def _exclusive_create_flags():
    return (_os_flag("O_WRONLY") | _os_flag("O_CREAT") | _os_flag("O_EXCL") | _os_flag("O_BINARY")
            | _os_flag("O_NOINHERIT") | _os_flag("O_CLOEXEC"))


def _link_target(path):
    target = os.fsdecode(path)
    if os.path.islink(target):
        target = os.path.realpath(target)
    return target


def _write_all(fd, data):
    remaining = data
    while len(remaining) > 0:
        n = os.write(fd, remaining)
        if n <= 0:
            raise OSError("short write")
        if n >= len(remaining):
            break
        remaining = remaining[n:]


def _write_and_close(fd, data):
    try:
        _write_all(fd, data)
        os.fsync(fd)
    except BaseException:
        try:
            os.close(fd)
        except BaseException:
            pass
        raise
    os.close(fd)


def _discard(temp):
    try:
        os.unlink(temp)
    except BaseException:
        pass


def _sync_directory(directory):
    """Flushes a directory (where renames and new names live); best effort where it cannot be."""
    if os.name == "nt":
        return
    try:
        fd = os.open(directory or os.curdir, os.O_RDONLY | _os_flag("O_DIRECTORY") | _os_flag("O_CLOEXEC"))
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError as error:
        if error.errno not in (errno.EINVAL, errno.ENOTSUP, errno.EOPNOTSUPP):
            raise
    finally:
        os.close(fd)


def _write_new_file(path, data):
    """Writes `data` to a new owner-only file at `path`; False when something stands there."""
    target = os.fsdecode(path)
    try:
        fd = os.open(target, _exclusive_create_flags(), 0o600)
    except FileExistsError:
        return False
    try:
        _write_and_close(fd, data)
    except BaseException:
        _discard(target)
        raise
    _sync_directory(os.path.split(target)[0])
    return True


def _text_file_bytes(text):
    """The bytes path.write_text(text, encoding="utf-8") would write (and its errors)."""
    if not isinstance(text, str):
        raise TypeError(f"data must be str, not {type(text).__name__}")
    if os.linesep != "\n":
        text = text.replace("\n", os.linesep)
    return text.encode("utf-8")


def _replace_text(path, text, private):
    _replace_file(path, _text_file_bytes(text), private)


def _replace_file(path, data, private):
    """Replaces the file at `path` with `data` through a temporary file and one rename.

    private: the file is owner-only from the start. Otherwise a new file gets the umask's default
    mode and a replaced one keeps its mode, as an open for writing would leave them.
    """
    global _temp_counter
    where = os.fsdecode(path)
    target = _link_target(where)
    directory, base = os.path.split(target)
    temp = None
    try:
        try:
            current = os.stat(target)
        except FileNotFoundError:
            current = None
        if current is not None and stat.S_ISDIR(current.st_mode):
            code = errno.EACCES if os.name == "nt" else errno.EISDIR
            raise OSError(code, os.strerror(code), where)
        if current is not None and not stat.S_ISREG(current.st_mode):
            raise OSError(errno.EINVAL, "Not a regular file", where)
        if current is not None:
            os.close(os.open(target, os.O_WRONLY | _os_flag("O_BINARY") | _os_flag("O_NOINHERIT") | _os_flag("O_CLOEXEC")))
        _remove_leftovers_beside(target)
        keep_mode = None if private or current is None else current.st_mode & 0o7777
        flags = _exclusive_create_flags()
        create_mode = 0o600 if private or keep_mode is not None else 0o666
        pid = os.getpid()

        attempt = 0
        while True:
            temp = os.path.join(directory, f"{_temp_prefix(base)}{pid}.{_temp_counter}.tmp")
            _temp_counter += 1
            try:
                fd = os.open(temp, flags, create_mode)
                break
            except FileExistsError:
                if attempt > 100:
                    raise
            attempt += 1

        try:
            if current is not None and hasattr(os, "fchown"):
                made = os.fstat(fd)
                if (made.st_uid, made.st_gid) != (current.st_uid, current.st_gid):
                    try:
                        os.fchown(fd, current.st_uid, current.st_gid)
                    except OSError:
                        try:
                            os.fchown(fd, -1, current.st_gid)
                        except OSError:
                            pass
            _write_and_close(fd, data)
            if keep_mode is not None:
                os.chmod(temp, keep_mode)
            os.replace(temp, target)
        except BaseException:
            _discard(temp)
            raise
    except OSError as error:
        if error.filename not in (temp, target) or error.errno is None:
            raise
        raise type(error)(error.errno, error.strerror, where) from None
    _sync_directory(directory)


def _temp_prefix(base):
    """".<name>.", or for a name too long for the suffix ".<cut>~<hash>."."""
    lengths = [1 if ord(c) < 0x80 else 2 if ord(c) < 0x800 else 3 if ord(c) < 0x10000 else 4 for c in base]
    room = 255 - 35 - 2
    if sum(lengths) <= room:
        return f".{base}."
    total, fits = 0, 0
    for i, n in enumerate(lengths):
        total += n
        if total <= room - 9:
            fits = i + 1
    h = 2166136261
    for c in base:
        h = ((h ^ ord(c)) * 16777619) & 0xFFFFFFFF
    return f".{base[:fits]}~{h:08x}."


def _remove_leftovers_beside(target):
    """Removes the temporary files beside `target` whose process is gone (POSIX only)."""
    if os.name == "nt":
        return
    directory, base = os.path.split(target)
    try:
        names = os.listdir(directory or os.curdir)
    except OSError:
        return
    prefix = _temp_prefix(base)
    for name in names:
        if not (name.startswith(prefix) and name.endswith(".tmp")):
            continue
        parts = name[len(prefix):-4].split(".")
        if len(parts) != 2 or not all(p.isascii() and p.isdigit() and (p == "0" or p[0] != "0") for p in parts):
            continue
        try:
            os.kill(int(parts[0]), 0)
            continue
        except ProcessLookupError:
            pass
        except (OSError, OverflowError):
            continue
        leftover = os.path.join(directory, name)
        try:
            if stat.S_ISREG(os.lstat(leftover).st_mode):
                os.unlink(leftover)
        except OSError:
            pass


# --- the file lock ------------------------------------------------------------------------------------

# Locks this thread holds, by the lock file's (st_dev, st_ino): [descriptor, exclusive]. A save or
# delete reached again from inside a held section runs in it (flock would make it wait for itself).
class _Held(threading.local):
    def __init__(self):
        self.locks = {}


_held = _Held()
_all_held = set()  # descriptors of every hold in the process, closed in a forked child


def _release_inherited_locks():
    for fd in _all_held:
        try:
            os.close(fd)
        except OSError:
            pass
    _all_held.clear()
    _held.locks.clear()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_release_inherited_locks)


def _lock_directory(path, exclusive):
    """The lock file's directory, locked too (POSIX): a replaced lock file lets nothing in."""
    if os.name == "nt":
        return None
    try:
        fd = os.open(os.path.dirname(path) or os.curdir, os.O_RDONLY | _os_flag("O_DIRECTORY") | _os_flag("O_CLOEXEC"))
    except OSError:
        return None
    try:
        if _take_lock(fd, exclusive):
            return fd
    except OSError:
        pass
    os.close(fd)
    return None


def _open_lock_file(path):
    always = _os_flag("O_CLOEXEC") | _os_flag("O_NOINHERIT") | _os_flag("O_NONBLOCK")
    try:
        return os.open(path, os.O_RDWR | os.O_CREAT | always, 0o600)
    except OSError:
        pass
    try:
        return os.open(path, os.O_RDONLY | always)
    except FileNotFoundError:
        if os.path.lexists(path):
            raise
        return None  # nothing there and nothing can be made: the directory takes no files


def _take_lock(fd, exclusive):
    if os.name == "nt":
        while True:
            try:
                _locking.locking(fd, _locking.LK_LOCK, 1)
                return True
            except OSError as error:
                if error.errno != errno.EDEADLOCK:
                    raise
    try:
        _locking.flock(fd, _locking.LOCK_EX if exclusive else _locking.LOCK_SH)
        return True
    except OSError as error:
        if error.errno not in (errno.ENOLCK, errno.EOPNOTSUPP, errno.ENOTSUP):
            raise
        return False


def _drop_lock(fd):
    if os.name == "nt":
        _locking.locking(fd, _locking.LK_UNLCK, 1)
    else:
        _locking.flock(fd, _locking.LOCK_UN)


class _FileLock:
    """A shared or exclusive lock on the file at `path`, for a `with` block."""

    __slots__ = ("fd", "dir_fd", "key", "upgraded")

    def __init__(self, path, exclusive):
        self.fd, self.dir_fd, self.key, self.upgraded = None, None, None, False
        held = _held.locks
        if held:
            try:
                st = os.stat(path)
            except OSError:
                pass
            else:
                if self._join((st.st_dev, st.st_ino), exclusive):
                    return
        while True:
            fd = _open_lock_file(path)
            if fd is None:
                return
            try:
                st = os.fstat(fd)
                if self._join((st.st_dev, st.st_ino), exclusive) or not _take_lock(fd, exclusive):
                    os.close(fd)
                    return
                dir_fd = _lock_directory(path, exclusive)
                if dir_fd is None:
                    now = os.stat(path)
                    if (now.st_dev, now.st_ino) != (st.st_dev, st.st_ino):
                        os.close(fd)
                        continue
            except BaseException:
                try:
                    os.close(fd)
                except OSError:
                    pass
                raise
            break
        self.fd, self.dir_fd, self.key = fd, dir_fd, (st.st_dev, st.st_ino)
        held[self.key] = [fd, exclusive, dir_fd]
        _all_held.update(d for d in (fd, dir_fd) if d is not None)

    def _join(self, key, exclusive):
        entry = _held.locks.get(key)
        if entry is None:
            return False
        self.key = key
        if exclusive and not entry[1] and os.name != "nt":
            _take_lock(entry[0], True)
            if entry[2] is not None:
                _take_lock(entry[2], True)
            entry[1] = self.upgraded = True
        return True

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.fd is not None:
            del _held.locks[self.key]
            _all_held.difference_update((self.fd, self.dir_fd))
            if self.dir_fd is not None:
                try:
                    _drop_lock(self.dir_fd)
                    os.close(self.dir_fd)
                except BaseException:
                    pass
            try:
                _drop_lock(self.fd)
            except BaseException:
                pass
            try:
                os.close(self.fd)
            except BaseException:
                pass
            self.fd = None
        elif self.upgraded:
            entry = _held.locks.get(self.key)
            if entry is not None:
                try:
                    if entry[2] is not None:
                        _take_lock(entry[2], False)
                    _take_lock(entry[0], False)
                except BaseException:
                    pass
                entry[1] = False


def _lock_store(meta_path, exclusive):
    return _FileLock(os.path.join(os.path.dirname(_link_target(meta_path)), ".accounts.lock"), exclusive)


# --- the account store -------------------------------------------------------------------------------

def _without_bom(text):
    if text[:1] == "\ufeff":
        return text[1:]
    return text


def _reads_as_mapping(data):
    try:
        parsed = json.loads(_without_bom(data.decode("utf-8")))
    except Exception:
        return False
    return isinstance(parsed, dict)


def _keep_if_damaged(meta_path):
    """Before a file that holds no JSON object is replaced, its bytes go to a new file beside it."""
    if not meta_path.is_file():
        return
    try:
        data = meta_path.read_bytes()
    except FileNotFoundError:
        return
    if not isinstance(data, bytes) or len(data) == 0 or _reads_as_mapping(data):
        return
    target = _link_target(meta_path)
    n = 0
    while True:
        copy = f"{target}.damaged" if n == 0 else f"{target}.damaged-{n}"
        if _write_new_file(copy, data):
            return
        n += 1


def _read_held_accounts(meta_path):
    """The mapping the file holds, None without one; a failure other than the content's raises."""
    try:
        if not meta_path.is_file():
            return None
        text = meta_path.read_text(encoding="utf-8")
        parsed = json.loads(_without_bom(text) if isinstance(text, str) else text)
    except ValueError:  # not UTF-8, not JSON
        return None
    except Exception as exc:
        raise OSError(f"the stored accounts in {meta_path} could not be read, so nothing was changed") from exc
    return parsed if isinstance(parsed, dict) else None


def _check_nothing_lost(meta_path, held, accounts):
    if held and any(name not in accounts for name in held):
        raise OSError(f"the stored accounts in {meta_path} did not load in full, so nothing was changed")


class KestrowLockmere:
    """保存Kestrow账号名与用户名，密码存入系统凭据管理器。"""

    def __init__(self, *, base_dir: "Path | None" = None) -> "None":
        parent = base_dir if base_dir else CONFIG_DIR
        self.base_dir = Path(parent) / "kestrow"
        self.base_dir.mkdir(parents=True, exist_ok=True)
        self.meta_path = self.base_dir / "accounts.json"

    def save(self, *, name: "str", username: "str", password: "str") -> "dict":
        """保存命名账号。"""
        if type(name) is not str:
            _wrong_type("name", str, name)
        if type(username) is not str:
            _wrong_type("username", str, username)
        if type(password) is not str:
            _wrong_type("password", str, password)
        self._validate_name(name)
        if not username:
            raise InvalidCollectOptionError("必须提供Kestrow用户名")
        if not password:
            raise InvalidCollectOptionError("必须提供Kestrow密码")
        with _lock_store(self.meta_path, exclusive=True):
            self._set_password(name, password)
            held = _read_held_accounts(self.meta_path)
            accounts = self._load_accounts()
            _check_nothing_lost(self.meta_path, held, accounts)
            accounts[name] = {"username": username}
            self._save_accounts(accounts)
        return {"name": name, "username": username}

    def list(self) -> "list[dict]":
        """列出已保存账号，不返回密码。"""
        accounts = self._load_accounts()
        return [{"name": name, "username": item.get("username")} for name, item in accounts.items()]

    def delete(self, *, name: "str") -> "bool":
        """删除命名账号。"""
        if type(name) is not str:
            _wrong_type("name", str, name)
        self._validate_name(name)
        with _lock_store(self.meta_path, exclusive=True):
            held = _read_held_accounts(self.meta_path)
            accounts = self._load_accounts()
            _check_nothing_lost(self.meta_path, held, accounts)
            existed = name in accounts
            if existed:
                del accounts[name]
                self._save_accounts(accounts)
            self._delete_password(name)
        return existed

    def get(self, *, name: "str") -> "dict":
        """读取命名账号和密码。"""
        if type(name) is not str:
            _wrong_type("name", str, name)
        self._validate_name(name)
        with _lock_store(self.meta_path, exclusive=False):
            accounts = self._load_accounts()
            account = accounts.get(name)
            if not account:
                raise InvalidCollectOptionError(f"Kestrow账号 `{name}` 不存在，请先执行 account save")
            password = self._get_password(name)
            if not password:
                raise InvalidCollectOptionError(f"Kestrow账号 `{name}` 缺少密码，请重新执行 account save")
        return {"name": name, "username": account.get("username"), "password": password}

    def _load_accounts(self) -> "dict":
        """读取账号元数据。"""
        if not self.meta_path.is_file():
            return {}
        try:
            text = self.meta_path.read_text(encoding="utf-8")
            if isinstance(text, str):
                text = _without_bom(text)
            parsed = json.loads(text)
        except Exception:
            return {}
        if type(parsed) is dict:
            return parsed
        if isinstance(parsed, dict):
            _wrong_result(dict, parsed)
        return {}

    def _save_accounts(self, accounts: "dict") -> "None":
        """保存账号元数据。"""
        if type(accounts) is not dict:
            _wrong_type("accounts", dict, accounts)
        meta_path = self.meta_path
        text = json.dumps(accounts, ensure_ascii=False, indent=2)
        data = _text_file_bytes(text)  # an unencodable name fails here, before any file is touched
        _keep_if_damaged(meta_path)
        _replace_file(meta_path, data, private=True)
        self.meta_path.chmod(stat.S_IRUSR | stat.S_IWUSR)

    def _validate_name(self, name: "str") -> "None":
        """校验账号别名。"""
        if type(name) is not str:
            _wrong_type("name", str, name)
        if not name or not name.replace("-", "").replace("_", "").isalnum():
            raise InvalidCollectOptionError("账号名称只能包含字母、数字、下划线和中划线")

    def _keyring_account(self, name: "str") -> "str":
        """生成 keyring account。"""
        if type(name) is not str:
            _wrong_type("name", str, name)
        return "account:" + name

    def _require_keyring(self):
        """获取 keyring 模块。"""
        if not _KEYRING_AVAILABLE:
            raise KestrowDependencyError("当前环境缺少 keyring，无法安全保存Kestrow密码")
        return keyring

    def _set_password(self, name: "str", password: "str") -> "None":
        """写入系统凭据管理器。"""
        if type(name) is not str:
            _wrong_type("name", str, name)
        if type(password) is not str:
            _wrong_type("password", str, password)
        kr = self._require_keyring()
        try:
            service = _KEYRING_SERVICE
            account = self._keyring_account(name)
            kr.set_password(service, account, password)
        except keyring.errors.NoKeyringError as exc:
            raise KestrowDependencyError("当前系统 keyring 不可用，无法安全保存Kestrow密码") from exc

    def _get_password(self, name: "str") -> "str | None":
        """读取系统凭据管理器密码。"""
        if type(name) is not str:
            _wrong_type("name", str, name)
        kr = self._require_keyring()
        try:
            result = kr.get_password(_KEYRING_SERVICE, self._keyring_account(name))
            if result is not None and type(result) is not str:
                _wrong_result(str, result)
        except keyring.errors.NoKeyringError as exc:
            raise KestrowDependencyError("当前系统 keyring 不可用，无法读取Kestrow密码") from exc
        return result

    def _delete_password(self, name: "str") -> "None":
        """删除系统凭据管理器密码。"""
        if type(name) is not str:
            _wrong_type("name", str, name)
        if not _KEYRING_AVAILABLE:
            return None
        try:
            keyring.delete_password(_KEYRING_SERVICE, self._keyring_account(name))
        except Exception:
            pass


# --- the page archiver -----------------------------------------------------------------------------

def _leaves_root(param, value, how):
    raise ValueError(f"{param} {value!r} would place files outside the archive root: {how}")


def _read_as_another(param, value, part, read_as):
    raise ValueError(f"{param} {value!r} is not a name this system keeps: it reads {part!r} as {read_as!r}")


def _check_inside_root(names):
    """The names, joined in order below the archive root, must not lead out of it, nor hold a
    component the system reads as another name (Windows: trailing dots and spaces, devices)."""
    sep, altsep = os.sep, os.altsep
    depth = 0
    for param, value in names:
        if os.path.isabs(value):
            _leaves_root(param, value, "it is an absolute path")
        if os.path.splitdrive(value)[0]:
            _leaves_root(param, value, "it names a drive")
        text = value if altsep is None else value.replace(altsep, sep)
        for part in text.split(sep):
            if not part or part == ".":
                continue
            if part == "..":
                depth -= 1
                if depth < 0:
                    _leaves_root(param, value, "its '..' components climb above the root")
                continue
            depth += 1
            resolved = os.path.abspath(sep + part)
            read_as = os.path.basename(resolved) or resolved
            if read_as != part:
                _read_as_another(param, value, part, read_as)


def _section_dir_inside_root(root_dir, section):
    _check_inside_root((("section", section),))
    return root_dir / section


def _capture_result(section, screenshot_path, html_path, markdown_path):
    return {
        section + "_screenshot": str(screenshot_path),
        section + "_html": str(html_path),
        section + "_markdown": str(markdown_path),
    }


def _coroutine_method(method, body):
    # The argument checks run at the call, before a coroutine exists; the coroutine carries the
    # method's names, and inspect and asyncio see a coroutine function.
    body.__name__ = method.__name__
    body.__qualname__ = method.__qualname__
    method.__code__ = method.__code__.replace(co_flags=method.__code__.co_flags | 0x80)  # CO_COROUTINE
    return method


async def _archive_page(self, page, section):
    section_dir = _section_dir_inside_root(self.root_dir, section)
    section_dir.mkdir(parents=True, exist_ok=True)
    screenshot_path = section_dir / "screenshot.png"
    html_path = section_dir / "page.html"
    markdown_path = section_dir / "page.md"
    await page.screenshot(path=str(screenshot_path), full_page=True)
    html = await page.content()
    _replace_text(html_path, html, private=False)
    _replace_text(markdown_path, self.html_to_markdown(html), private=False)
    return _capture_result(section, screenshot_path, html_path, markdown_path)


async def _archive_locator(self, locator, section):
    section_dir = _section_dir_inside_root(self.root_dir, section)
    section_dir.mkdir(parents=True, exist_ok=True)
    screenshot_path = section_dir / "screenshot.png"
    html_path = section_dir / "page.html"
    markdown_path = section_dir / "page.md"
    await locator.wait_for(state="visible", timeout=10000)
    await locator.screenshot(path=str(screenshot_path))
    html = await locator.evaluate("element => element.outerHTML")
    _replace_text(html_path, html, private=False)
    _replace_text(markdown_path, self.html_to_markdown(html), private=False)
    return _capture_result(section, screenshot_path, html_path, markdown_path)


class KestrowArchiver:
    """保存截图、HTML、Markdown 和 JSON 文件。"""

    def __init__(self, root_dir: "Path") -> "None":
        self.root_dir = root_dir
        self.root_dir.mkdir(parents=True, exist_ok=True)

    def archive_page(self, page, *, section: "str") -> "dict[str, str]":
        """归档当前页面状态。

        Args:
            page: Playwright page 对象。
            section: 归档分区名称。
        """
        if type(section) is not str:
            _wrong_type("section", str, section)
        return _archive_page(self, page, section)

    def archive_locator(self, locator, *, section: "str") -> "dict[str, str]":
        """归档指定页面元素。"""
        if type(section) is not str:
            _wrong_type("section", str, section)
        return _archive_locator(self, locator, section)

    archive_page = _coroutine_method(archive_page, _archive_page)
    archive_locator = _coroutine_method(archive_locator, _archive_locator)

    def html_to_markdown(self, html: "str") -> "str":
        """将 HTML 转为 Markdown。"""
        if type(html) is not str:
            _wrong_type("html", str, html)
        # The cleaning passes and the conversion: the steps the tests hold the module against
        # (tests/support/markdown.py). Imported at the call, as the module imports bs4 and
        # markdownify, so that importing this file stays as light as importing the module.
        from support.markdown import html_to_markdown

        result = html_to_markdown(html)
        if result is not None and type(result) is not str:
            _wrong_result(str, result)
        return result

    def save_json(self, *, section: "str", filename: "str", payload: "dict[str, Any]") -> "str":
        """保存 JSON 文件并返回路径。"""
        if type(section) is not str:
            _wrong_type("section", str, section)
        if type(filename) is not str:
            _wrong_type("filename", str, filename)
        if type(payload) is not dict:
            _wrong_type("payload", dict, payload)
        _check_inside_root((("section", section), ("filename", filename)))
        section_dir = self.root_dir / section
        section_dir.mkdir(parents=True, exist_ok=True)
        path = section_dir / filename
        text = json.dumps(payload, ensure_ascii=False, indent=2)
        _replace_text(path, text, private=False)
        return str(path)
