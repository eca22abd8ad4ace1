"""Recording a port: its byte stream written to a file exactly as it arrives,
with the arrival of each read in the times file beside it (vorn.times). Both
are held under an exclusive lock while they are written (vorn.locks), and each
flush is made durable, the bytes before the times that vouch for them. With
reconnect, an unplug does not end it: the port is released at once, opened
again when the same device is back, and the gap marked in the times file."""

from __future__ import annotations

import contextlib
import math
import time
from collections.abc import Callable
from typing import NamedTuple

from vorn import _native
from vorn.errors import with_path
from vorn.port_session import PortSession
from vorn.recorder import Recorder
from vorn.sidecars import LINE_BAUD
from vorn.times import now

STATUS_EVERY = 0.5
# Long enough for any unit's first packets at any speed, short enough that a
# user at the wrong one is told before giving up.
FRAMING_GRACE = 3.0


class Summary(NamedTuple):
    """What a recording got: its bytes, how long it ran, the framing's counts
    (as _native.Framer.counts gives them), the OSError the port failed with
    (a hang-up), or None when it was stopped or ran its time, and the gaps
    without the device it went through (with reconnect)."""

    bytes: int
    seconds: float
    counts: dict
    failure: OSError | None
    gaps: int = 0
    overruns: int = 0  # characters the driver said it lost (its UART or its buffer overran)


def no_packets_text(port_path: str, baud: int, seconds: float, nbytes: int) -> str:
    """What a recording that frames nothing at the line's speed is told."""
    if nbytes:
        got = (
            f"{nbytes:,} bytes and not one packet in {seconds:.0f} s at {baud} baud: the unit most likely "
            "sends at another speed"
        )
    else:
        got = f"not one byte in {seconds:.0f} s"
    return f"{port_path}: {got}; `vorn doctor {port_path} --listen 5` says why"


def record(
    port_path: str,
    out_path: str,
    baud: int = LINE_BAUD,
    seconds: float | None = None,
    force: bool = False,
    *,
    stopped: Callable[[], bool] = lambda: False,
    status: Callable[[float, int, dict], None] | None = None,
    durable: bool = True,
    reconnect: bool = False,
    told: Callable[[str], None] = lambda text: None,
) -> Summary:
    """Records the port at port_path into out_path (with out_path.times, and
    the baud rate in out_path.baud) until seconds have passed, stopped()
    returns true (asked after every read, at least every READ_WAIT s), or the
    port fails. status(elapsed, bytes, counts) is called every STATUS_EVERY s.
    Without force an existing file is refused (FileExistsError), and with
    force or not a file another recorder is writing (HeldError), before the
    port is touched. durable: each flush waits until the data and its times
    are on the disk (fdatasync), data first, so that times never vouch for
    bytes a power cut took. reconnect: a hang-up or unplug releases the port
    and waits for the same device (a path outside /dev/serial followed by its
    by-id link) instead of ending the recording; each gap is marked in the
    times file once the device is back. A USB adapter is known by its vendor,
    product and serial number: another one at the path is not taken. A device
    without them (a pseudo-terminal, a built-in UART) is followed as a path.
    told(line) hears what the user should know meanwhile: that nothing framed
    in the first FRAMING_GRACE s, another device appearing."""
    # Claimed before the port is touched, emptied once it is open.
    rec = Recorder(out_path, force, durable)

    def other_device(path, other, device) -> None:
        told(f"{path}: {other} appeared, not the {device} recorded; not taken, still waiting")

    session = PortSession(port_path, baud, reconnect=reconnect, on_other=other_device, mark=rec.gap)
    try:
        session.open()
    except BaseException:
        rec.drop()
        raise
    try:
        rec.start(baud)
    except BaseException:
        session.close()
        raise
    framed = False  # a packet came, or the user was told that none did
    framer = _native.Framer()
    nbytes = overruns = 0
    failure = None
    counters = session.port.counters()  # None where the driver keeps no overrun counts
    try:
        with contextlib.closing(session), contextlib.closing(rec):
            start = last_status = time.monotonic()
            while not stopped():
                if seconds is not None and time.monotonic() - start >= seconds:
                    break
                try:
                    chunk = session.port.read()
                except OSError as e:
                    if not reconnect:
                        failure = OSError(e.errno, e.strerror, port_path)
                        break
                    # Released at once, and all that came made durable
                    # however long the device stays away.
                    session.lost()
                    rec.flush()
                    until = start + seconds if seconds is not None else math.inf
                    if session.wait(stopped, until) is None:
                        break
                    counters = session.port.counters()
                    continue
                if chunk:
                    arrived = now()
                    if counters is not None:
                        before, counters = counters, session.port.counters()
                        overruns += rec.overran(before, counters, arrived)
                    rec.add(chunk, arrived)
                    framer.feed(chunk)
                    nbytes += len(chunk)
                rec.tick()
                t = time.monotonic()
                if not framed:
                    c = framer.counts()
                    if c["raw"] + c["estimated"] + sum(c["other_sets"].values()):
                        framed = True
                    elif t - start >= FRAMING_GRACE:
                        told(no_packets_text(port_path, baud, t - start, nbytes))
                        framed = True
                if status is not None and t - last_status >= STATUS_EVERY:
                    status(t - start, nbytes, framer.counts())
                    last_status = t
            elapsed = time.monotonic() - start
    except OSError as e:
        raise with_path(e, out_path) from None
    return Summary(nbytes, elapsed, framer.counts(), failure, len(session.gaps), overruns)
