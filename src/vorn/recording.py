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
from array import array
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


# Columns (see columns()): packet_type as codes into KINDS, every value
# component as float32, and a flag column per filter field.
KINDS = ("raw", "estimated")  # the core's PacketKind order
QUATERNION_PARTS = ("w", "x", "y", "z")  # element 0, first on the wire, is the scalar part
COLUMN_CHUNK = 1 << 18  # bytes of a recording framed into columns at a time
UNTIMED = -1  # host_time_ns of a packet after the times file ends early


def value_columns(field: str) -> tuple[str, ...]:
    """The column names of one value field's components, in wire order:
    scaled_accel_x, ..., est_orient_quaternion_w, ... (the scalar first)."""
    columns = _native.FIELDS[field]["columns"]
    if len(columns) == len(QUATERNION_PARTS):
        return tuple(f"{field}_{part}" for part in QUATERNION_PARTS)
    return columns


def flag_column(field: str) -> str:
    """The boolean column telling whether the unit flagged field invalid."""
    return f"{field}_invalid"


VALUE_FIELDS: tuple[str, ...] = tuple(_native.FIELDS)  # record order
# Each value field's unit as the unit sends it ("" for none).
UNITS = {"scaled_accel": "g", "scaled_gyro": "rad/s", "delta_vel": "g·s", "delta_theta": "rad",
         "scaled_ambient_pressure": "Pa", "est_pressure_alt": "m", "est_orient_quaternion": "",
         "est_attitude_uncert_quaternion": "", "est_angular_rate": "rad/s", "est_compensated_accel": "m/s²",
         "est_linear_accel": "m/s²", "est_gravity_vector": "m/s²"}
FLAG_FIELDS: tuple[str, ...] = tuple(f for f in VALUE_FIELDS if _native.FIELDS[f]["invalid_name"])


def fields_of(kind: str | None) -> tuple[str, ...]:
    return tuple(f for f in VALUE_FIELDS if kind is None or _native.FIELDS[f]["packet_type"] == kind)


def column_names(kind: str | None = None, timed: bool = False) -> tuple[str, ...]:
    """The columns of a recording read as columns: the arrival time when it has
    one, packet_type, each value component of the kind's fields (of both kinds
    when kind is None), and a flag per filter field."""
    fields = fields_of(kind)
    return (*(("host_time_ns",) if timed else ()), "packet_type",
            *(c for f in fields for c in value_columns(f)), *(flag_column(f) for f in fields if f in FLAG_FIELDS))


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
        self.fed = 0  # bytes framed into columns so far

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

    def spans(self):
        """(Stamps or None, data, ends): whole reads of about COLUMN_CHUNK bytes
        with their Stamps and where each ends in data (native int64s), then
        the rest without times, a chunk at a time (ends b"")."""
        read = self.file.read
        base = 0
        ends, stamps = array("q"), []

        def span():
            data = read(ends[-1])
            # The bytes of a read cut off by the recording's end are the read
            # after the last whole one; the recording stops there.
            whole = array("q", (e for e in ends if e <= len(data)))
            return (stamps, data, whole.tobytes()), len(data) < ends[-1]

        for end, stamp in read_times(self.path):
            ends.append(end - base)
            stamps.append(stamp)
            if end - base >= COLUMN_CHUNK:
                out, cut = span()
                yield out
                if cut:
                    return
                base = end
                ends, stamps = array("q"), []
        if ends:
            out, cut = span()
            yield out
            if cut:
                return
        while piece := read(COLUMN_CHUNK):
            self.untimed += len(piece)
            yield None, piece, b""

    def columns(self, label: str, kind: str | None = None, start: float | None = None, end: float | None = None,
                seconds: bool = False):
        """Dicts of NumPy arrays by column_names(kind, timed), a chunk of the
        recording at a time, holding the packets of that kind (both if None)
        that arrived from start to before end, in seconds since the first
        read arrived, or for a recording without arrival times from packet
        number start to before end (counting packets of both kinds from 0).
        A packet arrived with the read that completed it. Stops reading once
        past end. With seconds, a recording with arrival times has those
        seconds as well, "arrival_s" (float64, NaN after the times end)."""
        import numpy as np

        if kind is not None and kind not in KINDS:
            raise ValueError(f"kind must be one of {KINDS} or None, not {kind!r}")
        timed = has_times(self.path)
        fields = fields_of(kind)
        every_value = [c for f in VALUE_FIELDS for c in value_columns(f)]
        values_named = [c for f in fields for c in value_columns(f)]
        value_at = [every_value.index(c) for c in values_named]
        flag_at = [FLAG_FIELDS.index(f) for f in fields if f in FLAG_FIELDS]
        flags_named = [flag_column(FLAG_FIELDS[i]) for i in flag_at]
        width, nflags = len(every_value), len(FLAG_FIELDS)
        code = None if kind is None else KINDS.index(kind)
        first_mono = None
        seen = 0  # packets framed so far, of both kinds
        progress = Progress(self.size, label)
        columns = self.framer.columns
        try:
            with self.file:
                for stamps, data, ends in self.spans():
                    progress.update(len(data))
                    self.fed += len(data)
                    kinds_b, reads_b, values_b, flags_b = columns(data, ends)
                    kinds = np.frombuffer(kinds_b, np.uint8)
                    n = len(kinds)
                    reads = np.frombuffer(reads_b, np.uint32)
                    keep = None if code is None else kinds == code
                    past = False
                    if timed:
                        if stamps is None:
                            when = None
                            wall = np.full(n, UNTIMED, np.int64)
                        else:
                            walls = np.fromiter((s.wall_ns for s in stamps), np.int64, len(stamps))
                            monos = np.fromiter((s.mono_ns for s in stamps), np.int64, len(stamps))
                            if first_mono is None and len(monos):
                                first_mono = int(monos[0])
                            wall = walls[reads]
                            when = (monos[reads] - first_mono) / 1e9
                            past = end is not None and len(monos) and (monos[-1] - first_mono) / 1e9 >= end
                        if start is not None or end is not None:
                            inside = np.zeros(n, bool) if when is None else (
                                (when >= (start if start is not None else -np.inf))
                                & (when < (end if end is not None else np.inf)))
                            keep = inside if keep is None else keep & inside
                            past = past or when is None
                    elif start is not None or end is not None:
                        number = np.arange(seen, seen + n)
                        inside = (number >= (start or 0)) & (number < (end if end is not None else np.inf))
                        keep = inside if keep is None else keep & inside
                        past = end is not None and seen + n >= end
                    seen += n
                    values = np.frombuffer(values_b, np.float32).reshape(width, n)
                    flags = np.frombuffer(flags_b, np.bool_).reshape(nflags, n)
                    pick = (lambda a: a) if keep is None else (lambda a: a[keep])
                    chunk = {}
                    if timed:
                        chunk["host_time_ns"] = pick(wall)
                        if seconds:
                            chunk["arrival_s"] = pick(np.full(n, np.nan) if when is None else when)
                    chunk["packet_type"] = pick(kinds)
                    for name, i in zip(values_named, value_at):
                        chunk[name] = pick(values[i])
                    for name, i in zip(flags_named, flag_at):
                        chunk[name] = pick(flags[i])
                    if len(chunk["packet_type"]):
                        yield chunk
                    if past:
                        return
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
