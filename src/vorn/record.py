"""Recording a port: its byte stream written to a file exactly as it arrives,
with the arrival of each read in the times file beside it (vorn.times). Both
are held under an exclusive lock while they are written (vorn.locks), and each
flush is made durable, the bytes before the times that vouch for them."""

from __future__ import annotations

import contextlib
import errno
import os
import time
from collections.abc import Callable
from typing import NamedTuple

from vorn import _native
from vorn.errors import with_path
from vorn.locks import HeldError, claim, held_by
from vorn.sample_clock import write_baud
from vorn.times import TimesWriter, now, times_path

READ_WAIT = 0.1  # seconds one read waits, so the status and the time limit stay current
FLUSH_EVERY = 0.5  # seconds; a crash or a power cut loses at most this much
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


def exists_error(path) -> FileExistsError:
    return FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), os.fsdecode(path))


class Outputs:
    """The recording and its times file, each open for writing under an
    exclusive lock that lasts as long as they are open, and emptied only once
    both are held and the port is open: a second recorder onto them, with
    force or not, is refused (HeldError) without touching what the first one
    writes."""

    def __init__(self, out_path: str, force: bool) -> None:
        self.paths = (out_path, times_path(out_path))
        for path in self.paths:
            pid = held_by(path)
            if pid is not False:
                raise HeldError(path, pid)
        # Stale times beside a new recording would lie.
        for path in self.paths:
            if not force and os.path.lexists(path):
                raise exists_error(path)
        self.fds: list[int] = []
        self.created: list[str] = []
        try:
            for path in self.paths:
                existed = os.path.lexists(path)
                self.fds.append(claim(path, create=True, exclusive=not force))
                if not existed:
                    self.created.append(path)
        except OSError as e:
            self.drop()
            raise with_path(e, out_path) from None

    def drop(self) -> None:
        """Gives them up unwritten, removing those made here."""
        for path in self.created:
            with contextlib.suppress(OSError):
                os.unlink(path)
        for fd in self.fds:
            os.close(fd)
        self.fds = []

    def open(self) -> tuple:
        """Both emptied, as binary files."""
        files = []
        for fd in self.fds:
            os.ftruncate(fd, 0)
            files.append(os.fdopen(fd, "wb"))
        self.fds = []
        return tuple(files)


def record(port_path: str, out_path: str, baud: int = 115200, seconds: float | None = None, force: bool = False, *,
           stopped: Callable[[], bool] = lambda: False,
           status: Callable[[float, int, dict], None] | None = None, durable: bool = True) -> Summary:
    """Records the port at port_path into out_path (with out_path.times, and
    the baud rate in out_path.baud) until seconds have passed, stopped()
    returns true (asked after every read, at least every READ_WAIT s), or the
    port fails. status(elapsed, bytes, counts) is called every STATUS_EVERY s.
    Without force an existing file is refused (FileExistsError), and with
    force or not a file another recorder is writing (HeldError), before the
    port is touched. durable: each flush waits until the data and its times
    are on the disk (fdatasync), data first, so that times never vouch for
    bytes a power cut took."""
    # Claimed before the port is touched, emptied once it is open.
    outputs = Outputs(out_path, force)
    try:
        port = open_port(port_path, baud)
    except BaseException:
        outputs.drop()
        raise
    try:
        write_baud(out_path, baud)  # the wire time of each packet, for its sample time
    except BaseException:
        port.close()
        outputs.drop()
        raise
    out_file, times_file = outputs.open()
    framer = _native.Framer()
    nbytes = 0
    failure = None
    try:
        with contextlib.closing(port), out_file as out, \
                contextlib.closing(TimesWriter(out_path, durable=durable, file=times_file)) as times:
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
                    times.add(chunk, arrived)
                    framer.feed(chunk)
                    nbytes += len(chunk)
                t = time.monotonic()
                if t - last_flush >= FLUSH_EVERY:
                    out.flush()  # the bytes first: times never run ahead of them
                    if durable:
                        os.fdatasync(out.fileno())
                    times.flush()
                    last_flush = t
                if status is not None and t - last_status >= STATUS_EVERY:
                    status(t - start, nbytes, framer.counts())
                    last_status = t
            elapsed = time.monotonic() - start
            # The last bytes reach the disk before the times that vouch for them (written on close).
            out.flush()
            if durable:
                os.fdatasync(out.fileno())
    except OSError as e:
        raise with_path(e, out_path) from None
    return Summary(nbytes, elapsed, framer.counts(), failure)
