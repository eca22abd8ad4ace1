"""A recording read in pieces through the core's framing: the one place that
opens recordings and their arrival times, for every command on top of it.

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

from vorn import _native
from vorn.errors import ToolError, os_failure
from vorn.progress import Progress

CHUNK = 1 << 16  # bytes read from a recording at a time
BATCH_ROWS, BATCH_READS = 4096, 256  # a batch closes at whichever comes first
# What the core's rows carry, as reads() yields them; batches() puts each
# packet's arrival time (wall clock, ns) in front.
ROW_COLUMNS: tuple[str, ...] = _native.COLUMNS
COLUMNS: tuple[str, ...] = ("host_time_ns", *ROW_COLUMNS)
TIMES_SUFFIX = ".times"
TIMES_MAGIC = b"vorn arrival times 1\n"
# The record field each name on the unit's invalid list stands for:
# estOrientQuaternion -> est_orient_quaternion.
FIELD_OF_INVALID_NAME = {f["invalid_name"]: name for name, f in _native.FIELDS.items() if f["invalid_name"]}


def times_path(path) -> Path:
    return Path(os.fsdecode(path) + TIMES_SUFFIX)


class Stamp(NamedTuple):
    """When a read arrived: the wall clock of IMUPacket.timestamp and the
    monotonic clock, both in ns."""

    wall_ns: int
    mono_ns: int


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
    added durable as far as the recording's own flush is."""

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


def now() -> Stamp:
    return Stamp(time.time_ns(), time.monotonic_ns())


def read_times(path):
    """(end offset, Stamp) of each whole read in path's times file, in order;
    nothing for a missing or foreign file, up to the damage for a damaged one."""
    try:
        f = open(times_path(path), "rb")
    except FileNotFoundError:
        return
    except OSError as e:
        raise os_failure(times_path(path), e) from None
    with f:
        if f.read(len(TIMES_MAGIC)) != TIMES_MAGIC:
            return
        unzip = zlib.decompressobj()
        values: list[int] = []
        n = shift = 0
        end = wall = skew = 0
        while True:
            piece = f.read(CHUNK)
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
    return next(read_times(path), None) is not None


class Recording:
    """A recorded stream framed in pieces by the core, with its arrival times
    where they are known.

    reads() yields, for each read as it arrived (or each CHUNK where no time is
    known), its Stamp or None and the rows of the packets it completed (None
    when made without rows): every packet gets the time of the read that
    completed it, as the reader stamps IMUPacket.timestamp. batches() yields the
    same rows with the wall time in front (COLUMNS), several reads together.
    counts() afterwards tells what framing saw."""

    def __init__(self, path, rows: bool = False) -> None:
        self.path = path
        try:
            self.file = open(path, "rb")
            self.size = os.fstat(self.file.fileno()).st_size
        except OSError as e:
            raise os_failure(path, e) from None
        self.framer = _native.Framer(rows=rows)
        self.untimed = 0  # bytes fed without a known arrival time

    def pieces(self):
        """(Stamp or None, bytes): each timed read, then the rest untimed."""
        read = self.file.read
        pos = 0
        for end, stamp in read_times(self.path):
            piece = read(end - pos)
            if piece:
                yield stamp, piece
            pos += len(piece)
            if pos < end:
                return  # the recording is shorter than its times
        while piece := read(CHUNK):
            self.untimed += len(piece)
            yield None, piece

    def reads(self, label: str):
        progress = Progress(self.size, label)
        feed = self.framer.feed
        try:
            with self.file:
                for stamp, piece in self.pieces():
                    progress.update(len(piece))
                    yield stamp, feed(piece)
        except OSError as e:
            raise os_failure(self.path, e) from None
        finally:
            progress.close()

    def batches(self, label: str):
        """Lists of rows, each (host_time_ns or None, *row), about CHUNK bytes of
        the recording at a time."""
        out: list = []
        fed = 0
        for stamp, rows in self.reads(label):
            if rows:
                t = (None if stamp is None else stamp.wall_ns,)
                out += [t + r for r in rows]
            fed += 1
            if len(out) >= BATCH_ROWS or fed >= BATCH_READS:
                yield out
                out, fed = [], 0
        if out:
            yield out

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
