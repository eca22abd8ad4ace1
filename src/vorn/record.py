"""Recording a port: its byte stream written to a file exactly as it arrives,
with the arrival of each read in the times file beside it (vorn.times)."""

from __future__ import annotations

import contextlib
import errno
import os
import time
from collections.abc import Callable
from typing import NamedTuple

from vorn import _native
from vorn.errors import with_path
from vorn.sample_clock import write_baud
from vorn.times import TimesWriter, now, times_path

READ_WAIT = 0.1  # seconds one read waits, so the status and the time limit stay current
FLUSH_EVERY = 0.5  # seconds; a crash or an unplug loses at most this much
STATUS_EVERY = 0.5


class Summary(NamedTuple):
    """What a recording got: its bytes, how long it ran, the framing's counts
    (as _native.Framer.counts gives them), and the OSError the port failed
    with (a hang-up), or None when it was stopped or ran its time."""

    bytes: int
    seconds: float
    counts: dict
    failure: OSError | None


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


def record(port_path: str, out_path: str, baud: int = 115200, seconds: float | None = None, force: bool = False, *,
           stopped: Callable[[], bool] = lambda: False,
           status: Callable[[float, int, dict], None] | None = None) -> Summary:
    """Records the port at port_path into out_path (with out_path.times, and
    the baud rate in out_path.baud) until seconds have passed, stopped()
    returns true (asked after every read, at least every READ_WAIT s), or the
    port fails. status(elapsed, bytes, counts) is called every STATUS_EVERY s.
    Without force an existing file is refused
    (FileExistsError) before the port is touched."""
    # Stale times beside a new recording would lie.
    for path in (out_path, times_path(out_path)):
        if not force and os.path.lexists(path):
            raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), os.fsdecode(path))
    port = open_port(port_path, baud)
    try:
        write_baud(out_path, baud)  # the wire time of each packet, for its sample time
    except OSError:
        port.close()
        raise
    framer = _native.Framer()
    nbytes = 0
    failure = None
    try:
        with contextlib.closing(port), open(out_path, "wb" if force else "xb") as out, \
                contextlib.closing(TimesWriter(out_path, force)) as times:
            start = last_flush = last_status = time.monotonic()
            while not stopped():
                if seconds is not None and time.monotonic() - start >= seconds:
                    break
                try:
                    chunk = port.read()
                except OSError as e:
                    failure = OSError(e.errno, e.strerror, port_path)
                    break
                if chunk:
                    arrived = now()
                    out.write(chunk)
                    times.add(len(chunk), arrived)
                    framer.feed(chunk)
                    nbytes += len(chunk)
                t = time.monotonic()
                if t - last_flush >= FLUSH_EVERY:
                    out.flush()  # the bytes first: times never run ahead of them
                    times.flush()
                    last_flush = t
                if status is not None and t - last_status >= STATUS_EVERY:
                    status(t - start, nbytes, framer.counts())
                    last_status = t
            elapsed = time.monotonic() - start
    except OSError as e:
        raise with_path(e, out_path) from None
    return Summary(nbytes, elapsed, framer.counts(), failure)
