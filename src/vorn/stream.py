"""The machinery every stream shares (see vorn.live): the batch and what it
carries, one descriptor to wait on (an epoll set with a timer and a wake-up),
read() and aread() over one loop, closing from any thread, forks."""

from __future__ import annotations

import itertools
import math
import os
import select
import threading
import time
import warnings
from array import array
from collections.abc import AsyncIterator, Callable, Generator, Iterator
from types import TracebackType
from typing import TYPE_CHECKING, NamedTuple

from vorn import _native
from vorn.columns import Columns
from vorn.fields import FLAG_FIELDS, VALUE_FIELDS, column_names, flag_column, value_columns
from vorn.port_session import Gap
from vorn.timerfd import Timer
from vorn.times import Stamp

if TYPE_CHECKING:
    import asyncio

    import numpy as np

# How long close() from another thread waits for a read it woke to let go.
CLOSE_WAIT = 5.0
# A batch takes reads from the ring or a recording until it holds this many
# bytes, so that a backlog comes out in pieces of well under a millisecond of
# work each rather than holding up an event loop.
BATCH_BYTES = 1 << 16
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
        looks = self._looks(timeout, time.monotonic)
        try:
            while True:
                self._wait(next(looks))
        except StopIteration as done:
            return done.value

    async def aread(self, timeout: float | None = None) -> Batch:
        """read() for asyncio: the loop watches fileno() meanwhile; the same
        timeouts."""
        import asyncio

        timeout = check_timeout(timeout)
        loop = asyncio.get_running_loop()
        looks = self._looks(timeout, loop.time)
        try:
            while True:
                left = next(looks)
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
        except StopIteration as done:
            return done.value

    def _looks(self, timeout: float | None, clock: Callable[[], float]) -> Generator[float | None, None, Batch]:
        """The loop of read() and aread(): looks for a batch and returns it,
        or yields how long to wait (None: for ever) before the next look; an
        empty batch at the deadline (on clock) or the end of a replay."""
        deadline = None if timeout is None else clock() + timeout
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
            left = None if deadline is None else deadline - clock()
            if self._ended or (left is not None and left <= 0):
                self._check_open()
                return self._empty()
            yield left

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
