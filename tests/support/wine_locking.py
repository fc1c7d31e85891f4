"""TEST RIG ONLY, never part of the product: msvcrt.locking with Windows' behaviour, for Wine.

The store lock on Windows calls msvcrt.locking, the Universal CRT's _locking: it locks `nbytes`
from the file's current position with kernel32's LockFile. LK_LOCK and LK_RLCK try ten times, a
second apart, then fail with EDEADLOCK; LK_NBLCK and LK_NBRLCK try once and fail with EACCES;
LK_UNLCK unlocks. Wine 8's msvcrt gives up after ten tries 1 ms apart with errno 0, which no
Windows does, so a contention test under Wine would test Wine. tools/windows.sh copies this file
into the Wine test interpreter's site-packages with a .pth line that calls install(), so that
every test process and every child it starts has the documented behaviour. Outside Wine,
install() changes nothing.
"""

import errno
import os
import sys
import time

RETRIES = 10  # LK_LOCK and LK_RLCK: attempts, one second apart


def under_wine():
    import ctypes

    try:
        return hasattr(ctypes.WinDLL("ntdll"), "wine_get_version")
    except OSError:
        return False


def _kernel32():
    import ctypes
    from ctypes import wintypes

    kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    for name in ("LockFile", "UnlockFile"):
        function = getattr(kernel32, name)
        function.argtypes = [wintypes.HANDLE] + [wintypes.DWORD] * 4
        function.restype = wintypes.BOOL
    return kernel32


def make_locking(msvcrt):
    kernel32 = _kernel32()

    def locking(fd, mode, nbytes, /):
        sys.audit("msvcrt.locking", fd, mode, nbytes)
        if nbytes < 0 or mode not in (msvcrt.LK_UNLCK, msvcrt.LK_LOCK, msvcrt.LK_NBLCK, msvcrt.LK_RLCK,
                                      msvcrt.LK_NBRLCK):
            raise OSError(errno.EINVAL, os.strerror(errno.EINVAL))
        handle = msvcrt.get_osfhandle(fd)
        position = os.lseek(fd, 0, os.SEEK_CUR)
        region = (position & 0xFFFFFFFF, position >> 32, nbytes & 0xFFFFFFFF, 0)
        if mode == msvcrt.LK_UNLCK:
            if not kernel32.UnlockFile(handle, *region):
                raise OSError(errno.EACCES, os.strerror(errno.EACCES))
            return
        waits = mode in (msvcrt.LK_LOCK, msvcrt.LK_RLCK)
        for attempt in range(RETRIES if waits else 1):
            if attempt:
                time.sleep(1.0)
            if kernel32.LockFile(handle, *region):
                return
        code = errno.EDEADLOCK if waits else errno.EACCES
        raise OSError(code, os.strerror(code))

    return locking


def install():
    if sys.platform != "win32" or not under_wine():
        return
    import msvcrt

    msvcrt.locking = make_locking(msvcrt)
