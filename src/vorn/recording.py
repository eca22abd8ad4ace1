"""A recording read in pieces through the core's framing: the one place that
opens recordings and their arrival times, for every command on top of it.

A recording is two files: the bytes exactly as the port delivered them (what
MockParser replays), and beside it, NAME.times, when each read arrived (see
vorn.times_v2: blocks that vouch for themselves and for the recording's
bytes). Reads the times file does not vouch for are untimed; their packets
are kept, with host_time_ns -1.
"""

from __future__ import annotations

import os
from array import array

from vorn import _native
from vorn.errors import ToolError, os_failure
from vorn.progress import Progress
from vorn.times_v2 import (TIMES_MAGIC, TIMES_SUFFIX, Estimate, Stamp, TimesWriter,  # noqa: F401 (re-exported)
                           extrapolate_times, has_times, load_times, now, times_path)

CHUNK = 1 << 16  # bytes read from a recording at a time
BATCH_ROWS, BATCH_READS = 4096, 256  # a batch closes at whichever comes first
# What the core's rows carry, as reads() yields them; batches() puts each
# packet's arrival time (wall clock, ns) in front.
ROW_COLUMNS: tuple[str, ...] = _native.COLUMNS
COLUMNS: tuple[str, ...] = ("host_time_ns", *ROW_COLUMNS)
# The record field each name on the unit's invalid list stands for:
# estOrientQuaternion -> est_orient_quaternion.
FIELD_OF_INVALID_NAME = {f["invalid_name"]: name for name, f in _native.FIELDS.items() if f["invalid_name"]}


# Columns (see columns()): packet_type as codes into KINDS, every value
# component as float32, and a flag column per filter field.
KINDS = ("raw", "estimated")  # the core's PacketKind order
QUATERNION_PARTS = ("w", "x", "y", "z")  # element 0, first on the wire, is the scalar part
COLUMN_CHUNK = 1 << 18  # bytes of a recording framed into columns at a time
UNTIMED = -1  # host_time_ns of a packet whose read has no vouched time
UNTIMED_PIECE = 256  # bytes of an untimed stretch framed under one extrapolated time
UNTIMED_STEP = 32  # bytes between the offsets an untimed packet's time is placed by


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


class Recording:
    """A recorded stream framed in pieces by the core, with its arrival times
    where its times file vouches for them (times: a times_v2.Times).

    reads() yields, for each read as it arrived (or each piece of the
    recording where no time is known), its Stamp, an Estimate (extrapolated:
    the read is untimed but the recording has times to extrapolate from) or
    None, and the rows of the packets it completed (None when made without
    rows): every packet gets the time of the read that completed it, as the
    reader stamps IMUPacket.timestamp. batches() yields the same rows with
    the vouched wall time (or None) in front (COLUMNS), several reads together.
    counts() afterwards tells what framing saw."""

    def __init__(self, path, rows: bool = False) -> None:
        self.path = path
        try:
            self.file = open(path, "rb")
            self.size = os.fstat(self.file.fileno()).st_size
            self.times = load_times(path)
        except OSError as e:
            raise os_failure(getattr(e, "filename", None) or path, e) from None
        self.framer = _native.Framer(rows=rows)
        self.untimed = 0  # bytes fed without a vouched arrival time
        self.fed = 0  # bytes framed into columns so far

    def pieces(self):
        """(Stamp, Estimate or None, bytes): each vouched read, and the
        untimed stretches in pieces, estimated where the recording has times."""
        read = self.file.read
        guess = self.times.timed
        pos = 0
        for end, stamp in self.times.reads():
            if stamp is not None:
                piece = read(end - pos)
                if piece:
                    yield stamp, piece
                pos += len(piece)
                if pos < end:
                    return  # the recording is shorter than its times
                continue
            while pos < end:
                piece = read(min(UNTIMED_PIECE if guess else CHUNK, end - pos))
                if not piece:
                    return
                pos += len(piece)
                self.untimed += len(piece)
                yield (extrapolate_times(self.times, [pos])[0] if guess else None), piece
        while piece := read(CHUNK):  # grown since it was opened
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
        the recording at a time; None for every packet of an untimed read."""
        out: list = []
        fed = 0
        for stamp, rows in self.reads(label):
            if rows:
                t = (None if stamp is None or type(stamp) is Estimate else stamp.wall_ns,)
                out += [t + r for r in rows]
            fed += 1
            if len(out) >= BATCH_ROWS or fed >= BATCH_READS:
                yield out
                out, fed = [], 0
        if out:
            yield out

    def spans(self):
        """(walls, monos, data, ends, base): whole reads of about COLUMN_CHUNK
        bytes, their clocks (int64 arrays), where each ends in data (native
        int64s) and where data begins in the recording; for an untimed
        stretch walls and monos are None and ends fall every UNTIMED_STEP
        bytes (none when the recording has no times), a chunk at a time."""
        import numpy as np

        read = self.file.read
        t = self.times
        all_ends = np.frombuffer(t.ends, np.int64)
        walls, monos = np.frombuffer(t.walls, np.int64), np.frombuffer(t.monos, np.int64)
        pos = 0

        def untimed(upto):
            nonlocal pos
            while pos < upto:
                data = read(min(COLUMN_CHUNK, upto - pos))
                if not data:
                    return False
                self.untimed += len(data)
                # Where packets end, for the times extrapolated for them; without times, not needed.
                ends = np.arange(UNTIMED_STEP, len(data), UNTIMED_STEP, dtype=np.int64) if t.timed else b""
                yield None, None, data, bytes(ends), pos
                pos += len(data)
            return True

        for first, end, lo, hi in t.segments:
            if not (yield from untimed(first)):
                return
            while lo < hi:
                # Reads up to about COLUMN_CHUNK bytes on, and at least one.
                stop = max(int(np.searchsorted(all_ends[lo:hi], pos + COLUMN_CHUNK, "right")) + lo, lo + 1)
                want = int(all_ends[stop - 1]) - pos
                data = read(want)
                # The bytes of a read cut off by the recording's end are the read
                # after the last whole one; the recording stops there.
                rel = all_ends[lo:stop] - pos
                whole = rel[rel <= len(data)]
                yield walls[lo:stop], monos[lo:stop], data, whole.tobytes(), pos
                pos += len(data)
                if len(data) < want:
                    return
                lo = stop
        yield from untimed(self.size)
        while data := read(COLUMN_CHUNK):  # grown since it was opened
            self.untimed += len(data)
            yield None, None, data, b"", pos
            pos += len(data)

    def columns(self, label: str, kind: str | None = None, start: float | None = None, end: float | None = None):
        """Dicts of NumPy arrays by column_names(kind, timed), a chunk of the
        recording at a time, holding the packets of that kind (both if None)
        that arrived from start to before end, in seconds since the first
        read arrived, or for a recording without arrival times from packet
        number start to before end (counting packets of both kinds from 0).
        A packet arrived with the read that completed it; an untimed packet
        (host_time_ns -1) is placed in a range by the time extrapolate_times
        gives it. Stops reading once past end."""
        import numpy as np

        if kind is not None and kind not in KINDS:
            raise ValueError(f"kind must be one of {KINDS} or None, not {kind!r}")
        timed = self.times.timed
        fields = fields_of(kind)
        every_value = [c for f in VALUE_FIELDS for c in value_columns(f)]
        values_named = [c for f in fields for c in value_columns(f)]
        value_at = [every_value.index(c) for c in values_named]
        flag_at = [FLAG_FIELDS.index(f) for f in fields if f in FLAG_FIELDS]
        flags_named = [flag_column(FLAG_FIELDS[i]) for i in flag_at]
        width, nflags = len(every_value), len(FLAG_FIELDS)
        code = None if kind is None else KINDS.index(kind)
        origin = self.times.origin()
        ranged = start is not None or end is not None
        seen = 0  # packets framed so far, of both kinds
        progress = Progress(self.size, label)
        columns = self.framer.columns
        try:
            with self.file:
                for walls, monos, data, ends, base in self.spans():
                    progress.update(len(data))
                    self.fed += len(data)
                    kinds_b, reads_b, values_b, flags_b = columns(data, ends)
                    kinds = np.frombuffer(kinds_b, np.uint8)
                    n = len(kinds)
                    reads = np.frombuffer(reads_b, np.uint32)
                    keep = None if code is None else kinds == code
                    past = False
                    if timed:
                        if walls is None:
                            wall = np.full(n, UNTIMED, np.int64)
                            if ranged and n:
                                at = (reads.astype(np.int64) + 1) * UNTIMED_STEP + base
                                guessed = extrapolate_times(self.times, np.minimum(at, base + len(data)).tolist())
                                mono = np.array([g.mono_ns for g in guessed], np.int64)
                        else:
                            wall, mono = walls[reads], monos[reads]
                        if ranged and n:
                            when = (mono - origin) / 1e9
                            inside = ((when >= (start if start is not None else -np.inf))
                                      & (when < (end if end is not None else np.inf)))
                            keep = inside if keep is None else keep & inside
                            past = end is not None and when[-1] >= end
                    elif ranged:
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
