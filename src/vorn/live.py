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

import atexit
import builtins
import contextlib
import errno
import itertools
import math
import os
import select
import stat
import threading
import time
import warnings
import weakref
from array import array
from collections.abc import AsyncIterator, Callable, Iterator
from types import TracebackType
from typing import TYPE_CHECKING, NamedTuple

from vorn import _native, ports
from vorn.columns import Columns
from vorn.errors import with_path
from vorn.fields import FLAG_FIELDS, VALUE_FIELDS, column_names, flag_column, value_columns
from vorn.recorder import FLUSH_EVERY
from vorn.sample_clock import ClockState, sample_times
from vorn.sidecars import LINE_BAUD
from vorn.times import Stamp, Unplugged, load_times, now

if TYPE_CHECKING:
    import asyncio

    import numpy as np

__all__ = ["Batch", "Gap", "Loss", "Stream", "open", "recorded_gaps"]

# How long a port's packets are held for the reads after them to confirm
# their sample times (seconds): past a USB adapter's 16 ms bursts with room.
DEFAULT_LOOKAHEAD = 0.0
MAX_LOOKAHEAD = 10.0
# What the reader's ring holds while the caller is busy: about 12 minutes of
# the unit at 921600 baud. Its pages cost memory only once bytes fill them.
DEFAULT_RING = 64 << 20
MIN_RING = 4096
# How long close() from another thread waits for a read it woke to let go.
CLOSE_WAIT = 5.0
# A replay refuses a recording whose arrivals jump further than this (ns): a
# month, past any unplug worth replaying; a larger jump is damage.
MAX_REPLAY_GAP_NS = 31 * 86400 * 10**9
# A lost device is looked for again after 50 ms, then twice as long each time
# up to 2 s: quick for a replug, cheap for a unit that stays away.
FIRST_RETRY, LAST_RETRY = 0.05, 2.0
# A batch takes reads from the ring or a recording until it holds this many
# bytes, so that a backlog comes out in pieces of well under a millisecond of
# work each rather than holding up an event loop.
BATCH_BYTES = 1 << 16
# Stable names of serial devices, which follow a device from port to port.
STABLE_DIRS = ("/dev/serial/by-id", "/dev/serial/by-path")
# The columns of a batch: those of a recording with arrival times, and the
# sample time beside the arrival time.
BATCH_COLUMNS: tuple[str, ...] = ("host_time_ns", "time_ns", *column_names(None, True)[1:])
VALUE_COLUMNS: tuple[str, ...] = tuple(c for f in VALUE_FIELDS for c in value_columns(f))
FLAG_COLUMNS: tuple[str, ...] = tuple(flag_column(f) for f in FLAG_FIELDS)
INSTALL_HINT = "live streams need numpy: pip install 'vorn_rs[columns]'"


def require_numpy():
    try:
        import numpy
    except ImportError:
        raise ImportError(INSTALL_HINT, name="numpy") from None
    return numpy


class Gap(NamedTuple):
    """A stretch without the device: when the line went and when it was open
    again, both on the host's wall clock (ns since the Unix epoch)."""

    lost_ns: int
    back_ns: int

    @property
    def seconds(self) -> float:
        return (self.back_ns - self.lost_ns) / 1e9


class Loss(NamedTuple):
    """Bytes of the line the stream did not hand out, seen at wall_ns (the
    host's wall clock, ns). cause: "ring", the caller fell further behind than
    the reader's ring holds (the oldest bytes went; exact; a recording made
    with record= still has them); "overrun", the UART's receiver overran, or
    "buffer", the driver's buffer was full (the driver's counts of characters
    lost, which no recording has either)."""

    wall_ns: int
    bytes: int
    cause: str


class Batch(Columns):
    """A vorn.Columns of one batch; gap is the Gap just before it, if the device
    was lost and found again since the previous batch; losses the Loss(es)
    just before its packets (lost_bytes: their bytes in all), empty when
    nothing was lost."""

    def __init__(
        self, arrays: dict[str, np.ndarray], path: str, gap: Gap | None = None, losses: tuple[Loss, ...] = ()
    ) -> None:
        super().__init__(arrays, path)
        self.gap = gap
        self.losses = losses

    @property
    def lost_bytes(self) -> int:
        return sum(loss.bytes for loss in self.losses)


def columns_of(np, host, times, kinds, values, flags) -> dict[str, np.ndarray]:
    """A batch's arrays from the framer's byte columns (see Framer.columns):
    views of them, nothing copied."""
    n = len(kinds)
    arrays = {"host_time_ns": np.frombuffer(host, np.int64), "time_ns": np.frombuffer(times, np.int64)}
    arrays["packet_type"] = np.frombuffer(kinds, np.uint8)
    arrays.update(zip(VALUE_COLUMNS, np.frombuffer(values, np.float32).reshape(len(VALUE_COLUMNS), n)))
    arrays.update(zip(FLAG_COLUMNS, np.frombuffer(flags, np.bool_).reshape(len(FLAG_COLUMNS), n)))
    return arrays


def recorded_gaps(path) -> list[Gap]:
    """The gaps that `vorn record --reconnect` marked in a recording's arrival
    times (those its times file vouches for), in order."""
    return [Gap(g.lost.wall_ns, g.back.wall_ns) for g in load_times(path).gaps]


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
    if e.errno:
        return OSError(e.errno, e.strerror or e.args[0], path)
    return OSError(f"{path}: {e.strerror or e}")


class Timer:
    """A monotonic-clock timerfd: readable from its deadline until cleared."""

    def __init__(self) -> None:
        self._settime: Callable[[int], object]
        if hasattr(os, "timerfd_create"):
            self.fd = os.timerfd_create(time.CLOCK_MONOTONIC, flags=os.TFD_NONBLOCK | os.TFD_CLOEXEC)
            self._settime = lambda at_ns: os.timerfd_settime_ns(self.fd, flags=os.TFD_TIMER_ABSTIME, initial=at_ns)
        else:  # before 3.13: the C library's own calls
            import ctypes

            libc = ctypes.CDLL(None, use_errno=True)
            tfd_nonblock, tfd_cloexec, tfd_timer_abstime = 0o4000, 0o2000000, 1
            self.fd = libc.timerfd_create(time.CLOCK_MONOTONIC, tfd_nonblock | tfd_cloexec)
            if self.fd < 0:
                raise OSError(ctypes.get_errno(), os.strerror(ctypes.get_errno()))
            spec_type = ctypes.c_long * 4  # struct itimerspec: interval, then value

            def settime(at_ns: int) -> None:
                spec = spec_type(0, 0, at_ns // 1_000_000_000, at_ns % 1_000_000_000)
                if libc.timerfd_settime(self.fd, tfd_timer_abstime, spec, None) != 0:
                    raise OSError(ctypes.get_errno(), os.strerror(ctypes.get_errno()))

            self._settime = settime
        self._armed = False

    def set(self, at_ns: int) -> None:
        """Readable from at_ns on the monotonic clock (at once if that has passed)."""
        self._settime(max(at_ns, 1))  # 0 would disarm it
        self._armed = True

    def clear(self) -> bool:
        """Whether the deadline had come; it is cleared either way."""
        if not self._armed:  # never set, or read since it came: nothing to ask the kernel
            return False
        try:
            os.read(self.fd, 8)
        except BlockingIOError:
            return False
        self._armed = False
        return True

    def close(self) -> None:
        os.close(self.fd)


def check_timeout(timeout: float | None) -> float | None:
    """A read's timeout as read() and aread() both take it: None or inf for
    ever, a number of seconds (0 or less: only what is there now)."""
    if timeout is None:
        return None
    seconds = float(timeout)
    if seconds != seconds:
        raise ValueError("timeout must be a number of seconds or None, not nan")
    return None if seconds == math.inf else seconds


class Stream:
    """The packets of a port, or of a recording replayed, batch by batch (see
    the module's text). Made by vorn.open; read by one thread at a time, and
    closed by any: a read blocked meanwhile wakes and raises ValueError. A
    stream belongs to the process that opened it: in a forked child, close()
    (or exit) only closes the child's descriptors."""

    def __init__(self, name: str) -> None:
        self.name = name
        self._closed = False
        self._pid = os.getpid()
        self.gaps: list[Gap] = []  # every stretch without the device, in order
        self.lost = {"ring": 0, "overrun": 0, "buffer": 0}  # bytes not handed out, by cause (see Loss)
        self._losses: list[Loss] = []  # not yet handed out with a batch
        self._np = require_numpy()
        self._lock = threading.Lock()
        self._readers = 0  # threads in read()
        self._reading_thread: int | None = None
        self._releasing = False
        self._released = threading.Event()  # set once all is released
        self._epoll = select.epoll()
        self._timer = Timer()
        self._epoll.register(self._timer.fd, select.EPOLLIN)
        # Written by close() from another thread, to wake a read() waiting.
        self._wake = os.eventfd(0, os.EFD_NONBLOCK | os.EFD_CLOEXEC)
        self._epoll.register(self._wake, select.EPOLLIN)
        self._framer = _native.Framer()
        self._gap: Gap | None = None  # found again, not yet handed out with a batch
        self._ended = False
        self._drained = False  # the last look took all there was: the next waits first
        # The event loop watching the descriptor for aread(), and which one:
        # kept from one batch to the next while batches are awaited in turn.
        self._watched: tuple[asyncio.AbstractEventLoop, int] | None = None
        self._waiter: asyncio.Future[None] | None = None

    # -- what each kind of stream provides --

    def _take(self) -> list[tuple[bytes, Stamp]]:
        """The reads that have arrived (or fallen due), without waiting."""
        raise NotImplementedError

    def _release(self, forked: bool) -> None:
        pass

    # -- the shared machinery --

    def fileno(self) -> int:
        """A descriptor that is readable while read(timeout=0) may have a batch
        (or a failure, or the end) to give: the same one for the stream's life."""
        self._check_open()
        return self._epoll.fileno()

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def ended(self) -> bool:
        """Whether a replay has delivered its last batch."""
        return self._ended

    @property
    def lost_bytes(self) -> int:
        """The bytes of the line the stream did not hand out, in all (see Loss)."""
        return sum(self.lost.values())

    def close(self) -> None:
        """Releases the port (or the recording); safe to call again, from any
        thread: a read() waiting in another wakes and raises ValueError."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            elsewhere = self._readers > 0 and self._reading_thread != threading.get_ident()
            if self._readers:
                os.eventfd_write(self._wake, 1)
        if not self._readers:
            self._release_all()
        elif elsewhere:
            # The read wakes at once and releases on its way out.
            self._released.wait(CLOSE_WAIT)

    def _release_all(self) -> None:
        with self._lock:
            if self._releasing:
                return
            self._releasing = True
        forked = os.getpid() != self._pid
        try:
            if not forked:
                self._unwatch(wake=True)
            self._release(forked)
        finally:
            self._timer.close()
            os.close(self._wake)
            # Only this process's descriptor: the set itself, shared with a
            # parent or a child, is left as it is.
            self._epoll.close()
            self._released.set()

    def __del__(self) -> None:
        if getattr(self, "_closed", True) or not hasattr(self, "_wake"):
            return
        try:
            if os.getpid() == self._pid:
                warnings.warn(f"unclosed {self!r}", ResourceWarning, stacklevel=2, source=self)
        finally:
            self.close()

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("I/O operation on a closed stream")
        if os.getpid() != self._pid:
            raise ValueError(f"the stream belongs to the process that opened it ({self._pid}), not to a fork of it")

    def _frame(self, reads: list[tuple[bytes, Stamp]]) -> dict[str, np.ndarray] | None:
        """The columns of the packets that reads complete, time_ns still to be
        filled in; None when they complete none."""
        if len(reads) == 1:
            data, ends = reads[0][0], b""
        else:
            data = b"".join(piece for piece, _ in reads)
            ends = array("q", itertools.accumulate(len(piece) for piece, _ in reads[:-1])).tobytes()
        kinds, which, values, flags = self._framer.columns(data, ends)
        if not kinds:
            return None
        np = self._np
        if len(reads) == 1:  # one read, one arrival time
            host = np.full(len(kinds), reads[0][1].wall_ns, np.int64)
        else:
            walls = np.fromiter((s.wall_ns for _, s in reads), np.int64, len(reads))
            host = walls[np.frombuffer(which, np.uint32)]
        return columns_of(np, host, host, kinds, values, flags)

    def _step(self) -> Batch | None:
        """A batch of the packets completed by what has arrived, with their
        sample times, or None when there is none yet."""
        self._check_open()
        reads = self._take()
        arrays = self._frame(reads) if reads else None
        if arrays is None:
            return None
        arrays["time_ns"] = self._sample_times(len(arrays["packet_type"]))
        return self._batch(arrays)

    def _sample_times(self, n: int) -> np.ndarray:
        """The sample times of the next n packets."""
        raise NotImplementedError

    def _batch(self, arrays: dict[str, np.ndarray], losses: bool = True) -> Batch:
        gap, self._gap = self._gap, None
        lost: tuple[Loss, ...] = ()
        if losses and self._losses:
            lost, self._losses = tuple(self._losses), []
        return Batch(arrays, self.name, gap, lost)

    def _empty(self) -> Batch:
        np = self._np
        dtypes = {"host_time_ns": np.int64, "time_ns": np.int64, "packet_type": np.uint8}
        arrays = {c: np.empty(0, dtypes.get(c, np.bool_ if c in FLAG_COLUMNS else np.float32)) for c in BATCH_COLUMNS}
        gap, self._gap = self._gap, None
        return Batch(arrays, self.name, gap)

    def _waitable(self) -> int:
        """The descriptor an event loop waits on now: fileno(), or what it
        holds when that is one descriptor alone (a wake-up less)."""
        return self._epoll.fileno()

    def _wait(self, seconds: float | None) -> None:
        """Waits until fileno() is readable or `seconds` have passed."""
        self._epoll.poll(-1 if seconds is None else max(seconds, 0.0), 1)

    def read(self, timeout: float | None = None) -> Batch:
        """The next batch: waits for it up to timeout seconds (for ever with
        None or inf); an empty batch when none came in time or a replay has
        ended. OSError when the port fails (a hang-up, an unplug) without
        reconnect; ValueError once the stream is closed, by any thread."""
        timeout = check_timeout(timeout)
        with self._lock:
            self._check_open()
            self._readers += 1
            self._reading_thread = threading.get_ident()
        try:
            return self._read(timeout)
        finally:
            with self._lock:
                self._readers -= 1
                release = self._closed and not self._readers
            if release:
                self._release_all()

    def _read(self, timeout: float | None) -> Batch:
        deadline = None if timeout is None else time.monotonic() + timeout
        look = not self._drained or timeout is not None and timeout <= 0  # as in aread()
        while True:
            if look:
                self._drained = False
                batch = self._step()
                if batch is not None:
                    return batch
            look = True
            left = None if deadline is None else deadline - time.monotonic()
            if self._ended or (left is not None and left <= 0):
                self._check_open()
                return self._empty()
            self._wait(left)

    async def aread(self, timeout: float | None = None) -> Batch:
        """read() for asyncio: the loop watches fileno() meanwhile; the same
        timeouts."""
        import asyncio

        timeout = check_timeout(timeout)
        loop = asyncio.get_running_loop()
        deadline = None if timeout is None else loop.time() + timeout
        # After a look that emptied the line, a look before waiting would find
        # nothing new: the descriptor, level-triggered, says when there is.
        look = not self._drained or timeout is not None and timeout <= 0
        while True:
            if look:
                self._drained = False
                batch = self._step()
                if batch is not None:
                    return batch
            look = True
            left = None if deadline is None else deadline - loop.time()
            if self._ended or (left is not None and left <= 0):
                return self._empty()
            ready = self._watch(loop)
            try:
                if left is None:
                    await ready
                else:
                    await asyncio.wait_for(ready, left)
            except asyncio.TimeoutError:
                pass
            except BaseException:
                self._unwatch()  # cancelled, or the loop is going: leave it nothing
                raise
            finally:
                self._waiter = None

    def _watch(self, loop: asyncio.AbstractEventLoop) -> asyncio.Future[None]:
        """A future that the loop resolves when the descriptor to wait on is
        readable. The loop goes on watching after it, so that batch after
        batch costs no new registration; it stops when a wake-up finds no
        one waiting, the descriptor changes, or the stream closes."""
        fd = self._waitable()
        if self._watched != (loop, fd):
            self._unwatch()
            loop.add_reader(fd, self._woken)
            self._watched = (loop, fd)
        self._waiter = loop.create_future()
        return self._waiter

    def _woken(self) -> None:
        waiter, self._waiter = self._waiter, None
        if waiter is not None and not waiter.done():
            waiter.set_result(None)
        elif self._watched is not None and select.select([self._watched[1]], [], [], 0)[0]:
            # Readable with no one waiting: it would wake the loop turn after
            # turn. (A wake-up the last look has already answered is not.)
            self._unwatch()

    def _unwatch(self, wake: bool = False) -> None:
        if self._watched is not None:
            loop, fd = self._watched
            self._watched = None
            if not loop.is_closed():
                loop.remove_reader(fd)
                if wake and self._waiter is not None and not self._waiter.done():
                    self._waiter.set_result(None)  # a task waiting finds the stream closed

    def __iter__(self) -> Iterator[Batch]:
        return self

    def __next__(self) -> Batch:
        batch = self.read()
        if not batch.num_rows and self._ended:
            raise StopIteration
        return batch

    def __aiter__(self) -> AsyncIterator[Batch]:
        return self

    async def __anext__(self) -> Batch:
        batch = await self.aread()
        if not batch.num_rows and self._ended:
            raise StopAsyncIteration
        return batch

    def __enter__(self) -> Stream:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None, tb: TracebackType | None) -> None:
        self.close()

    async def __aenter__(self) -> Stream:
        return self

    async def __aexit__(
        self, kind: type[BaseException] | None, value: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else "ended" if self._ended else "open"
        return f"<vorn.Stream {self.name!r} {state}>"


# The streams that record, closed at the interpreter's exit so that the
# times of their last reads are written too.
_recording_streams: weakref.WeakSet[PortStream] = weakref.WeakSet()


@atexit.register
def _close_recording_streams() -> None:
    for stream in list(_recording_streams):
        if os.getpid() == stream._pid:
            with contextlib.suppress(Exception):
                stream.close()


class PortStream(Stream):
    """A serial port; with reconnect, a device that may come and go."""

    def __init__(
        self,
        path: str,
        baud: int,
        reconnect: bool,
        lookahead: float,
        record: str | os.PathLike[str] | None = None,
        force: bool = False,
        ring: int = DEFAULT_RING,
    ) -> None:
        super().__init__(path)
        self.baud = baud
        self.reconnect = reconnect
        self.lookahead = lookahead
        self.ring = ring
        self._lookahead_ns = round(lookahead * 1e9)
        # Framing, the sample clock and the packets held for their times.
        self._live = _native.LiveFrames(float(baud), self._lookahead_ns)
        self._segment_over = False  # the port was lost: the clock gives what it holds
        self._loss_break = False  # bytes were lost before the reads taken last
        self._reopen_path = stable_name(path) if reconnect else path
        # The port, read on a thread of its own into the ring (and the recording).
        self._reader = _native.PortReader(ring)
        self._notify: int | None = None  # the reader's descriptor while it reads
        self._port_fd = -1
        self._recording: str | None = None
        self._device: ports.Identity | None = None  # a USB adapter's, to know it again
        self._failure: OSError | None = None
        self._lost_ns = 0
        self._lost_at: Stamp | None = None
        self._retry = FIRST_RETRY
        recorder = None
        try:
            if record is not None:
                from vorn.recorder import Recorder

                # Claimed before the port is touched, as `vorn record` does.
                recorder = Recorder(os.fsdecode(record), force)
            self._connect(path, start=False)
            if reconnect:
                self._device = ports.identity(self._reader.port_fileno())
            if recorder is not None:
                data_fd, times_fd = recorder.hand_over(baud)
                self._reader.record(data_fd, times_fd, flush_every=FLUSH_EVERY)
                self._recording = recorder.path
                recorder = None
                _recording_streams.add(self)
            self._start()
        except BaseException:
            if recorder is not None:
                recorder.drop()
            self.close()
            raise

    def _connect(self, path: str, start: bool = True) -> None:
        """Opens the port as SerialParser does and reads it from now on (with
        start); OSError if it cannot."""
        try:
            self._reader.open(path, self.baud)
        except OSError as e:
            raise os_error(e, path) from None
        other = ports.other_device(self._reader.port_fileno(), self._device)
        if other is not None:  # not the unit's adapter: left for whoever owns it
            self._reader.drop()
            text = f"{path}: {other} appeared, not the {self._device} opened first; not taken"
            warnings.warn(text, ports.OtherDeviceWarning, stacklevel=2)
            raise OSError(errno.ENODEV, text, path)
        # A new segment: a packet cut by the loss is not glued to what
        # follows, and the unit's clock may have a new phase, even rate.
        self._live.restart()
        if start:
            self._start()

    def _start(self) -> None:
        self._reader.start()
        self._notify = self._reader.fileno()
        self._epoll.register(self._notify, select.EPOLLIN)
        # The port itself too: a caller waiting wakes with the thread and
        # takes the bytes itself rather than after the thread has.
        self._port_fd = self._reader.port_fileno()
        self._epoll.register(self._port_fd, select.EPOLLIN)

    def _drop(self) -> None:
        """Stops reading and closes the port at once: its device is released
        for whoever comes next."""
        if self._notify is not None:
            self._unwatch()  # before the descriptors go: the loop may be watching them
            self._epoll.unregister(self._notify)
            self._epoll.unregister(self._port_fd)
            self._notify = None
        self._reader.drop()

    def _release(self, forked: bool) -> None:
        if not forked:
            self._drop()
        try:
            self._reader.close()  # in a fork: this process's descriptors alone
        except OSError as e:
            raise with_path(e, self._recording) from None

    def _take(self) -> list[tuple[bytes, tuple[int, int]]]:
        if self._failure is not None:
            raise self._failure
        if self._notify is None:
            self._try_reconnect()
            if self._notify is None:
                return []
        reads, ring_lost, overrun, buf_overrun, failure = self._reader.take(BATCH_BYTES)
        if ring_lost or overrun or buf_overrun:
            wall = reads[0][1][0] if reads else time.time_ns()
            for n, cause in ((ring_lost, "ring"), (overrun, "overrun"), (buf_overrun, "buffer")):
                if n:
                    self._losses.append(Loss(wall, n, cause))
                    self.lost[cause] += n
            self._loss_break = True
        # The reader's descriptor stays readable while the ring holds more.
        self._drained = True
        if failure is not None:
            error, in_recording = failure
            if in_recording:  # a full disk: named, so that it is not taken for the port's
                self._drop()
                self._failure = with_path(error, self._recording)
                self._timer.set(0)
            else:
                self._lost(os_error(error, self.name))
        return reads

    def _lost(self, failure: OSError) -> None:
        self._drop()
        self._segment_over = True
        self._lost_at = now()
        if self._recording is not None:
            try:
                self._reader.flush()  # durable however long the device stays away
            except OSError as e:
                failure = with_path(e, self._recording)
                self._failure = failure
                self._timer.set(0)
                return
        if not self.reconnect:
            self._failure = failure  # raised now, and by every read after
            self._timer.set(0)  # fileno() stays readable: the failure is there to be read
            return
        self._lost_ns = self._lost_at.wall_ns
        self._retry = FIRST_RETRY
        self._timer.set(time.monotonic_ns() + int(self._retry * 1e9))

    def _try_reconnect(self) -> None:
        if not self._timer.clear():
            return
        try:
            self._connect(self._reopen_path, start=False)
        except OSError:
            self._retry = min(self._retry * 2, LAST_RETRY)
            self._timer.set(time.monotonic_ns() + int(self._retry * 1e9))
            return
        back = now()
        gap = Gap(self._lost_ns, back.wall_ns)
        if self._recording is not None and self._lost_at is not None:
            try:
                self._reader.gap(self._lost_at.wall_ns, self._lost_at.mono_ns, back.wall_ns, back.mono_ns)
            except OSError as e:
                self._reader.drop()
                raise with_path(e, self._recording) from None
        self._start()
        self.gaps.append(gap)
        self._gap = gap

    def _step(self) -> Batch | None:
        self._check_open()
        if self._notify is not None:
            self._timer.clear()  # armed for the packets held, if any: looked at now
        reads = self._take()
        live = self._live
        before = None
        if self._loss_break:
            # The bytes lost cut the stream: what was held goes out as it is,
            # and framing and the clock begin afresh after the loss.
            self._loss_break = False
            before = live.finish()
            live.restart()
        if reads:
            live.feed(reads)
        if before is not None:
            self._drained = False  # what was fed comes out with the next look
            return self._batch(columns_of(self._np, *before), losses=False)
        if self._segment_over:
            self._segment_over = False
            got = live.finish()
        else:
            got = live.take(time.monotonic_ns())
        batch = None if got is None else self._batch(columns_of(self._np, *got))
        if self._notify is not None:
            due = live.due()  # the packets held fall due
            if due is not None:
                self._timer.set(due)
        if batch is None and self._failure is not None:
            raise self._failure
        return batch

    @property
    def clock(self) -> ClockState:
        """Each stream's sample clock now (vorn.sample_clock.ClockState):
        warm-up or locked, rate and drift, residual, pauses and losses."""
        return ClockState.from_native(self._live.state())


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
    the recording does not say). A port is opened at baud, else LINE_BAUD
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
        rate = 1.0 if pace is True else float(pace)
        if rate < 0 or rate != rate:
            raise ValueError(f"pace must be True, False or a positive rate, not {pace!r}")
        return ReplayStream(path, rate, baud)
    if not stat.S_ISCHR(mode):
        raise OSError(errno.ENOTTY, "not a serial port or a recording", path)
    return PortStream(path, LINE_BAUD if baud is None else baud, reconnect, lookahead, record, force, ring)
