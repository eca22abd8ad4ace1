"""Times from the rate of raw packets, for a recording without arrival times
(or one whose times are to be replaced): raw packet k at k/rate s from 0,
filter packets between the raw packets around them (they interleave in
time), at half the way to the next, then a quarter, ... What a given rate
means wherever one applies (the export, `vorn live --replay`)."""

from __future__ import annotations

from vorn.fields import KINDS
from vorn.sidecars import times_path

RAW = KINDS.index("raw")


def no_arrival_times(path) -> ValueError:
    """The error for a recording that has no arrival times and no rate given."""
    return ValueError(
        f"{path}: no arrival times ({times_path(path).name} is missing or vouches for none); "
        "give --rate HZ (raw packets per second) to time its packets by"
    )


def position(counted, after):
    """Where a packet falls, in raw packets from the first: counted, the raw
    packets up to it (itself included), less half a packet for the first
    filter packet after them, a quarter more for the second, ...; a raw
    packet (after = 0) falls on its own count less one. Scalars or arrays."""
    return counted - 0.5**after


class RateClock:
    """The times of packets chunk after chunk (int64 ns)."""

    def __init__(self, rate: float) -> None:
        self.step = 1e9 / rate
        self.raws = 0  # raw packets so far
        self.since = 0  # filter packets since the last raw one

    def times(self, kinds):
        """The times of the next packets, given their kinds (codes of KINDS):
        a numpy array of them, or a list for a plain sequence."""
        if not hasattr(kinds, "dtype"):
            out = []
            for kind in kinds:
                if kind == RAW:
                    self.raws, self.since = self.raws + 1, 0
                else:
                    self.since += 1
                out.append(round(position(self.raws, self.since) * self.step) if self.raws else 0)
            return out
        import numpy as np

        m = len(kinds)
        if not m:
            return np.empty(0, np.int64)
        is_raw = kinds == RAW
        counted = np.cumsum(is_raw) + self.raws  # raw packets up to each packet, itself included
        at = np.arange(m)
        last_raw = np.maximum.accumulate(np.where(is_raw, at, -1))
        after = np.where(last_raw >= 0, at - last_raw, self.since + at + 1)  # filter packets since the last raw
        times = np.where(counted > 0, np.rint(position(counted, after) * self.step), 0).astype(np.int64)
        self.raws, self.since = int(counted[-1]), int(after[-1])
        return times
