"""What the commands share: failures, progress on a terminal, and a recording
read in pieces through the core's framing."""

from __future__ import annotations

import os
import sys
import time

from vorn_tools import _native

CHUNK = 1 << 16  # bytes read from a recording at a time
COLUMNS: tuple[str, ...] = _native.COLUMNS


class ToolError(Exception):
    """A failure to report as one line on stderr, with exit status 1."""


def os_failure(path, error: OSError) -> ToolError:
    return ToolError(f"{path}: {error.strerror or error}")


class Progress:
    """A progress bar on stderr when it is a terminal; silent otherwise. Uses
    tqdm when it is installed."""

    def __init__(self, total: int, label: str) -> None:
        self.total, self.label, self.done = total, label, 0
        self.bar = None
        self.shown = 0.0
        self.active = sys.stderr.isatty() and total > 0
        if self.active:
            try:
                from tqdm import tqdm
            except ImportError:
                pass
            else:
                self.bar = tqdm(total=total, desc=label, unit="B", unit_scale=True, leave=False)

    def update(self, n: int) -> None:
        self.done += n
        if not self.active:
            return
        if self.bar is not None:
            self.bar.update(n)
            return
        now = time.monotonic()
        if now - self.shown >= 0.1:
            self.shown = now
            frac = self.done / self.total
            bar = "#" * int(frac * 30)
            sys.stderr.write(f"\r{self.label} [{bar:<30}] {frac:4.0%}\x1b[K")
            sys.stderr.flush()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        elif self.active:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()


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
        """At the end of the stream the bytes still held back are noise as well."""
        c = self.framer.counts()
        c["noise"] += c.pop("pending")
        return c

    def require_packets(self) -> dict:
        c = self.counts()
        if c["raw"] + c["estimated"] == 0:
            raise ToolError(f"{self.path}: no packets in {c['bytes']:,} bytes")
        return c
