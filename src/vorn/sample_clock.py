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

The baud rate comes from NAME.baud beside the recording (written by `vorn
record`), else from the caller, else DEFAULT_BAUD.

Live, the same core runs causally: `_native.SampleClock(baud)`, fed after
each read with the evidence() of the packets it completed (in arrival order)
and asked with take() for the times now due; a packet's time comes once the
arrivals have gone 64 ms past it, and the first 2 s are its warm-up.
"""

from __future__ import annotations

import numbers
import os
from pathlib import Path

from vorn import _native
from vorn.fields import UNTIMED
from vorn.times import read_times

DEFAULT_BAUD = 921600
BAUD_SUFFIX = ".baud"
PLACES_CHUNK = 1 << 18  # bytes of a recording framed at a time


def baud_path(path) -> Path:
    return Path(os.fsdecode(path) + BAUD_SUFFIX)


def write_baud(path, baud: int) -> None:
    """Keeps the line's baud rate beside a recording."""
    baud_path(path).write_text(f"{int(baud)}\n")


def check_baud(baud) -> None:
    """TypeError or ValueError for a baud argument that is neither None nor a
    positive whole number."""
    if baud is not None:
        if isinstance(baud, bool) or not isinstance(baud, numbers.Integral):
            raise TypeError(f"baud must be an int or None, not {type(baud).__name__}")
        if baud <= 0:
            raise ValueError(f"baud must be above 0, not {baud}")


def baud_of(path, default: int | None = None) -> int:
    """The baud rate a recording was made at: NAME.baud, else `default`, else
    DEFAULT_BAUD."""
    check_baud(default)
    try:
        text = baud_path(path).read_text().strip()
    except FileNotFoundError:
        return default or DEFAULT_BAUD
    try:
        baud = int(text)
    except ValueError:
        raise ValueError(f"{baud_path(path)}: not a baud rate: {text[:40]!r}") from None
    if baud <= 0:
        raise ValueError(f"{baud_path(path)}: not a baud rate: {baud}")
    return baud


def packet_places(path):
    """For every packet of the recording, in stream order: its kind (0 raw,
    1 estimated), where it begins in the stream, its length and whether bytes
    were lost just before it, as NumPy arrays."""
    import numpy as np

    framer = _native.Framer()
    kinds, offsets, lengths, lost = [], [], [], []
    with open(path, "rb") as f:
        while data := f.read(PLACES_CHUNK):
            k, _, _, _ = framer.columns(data, b"")
            o, n, x = framer.places()
            kinds.append(np.frombuffer(k, np.uint8))
            offsets.append(np.frombuffer(o, np.uint64).astype(np.int64))
            lengths.append(np.frombuffer(n, np.uint32))
            lost.append(np.frombuffer(x, np.uint8))
    join = (lambda parts, dtype: np.concatenate(parts) if parts else np.empty(0, dtype))
    return join(kinds, np.uint8), join(offsets, np.int64), join(lengths, np.uint32), join(lost, np.uint8)


def evidence(ends, monos, offsets, lengths):
    """What the clock is told of each packet, from the reads (where each
    ends in the stream, when it returned: monotonic ns) and the packets'
    places (framer.places()): (first_ns, first_bytes, done), the return of
    the read holding a packet's first bytes, how many of them it held, and
    the index of the read that completed it (len(ends) for a packet no read
    completed)."""
    import numpy as np

    first = np.searchsorted(ends, offsets, side="right")
    done = np.searchsorted(ends, offsets + lengths.astype(np.int64) - 1, side="right")
    whole = first < len(ends)
    first_ns = np.zeros(len(offsets), np.int64)
    head = np.zeros(len(offsets), np.uint32)
    first_ns[whole] = monos[first[whole]]
    head[whole] = np.minimum(ends[first[whole]] - offsets[whole], lengths[whole])
    return first_ns, head, done


def sample_times(path, baud: int | None = None):
    """(time_ns, figures): each packet's sample time (int64 ns since the Unix
    epoch on the host's wall clock, in stream order, UNTIMED where the times
    file ends before the packet) and per stream ("raw", "estimated") its
    rate, drift, arrival jitter, pauses and lost packets; (None, None) for a
    recording without arrival times."""
    import numpy as np

    reads = list(read_times(path))
    if not reads:
        return None, None
    ends = np.fromiter((e for e, _ in reads), np.int64, len(reads))
    monos = np.fromiter((s.mono_ns for _, s in reads), np.int64, len(reads))
    walls = np.fromiter((s.wall_ns for _, s in reads), np.int64, len(reads))
    kinds, offsets, lengths, lost = packet_places(path)
    first_ns, head, done = evidence(ends, monos, offsets, lengths)
    timed = done < len(ends)
    done = done[timed]
    times = np.full(len(kinds), UNTIMED, np.int64)
    got, figures = _native.sample_times(first_ns[timed], head[timed], monos[done], lengths[timed], kinds[timed],
                                        lost[timed], float(baud_of(path, baud)), walls[done] - monos[done])
    times[timed] = np.frombuffer(got, np.int64)
    return times, figures
