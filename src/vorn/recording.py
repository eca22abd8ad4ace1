"""A recording read in pieces through the core's framing: the one place that
opens recordings, for every reader on top of it (columns, exports, plot,
noise, info). Arrival times come from the times file beside it (vorn.times:
blocks that vouch for themselves and for the recording's bytes), the unit's
sample times from them (vorn.sample_clock); what the columns are from
vorn.fields. Reads the times file does not vouch for are untimed: their
packets are kept, with host_time_ns and time_ns -1 (UNTIMED), and placed
where a time is needed by the time extrapolated for them.

Failures are Python's own: OSError naming the recording (FileNotFoundError
for a missing one), ValueError for a recording without packets or a range
that makes no sense, TypeError for an argument of the wrong type.
"""

from __future__ import annotations

import math
import numbers
import os
from collections import deque
from collections.abc import Callable

from vorn import _native
from vorn.errors import ArgumentsError, UsageError, with_path
from vorn.fields import (
    FIELD_OF_INVALID_NAME,
    FLAG_FIELDS,
    KINDS,
    UNTIMED,
    VALUE_FIELDS,
    fields_of,
    flag_column,
    value_columns,
)
from vorn.times import Estimate, extrapolate_times, load_times

CHUNK = 1 << 16  # bytes read from a recording at a time
BATCH_ROWS, BATCH_READS = 4096, 256  # a batch closes at whichever comes first
COLUMN_CHUNK = 1 << 18  # bytes of a recording framed into columns at a time
UNTIMED_PIECE = 256  # bytes of an untimed stretch framed under one extrapolated time
UNTIMED_STEP = 32  # bytes between the offsets an untimed packet's time is placed by

# progress(done, total): bytes of the recording read so far, of its size.
Progress = Callable[[int, int], None]


def check_selection(kind, start, end) -> tuple[str | None, float | None, float | None]:
    """kind, start and end as Recording.columns takes them: TypeError for a
    kind that is not a str or a bound that is not a real number, ValueError for
    an unknown kind, a bound that is not finite, or start after end."""
    if kind is not None and not isinstance(kind, str):
        raise TypeError(f"kind must be a str or None, not {type(kind).__name__}")
    if kind is not None and kind not in KINDS:
        raise ValueError(f"kind must be one of {', '.join(map(repr, KINDS))} or None, not {kind!r}")
    bounds = []
    for name, value in (("start", start), ("end", end)):
        if value is not None:
            if isinstance(value, bool) or not isinstance(value, numbers.Real):
                raise TypeError(f"{name} must be a number or None, not {type(value).__name__}")
            value = float(value)
            if not math.isfinite(value):
                raise ValueError(f"{name} must be a finite number, not {value}")
        bounds.append(value)
    start, end = bounds
    if start is not None and end is not None and start > end:
        raise ValueError(f"start ({start:g}) is after end ({end:g})")
    return kind, start, end


def packet_numbers(start: float | None, end: float | None) -> tuple[int | None, int | None]:
    """start and end as packet numbers, for a recording without arrival times."""
    for v in (start, end):
        if v is not None and not float(v).is_integer():
            raise ArgumentsError(
                f"the recording has no arrival times: {{}} count packets, and {v:g} is not a whole number",
                "start",
                "end",
            )
    return (None if start is None else int(start)), (None if end is None else int(end))


def selection(start, end, timed: bool) -> str:
    """ " from 1 s to before 2 s": the range start, end names, for a message."""
    if start is None and end is None:
        return ""
    unit = " s" if timed else ""
    return (
        f" from {start or 0:g}{unit}"
        + ("" if end is None else f" to before {end:g}{unit}")
        + ("" if timed else " (packet numbers)")
    )


class Recording:
    """A recorded stream framed in pieces by the core, with its arrival times
    where its times file vouches for them (times: a vorn.times.Times; opening
    warns once, UntimedWarning, when some bytes have none). Opening it raises
    OSError naming the path.

    reads() yields, for each read as it arrived (or each piece of the
    recording where no time is known), its Stamp, an Estimate (extrapolated:
    the read is untimed but the recording has times to extrapolate from) or
    None, and the rows of the packets it completed (None when made without
    rows): every packet gets the time of the read that completed it, as the
    reader stamps IMUPacket.timestamp. batches() yields the same rows with the
    vouched wall time (or None) in front (TIMED_ROW_COLUMNS), several reads
    together. columns() yields arrays by column name. Each reads the recording
    once; progress, if given, is called with the bytes read so far and the
    size. counts() afterwards tells what framing saw."""

    def __init__(self, path, rows: bool = False, progress: Progress | None = None) -> None:
        self.path = path
        self.file = open(path, "rb")
        try:
            self.size = os.fstat(self.file.fileno()).st_size
            self.times = load_times(path)
        except OSError as e:
            self.file.close()
            raise with_path(e, path) from None
        self.framer = _native.Framer(rows=rows)
        self.progress = progress
        self.untimed = 0  # bytes fed without a vouched arrival time
        self.fed = 0  # bytes framed so far
        self.clock = None  # the sample clock columns() runs, for its figures at the end
        self.span_reads = None  # spans(): the last span's reads (lo, hi, where read lo begins), None if untimed

    def advance(self, n: int) -> None:
        self.fed += n
        if self.progress is not None:
            self.progress(self.fed, self.size)

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

    def reads(self):
        feed = self.framer.feed
        try:
            with self.file:
                for stamp, piece in self.pieces():
                    self.advance(len(piece))
                    yield stamp, feed(piece)
        except OSError as e:
            raise with_path(e, self.path) from None

    def batches(self):
        """Lists of rows, each (host_time_ns or None, *row), about CHUNK bytes of
        the recording at a time; None for every packet of an untimed read."""
        out: list = []
        fed = 0
        for stamp, rows in self.reads():
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
            self.span_reads = None
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

        for first, _end, lo, hi in t.segments:
            if not (yield from untimed(first)):
                return
            begins = first  # where read lo begins
            while lo < hi:
                # Reads up to about COLUMN_CHUNK bytes on, and at least one.
                stop = max(int(np.searchsorted(all_ends[lo:hi], pos + COLUMN_CHUNK, "right")) + lo, lo + 1)
                want = int(all_ends[stop - 1]) - pos
                data = read(want)
                # The bytes of a read cut off by the recording's end are the read
                # after the last whole one; the recording stops there.
                rel = all_ends[lo:stop] - pos
                whole = rel[rel <= len(data)]
                self.span_reads = (lo, stop, begins)
                yield walls[lo:stop], monos[lo:stop], data, whole.tobytes(), pos
                begins = int(all_ends[stop - 1])
                pos += len(data)
                if len(data) < want:
                    return
                lo = stop
        yield from untimed(self.size)
        self.span_reads = None
        while data := read(COLUMN_CHUNK):  # grown since it was opened
            self.untimed += len(data)
            yield None, None, data, b"", pos
            pos += len(data)

    def columns(
        self,
        kind: str | None = None,
        start: float | None = None,
        end: float | None = None,
        *,
        baud: int | None = None,
        extrapolated: bool = False,
        sample: bool = True,
        mono: bool = False,
    ):
        """Dicts of NumPy arrays by column_names(kind, timed), a chunk of the
        recording at a time, holding the packets of that kind (both if None)
        that arrived from start to before end, in seconds since the first
        read arrived, or for a recording without arrival times from packet
        number start to before end (counting packets of both kinds from 0).
        A packet arrived with the read that completed it; an untimed packet
        (host_time_ns and time_ns -1) is placed in a range by the time
        extrapolate_times gives it. Stops reading once past end. baud: the
        line's, for the sample times (time_ns) where the recording does not
        say (vorn.sample_clock). With extrapolated, an untimed packet's
        host_time_ns is the time extrapolated for it instead, and a column
        "extrapolated" (bool) says which are. Without sample, time_ns is left
        UNTIMED and the sample clock is not run (it reads the whole recording
        first). With mono, a column "mono_ns" holds the arrival on the
        monotonic clock (extrapolated likewise). Needs numpy."""
        import numpy as np

        kind, start, end = check_selection(kind, start, end)
        if (start, end) != (None, None) and self.times.stamped and not self.times.timed:
            raise UsageError(
                f"{self.path}: no read has a time its times file vouches for, so no packet can be placed "
                "in a range of seconds (start, end)"
            )
        window = Window(self.times, kind, start, end, guess=extrapolated)
        clock = None
        if self.times.timed and sample:
            from vorn.sample_clock import recording_clock

            try:
                # Given the reads span by span: it holds only those it still needs.
                clock = self.clock = recording_clock(self.path, baud, None)
            except OSError as e:
                raise with_path(e, self.path) from None
            read_ends = np.frombuffer(self.times.ends, np.int64)
            read_monos = np.frombuffer(self.times.monos, np.int64)
            read_walls = np.frombuffer(self.times.steady().walls, np.int64)  # the clock keeps to the monotonic one

        def give_reads():
            if clock is None or self.span_reads is None:
                return
            lo, hi, begins = self.span_reads
            ends = read_ends[lo:hi]
            starts = np.empty_like(ends)
            starts[0] = begins
            starts[1:] = ends[:-1]
            clock.add_reads(ends, starts, read_monos[lo:hi], read_walls[lo:hi])

        # The sample clock gives a packet's time a few seconds of recording
        # after it: chunks wait here for theirs.
        sampled = SampleQueue(np)
        waiting: deque = deque()  # (chunk, packets framed up to its end, its packets, which kept, timed span)

        def ready():
            while waiting and (clock is None or sampled.count >= waiting[0][1]):
                chunk, _, n, keep, timed = waiting.popleft()
                if clock is not None:
                    t = sampled.take(n)
                    if "time_ns" in chunk and timed:
                        chunk["time_ns"] = t if keep is None else t[keep]
                if len(chunk["packet_type"]):
                    yield chunk

        spans = self.spans()
        fields = fields_of(kind)
        every_value = [c for f in VALUE_FIELDS for c in value_columns(f)]
        values_named = [c for f in fields for c in value_columns(f)]
        value_at = [every_value.index(c) for c in values_named]
        flag_at = [FLAG_FIELDS.index(f) for f in fields if f in FLAG_FIELDS]
        flags_named = [flag_column(FLAG_FIELDS[i]) for i in flag_at]
        width, nflags = len(every_value), len(FLAG_FIELDS)
        columns = self.framer.columns
        try:
            with self.file:
                for walls, monos, data, ends, base in spans:
                    self.advance(len(data))
                    give_reads()
                    kinds_b, reads_b, values_b, flags_b = columns(data, ends)
                    if clock is not None:
                        sampled.add(clock.feed(kinds_b, *self.framer.places()))
                    kinds = np.frombuffer(kinds_b, np.uint8)
                    keep, wall, past = window.pick(
                        np, kinds, np.frombuffer(reads_b, np.uint32), walls, monos, base, len(data)
                    )
                    pick = (lambda a: a) if keep is None else (lambda a: a[keep])
                    n = len(kinds)
                    values = np.frombuffer(values_b, np.float32).reshape(width, n)
                    flags = np.frombuffer(flags_b, np.bool_).reshape(nflags, n)
                    chunk = {}
                    if wall is not None:
                        chunk["host_time_ns"] = pick(wall)
                        chunk["time_ns"] = pick(np.full(n, UNTIMED, np.int64))  # until the clock's come
                        if extrapolated:
                            chunk["extrapolated"] = np.full(len(chunk["time_ns"]), walls is None)
                        if mono and window.mono is not None:
                            chunk["mono_ns"] = pick(window.mono)
                    chunk["packet_type"] = pick(kinds)
                    for name, i in zip(values_named, value_at):
                        chunk[name] = pick(values[i])
                    for name, i in zip(flags_named, flag_at):
                        chunk[name] = pick(flags[i])
                    waiting.append((chunk, sampled.fed + n, n, keep, walls is not None))
                    sampled.fed += n
                    yield from ready()
                    if past:
                        break
                if clock is not None:
                    # The times of the packets kept need the recording after them.
                    for _, _, data, ends, _ in spans:
                        if not waiting or sampled.count >= waiting[-1][1]:
                            break
                        self.advance(len(data))
                        give_reads()
                        kinds_b = columns(data, ends, False)[0]
                        sampled.add(clock.feed(kinds_b, *self.framer.places()))
                    if waiting and sampled.count < waiting[-1][1]:
                        sampled.add(clock.finish())
                yield from ready()
        except OSError as e:
            raise with_path(e, self.path) from None

    def counts(self) -> dict:
        """At the end of the stream the bytes still held back are noise as well.
        Fields are named as the record names them, flagged and wrong-length alike."""
        c = self.framer.counts()
        c["noise"] += c.pop("pending")
        c["invalid"] = {FIELD_OF_INVALID_NAME.get(name, name): n for name, n in c["invalid"].items()}
        return c

    def require_packets(self) -> dict:
        """counts(); ValueError when framing found no packet at all."""
        c = self.counts()
        if c["raw"] + c["estimated"] == 0:
            raise ValueError(f"{self.path}: no packets in {c['bytes']:,} bytes")
        return c


def gathered(chunks, rows: int):
    """The chunks of columns() joined into chunks of at least rows packets
    (the last may hold fewer), for work whose cost is by the call more than by
    the packet. Chunks with other columns are not joined; empty ones are left
    out."""
    import numpy as np

    held: list = []
    count = 0

    def joined():
        return held[0] if len(held) == 1 else {k: np.concatenate([c[k] for c in held]) for k in held[0]}

    for chunk in chunks:
        n = len(chunk["packet_type"])
        if not n:
            continue
        if held and chunk.keys() != held[0].keys():
            yield joined()
            held, count = [], 0
        held.append(chunk)
        count += n
        if count >= rows:
            yield joined()
            held, count = [], 0
    if held:
        yield joined()


class SampleQueue:
    """The sample times the clock has given and columns() not yet taken, in
    stream order: `count` of them so far, of the `fed` packets framed."""

    def __init__(self, np) -> None:
        self.np = np
        self.parts: deque = deque()
        self.count = 0  # given by the clock, taken or not
        self.fed = 0

    def add(self, times: bytes) -> None:
        if times:
            a = self.np.frombuffer(times, self.np.int64)
            self.parts.append(a)
            self.count += len(a)

    def take(self, n: int):
        """The next n times."""
        np = self.np
        out = []
        while n:
            a = self.parts[0]
            if len(a) <= n:
                out.append(self.parts.popleft())
                n -= len(a)
            else:
                out.append(a[:n])
                self.parts[0] = a[n:]
                n = 0
        return out[0] if len(out) == 1 else np.concatenate(out) if out else np.empty(0, np.int64)


class Window:
    """Which packets of each framed span columns() keeps: those of one kind,
    and those inside [start, end) in seconds since the first byte arrived
    (timed; an untimed packet by the time extrapolated for it) or in packet
    numbers (a recording without times)."""

    def __init__(self, times, kind: str | None, start: float | None, end: float | None, guess: bool = False) -> None:
        self.times, self.timed, self.start, self.end = times, times.timed, start, end
        self.guess = guess  # untimed packets' wall times: the extrapolated ones, not UNTIMED
        self.code = None if kind is None else KINDS.index(kind)
        self.ranged = start is not None or end is not None
        self.lo = -math.inf if start is None else start
        self.hi = math.inf if end is None else end
        self.origin = times.origin()
        self.seen = 0  # packets framed so far, of both kinds
        self.mono = None  # the last span's packets' monotonic arrivals, where known or guessed

    def pick(self, np, kinds, reads, walls, monos, base: int, size: int):
        """(mask or None for all, wall times or None when the recording has no
        times, whether the range ends within this span) for the packets of
        one span: data of size bytes from base in the recording, its reads'
        clocks walls and monos (None for an untimed stretch). With guess, an
        untimed packet's wall time is the one extrapolated for it."""
        n = len(kinds)
        keep = None if self.code is None else kinds == self.code
        wall, inside, past = None, None, False
        mono = None
        if self.timed:
            if walls is None:
                wall = np.full(n, UNTIMED, np.int64)
                if (self.ranged or self.guess) and n:
                    at = (reads.astype(np.int64) + 1) * UNTIMED_STEP + base
                    guessed = extrapolate_times(self.times, np.minimum(at, base + size).tolist())
                    mono = np.array([g.mono_ns for g in guessed], np.int64)
                    if self.guess:
                        wall = np.array([g.wall_ns for g in guessed], np.int64)
            else:
                wall, mono = walls[reads], monos[reads]
            if self.ranged and n:
                when = (mono - self.origin) / 1e9
                inside = (when >= self.lo) & (when < self.hi)
                past = self.end is not None and bool(when[-1] >= self.end)
            elif self.ranged:
                inside = np.zeros(0, bool)
            self.mono = mono
        elif self.times.stamped:
            wall = np.full(n, UNTIMED, np.int64)  # a times file that vouches for nothing: every time unknown
        else:
            number = np.arange(self.seen, self.seen + n)
            inside = (number >= max(self.lo, 0)) & (number < self.hi)
            past = self.end is not None and self.seen + n >= self.end
        self.seen += n
        if self.ranged:
            keep = inside if keep is None else keep & inside
        return keep, wall, past
