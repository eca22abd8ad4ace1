"""A live stream of the unit as columns: the packets that arrived since the last
batch, as soon as their sample times are known (at most `lookahead` after they
arrive; at once with lookahead=0), from a serial port or from a recording
replayed at the pace it was recorded.

    with vorn.open("/dev/serial/by-id/usb-...", reconnect=True) as stream:
        for batch in stream:                 # a vorn.Columns per batch
            batch["time_ns"], batch["scaled_accel_x"]

    async with vorn.open(port) as stream:
        async for batch in stream:
            ...

A batch holds the columns of vorn.read (see vorn.columns) with, after
host_time_ns, time_ns: the time each packet was sampled on the host's wall
clock, from the core's sample clock (one per stream, a new segment after each
gap; see open()). The port is opened as SerialParser opens it (claimed for exclusive use,
raw 8N1, the speed read back) and read as its bytes arrive by a native thread
that only moves them, with their arrival times, into a bounded ring (and into
the recording, with record=); the caller frames what the ring holds on its own
thread (and, when it was waiting, takes what the line holds itself, in turn with
the thread). The stream waits on one descriptor (fileno(), an epoll set holding
the ring's signal, the port and a timer), which an event loop watches with
add_reader, so a waiting stream costs nothing.
"""

from __future__ import annotations

import errno
import math
import os
import stat

from vorn.port_session import Gap
from vorn.port_stream import DEFAULT_RING, MIN_RING, PortStream
from vorn.replay import RatedReplayStream, ReplayStream, recorded_gaps
from vorn.sidecars import LINE_BAUD
from vorn.stream import BATCH_BYTES, Batch, Loss, Stream  # noqa: F401 (reached through vorn.live too)
from vorn.times import has_times

__all__ = ["Batch", "Gap", "Loss", "Stream", "open", "recorded_gaps"]

# How long a port's packets are held for the reads after them to confirm
# their sample times (seconds): past a USB adapter's 16 ms bursts with room.
DEFAULT_LOOKAHEAD = 0.0
MAX_LOOKAHEAD = 10.0


def open(
    source,
    baud: int | None = None,
    *,
    reconnect: bool = False,
    pace: bool | float = True,
    lookahead: float = DEFAULT_LOOKAHEAD,
    record: str | os.PathLike[str] | None = None,
    force: bool = False,
    ring: int = DEFAULT_RING,
    rate: float | None = None,
) -> Stream:
    """A Stream of the packets of `source`: a serial port (a path; a name under
    /dev/serial/by-id follows the device), or a recording made by `vorn record`
    (with its .times), replayed at the pace of its arrival times, or pace times
    as fast (a number), or all at once (pace=False).

    A port's batches carry the unit's sample times (time_ns) recovered as the
    packets arrive. With lookahead=0 (the default) every packet goes out as
    soon as it arrives, its time from what came before it alone; a lookahead
    of some seconds holds each packet until the arrivals (or the clock) have
    gone that far past its own, so that the reads after it confirm its time
    (on a simulated 16 ms USB adapter, an error p99 of about 0.1 ms at 0.064
    against about 2.5 ms at 0, and worse for a second after a lost packet),
    and batches come at most that late. The first 2 s of the stream, and of each segment after a
    gap, are the clock's warm-up, its times rougher. Times are never later
    than the packet's arrival (host_time_ns) and rise strictly per kind (raw,
    filter), unless the host's wall clock is set back. A replay carries the
    recording's own sample times, those of vorn.read (baud: the line's, where
    the recording does not say). A recording without arrival times is
    replayed by rate, its raw packets per second, if given (vorn.rate_clock:
    raw packet k at k/rate s, both its times the wall clock's at the start
    plus that). A port is opened at baud, else LINE_BAUD
    (115200, as SerialParser and every command).

    A port's hang-up or unplug ends the stream with OSError (errno and the
    kernel's text), unless reconnect: then the port is closed at once, the
    same device looked for again (after 50 ms, then up to every 2 s), set up
    again, and the stream goes on; each gap is in stream.gaps and on the next
    batch (batch.gap), and the sample clock starts a new segment there.

    A port is read as its bytes arrive by a thread of the stream's own, into
    a ring of `ring` bytes (64 MiB: minutes of the unit), whatever the caller
    does between batches. A caller further behind than the ring holds loses
    the oldest bytes: never silently; each Loss (bytes and cause) is on the
    next batch (batch.losses, batch.lost_bytes) and counted in stream.lost
    and stream.lost_bytes, as are the characters the driver says it lost (the
    UART's overruns, where it counts them); framing and the sample clock
    start afresh after a loss.

    record: a port's bytes, exactly as read, written to this file as well,
    with their arrival times and baud rate beside it, as `vorn record` writes
    them (gaps marked, flushed durably at least twice a second and at close),
    by the reading thread: a slow caller never costs the recording a byte.
    Its times file marks the bytes the stream's caller missed and those the
    driver lost (`vorn info` shows them).
    An existing file is refused (FileExistsError) unless force, one another
    recorder is writing in any case (vorn.locks.HeldError)."""
    lookahead = float(lookahead)
    if isinstance(ring, bool) or not isinstance(ring, int) or ring < MIN_RING:
        raise ValueError(f"ring must be a number of bytes of at least {MIN_RING}, not {ring!r}")
    if not 0 <= lookahead <= MAX_LOOKAHEAD:
        raise ValueError(f"lookahead must be from 0 to {MAX_LOOKAHEAD:g} seconds, not {lookahead!r}")
    path = os.fsdecode(source)
    try:
        mode = os.stat(path).st_mode
    except OSError as e:
        raise OSError(e.errno, e.strerror, path) from None
    if stat.S_ISREG(mode):
        if record is not None:
            raise ValueError(f"{path}: record is for a serial port, not a recording replayed")
        speed = 1.0 if pace is True else float(pace)
        if speed < 0 or speed != speed:
            raise ValueError(f"pace must be True, False or a positive rate, not {pace!r}")
        if rate is not None and not 0 < float(rate) < math.inf:
            raise ValueError(f"rate must be a number of raw packets per second above 0, not {rate!r}")
        if rate is not None and not has_times(path):
            return RatedReplayStream(path, float(rate), speed, baud)
        return ReplayStream(path, speed, baud)
    if not stat.S_ISCHR(mode):
        raise OSError(errno.ENOTTY, "not a serial port or a recording", path)
    return PortStream(path, LINE_BAUD if baud is None else baud, reconnect, lookahead, record, force, ring)
