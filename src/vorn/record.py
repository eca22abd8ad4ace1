"""Recording a port: its byte stream written to a file exactly as it arrives,
with the arrival of each read in the times file beside it (vorn.times). Both
are held under an exclusive lock while they are written (vorn.locks), and each
flush is made durable, the bytes before the times that vouch for them. With
reconnect, an unplug does not end it: the port is released at once, opened
again when the same device is back, and the gap marked in the times file."""

from __future__ import annotations

import contextlib
import errno
import math
import time
from collections.abc import Callable
from typing import NamedTuple

from vorn import _native
from vorn import ports as sysports
from vorn.errors import with_path
from vorn.live import FIRST_RETRY, LAST_RETRY, stable_name
from vorn.recorder import Recorder
from vorn.sidecars import LINE_BAUD
from vorn.times import now

READ_WAIT = 0.1  # seconds one read waits, so the status and the time limit stay current
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


def open_port(port_path: str, baud: int):
    """The port claimed and set up as SerialParser does; OSError naming it."""
    try:
        return _native.Port(port_path, baud, READ_WAIT)
    except OSError as e:
        if e.errno == errno.ENOTTY:  # it opened, but cannot be set up as a serial line
            raise OSError(e.errno, "not a serial port (not a terminal device)", port_path) from None
        raise
    except UnicodeEncodeError:
        raise ValueError(f"{port_path}: the port's path is not valid UTF-8") from None


class Holder:
    """The port being read, which a reconnection replaces."""

    def __init__(self, port) -> None:
        self.port = port

    def close(self) -> None:
        if self.port is not None:
            self.port.close()
            self.port = None


def wait_for_port(
    path: str,
    baud: int,
    stopped: Callable[[], bool],
    until: float,
    device: sysports.Identity | None = None,
    told: Callable[[str], None] = lambda text: None,
):
    """The port opened again once its device is back, or None when stopped()
    or the time limit came first. Looks after 50 ms, then twice as long each
    time up to 2 s, in slices short enough to notice a stop. With device (the
    identity the port had), another device at path is let go at once and
    told(what it is), once for each that appears."""
    delay = FIRST_RETRY
    refused: set[str] = set()
    while True:
        due = time.monotonic() + delay
        while time.monotonic() < due:
            if stopped() or time.monotonic() >= until:
                return None
            time.sleep(min(READ_WAIT, max(0.0, due - time.monotonic())))
        try:
            port = _native.Port(path, baud, READ_WAIT)
        except (OSError, UnicodeEncodeError):
            delay = min(delay * 2, LAST_RETRY)
            continue
        other = sysports.other_device(port.fileno(), device)
        if other is None:
            return port
        port.close()
        if other not in refused:
            refused.add(other)
            told(f"{path}: {other} appeared, not the {device} recorded; not taken, still waiting")
        delay = min(delay * 2, LAST_RETRY)


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
    try:
        port = open_port(port_path, baud)
    except BaseException:
        rec.drop()
        raise
    try:
        rec.start(baud)
    except BaseException:
        port.close()
        raise
    reopen_path = stable_name(port_path) if reconnect else port_path
    device = sysports.identity(port.fileno()) if reconnect else None
    ports = Holder(port)
    framed = False  # a packet came, or the user was told that none did
    framer = _native.Framer()
    nbytes = gaps = overruns = 0
    failure = None
    counters = port.counters()  # None where the driver keeps no overrun counts
    try:
        with contextlib.closing(ports), contextlib.closing(rec):
            start = last_status = time.monotonic()
            while not stopped():
                if seconds is not None and time.monotonic() - start >= seconds:
                    break
                try:
                    chunk = ports.port.read()
                except OSError as e:
                    if not reconnect:
                        failure = OSError(e.errno, e.strerror, port_path)
                        break
                    # Released at once, and all that came made durable
                    # however long the device stays away.
                    lost = now()
                    ports.close()
                    rec.flush()
                    until = start + seconds if seconds is not None else math.inf
                    ports.port = wait_for_port(reopen_path, baud, stopped, until, device, told)
                    if ports.port is None:
                        break
                    rec.gap(lost, now())  # on record once the device is back
                    gaps += 1
                    counters = ports.port.counters()
                    continue
                if chunk:
                    arrived = now()
                    if counters is not None:
                        before, counters = counters, ports.port.counters()
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
    return Summary(nbytes, elapsed, framer.counts(), failure, gaps, overruns)
