"""A serial port as every command and vorn.open use it: opened as SerialParser
opens it (claimed for exclusive use, raw 8N1, the speed read back), its
failures named as Python names a failed call on a file, and, with reconnect,
followed through unplugs: released at once, looked for again under a name
that follows the device (after FIRST_RETRY s, then twice as long each time up
to LAST_RETRY s), a USB adapter known by its vendor, product and serial number
so that another one at the path is not taken, and each gap handed to the
recording (mark) once the device is back."""

from __future__ import annotations

import errno
import os
import time
from collections.abc import Callable
from typing import NamedTuple

from vorn import _native, ports
from vorn.times import Stamp, now

# A lost device is looked for again after 50 ms, then twice as long each time
# up to 2 s: quick for a replug, cheap for a unit that stays away.
FIRST_RETRY, LAST_RETRY = 0.05, 2.0
# How long one blocking read of a port waits (seconds), so that a stop and
# a time limit are noticed.
READ_WAIT = 0.1
# Stable names of serial devices, which follow a device from port to port.
STABLE_DIRS = ("/dev/serial/by-id", "/dev/serial/by-path")


class Gap(NamedTuple):
    """A stretch without the device: when the line went and when it was open
    again, both on the host's wall clock (ns since the Unix epoch)."""

    lost_ns: int
    back_ns: int

    @property
    def seconds(self) -> float:
        return (self.back_ns - self.lost_ns) / 1e9


def stable_name(path: str) -> str:
    """A name that follows the device when it comes back on another port: path
    itself when it is one of /dev/serial's, else the by-id (or by-path) link
    to the same device, if there is one."""
    if any(path.startswith(d + "/") for d in STABLE_DIRS):
        return path
    target = os.path.realpath(path)
    for d in STABLE_DIRS:
        try:
            names = sorted(os.listdir(d))
        except OSError:
            continue
        for name in names:
            link = os.path.join(d, name)
            if os.path.realpath(link) == target:
                return link
    return path


def os_error(e: OSError, path: str) -> OSError:
    """The port's failure as Python raises a failed call on a file: errno, the
    kernel's text, and the path (a subclass such as FileNotFoundError by errno)."""
    if e.errno == errno.ENOTTY:  # it opened, but cannot be set up as a serial line
        return OSError(e.errno, "not a serial port (not a terminal device)", path)
    if e.errno:
        return OSError(e.errno, e.strerror or e.args[0], path)
    return OSError(f"{path}: {e.strerror or e}")


class PortSession:
    """One port, from its first opening through every unplug (see the
    module's text). By default the port is a _native.Port read by the caller
    (session.port, each read waiting read_wait s at most); connect(path) -> descriptor and release() put another
    owner of the line in its place (vorn.open's reading thread).
    on_other(path, other, device) hears of another device at the path, once
    for each; mark(lost, back) puts a gap on record, before reading goes on."""

    def __init__(
        self,
        path: str,
        baud: int,
        *,
        reconnect: bool = False,
        read_wait: float = READ_WAIT,
        connect: Callable[[str], int] | None = None,
        release: Callable[[], None] | None = None,
        on_other: Callable[[str, str, ports.Identity | None], None] = lambda path, other, device: None,
        mark: Callable[[Stamp, Stamp], None] | None = None,
    ) -> None:
        self.path = path
        self.baud = baud
        self.reconnect = reconnect
        self.port = None  # the _native.Port, when the session opens its own
        self.read_wait = read_wait  # how long one of its reads waits
        self._connect = connect or self._open_port
        self._release = release or self._close_port
        self._on_other = on_other
        self._mark = mark
        self.reopen_path = stable_name(path) if reconnect else path
        self.device: ports.Identity | None = None  # a USB adapter's, to know it again
        self.gaps: list[Gap] = []
        self.lost_at: Stamp | None = None
        self.delay = FIRST_RETRY
        self.due_ns = 0  # when (time.monotonic_ns) the next look is due
        self._refused: set[str] = set()

    def _open_port(self, path: str) -> int:
        self.port = _native.Port(path, self.baud, self.read_wait)
        return self.port.fileno()

    def _close_port(self) -> None:
        port, self.port = self.port, None
        if port is not None:
            port.close()

    def _open(self, path: str) -> int:
        try:
            return self._connect(path)
        except OSError as e:
            raise os_error(e, path) from None
        except UnicodeEncodeError:
            raise ValueError(f"{path}: the port's path is not valid UTF-8") from None

    def open(self) -> None:
        """The first opening; OSError (or ValueError) naming the port if it
        does not open."""
        fd = self._open(self.path)
        if self.reconnect:
            self.device = ports.identity(fd)

    def close(self) -> None:
        self._release()

    def lost(self) -> Stamp:
        """The port failed: released at once; the first look is due after
        FIRST_RETRY. When it went."""
        self._release()
        self.lost_at = now()
        self.delay = FIRST_RETRY
        self.due_ns = time.monotonic_ns() + int(self.delay * 1e9)
        return self.lost_at

    def reopen(self) -> Gap | None:
        """One look for the device (when due_ns has come): the gap once it is
        open again (marked), else None with the next look due twice as late."""
        try:
            fd = self._open(self.reopen_path)
        except (OSError, ValueError):
            return self._later()
        other = ports.other_device(fd, self.device)
        if other is not None:  # not the unit's adapter: left for whoever owns it
            self._release()
            if other not in self._refused:
                self._refused.add(other)
                self._on_other(self.reopen_path, other, self.device)
            return self._later()
        back = now()
        lost = self.lost_at or back
        if self._mark is not None:
            try:
                self._mark(lost, back)
            except BaseException:
                self._release()
                raise
        gap = Gap(lost.wall_ns, back.wall_ns)
        self.gaps.append(gap)
        return gap

    def _later(self) -> None:
        self.delay = min(self.delay * 2, LAST_RETRY)
        self.due_ns = time.monotonic_ns() + int(self.delay * 1e9)
        return None

    def wait(self, stopped: Callable[[], bool], until: float) -> Gap | None:
        """The blocking form of the looks: the gap once the device is open
        again, or None when stopped() or the time limit (time.monotonic) came
        first; waits in slices of READ_WAIT to notice a stop."""
        while True:
            while (left := (self.due_ns - time.monotonic_ns()) / 1e9) > 0:
                if stopped() or time.monotonic() >= until:
                    return None
                time.sleep(min(READ_WAIT, left))
            if stopped() or time.monotonic() >= until:
                return None
            gap = self.reopen()
            if gap is not None:
                return gap
