"""What lies beside a recording, and the line's speed, stated once.

A recording NAME has its arrival times in NAME.times (vorn.times) and the
baud rate it was recorded at in NAME.baud, one number on a line, which gives
each packet's time on the wire for its sample time (vorn.sample_clock).

LINE_BAUD is the speed every command and vorn.open open a port at unless
told another, SerialParser's own. A recording without NAME.baud predates
that file; its clock takes UNSAID_BAUD, the speed such recordings were made
at. Nothing here loads the native helper: the command's --help uses it."""

from __future__ import annotations

import numbers
import os
from pathlib import Path

TIMES_SUFFIX = ".times"
BAUD_SUFFIX = ".baud"
LINE_BAUD = 115200
UNSAID_BAUD = 921600


def times_path(path) -> Path:
    return Path(os.fsdecode(path) + TIMES_SUFFIX)


def baud_path(path) -> Path:
    return Path(os.fsdecode(path) + BAUD_SUFFIX)


def beside(path) -> list[str]:
    """The recording and the files beside it."""
    name = os.fsdecode(path)
    return [name, name + TIMES_SUFFIX, name + BAUD_SUFFIX]


def write_baud(path, baud: int) -> None:
    """Keeps the line's baud rate beside a recording."""
    baud_path(path).write_text(f"{int(baud)}\n")


def check_baud(baud) -> None:
    """TypeError or ValueError for a baud argument that is neither None nor a
    positive whole number."""
    if baud is not None:
        if isinstance(baud, bool) or not isinstance(baud, numbers.Integral):
            raise TypeError(f"baud must be an int or None, not {type(baud).__name__}")
        if baud <= 0:
            raise ValueError(f"baud must be above 0, not {baud}")


def baud_of(path, default: int | None = None) -> int:
    """The baud rate a recording was made at: NAME.baud, else `default`, else
    UNSAID_BAUD."""
    check_baud(default)
    try:
        text = baud_path(path).read_text().strip()
    except FileNotFoundError:
        return default or UNSAID_BAUD
    try:
        baud = int(text)
    except ValueError:
        raise ValueError(f"{baud_path(path)}: not a baud rate: {text[:40]!r}") from None
    if baud <= 0:
        raise ValueError(f"{baud_path(path)}: not a baud rate: {baud}")
    return baud
