"""No command writes over a file it reads: an output is compared with every
input by identity (the same file under another name, a link, a symlink),
and, where it does not exist yet, by the path it would be made at."""

from __future__ import annotations

import os

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
