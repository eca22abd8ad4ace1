"""No command writes over a file it reads: an output is compared with every
input by identity (the same file under another name, a link, a symlink),
and, where it does not exist yet, by the path it would be made at."""

from __future__ import annotations

import os
import re
import shutil
import signal
import threading
from pathlib import Path

from vorn.errors import UsageError


class SameFileError(UsageError):
    """An output names a file that is also an input (output, source)."""

    def __init__(self, output, source) -> None:
        super().__init__(
            f"{os.fsdecode(output)}: is {os.fsdecode(source)}, which this command reads; name another output"
        )
        self.output, self.source = output, source


def where(path) -> tuple:
    """What path names: its file (device, inode) when it exists, else the
    absolute path, its symlinks resolved, it would be made at."""
    try:
        st = os.stat(path)
        return ("file", st.st_dev, st.st_ino)
    except OSError:
        return ("path", os.path.realpath(path))


def clash(outputs, inputs) -> tuple | None:
    """The first (output, input) pair naming the same file, or None."""
    seen = {}
    for p in inputs:
        if p is not None:
            seen.setdefault(where(p), p)
            seen.setdefault(("path", os.path.realpath(p)), p)
    for out in outputs:
        if out is None:
            continue
        for key in (where(out), ("path", os.path.realpath(out))):
            if key in seen:
                return out, seen[key]
    return None


def refuse(outputs, inputs) -> None:
    """SameFileError when an output names a file that is also an input."""
    same = clash(outputs, inputs)
    if same is not None:
        raise SameFileError(*same)


# -- placing an output ------------------------------------------------------
#
# An output is written beside its final name under a hidden one of its own
# (.NAME.PID.part), flushed to the disk with its directory, and renamed into
# place: a reader, a crash or a power cut sees the old file or the whole new
# one. A stop signal that comes once an output is in place no longer undoes
# the command (`placed`).

PART = re.compile(r"^\.(?P<name>.+)\.(?P<pid>\d+)\.part$")
placed = threading.Event()  # an output of this process is in place: its work is done
committing = threading.Event()  # an output is being renamed into place
stopping: list[int] = []  # a stop signal put off while committing


def destination(out) -> Path:
    """Where out's bytes go: out itself, or through a symlink (a dangling one
    included) the file it points at, which is replaced and the link kept."""
    out = Path(out)
    if os.path.islink(out):
        return Path(os.path.realpath(out))
    return out


def part_path(final) -> Path:
    final = Path(final)
    return final.with_name(f".{final.name}.{os.getpid()}.part")


def alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True  # another user's: alive
    return True


def sweep(final) -> list[Path]:
    """Removes what writers of final that died (SIGKILL, a power cut) left
    beside it: .NAME.PID.part of a process that no longer runs. A part of a
    process that still runs (this one's included) is left alone."""
    final = Path(final)
    removed = []
    try:
        names = os.listdir(final.parent or ".")
    except OSError:
        return removed
    for name in names:
        m = PART.match(name)
        if not m or m["name"] != final.name or alive(int(m["pid"])):
            continue
        stale = final.parent / name
        try:
            if stale.is_dir() and not stale.is_symlink():
                shutil.rmtree(stale)
            else:
                stale.unlink()
        except FileNotFoundError:
            continue
        removed.append(stale)
    return removed


def sync_tree(path) -> None:
    """fsync of a file, or of a directory's files and the directory."""
    if os.path.isdir(path) and not os.path.islink(path):
        for entry in os.scandir(path):
            sync_tree(entry.path)
        sync_directory(path)
        return
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def sync_directory(path) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def commit(part, final, last: bool = True) -> None:
    """part renamed to final once it and then the rename are on the disk;
    last: the command's work is done once it is in place (placed). A stop
    signal that its handler put off meanwhile (in stopping) is raised again
    after."""
    sync_tree(part)
    committing.set()
    try:
        os.replace(part, final)
        sync_directory(Path(final).parent)
        if last:
            placed.set()
    finally:
        committing.clear()
        if stopping:
            signal.raise_signal(stopping.pop())
