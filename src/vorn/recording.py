"""A recording read in pieces through the core's framing: the one place that
opens recordings, for every command on top of it."""

from __future__ import annotations

import os

from vorn import _native
from vorn.errors import ToolError, os_failure
from vorn.progress import Progress

CHUNK = 1 << 16  # bytes read from a recording at a time
COLUMNS: tuple[str, ...] = _native.COLUMNS
# The record field each name on the unit's invalid list stands for:
# estOrientQuaternion -> est_orient_quaternion.
FIELD_OF_INVALID_NAME = {f["invalid_name"]: name for name, f in _native.FIELDS.items() if f["invalid_name"]}


class Recording:
    """A recorded stream framed in pieces by the core. batches() yields, for
    each piece read, the rows of the packets it completed (None when made
    without rows); counts() afterwards tells what framing saw."""

    def __init__(self, path, rows: bool = False) -> None:
        self.path = path
        try:
            self.file = open(path, "rb")
            self.size = os.fstat(self.file.fileno()).st_size
        except OSError as e:
            raise os_failure(path, e) from None
        self.framer = _native.Framer(rows=rows)

    def batches(self, label: str):
        progress = Progress(self.size, label)
        try:
            with self.file:
                while chunk := self.file.read(CHUNK):
                    progress.update(len(chunk))
                    yield self.framer.feed(chunk)
        except OSError as e:
            raise os_failure(self.path, e) from None
        finally:
            progress.close()

    def counts(self) -> dict:
        """At the end of the stream the bytes still held back are noise as well.
        Fields are named as the record names them, flagged and wrong-length alike."""
        c = self.framer.counts()
        c["noise"] += c.pop("pending")
        c["invalid"] = {FIELD_OF_INVALID_NAME.get(name, name): n for name, n in c["invalid"].items()}
        return c

    def require_packets(self) -> dict:
        c = self.counts()
        if c["raw"] + c["estimated"] == 0:
            raise ToolError(f"{self.path}: no packets in {c['bytes']:,} bytes")
        return c
