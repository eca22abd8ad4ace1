"""A stream of a recording replayed at the pace of its arrival times (see
vorn.live), and the gaps a recording marks."""

from __future__ import annotations

import builtins
import itertools
import time
from collections.abc import Iterator
from typing import TYPE_CHECKING

from vorn.port_session import Gap
from vorn.rate_clock import RateClock
from vorn.recording import Recording
from vorn.sample_clock import sample_times
from vorn.stream import BATCH_BYTES, Batch, Stream, require_numpy
from vorn.times import Stamp, Unplugged, load_times

if TYPE_CHECKING:
    import numpy as np

# A replay refuses a recording whose arrivals jump further than this (ns): a
# month, past any unplug worth replaying; a larger jump is damage.
MAX_REPLAY_GAP_NS = 31 * 86400 * 10**9


def recorded_gaps(path) -> list[Gap]:
    """The gaps that `vorn record --reconnect` marked in a recording's arrival
    times (those its times file vouches for), in order."""
    return [Gap(g.lost.wall_ns, g.back.wall_ns) for g in load_times(path).gaps]


def replay_events(times) -> Iterator[tuple[int, Stamp, Unplugged | None]]:
    """(end, stamp, None) for each vouched read of a recording, and (offset,
    when it was back, the gap) for each gap in its place among them, up to
    the first stretch of the recording without a vouched time."""
    gaps = iter(times.gaps)
    gap = next(gaps, None)
    pos = 0
    for end, stamp in itertools.chain(times.reads(), [(None, None)]):
        while gap is not None and gap.at <= pos:
            yield gap.at, gap.back, gap
            gap = next(gaps, None)
        if stamp is None:
            return
        yield end, stamp, None
        pos = end


def check_replay_times(path: str, times) -> None:
    """ValueError when the arrivals of a recording jump by more than
    MAX_REPLAY_GAP_NS (or a gap lasts longer): damage, which a replay at its
    pace would wait out for years."""
    np = require_numpy()
    monos = np.frombuffer(times.monos, np.int64) if len(times.monos) else np.empty(0, np.int64)
    steps = np.diff(monos) if len(monos) > 1 else monos[:0]
    longest = int(np.abs(steps).max()) if len(steps) else 0
    for gap in times.gaps:
        longest = max(longest, abs(gap.back.mono_ns - gap.lost.mono_ns))
    if longest > MAX_REPLAY_GAP_NS:
        raise ValueError(
            f"{path}: damaged arrival times: they jump by {longest / 86400e9:,.0f} days, more than a replay takes"
        )


class ReplayStream(Stream):
    """A recording with arrival times, each read handed out when its time has
    come again (at `rate` times the recorded pace; all at once with rate 0).
    It ends at the end of the recording, or where its times file vouches for
    no more times (a crash's tail, a damaged block)."""

    def __init__(self, path: str, rate: float, baud: int | None = None) -> None:
        super().__init__(path)
        self.rate = rate
        try:
            self._file = builtins.open(path, "rb")
            times = load_times(path)
            self._events = replay_events(times)
            # The times vorn.read gives, every packet's in stream order.
            self._sampled = sample_times(path, baud, times.steady())[0] if times.timed else None
        except (OSError, ValueError):
            self.close()
            raise
        self._given = 0  # packets handed out
        self._next = next(self._events, None)
        if self._next is None:
            self.close()
            raise ValueError(
                f"{path}: no arrival times beside the recording to replay it by (or none its times "
                "file vouches for); vorn.read reads it"
            )
        self._end = 0  # where the previous read ended
        self._first_mono = self._next[1].mono_ns
        try:
            check_replay_times(path, times)
        except ValueError:
            self.close()
            raise
        self._start = time.monotonic_ns()
        self._timer.set(self._start)

    def _release(self, forked: bool) -> None:
        if hasattr(self, "_file"):
            self._file.close()

    def _sample_times(self, n: int) -> np.ndarray:
        assert self._sampled is not None  # a recording without times is refused when opened
        times = self._sampled[self._given : self._given + n]
        self._given += n
        return times

    def _due(self, stamp: Stamp) -> int:
        if not self.rate:
            return 0
        return self._start + int((stamp.mono_ns - self._first_mono) / self.rate)

    def _take(self) -> list[tuple[bytes, Stamp]]:
        self._timer.clear()
        reads: list[tuple[bytes, Stamp]] = []
        clock = time.monotonic_ns()
        taken = 0
        while self._next is not None and taken < BATCH_BYTES and self._due(self._next[1]) <= clock:
            end, stamp, gap = self._next
            if gap is not None:  # `record --reconnect` went through an unplug here
                if reads:
                    break  # the batch stops at the gap, which goes with the next one
                self._gap = Gap(gap.lost.wall_ns, gap.back.wall_ns)
                self.gaps.append(self._gap)
            else:
                piece = self._file.read(end - self._end)
                if piece:
                    reads.append((piece, stamp))
                    taken += len(piece)
                if len(piece) < end - self._end:  # the recording is shorter than its times
                    self._next = None
                    break
                self._end = end
            self._next = next(self._events, None)
        if self._next is None:
            self._ended = True
            self._timer.set(0)  # the end stays readable
        else:
            self._timer.set(self._due(self._next[1]))
        return reads


class RatedReplayStream(Stream):
    """A recording without arrival times replayed by the rate of its raw
    packets (vorn.rate_clock): raw packet k handed out k/rate s after the
    start (at `pace` times that speed; all at once with pace 0), the filter
    packets between the raw packets around them; both times of a packet are
    the host's wall clock at the start plus its own time by the rate."""

    def __init__(self, path: str, rate: float, pace: float, baud: int | None = None) -> None:
        super().__init__(path)
        self.rate = pace
        try:
            self._clock = RateClock(rate)
            self._chunks = iter(Recording(path).columns(baud=baud))
        except (OSError, ValueError):
            self.close()
            raise
        self._part: tuple[dict[str, np.ndarray], np.ndarray] | None = None  # a chunk and its packets' times
        self._at = 0  # its first packet not handed out
        self._start = time.monotonic_ns()
        self._wall = time.time_ns()
        self._timer.set(self._start)

    def _release(self, forked: bool) -> None:
        self._chunks = iter(())

    def _due(self, offset: int) -> int:
        return self._start + int(offset / self.rate) if self.rate else 0

    def _step(self) -> Batch | None:
        self._check_open()
        self._timer.clear()
        while self._part is None or self._at == len(self._part[1]):
            chunk = next(self._chunks, None)
            if chunk is None:
                self._ended = True
                self._timer.set(0)  # the end stays readable
                return None
            self._part = chunk, self._clock.times(chunk["packet_type"])
            self._at = 0
        chunk, offsets = self._part
        np, i = self._np, self._at
        if self._due(int(offsets[i])) > time.monotonic_ns():
            self._timer.set(self._due(int(offsets[i])))
            return None
        elapsed = (time.monotonic_ns() - self._start) * self.rate if self.rate else np.iinfo(np.int64).max
        j = i + max(1, int(np.searchsorted(offsets[i:], elapsed, "right")))
        self._at = j
        self._timer.set(0 if j == len(offsets) else self._due(int(offsets[j])))
        stamps = self._wall + offsets[i:j]
        arrays = {"host_time_ns": stamps, "time_ns": stamps}
        arrays.update((name, values[i:j]) for name, values in chunk.items())
        return self._batch(arrays)
