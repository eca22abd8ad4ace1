"""The unit's sample times of a recording, recovered from its arrival times.

A packet's arrival (host_time_ns) is when the read that completed it returned:
a USB adapter releases bytes in bursts (every 16 ms by default), so many
packets share one arrival and then the next ones jump. The unit's own clock
is steady: the core fits, per stream, the lower envelope of arrival against
sample number (every arrival is the sample time plus a delay that is never
negative), taking each packet's wire time at the line's baud into account,
and gives each packet the time on that line: when the unit began sending it,
on the host's wall clock. Pauses of the unit, stalls of the host and lost
packets are found on the way.

A packet without a vouched arrival (vorn.times: after a crash, in a
damaged block) gets no sample time here (UNTIMED): nothing says when it was
sent. Where a time is needed for it all the same (MCAP and rosbag2 stamps,
ranges, plots), vorn.times.extrapolate_times gives one, and the MCAP
metadata lists it as extrapolated.

The baud rate comes from NAME.baud beside the recording (written by `vorn
record`), else from the caller, else vorn.sidecars.UNSAID_BAUD.

A recording's clock (recording_clock) is fed the places of its packets as
they are framed and gives their times a few seconds behind, in stream order,
working on a thread of its own; sample_times() runs it over a whole
recording. Live, the same core runs causally (the core's SampleClock, which
vorn.open's native LiveFrames feeds): a packet's time comes once the
arrivals have gone the look-ahead past it, and the first 2 s are its warm-up.
Its state per stream (locked or warming up, rate, drift, residual, pauses
and losses) is a ClockState, which a live stream's `clock` gives.
"""

from __future__ import annotations

from dataclasses import asdict, dataclass

from vorn import _native
from vorn.sidecars import baud_of
from vorn.times import Times, load_times

PLACES_CHUNK = 1 << 18  # bytes of a recording framed at a time


def framed_places(path):
    """(kinds, offsets, lengths, lost) as bytes (uint8, uint64, uint32,
    uint8), a piece of the recording at a time: what framing without the
    values gives of each packet (Framer.places())."""
    framer = _native.Framer()
    with open(path, "rb") as f:
        while data := f.read(PLACES_CHUNK):
            yield framer.columns(data, b"", False)[0], *framer.places()


def read_starts(times: Times):
    """Where each vouched read of times begins in the recording."""
    import numpy as np

    ends = np.frombuffer(times.ends, np.int64)
    starts = np.empty_like(ends)
    starts[1:] = ends[:-1]
    for first, _, lo, hi in times.segments:
        if lo < hi:
            starts[lo] = first
    return starts


def sample_times(path, baud: int | None = None, times: Times | None = None):
    """(time_ns, figures): each packet's sample time (int64 ns since the Unix
    epoch on the host's wall clock, in stream order; UNTIMED for a packet no
    vouched read completed: after the times end, in a damaged block, ...)
    and per stream ("raw", "estimated") its rate, drift, arrival jitter,
    pauses and lost packets; (None, None) for a recording without arrival
    times. times: the recording's vorn.times.Times, when already loaded.

    The untimed packets are left out of what the clock is told, and the
    first packet after them counts as one after lost bytes, so that the
    clock numbers its samples across the gap by time rather than by count."""
    if times is None:
        times = load_times(path)
    if not times.timed:
        return None, None
    import numpy as np

    clock = recording_clock(path, baud, times)
    parts = [clock.feed(*places) for places in framed_places(path)]
    parts.append(clock.finish())
    return np.frombuffer(b"".join(parts), np.int64), clock.figures()


def recording_clock(path, baud: int | None, times: Times | None):
    """The recording's _native.RecordingClock: fed its packets' places in
    stream order (Framer.places()), it gives their sample times a few seconds
    behind, UNTIMED for a packet no vouched read completed. With times None,
    it is given the reads with add_reads() as the recording is framed (each
    piece's before its packets), and holds only those it still needs."""
    if times is None:
        return _native.RecordingClock(b"", b"", b"", b"", float(baud_of(path, baud)))
    return _native.RecordingClock(times.ends, read_starts(times), times.monos, times.walls, float(baud_of(path, baud)))


@dataclass(frozen=True)
class StreamClock:
    """One stream's online sample clock at a moment.

    locked: past the warm-up: the segment has run 2 s and its period has
        held within 20 ppm over the last second. Before, times are rougher
        (within a few ms); an adapter whose timer keeps step with the
        samples keeps a stream unlocked a few seconds longer.
    packets: packets the clock was told of.
    rate_hz: samples per second on the host's clock; 0.0 while unknown.
    drift_ppm: how much faster the unit's clock runs than its set rate
        (0.0 while unknown).
    residual_ns: how far the most prompt arrival of the last second or two
        sat above the clock's line (its latest send time, by its own
        evidence, less the line's time; ns): about 0 while arrivals touch
        the line, larger while they all come late (the line carried over
        them), below 0 when they come earlier than it (the line late).
    segment_ns: how long the current segment (since the start, a pause or a
        reconnection) has run.
    pauses: pauses of the unit found (each starts a new segment).
    lost: samples found missing."""

    locked: bool = False
    packets: int = 0
    rate_hz: float = 0.0
    drift_ppm: float = 0.0
    residual_ns: float = 0.0
    segment_ns: int = 0
    pauses: int = 0
    lost: int = 0


@dataclass(frozen=True)
class ClockState:
    """The sample clock of a live stream at a moment: `raw` and `estimated`,
    each a StreamClock (see there for the attributes). `locked` is true once
    every stream that has packets is locked; `warming_up` the reverse while
    any has packets."""

    raw: StreamClock
    estimated: StreamClock

    @classmethod
    def from_native(cls, state: dict) -> ClockState:
        """From what a live stream's native clock state() gives."""
        return cls(**{k: StreamClock(**state[k]) for k in ("raw", "estimated")})

    @property
    def locked(self) -> bool:
        streams = [s for s in (self.raw, self.estimated) if s.packets]
        return bool(streams) and all(s.locked for s in streams)

    @property
    def warming_up(self) -> bool:
        return not self.locked and bool(self.raw.packets or self.estimated.packets)

    def as_dict(self) -> dict:
        """JSON-ready: {"raw": {...}, "estimated": {...}, "locked": bool}."""
        return {"raw": asdict(self.raw), "estimated": asdict(self.estimated), "locked": self.locked}
