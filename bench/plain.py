"""Plain-Python equivalents of KestrowLockmere and KestrowArchiver, for the benchmarks only.

Every public and private method does what the native one does, step for step and with the same
mended faults. Files are replaced whole (docs/FILES.md): the target opened as a plain write opens
it and every check taken from that descriptor, a temporary file beside it under a random name,
held by its writer (flock) until an fsync'd os.replace, then an fsync of the folder; the first
write in a folder in a process removes what dead writers left. accounts.json is owner-only, read
once per operation through one descriptor, strictly before a save or delete rewrites it; a damaged
one is kept beside it (linked in whole) before it is replaced. A save checks everything it can
before it writes the keyring and puts the previous password back if the file write then fails.
save and delete hold the store lock (".accounts.lock" and its folder) exclusively, get shared;
one owner (thread or greenlet) per process at a time, the others waiting in time.sleep; a lock
that cannot be taken is an error. Section and file names may not lead out of the archive root.
Parameters annotated "str" or "dict" take exactly that type, checked inline as a plain-Python
author would, with the native module's message; the other argument errors are Python's own (same
exception type, the interpreter's wording).

Nothing in the modules imports this file.
"""

import errno
import json
import os
import re
import stat
import sys
import threading
import time
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

_token, _token_pid = "", -1
_temp_counter = 0
_cleared_folders = set()


def _os_flag(name):
    return getattr(os, name, 0)


def _exclusive_create_flags():
    return (_os_flag("O_WRONLY") | _os_flag("O_CREAT") | _os_flag("O_EXCL") | _os_flag("O_BINARY")
            | _os_flag("O_NOINHERIT") | _os_flag("O_CLOEXEC"))


def _process_token():
    global _token, _token_pid
    if os.getpid() != _token_pid:
        _token, _token_pid = os.urandom(8).hex(), os.getpid()
    return _token


def _temp_prefix(base):
    """".<name>.", or for a name too long for the suffix ".<cut>~<hash>."."""
    lengths = [1 if ord(c) < 0x80 else 2 if ord(c) < 0x800 else 3 if ord(c) < 0x10000 else 4 for c in base]
    room = 255 - 28 - 2
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


def _names_file(path, st):
    try:
        now = os.lstat(path)
    except FileNotFoundError:
        return False
    return stat.S_ISREG(now.st_mode) and (now.st_dev, now.st_ino) == (st.st_dev, st.st_ino)


def _write_all(fd, data):
    remaining = data
    while len(remaining) > 0:
        n = os.write(fd, remaining)
        if n > len(remaining) or n < 0:
            raise OSError(f"raw write() returned invalid length {n} (should have been between 0 and {len(remaining)})")
        if n == 0:
            raise OSError("short write")
        if n >= len(remaining):
            break
        remaining = remaining[n:]


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


def _foreign_temp_name(name, token):
    if len(name) < 31 or name[0] != "." or name[-29] != "." or not name.endswith(".tmp"):
        return False
    digits = name[-28:-4]
    return all(c in "0123456789abcdef" for c in digits) and digits[:16] != token


def _remove_if_writer_gone(path):
    try:
        if not hasattr(_locking, "flock"):
            if stat.S_ISREG(os.lstat(path).st_mode):
                os.unlink(path)
            return
        fd = os.open(path, os.O_RDONLY | _os_flag("O_NOFOLLOW") | _os_flag("O_NONBLOCK") | _os_flag("O_CLOEXEC")
                     | _os_flag("O_NOCTTY"))
        try:
            st = os.fstat(fd)
            if stat.S_ISREG(st.st_mode):
                _locking.flock(fd, _locking.LOCK_EX | _locking.LOCK_NB)
                if _names_file(path, st):
                    os.unlink(path)
        finally:
            os.close(fd)
    except OSError:
        pass


def _clear_dead_writers(folder):
    try:
        st = os.stat(folder or os.curdir)
    except OSError:
        return
    if (st.st_dev, st.st_ino) in _cleared_folders:
        return
    _cleared_folders.add((st.st_dev, st.st_ino))
    try:
        names = os.listdir(folder or os.curdir)
    except OSError:
        return
    token = _process_token()
    for name in names:
        if _foreign_temp_name(name, token):
            _remove_if_writer_gone(os.path.join(folder, name))


def _renamed_error(error, names, where):
    if isinstance(error, OSError) and error.filename in names and error.errno is not None:
        return type(error)(error.errno, error.strerror, where)
    return None


class _TempFile:
    """A temporary file beside `base` in `folder`, held (flock) by its writer until it has a name."""

    def __init__(self, folder, base, create_mode, where):
        global _temp_counter
        self.where, self.named = where, False
        while True:
            path = os.path.join(folder, f"{_temp_prefix(base)}{_process_token()}{_temp_counter & 0xFFFFFFFF:08x}.tmp")
            _temp_counter += 1
            try:
                self.fd = os.open(path, _exclusive_create_flags(), create_mode)
            except FileExistsError:
                continue
            except OSError as error:
                raise (_renamed_error(error, (path,), where) or error) from None
            self.path = path
            try:
                self.made = os.fstat(self.fd)
                held = True
                if hasattr(_locking, "flock"):
                    try:
                        _locking.flock(self.fd, _locking.LOCK_EX)
                        held = _names_file(path, self.made)
                    except OSError:
                        pass
            except BaseException:
                self.discard()
                raise
            if held:
                return
            os.close(self.fd)

    def write(self, data, mode):
        try:
            _write_all(self.fd, data)
            if mode is not None and hasattr(os, "fchmod"):
                os.fchmod(self.fd, mode)
            os.fsync(self.fd)
        except OSError as error:
            raise (_renamed_error(error, (self.path,), self.where) or error) from None

    def _close_before_naming(self):
        if os.name == "nt":  # Windows renames and links no file that is open
            os.close(self.fd)
            self.fd = None

    def rename_over(self, target):
        self._close_before_naming()
        try:
            os.replace(self.path, target)
        except OSError as error:
            raise (_renamed_error(error, (self.path, target), self.where) or error) from None
        self.named = True
        if self.fd is not None:
            try:
                os.close(self.fd)
            except BaseException:
                pass
            self.fd = None

    def link_as(self, target):
        self._close_before_naming()
        try:
            os.link(self.path, target)
            return True
        except FileExistsError:
            return False

    def discard(self):
        if self.named:
            return
        if self.fd is not None:
            try:
                os.close(self.fd)
            except BaseException:
                pass
            self.fd = None
        try:
            os.unlink(self.path)
        except BaseException:
            pass


def _write_new_file(path, data):
    """Writes `data` to a new owner-only file at `path`; False when something stands there."""
    target = os.fsdecode(path)
    folder, base = os.path.split(target)
    temp = _TempFile(folder, base, 0o600, target)
    try:
        temp.write(data, 0o600)
        if not temp.link_as(target):
            return False
        try:
            _sync_directory(folder)
        except BaseException:
            try:
                os.unlink(target)
            except BaseException:
                pass
            raise
        return True
    finally:
        temp.discard()


def _text_file_bytes(text):
    """The bytes path.write_text(text, encoding="utf-8") would write (and its errors)."""
    if not isinstance(text, str):
        raise TypeError(f"data must be str, not {type(text).__name__}")
    if os.linesep != "\n":
        text = text.replace("\n", os.linesep)
    return text.encode("utf-8")


class _Replacement:
    """A file replaced whole: opened as a plain write opens it, every check from that descriptor."""

    def __init__(self, path, private):
        self.where, self.private, self.temp = os.fsdecode(path), private, None
        self.current = self.acl = None
        flags = (os.O_WRONLY | _os_flag("O_NONBLOCK") | _os_flag("O_NOCTTY") | _os_flag("O_CLOEXEC")
                 | _os_flag("O_BINARY") | _os_flag("O_NOINHERIT"))
        for attempt in range(11):
            try:
                fd = os.open(self.where, flags)
            except FileNotFoundError:
                try:
                    st = os.lstat(self.where)
                except FileNotFoundError:
                    self.target = self.where
                    break
                if not stat.S_ISREG(st.st_mode):
                    raise OSError(errno.EINVAL, "Not a regular file", self.where) from None
                continue
            except OSError as error:
                if error.errno == errno.ENXIO:
                    raise OSError(errno.EINVAL, "Not a regular file", self.where) from None
                raise
            try:
                st = os.fstat(fd)
                if not stat.S_ISREG(st.st_mode):
                    raise OSError(errno.EINVAL, "Not a regular file", self.where)
                # opened again as a plain write opens it (O_CREAT), so the kernel's create-time rules decide
                again = os.open(self.where, flags | os.O_CREAT, 0o600 if private else 0o666)
                try:
                    same = (os.fstat(again).st_dev, os.fstat(again).st_ino) == (st.st_dev, st.st_ino)
                finally:
                    os.close(again)
                acl = None
                if hasattr(os, "getxattr"):
                    try:
                        acl = os.getxattr(fd, "system.posix_acl_access")
                    except OSError as error:
                        if error.errno not in (errno.ENODATA, errno.ENOTSUP, errno.EOPNOTSUPP):
                            raise
            finally:
                os.close(fd)
            name = self.where
            if same and not _names_file(name, st):
                name = os.path.realpath(self.where)
            if same and _names_file(name, st):
                self.target, self.current, self.acl = name, st, acl
                break
        else:
            raise OSError(errno.EAGAIN, "Replaced by another writer while being opened", self.where)
        self.folder = os.path.split(self.target)[0]
        _clear_dead_writers(self.folder)

    def prepare(self, data):
        keep_mode = 0o600 if self.private else None if self.current is None else self.current.st_mode & 0o1777
        self.temp = _TempFile(self.folder, os.path.split(self.target)[1], 0o600 if keep_mode is not None else 0o666,
                              self.where)
        try:
            if self.current is not None and hasattr(os, "fchown"):
                made = self.temp.made
                if (made.st_uid, made.st_gid) != (self.current.st_uid, self.current.st_gid):
                    try:
                        os.fchown(self.temp.fd, self.current.st_uid, self.current.st_gid)
                    except OSError:
                        try:
                            os.fchown(self.temp.fd, -1, self.current.st_gid)
                        except OSError:
                            pass
            if self.current is not None and hasattr(os, "setxattr"):
                if self.acl is not None:
                    os.setxattr(self.temp.fd, "system.posix_acl_access", self.acl)
                else:
                    try:
                        os.removexattr(self.temp.fd, "system.posix_acl_access")
                    except OSError as error:
                        if error.errno not in (errno.ENODATA, errno.ENOTSUP, errno.EOPNOTSUPP):
                            raise
            self.temp.write(data, keep_mode)
        except BaseException:
            self.temp.discard()
            raise

    def commit(self):
        try:
            self.temp.rename_over(self.target)
        finally:
            self.temp.discard()

    def discard(self):
        if self.temp is not None:
            self.temp.discard()

    def flush_folder(self):
        _sync_directory(self.folder)

    def write(self, data):
        self.prepare(data)
        self.commit()
        self.flush_folder()


def _replace_text(path, text, private):
    data = _text_file_bytes(text)
    _Replacement(path, private).write(data)


# --- the file lock ------------------------------------------------------------------------------------

class _Hold:
    __slots__ = ("store", "owner", "exclusive", "path", "file", "folder", "lost")


_holds = []  # the process's holds, one per store folder


def _current_owner():
    owner = threading.get_ident()
    greenlet = sys.modules.get("greenlet")
    if greenlet is not None:
        current = greenlet.getcurrent()
        if current.parent is not None:
            return owner, id(current)
    return owner, 0


def _forget_inherited_holds():
    for h in _holds:
        for fd in (h.file, h.folder):
            if fd is not None:
                try:
                    os.close(fd)
                except OSError:
                    pass
        h.file = h.folder = None
        h.lost = True
    _holds.clear()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_inherited_holds)


def _open_lock_file(path, folder):
    always = _os_flag("O_NOFOLLOW") | _os_flag("O_NONBLOCK") | _os_flag("O_CLOEXEC") | _os_flag("O_NOCTTY")
    while True:
        try:
            try:
                fd = os.open(path, os.O_RDWR | always)
            except OSError as error:
                if error.errno not in (errno.EACCES, errno.EPERM, errno.EROFS):
                    raise
                fd = os.open(path, os.O_RDONLY | always)
            break
        except FileNotFoundError:
            pass
        try:
            fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL | always, 0o600)
        except FileExistsError:
            continue
        except OSError as error:
            if error.errno in (errno.EACCES, errno.EPERM, errno.EROFS):
                return None
            raise
        if os.fstat(fd).st_uid != folder.st_uid:
            try:
                os.fchown(fd, folder.st_uid, folder.st_gid)
            except OSError:
                pass
        break
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise OSError(errno.EINVAL, "Not a regular file", path)
    return fd


def _take(fd, exclusive, path):
    try:
        _locking.flock(fd, _locking.LOCK_EX if exclusive else _locking.LOCK_SH)
    except OSError as error:
        if error.errno is None:
            raise
        raise OSError(error.errno, os.strerror(error.errno), path) from error


def _lock_folder(folder, exclusive):
    try:
        fd = os.open(folder, os.O_RDONLY | _os_flag("O_DIRECTORY") | _os_flag("O_CLOEXEC"))
    except OSError:
        return None
    try:
        _locking.flock(fd, _locking.LOCK_EX if exclusive else _locking.LOCK_SH)
        return fd
    except OSError:
        os.close(fd)
        return None


def _change_mode(h, exclusive):
    for fd in (h.folder, h.file):
        if fd is not None:
            _locking.flock(fd, _locking.LOCK_UN)
    for fd in (h.file, h.folder):
        if fd is not None:
            _take(fd, exclusive, h.path)
    h.exclusive = exclusive


class _FileLock:
    """The store lock for a `with` block (POSIX; what the benchmarks measure)."""

    __slots__ = ("hold", "taken", "upgraded", "unlocked")

    def __init__(self, path, exclusive):
        self.hold, self.taken, self.upgraded, self.unlocked = None, False, False, None
        folder = os.path.dirname(path) or os.curdir
        try:
            st = os.stat(folder)
        except FileNotFoundError:
            self.unlocked = path
            return
        store, me, wait = (st.st_dev, st.st_ino), _current_owner(), 0.0005
        while True:
            h = next((h for h in _holds if h.store == store), None)
            if h is None:
                break
            if h.owner == me:
                self.hold = h
                if exclusive and not h.exclusive:
                    _change_mode(h, True)
                    self.upgraded = True
                return
            time.sleep(wait)
            wait = min(wait * 2, 0.02)
        h = _Hold()
        h.store, h.owner, h.exclusive, h.path, h.file, h.folder, h.lost = store, me, exclusive, path, None, None, False
        _holds.append(h)
        try:
            while True:
                h.file = _open_lock_file(path, st)
                if h.file is not None:
                    _take(h.file, exclusive, path)
                h.folder = _lock_folder(folder, exclusive)
                if h.folder is not None:
                    break
                if h.file is None:
                    raise OSError(errno.ENOLCK, os.strerror(errno.ENOLCK), path)
                if _names_file(path, os.fstat(h.file)):
                    break
                os.close(h.file)
        except BaseException:
            _holds.remove(h)
            for fd in (h.file, h.folder):
                if fd is not None:
                    os.close(fd)
            raise
        self.hold, self.taken = h, True

    def held(self):
        return self.hold is None or not self.hold.lost

    def check_held(self):
        if not self.held():
            raise RuntimeError(f"the store lock {self.hold.path!r} is no longer held by this process")

    def check_can_write(self):
        self.check_held()
        if self.unlocked is not None:
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), self.unlocked)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        h = self.hold
        if h is None:
            return
        if not self.taken:
            if self.upgraded and not h.lost:
                try:
                    _change_mode(h, False)
                except BaseException:
                    pass
            return
        if h in _holds:
            _holds.remove(h)
        if h.lost:
            return
        for fd in (h.folder, h.file):
            if fd is not None:
                try:
                    _locking.flock(fd, _locking.LOCK_UN)
                except BaseException:
                    pass
                try:
                    os.close(fd)
                except BaseException:
                    pass


def _lock_store(meta_path, exclusive):
    return _FileLock(os.path.join(os.path.dirname(meta_path), ".accounts.lock"), exclusive)


# --- the account store -------------------------------------------------------------------------------

def _without_bom(text):
    if text[:1] == "\ufeff":
        return text[1:]
    return text


def _file_bytes(path):
    flags = (os.O_RDONLY | _os_flag("O_NONBLOCK") | _os_flag("O_NOCTTY") | _os_flag("O_CLOEXEC")
             | _os_flag("O_BINARY") | _os_flag("O_NOINHERIT"))
    try:
        fd = os.open(path, flags)
    except OSError as error:
        if error.errno in (errno.ENOENT, errno.ENOTDIR, errno.ELOOP):
            return None, None
        raise
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            return None, st
        chunks, got = [], 0
        while True:
            chunk = os.read(fd, st.st_size + 1 - got)
            if not chunk:
                if got < st.st_size:
                    raise OSError(f"{path!r} changed while it was read")
                break
            got += len(chunk)
            if got > st.st_size:
                raise OSError(f"{path!r} changed while it was read")
            chunks.append(chunk)
        return b"".join(chunks), st
    finally:
        os.close(fd)


def _read_accounts(meta_path, strict):
    """(accounts or None, damaged bytes or None, os.fstat or None), read through one descriptor."""
    data = read = None
    try:
        data, read = _file_bytes(meta_path)
        if data is None:
            return None, None, read
        parsed = json.loads(_without_bom(data.decode("utf-8")))
    except Exception as exc:
        if data is not None and isinstance(exc, ValueError):
            return None, data or None, read
        if strict:
            raise OSError(f"the stored accounts in {meta_path} could not be read, so nothing was changed") from exc
        if data is None and isinstance(exc, OSError):
            try:
                os.stat(meta_path)
            except OSError as error:
                if error.errno not in (errno.ENOENT, errno.ENOTDIR, errno.ELOOP, errno.EBADF):
                    raise
        return None, None, None
    if isinstance(parsed, dict):
        return parsed, None, read
    return None, data or None, read


def _check_unchanged(meta_path, read):
    """Raises unless meta_path still leads to the file read, as it was (read: None for none)."""
    try:
        now = os.stat(meta_path)
    except (FileNotFoundError, NotADirectoryError):
        now = None
    if (now is None) != (read is None) or now is not None and (
            (now.st_dev, now.st_ino, now.st_size, now.st_mtime_ns) != (read.st_dev, read.st_ino, read.st_size, read.st_mtime_ns)):
        raise OSError(f"the stored accounts in {meta_path} changed during this call, so nothing was changed")


class _PendingFile:
    """What _save_accounts does up to its commit point: serialised, written beside, damaged kept."""

    def __init__(self, meta_path, accounts, damaged=None, known=False):
        text = json.dumps(accounts, ensure_ascii=False, indent=2)
        data = _text_file_bytes(text)
        self.file = _Replacement(meta_path, private=True)
        if not known:
            damaged = _read_accounts(meta_path, strict=True)[1]
        self.file.prepare(data)
        self.copy, self.committed = None, False
        n = written = 0
        try:
            while damaged:
                if n == 10000 or written == 10:
                    raise FileExistsError(f"no free name for a copy of the damaged file {self.file.target!r}")
                copy = f"{self.file.target}.damaged" if n == 0 else f"{self.file.target}.damaged-{n}"
                if os.path.lexists(copy):
                    n += 1
                    continue
                written += 1
                if _write_new_file(copy, damaged):
                    self.copy = copy
                    break
                n += 1
        except BaseException:
            self.file.discard()
            raise

    def commit(self):
        try:
            self.file.commit()
        except BaseException:
            self.discard()
            raise
        self.committed = True

    def discard(self):
        self.file.discard()
        if self.copy and not self.committed:
            try:
                os.unlink(self.copy)
            except BaseException:
                pass

    def flush(self):
        self.file.flush_folder()


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
        with _lock_store(self.meta_path, exclusive=True) as lock:
            try:
                previous, known = self._get_password(name), True
            except Exception:
                previous, known = None, False
            lock.check_held()
            accounts, damaged, read = self._load_for_change()
            accounts[name] = {"username": username}
            update = _PendingFile(self.meta_path, accounts, damaged, known=True)
            try:
                lock.check_can_write()
                try:
                    self._set_password(name, password)
                    lock.check_can_write()
                    _check_unchanged(self.meta_path, read)
                    update.commit()
                except BaseException:
                    if known and lock.held():
                        try:
                            if previous is None:
                                self._delete_password(name)
                            else:
                                self._set_password(name, previous)
                        except BaseException:
                            pass
                    raise
            finally:
                update.discard()
            update.flush()
        return {"name": name, "username": username}

    def _load_for_change(self):
        # This class's own _load_accounts, read once, strictly (the native store does the same when
        # the method is not overridden).
        accounts, damaged, read = _read_accounts(self.meta_path, strict=True)
        return (accounts if accounts is not None else {}), damaged, read

    def list(self) -> "list[dict]":
        """列出已保存账号，不返回密码。"""
        accounts = self._load_accounts()
        return [{"name": name, "username": item.get("username")} for name, item in accounts.items()]

    def delete(self, *, name: "str") -> "bool":
        """删除命名账号。"""
        if type(name) is not str:
            _wrong_type("name", str, name)
        self._validate_name(name)
        with _lock_store(self.meta_path, exclusive=True) as lock:
            accounts, damaged, read = self._load_for_change()
            existed = name in accounts
            update = None
            if existed:
                del accounts[name]
                update = _PendingFile(self.meta_path, accounts, damaged, known=True)
                try:
                    lock.check_can_write()
                    _check_unchanged(self.meta_path, read)
                    update.commit()
                finally:
                    update.discard()
            lock.check_held()
            self._delete_password(name)
            if update is not None:
                update.flush()
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
        accounts = _read_accounts(self.meta_path, strict=False)[0]
        if accounts is None:
            return {}
        if type(accounts) is not dict:
            _wrong_result(dict, accounts)
        return accounts

    def _save_accounts(self, accounts: "dict") -> "None":
        """保存账号元数据。"""
        if type(accounts) is not dict:
            _wrong_type("accounts", dict, accounts)
        update = _PendingFile(self.meta_path, accounts)
        try:
            update.commit()
        finally:
            update.discard()
        update.flush()

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


_TEMP_NAME = re.compile(r"\..+\.[0-9a-f]{24}\.tmp", re.S)


def _check_inside_root(root_dir, names):
    """The names, joined in order below the archive root, must not lead out of it, nor hold a
    component the system reads as another name (Windows: trailing dots and spaces, devices)."""
    sep, altsep = os.sep, os.altsep
    below = []
    for n, (param, value) in enumerate(names):
        if os.path.isabs(value):
            _leaves_root(param, value, "it is an absolute path")
        if os.path.splitdrive(value)[0]:
            _leaves_root(param, value, "it names a drive")
        text = value if altsep is None else value.replace(altsep, sep)
        last = None
        for part in text.split(sep):
            if not part or part == ".":
                continue
            last = part
            if part == "..":
                if not below:
                    _leaves_root(param, value, "its '..' components climb above the root")
                if os.path.islink(os.path.join(root_dir, sep.join(below))):
                    raise ValueError(f"{param} {value!r} would place files outside the archive root: its '..' follows "
                                     f"the symbolic link {sep.join(below)!r}")
                below.pop()
                continue
            below.append(part)
            resolved = os.path.abspath(sep + part)
            read_as = os.path.basename(resolved) or resolved
            if read_as != part:
                _read_as_another(param, value, part, read_as)
        if n == 1 and last is not None and _TEMP_NAME.fullmatch(last):
            raise ValueError(f"{param} {value!r} is not a name this archive writes: {last!r} has the form of its "
                             "temporary files")


def _section_dir_inside_root(root_dir, section):
    _check_inside_root(root_dir, (("section", section),))
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
    _Replacement(str(screenshot_path), private=False)  # a path the page library may write
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
    _Replacement(str(screenshot_path), private=False)  # a path the page library may write
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
        root_dir = self.root_dir
        _check_inside_root(root_dir, (("section", section), ("filename", filename)))
        section_dir = root_dir / section
        section_dir.mkdir(parents=True, exist_ok=True)
        path = section_dir / filename
        text = json.dumps(payload, ensure_ascii=False, indent=2)
        _replace_text(path, text, private=False)
        return str(path)
