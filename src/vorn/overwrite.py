"""No command writes over a file it reads: an output is compared with every
input by identity (the same file under another name, a link, a symlink),
and, where it does not exist yet, by the path it would be made at."""

from __future__ import annotations

import os


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
