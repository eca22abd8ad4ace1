"""The times file: when each read of a recording arrived. NAME.times beside
the recording, as `vorn record` writes it (TimesWriter), and read back only as
far as it vouches for itself and for the recording (load_times).

The file is a magic line ("vorn arrival times 2") and then one block per flush
of the recording. A block covers the recording's bytes from one offset to
another and holds, for each read in them, its length and its wall and
monotonic clocks; it carries a CRC-32C of itself and one of the recording
bytes it covers. A reader takes a read's time only from a block that passes
both: a damaged block, a block whose bytes the recording does not hold, and a
file written beside another recording give no times, and the packets of those
reads are untimed (host_time_ns -1, empty in CSV, null in Parquet). A gap
block marks a stretch without the device that `vorn record --reconnect` went
through (when the line went and when it was back): it repeats the header of
the block before it, which vouches for it. The format is encoded and decoded
by the native helper (the core's times_file).

Version 1 files (one zlib stream, no blocks) are read with the checks they
allow: a stream whose checksum fails gives no times, and a stream cut short
(a crash) or damaged is read up to the first read that runs past the
recording or turns the monotonic clock back. Two empty reads in a row there
mark a gap.

Where a time is needed for an untimed packet, extrapolate_times() gives one
from the recording's rate as the timed reads show it.
"""

from __future__ import annotations

import copy
import functools
import os
import time
import warnings
import zlib
from array import array
from bisect import bisect_right
from typing import NamedTuple

from vorn import _native
from vorn.sidecars import times_path

MAGIC_V1 = _native.TIMES_MAGIC_V1.encode()
MAGIC_V2 = _native.TIMES_MAGIC_V2.encode()
TIMES_MAGIC = MAGIC_V2
CHECK_PIECE = 1 << 20  # recording bytes checked against a block's CRC at a time
FIT_READS = 4096  # reads the recording's rate is fitted over, spread along it
# The most a times file may hold per byte of its recording: a read costs at
# least one byte of the recording and at most 30 bytes of numbers, a block 40
# more. What lies beyond is not read.
MAX_TIMES_PER_BYTE = 72
# Read beyond that: room for the gap blocks (about 60 bytes each) of a
# recording whose device came and went many times while it sent little.
TIMES_SLACK = 1 << 20
INFLATE_PIECE = 1 << 16
# A wall clock set back by more than this (ns) against the monotonic clock
# between two reads has stepped: NTP slews at most 0.5 ms a second, and steps
# (or a clock set by hand) go further.
STEP_BACK = 1_000_000
STEP_PIECE = 1 << 16  # reads looked at for steps back at a time


class UntimedWarning(UserWarning):
    """Some of a recording's reads have no time the times file vouches for."""


class Stamp(NamedTuple):
    """When a read arrived: the wall clock of IMUPacket.timestamp and the
    monotonic clock, both in ns."""

    wall_ns: int
    mono_ns: int


class Unplugged(NamedTuple):
    """A stretch without the device that `vorn record --reconnect` went
    through: at this offset of the recording, the line went (lost) and was
    back (back)."""

    at: int
    lost: Stamp
    back: Stamp


class Lost(NamedTuple):
    """Bytes lost, as the times file marks them: `bytes` at this offset of
    the recording, seen at `seen`. cause "ring": a live stream's caller fell
    behind its reader's ring and missed bytes [at, at + bytes), which the
    recording holds; "overrun" or "buffer": the driver counted characters
    lost before offset at (its UART overran, its buffer was full), which the
    recording lacks too."""

    at: int
    bytes: int
    cause: str
    seen: Stamp


LOST_CAUSES = {1: "ring", 2: "overrun", 3: "buffer"}


class Estimate(Stamp):
    """A Stamp for a read the times file does not vouch for, extrapolated
    from the rate of the reads it does (extrapolate_times)."""

    __slots__ = ()


def now() -> Stamp:
    return Stamp(time.time_ns(), time.monotonic_ns())


# -- writing ----------------------------------------------------------------


class TimesWriter:
    """Appends the arrival of each read to NAME.times, a block per flush().

    add() takes the read's bytes, or only their number when the bytes are
    already in the recording (the block's CRC of them is then read back from
    it at flush). gap() marks a stretch without the device. flush() writes the
    block and, when durable, waits until it is on the disk (fdatasync).
    `file`: NAME.times already open for writing, empty, instead of opening it
    here."""

    def __init__(self, path, force: bool = False, *, durable: bool = False, file=None) -> None:
        self.recording_path = path
        self.file = file if file is not None else open(times_path(path), "wb" if force else "xb")
        self.durable = durable
        self.file.write(MAGIC_V2)
        self.first = 0  # where in the recording the pending block begins
        self.lengths, self.walls, self.monos = array("Q"), array("q"), array("q")
        self.crc = 0
        self.read_back = False
        self.recording = None
        self.last_block = (0, 0, 0)  # first, end and data CRC of the block written last

    def add(self, data, stamp: Stamp) -> None:
        if isinstance(data, int):
            n = data
            self.read_back = True
        else:
            n = len(data)
            self.crc = _native.crc32c(bytes(data), self.crc)
        if n <= 0:
            return  # a read that brought nothing times nothing
        self.lengths.append(n)
        self.walls.append(stamp.wall_ns)
        self.monos.append(stamp.mono_ns)

    def pending_crc(self, size: int) -> int:
        if not self.read_back:
            return self.crc
        if self.recording is None:
            self.recording = open(self.recording_path, "rb")
        self.recording.seek(self.first)
        crc = 0
        while size > 0:
            piece = self.recording.read(min(size, CHECK_PIECE))
            if not piece:
                break
            crc = _native.crc32c(piece, crc)
            size -= len(piece)
        return crc

    def write_block(self) -> None:
        """The pending reads as a block, written on (not yet flushed)."""
        if not self.lengths:
            return
        size = sum(self.lengths)
        crc = self.pending_crc(size)
        block = _native.encode_times_block(
            self.first, crc, self.lengths.tobytes(), self.walls.tobytes(), self.monos.tobytes()
        )
        self.file.write(block)
        self.last_block = (self.first, self.first + size, crc)
        self.first += size
        del self.lengths[:], self.walls[:], self.monos[:]
        self.crc = 0
        self.read_back = False

    def gap(self, lost: Stamp, back: Stamp) -> None:
        """Marks a stretch without the device after the reads added so far:
        the line went at lost and was back at back. Written at once (the
        reads before it as their block first), and made durable at the next
        flush()."""
        self.write_block()
        self.file.write(
            _native.encode_times_gap(
                *self.last_block, lost.wall_ns, lost.mono_ns, back.wall_ns, max(back.mono_ns, lost.mono_ns)
            )
        )

    def loss(self, at: int, n: int, cause: int, seen: Stamp) -> None:
        """Marks n bytes lost at recording offset at for cause (a key of
        LOST_CAUSES; see Lost), after the reads added so far; made durable at
        the next flush()."""
        self.write_block()
        self.file.write(_native.encode_times_loss(*self.last_block, at, n, cause, seen.wall_ns, seen.mono_ns))

    def flush(self) -> None:
        self.write_block()
        self.file.flush()
        if self.durable:
            os.fdatasync(self.file.fileno())

    def close(self) -> None:
        try:
            self.flush()
        finally:
            try:
                self.file.close()
            finally:
                if self.recording is not None:
                    self.recording.close()


# -- reading ----------------------------------------------------------------


class Times:
    """The reads of a recording that its times file vouches for.

    ends, walls, monos: one int64 entry per vouched read (where it ends
    in the recording; its wall and monotonic clocks in ns), in recording
    order. segments: (first, end, lo, hi) for each stretch of the recording
    timed without a break (an unplug is one): bytes [first, end) and reads
    [lo, hi). gaps: the Unplugged stretches the file vouches for. untimed:
    bytes of the recording no vouched read covers; reasons: why, in words;
    note: the one line that says both, or None when every byte is timed or
    the recording has no times file at all."""

    def __init__(self, path, size: int) -> None:
        self.path = path
        self.size = size
        self.version: int | None = None  # None: no times file
        self.ends = self.walls = self.monos = memoryview(b"").cast("q")
        self.segments: list[tuple[int, int, int, int]] = []
        self.gaps: list[Unplugged] = []
        self.losses: list[Lost] = []
        self.reasons: list[str] = []
        self._slope: float | None = None
        self._steady: Times | None = None

    @property
    def timed(self) -> bool:
        return bool(self.ends)

    @property
    def stamped(self) -> bool:
        """Whether the recording's columns carry its times: it has a times file,
        whatever that vouches for (where it vouches for nothing, unknown)."""
        return self.timed or self.version is not None

    @property
    def untimed(self) -> int:
        return self.size - sum(end - first for first, end, _, _ in self.segments)

    @property
    def note(self) -> str | None:
        if self.version is None or not self.untimed and not self.reasons:
            return None
        return (
            f"{self.path}: {self.untimed:,} of {self.size:,} bytes have no arrival time"
            f" ({'; '.join(self.reasons) or 'no times'})"
        )

    def reads(self):
        """(end, Stamp or None) along the whole recording: each vouched read,
        and each stretch without one as a single None up to where it ends."""
        pos = 0
        ends, walls, monos = self.ends, self.walls, self.monos
        for first, end, lo, hi in self.segments:
            if first > pos:
                yield first, None
            for i in range(lo, hi):
                yield ends[i], Stamp(walls[i], monos[i])
            pos = end
        if pos < self.size:
            yield self.size, None

    def steady(self) -> Times:
        """These times with the wall clock's steps back (steps_back) taken out,
        for the sample times, which the monotonic clock orders: after a step,
        each read's wall time keeps the wall-minus-monotonic difference of the
        read before it. Itself where the wall clock never stepped back."""
        if self._steady is None:
            steps = self.steps_back()
            if not steps:
                self._steady = self
            else:
                import numpy as np

                shift = np.zeros(len(self.walls), np.int64)
                for i, ns in steps:
                    shift[i] = ns
                steady = copy.copy(self)
                walls = np.frombuffer(self.walls, np.int64) + np.cumsum(shift)
                steady.walls = memoryview(walls.tobytes()).cast("q")
                steady._steady = steady
                self._steady = steady
        return self._steady

    def steps_back(self) -> list[tuple[int, int]]:
        """(read, ns) where the wall clock was set back by more than STEP_BACK
        against the monotonic clock since the read before. Slewing and the
        clocks' rounding stay far below."""
        import numpy as np

        walls, monos = np.frombuffer(self.walls, np.int64), np.frombuffer(self.monos, np.int64)
        out = []
        # A stretch at a time, with the read before it: no copy of the whole recording's reads.
        for lo in range(0, max(len(walls) - 1, 0), STEP_PIECE):
            offsets = walls[lo : lo + STEP_PIECE + 1] - monos[lo : lo + STEP_PIECE + 1]
            drops = np.flatnonzero(np.diff(offsets) < -STEP_BACK) + 1
            out += [(lo + int(i), int(offsets[i - 1] - offsets[i])) for i in drops]
        return out

    def origin(self) -> int | None:
        """The monotonic time of the recording's first byte's arrival: the first
        vouched read's, or extrapolated back when the times begin later."""
        if not self.timed:
            return None
        if self.segments[0][0] == 0:
            return self.monos[0]
        return extrapolate_times(self, [0])[0].mono_ns

    def slope(self) -> float:
        """ns per byte of the recording, as its vouched reads show it."""
        if self._slope is None:
            self._slope = fit_slope(self)
        return self._slope


def fit_slope(times: Times) -> float:
    """Least squares of the monotonic clock on the byte offset, over at most
    FIT_READS reads spread along the recording; 0 when the reads do not say."""
    n = len(times.ends)
    if n < 2:
        return 0.0
    step = max(1, n // FIT_READS)
    xs = times.ends[::step]
    ys = times.monos[::step]
    mx = sum(xs) / len(xs)
    my = sum(ys) / len(ys)
    sxx = sum((x - mx) ** 2 for x in xs)
    sxy = sum((x - mx) * (y - my) for x, y in zip(xs, ys))
    return max(sxy / sxx, 0.0) if sxx else 0.0


def extrapolate_times(times: Times, offsets) -> list[Estimate]:
    """An arrival time for each byte offset of the recording that no vouched
    read times (a crash's tail, a damaged block): the nearest vouched read
    before it (or after it, before the first one), moved on at the rate of
    bytes the vouched reads show. The one place such times are made."""
    if not times.timed:
        raise ValueError("no arrival times to extrapolate from")
    slope = times.slope()
    ends, walls, monos = times.ends, times.walls, times.monos
    out = []
    for x in offsets:
        i = max(bisect_right(ends, x) - 1, 0)
        dt = round((x - ends[i]) * slope)
        out.append(Estimate(walls[i] + dt, monos[i] + dt))
    return out


def recording_size(path) -> int:
    return os.stat(path).st_size


def read_times_file(path, size: int) -> bytes | None:
    """NAME.times as bytes, no more than its recording's size allows; None
    when there is none."""
    try:
        f = open(times_path(path), "rb")
    except FileNotFoundError:
        return None
    with f:
        # Never asked for more than the file holds: a read's size is allocated up front.
        cap = MAX_TIMES_PER_BYTE * size + len(MAGIC_V2) + TIMES_SLACK
        return f.read(min(cap, os.fstat(f.fileno()).st_size + 1))


class _Content:
    """A times file's bytes as a cache key: equal by length and CRC, so that
    the cache need not keep the bytes once they are decoded."""

    __slots__ = ("data", "digest")

    def __init__(self, data: bytes | None) -> None:
        self.data = data
        self.digest = None if data is None else (len(data), _native.crc32c(data))

    def __hash__(self) -> int:
        return hash(self.digest)

    def __eq__(self, other) -> bool:
        return isinstance(other, _Content) and self.digest == other.digest


# Keyed by the recording's identity, size and change times and by the times
# file's content: the commands ask more than once, and each answer costs a CRC
# of the whole recording.
@functools.lru_cache(maxsize=4)
def _load(path: str, key: tuple, content: _Content) -> Times:
    data, content.data = content.data, None
    size = key[0]
    times = Times(path, size)
    if data is None:
        return times
    tname = times_path(path).name
    version = 2 if data.startswith(MAGIC_V2) else 1 if data.startswith(MAGIC_V1) else 0
    times.version = version
    if version == 0 and MAGIC_V2.startswith(data):
        times.reasons.append(f"{tname} holds no reads (cut before its first flush)")
        return times
    if version == 0:
        times.reasons.append(f"{tname} is not a times file this version of vorn reads")
        return times
    if version == 2:
        decoded = _native.decode_times(data, size)
    else:
        decoded = decode_v1(data[len(MAGIC_V1) :], size, times.reasons, tname)
        if decoded is None:
            return times
    data = None  # the file's bytes, no longer needed beside its reads
    blocks = decoded["blocks"]
    if decoded["damaged_blocks"]:
        times.reasons.append(
            f"{decoded['damaged_blocks']:,} damaged stretch(es) of {tname} ({decoded['damaged_bytes']:,} bytes)"
        )
    if decoded["misplaced_blocks"]:
        times.reasons.append(
            f"{decoded['misplaced_blocks']:,} block(s) of {tname} describe bytes the recording does not have"
        )
    good = check_blocks(path, blocks)
    mismatched = len(blocks) - len(good)
    if mismatched and not good:
        times.reasons.append(
            f"{tname} belongs to another recording (none of its {len(blocks):,} blocks matches these bytes)"
        )
    elif mismatched:
        times.reasons.append(f"{mismatched:,} block(s) of {tname} do not match the recording's bytes")
    # The decoded columns as they are when every block holds (no copy: a long
    # recording's reads are held once), else the blocks that hold, joined.
    columns = {k: decoded.pop(k) for k in ("ends", "walls", "monos")}
    pos = 0
    for *_, lo, hi in good:
        pos = hi if lo == pos else -1
    whole = pos * 8 == len(columns["ends"])
    # A gap counts where the block it follows holds (before any block, always).
    held = set(good)
    vouched = {i for i, b in enumerate(blocks) if b in held}
    times.gaps = [
        Unplugged(at, Stamp(lost_wall, lost_mono), Stamp(back_wall, back_mono))
        for block, at, lost_wall, lost_mono, back_wall, back_mono in decoded["gaps"]
        if block is None or block in vouched
    ]
    times.losses = [
        Lost(at, n, LOST_CAUSES[cause], Stamp(wall, mono))
        for block, at, n, cause, wall, mono in decoded.get("losses", ())
        if block is None or block in vouched
    ]
    breaks = {g.at for g in times.gaps}
    for k, column in columns.items():
        if not whole:
            view = memoryview(column)
            column = b"".join(view[lo * 8 : hi * 8] for *_, lo, hi in good)
            view.release()
        setattr(times, k, memoryview(column).cast("q"))
    columns.clear()
    n = 0
    for first, end, _, lo, hi in good:
        last = times.segments[-1] if times.segments else None
        if last is not None and last[1] == first and first not in breaks:
            times.segments[-1] = (last[0], end, last[2], n + hi - lo)
        else:
            times.segments.append((first, end, n, n + hi - lo))
        n += hi - lo
    covered = times.segments[-1][1] if times.segments else 0
    if good and covered < size:
        cut = ", the times file cut short (a crash?)" if decoded["cut"] else ""
        times.reasons.append(f"the times end {size - covered:,} bytes before the recording does{cut}")
    if not blocks and not times.reasons:
        times.reasons.append(f"{tname} holds no reads")
    return times


def decode_v1(body: bytes, size: int, reasons: list[str], tname: str) -> dict | None:
    """A version 1 stream inflated, within MAX_TIMES_PER_BYTE of the recording,
    and decoded; None when its checksum fails."""
    unzip = zlib.decompressobj()
    limit = MAX_TIMES_PER_BYTE * size + 4096
    out = bytearray()
    damaged = False
    for at in range(0, len(body), INFLATE_PIECE):
        try:
            out += unzip.decompress(body[at : at + INFLATE_PIECE], limit - len(out))
        except zlib.error as e:
            if "incorrect data check" in str(e):
                reasons.append(f"{tname} fails its checksum (version 1 file: no time in it can be trusted)")
                return None
            damaged = True
            break
        if unzip.unconsumed_tail or unzip.eof:
            damaged = bool(unzip.unconsumed_tail)
            break
    decoded = _native.decode_times_v1(bytes(out), unzip.eof and not damaged, size)
    if damaged:
        decoded["damaged_blocks"] = max(decoded["damaged_blocks"], 1)
    return decoded


def check_blocks(path, blocks) -> list:
    """The blocks whose CRC of the recording's bytes holds (version 1's
    blocks carry none and pass)."""
    if not any(b[2] is not None for b in blocks):
        return list(blocks)
    good = []
    with open(path, "rb") as f:
        for block in blocks:
            first, end, want = block[:3]
            if want is None:
                good.append(block)
                continue
            f.seek(first)
            crc, left = 0, end - first
            while left > 0:
                piece = f.read(min(left, CHECK_PIECE))
                if not piece:
                    break
                crc = _native.crc32c(piece, crc)
                left -= len(piece)
            if left == 0 and crc == want:
                good.append(block)
    return good


def load_times(path, size: int | None = None) -> Times:
    """The vouched times of the recording at path (its stat taken now);
    warns once (UntimedWarning) when some bytes have none."""
    st = os.stat(path)
    data = read_times_file(path, st.st_size)
    hits = _load.cache_info().hits
    times = _load(os.fsdecode(path), (st.st_size, st.st_ino, st.st_dev, st.st_mtime_ns, st.st_ctime_ns), _Content(data))
    if times.note and _load.cache_info().hits == hits:
        warnings.warn(times.note, UntimedWarning, stacklevel=3)
    return times


def has_times(path) -> bool:
    """Whether any read of the recording has a time its times file vouches
    for; False for a recording that cannot be read (its reader says why)."""
    try:
        return load_times(path).timed
    except OSError:
        return False


def has_times_file(path) -> bool:
    """Whether the recording has a times file, whatever it vouches for; False
    for a recording that cannot be read (its reader says why)."""
    try:
        return load_times(path).stamped
    except OSError:
        return False
