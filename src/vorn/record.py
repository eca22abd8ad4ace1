"""vorn record: a port's byte stream, written to a file exactly as it arrives."""

from __future__ import annotations

import contextlib
import os
import signal
import sys
import time

from vorn import _native
from vorn.errors import ToolError, os_failure
from vorn.live import FIRST_RETRY, LAST_RETRY, stable_name
from vorn.recording import TimesWriter, now, times_path

READ_WAIT = 0.1  # seconds one read waits, so the status and the time limit stay current
FLUSH_EVERY = 0.5  # seconds; a crash or an unplug loses at most this much
STATUS_EVERY = 0.5


class Status:
    """The one-line status on stderr while recording, only on a terminal."""

    def __init__(self) -> None:
        self.active = sys.stderr.isatty()
        self.last = (0.0, 0, 0)  # time, raw, estimated at the previous update

    def show(self, elapsed: float, nbytes: int, counts: dict) -> None:
        if not self.active:
            return
        t0, raw0, est0 = self.last
        span = max(elapsed - t0, 1e-9)
        raw_rate, est_rate = (counts["raw"] - raw0) / span, (counts["estimated"] - est0) / span
        self.last = (elapsed, counts["raw"], counts["estimated"])
        self.write(f"\r{elapsed:7.1f} s  {nbytes:,} bytes  raw {raw_rate:,.0f}/s  "
                   f"estimated {est_rate:,.0f}/s  checksum failures {counts['bad_checksums']:,}\x1b[K")

    def clear(self) -> None:
        if self.active:
            self.write("\r\x1b[K")

    def write(self, text: str) -> None:
        try:
            sys.stderr.write(text)
            sys.stderr.flush()
        except OSError:  # the terminal hung up: recording goes on without a status
            self.active = False


# The kernel's short text for ENOTTY, as the core reports it: the path opened
# but is no terminal, so it cannot be set up as a serial line.
NOT_A_TERMINAL = "Not a typewriter"
# Signals that end a recording in order: flushed, summed up, exit status 0. A
# hang-up of the controlling terminal (a closed window, a dropped ssh) is one.
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def open_port(port_path: str, baud: int):
    try:
        return _native.Port(port_path, baud, READ_WAIT)
    except OSError as e:
        if str(e) == NOT_A_TERMINAL:
            raise ToolError(f"{port_path}: not a serial port (not a terminal device)") from None
        raise ToolError(f"{port_path}: {e}") from None
    except UnicodeEncodeError:
        raise ToolError(f"{port_path}: the port's path is not valid UTF-8") from None


class Holder:
    """The port being read, which a reconnection replaces."""

    def __init__(self, port) -> None:
        self.port = port

    def close(self) -> None:
        if self.port is not None:
            self.port.close()
            self.port = None


def exists_error(out_path: str) -> ToolError:
    return ToolError(f"{out_path}: exists; --force replaces it")


def wait_for_port(path: str, baud: int, stop: list, until: float):
    """The port opened again once its device is back, or None when a stop
    signal or the time limit came first. Looks after 50 ms, then twice as long
    each time up to 2 s, in slices short enough to notice a stop."""
    delay = FIRST_RETRY
    while True:
        due = time.monotonic() + delay
        while time.monotonic() < due:
            if stop or time.monotonic() >= until:
                return None
            time.sleep(min(READ_WAIT, max(0.0, due - time.monotonic())))
        try:
            return _native.Port(path, baud, READ_WAIT)
        except (OSError, UnicodeEncodeError):
            delay = min(delay * 2, LAST_RETRY)


def record(port_path: str, out_path: str, baud: int, seconds: float | None, force: bool = False,
           reconnect: bool = False) -> int:
    # Before the port is touched; stale times beside a new recording would lie.
    for path in (out_path, times_path(out_path)):
        if not force and os.path.lexists(path):
            raise exists_error(path)
    port = open_port(port_path, baud)
    reopen_path = stable_name(port_path) if reconnect else port_path
    gaps = 0

    ports = Holder(port)
    stop = []  # the signal that asked to stop, if any

    def on_signal(signum, frame):
        stop.append(signum)

    # A signal ignored from the start (SIGHUP under nohup) stays ignored.
    handlers = {s: signal.signal(s, on_signal) for s in STOP_SIGNALS if signal.getsignal(s) is not signal.SIG_IGN}
    framer = _native.Framer()
    status = Status()
    nbytes = 0
    failure = None
    try:
        with contextlib.closing(ports), open(out_path, "wb" if force else "xb") as out, \
                contextlib.closing(TimesWriter(out_path, force)) as times:
            start = last_flush = last_status = time.monotonic()
            while not stop:
                if seconds is not None and time.monotonic() - start >= seconds:
                    break
                try:
                    chunk = ports.port.read()
                except OSError as e:
                    if not reconnect:
                        failure = str(e)
                        break
                    # Released at once; an empty read marks when the line went,
                    # another when it is back.
                    ports.close()
                    times.add(0, now())
                    out.flush()  # durable while the device is away, however long
                    times.flush()
                    until = start + seconds if seconds is not None else float("inf")
                    ports.port = wait_for_port(reopen_path, baud, stop, until)
                    if ports.port is None:
                        break
                    times.add(0, now())
                    gaps += 1
                    continue
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
                if t - last_status >= STATUS_EVERY:
                    status.show(t - start, nbytes, framer.counts())
                    last_status = t
            elapsed = time.monotonic() - start
    except FileExistsError:
        raise exists_error(out_path) from None
    except OSError as e:
        raise os_failure(out_path, e) from None
    finally:
        status.clear()
        for s, h in handlers.items():
            signal.signal(s, h)

    c = framer.counts()
    if failure is not None:
        why = f"the port hung up ({failure})"
    elif stop:
        why = "stopped by " + ("Ctrl-C" if stop[0] == signal.SIGINT else signal.Signals(stop[0]).name)
    else:
        why = "time limit reached"
    if gaps:
        why += f"; {gaps} gap{'s' if gaps > 1 else ''} without the device (vorn info lists them)"
    try:
        print(f"{out_path}: {nbytes:,} bytes in {elapsed:.1f} s, {c['raw']:,} raw and {c['estimated']:,} estimated "
              f"packets, {c['bad_checksums']:,} checksum failures; {why}", flush=True)
    except OSError:
        pass  # stdout was the terminal that hung up; the recording is complete all the same
    if failure is not None:
        raise ToolError(f"{port_path}: {why}")
    return 0

