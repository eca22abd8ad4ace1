"""The times file: when each read of a recording arrived.

A recording is two files: the bytes exactly as the port delivered them (what
MockParser replays), and beside it, NAME.times, when each read arrived. The
times file is the magic line, then one zlib stream flushed whenever the
recording is, holding for each read three unsigned LEB128 numbers: the read's
length in bytes, the zigzag-coded change of the wall clock since the previous
read (ns; the clock of IMUPacket.timestamp, which may step back), and the
zigzag-coded change of (wall clock in us - monotonic clock in us). The first
read's values count from zero. The monotonic clock is kept to the microsecond:
read-to-read jitter is far coarser, and the nanoseconds would double the size.
A cut or damaged tail costs only the times after the last whole read.
"""

from __future__ import annotations

import os
import time
import zlib
from pathlib import Path
from typing import NamedTuple

TIMES_SUFFIX = ".times"
TIMES_MAGIC = b"vorn arrival times 1\n"
READ_SIZE = 1 << 16  # bytes of a times file read at a time


def times_path(path) -> Path:
    """NAME.times beside the recording NAME."""
    return Path(os.fsdecode(path) + TIMES_SUFFIX)


class Stamp(NamedTuple):
    """When a read arrived: the wall clock of IMUPacket.timestamp and the
    monotonic clock, both in ns."""

    wall_ns: int
    mono_ns: int


def now() -> Stamp:
    return Stamp(time.time_ns(), time.monotonic_ns())


def varint(out: bytearray, n: int) -> None:
    while n > 0x7F:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    out.append(n)


def zigzag(n: int) -> int:
    return n * 2 if n >= 0 else -n * 2 - 1


def unzigzag(n: int) -> int:
    return n >> 1 if not n & 1 else -((n + 1) >> 1)


class TimesWriter:
    """Appends the arrival of each read to NAME.times; flush() makes what was
    added durable as far as the recording's own flush is. Without force an
    existing file is refused (FileExistsError)."""

    def __init__(self, path, force: bool) -> None:
        self.file = open(times_path(path), "wb" if force else "xb")
        self.file.write(TIMES_MAGIC)
        self.zip = zlib.compressobj(6)
        self.pending = bytearray()
        self.wall = self.skew = 0

    def add(self, nbytes: int, stamp: Stamp) -> None:
        skew = stamp.wall_ns // 1000 - stamp.mono_ns // 1000
        varint(self.pending, nbytes)
        varint(self.pending, zigzag(stamp.wall_ns - self.wall))
        varint(self.pending, zigzag(skew - self.skew))
        self.wall, self.skew = stamp.wall_ns, skew

    def flush(self) -> None:
        self.file.write(self.zip.compress(bytes(self.pending)) + self.zip.flush(zlib.Z_SYNC_FLUSH))
        self.pending.clear()
        self.file.flush()

    def close(self) -> None:
        try:
            self.file.write(self.zip.compress(bytes(self.pending)) + self.zip.flush())
        finally:
            self.file.close()


def read_times(path):
    """(end offset, Stamp) of each whole read in the times file of the
    recording at path, in order; nothing for a missing or foreign file, up to
    the damage for a damaged one. OSError when it is there but cannot be read."""
    try:
        f = open(times_path(path), "rb")
    except FileNotFoundError:
        return
    with f:
        if f.read(len(TIMES_MAGIC)) != TIMES_MAGIC:
            return
        unzip = zlib.decompressobj()
        values: list[int] = []
        n = shift = 0
        end = wall = skew = 0
        while True:
            piece = f.read(READ_SIZE)
            try:
                data = unzip.decompress(piece) if piece else unzip.flush()
            except zlib.error:
                return  # damaged: the whole reads before it stand
            for byte in data:
                n |= (byte & 0x7F) << shift
                if byte & 0x80:
                    shift += 7
                    continue
                values.append(n)
                n = shift = 0
                if len(values) == 3:
                    size, step, change = values
                    values.clear()
                    end += size
                    wall += unzigzag(step)
                    skew += unzigzag(change)
                    yield end, Stamp(wall, (wall // 1000 - skew) * 1000)
            if not piece:
                return


def has_times(path) -> bool:
    """Whether the recording at path has arrival times for at least one read."""
    return next(read_times(path), None) is not None
