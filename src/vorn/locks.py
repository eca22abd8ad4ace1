"""An output claimed for as long as it is written: an exclusive flock, and
who holds it when it is taken."""

from __future__ import annotations

import errno
import fcntl
import os


class HeldError(OSError):
    """The file is locked by another process (pid, or None when unknown):
    errno EWOULDBLOCK, as flock says it, filename the file."""

    def __init__(self, path, pid: int | None) -> None:
        who = f"process {pid}" if pid else "another process"
        super().__init__(errno.EWOULDBLOCK, f"being written by {who}", os.fsdecode(path))
        self.pid = pid


def holder(fd: int) -> int | None:
    """The pid holding a flock on the file open as fd, from /proc/locks."""
    st = os.fstat(fd)
    ident = f"{os.major(st.st_dev):02x}:{os.minor(st.st_dev):02x}:{st.st_ino}"
    try:
        with open("/proc/locks") as f:
            for line in f:
                parts = line.split()
                # "1: FLOCK  ADVISORY  WRITE 2304 08:01:1234 0 EOF"; a waiter's line has "->" after the number.
                if len(parts) >= 6 and parts[1] == "FLOCK" and parts[5] == ident:
                    return int(parts[4])
    except (OSError, ValueError):
        pass
    return None


def claim(path, create: bool, exclusive: bool) -> int:
    """A descriptor of path open for writing under an exclusive flock, the file
    left as it was (the caller truncates it once it holds it). create: made if
    missing; exclusive: must not exist yet (FileExistsError). Raises HeldError
    while another process holds it."""
    flags = os.O_WRONLY | os.O_CLOEXEC | (os.O_CREAT if create else 0) | (os.O_EXCL if exclusive else 0)
    fd = os.open(path, flags, 0o666)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        pid = holder(fd)
        os.close(fd)
        raise HeldError(path, pid) from None
    except BaseException:
        os.close(fd)
        raise
    return fd


def held_by(path) -> int | None | bool:
    """False when nobody holds a flock on path (or it cannot be opened), else
    the holder's pid (None when unknown)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK | os.O_NOCTTY)
    except OSError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return holder(fd)
    except OSError:
        return False
    finally:
        os.close(fd)
    return False
