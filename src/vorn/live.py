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
raw 8N1, the speed read back) and read through the same core, without a thread:
the stream waits on one descriptor (fileno(), an epoll set holding the port and
a timer), which an event loop watches with add_reader, so a waiting stream
costs nothing.
"""

from __future__ import annotations

import builtins
import errno
import itertools
import os
import select
import stat
import time
from array import array
from collections.abc import AsyncIterator, Callable, Iterator
from types import TracebackType
from typing import TYPE_CHECKING, NamedTuple

from vorn import _native
from vorn.columns import Columns
from vorn.fields import FLAG_FIELDS, VALUE_FIELDS, column_names, flag_column, value_columns
from vorn.sample_clock import ClockState, sample_times
from vorn.times import Stamp, Unplugged, load_times, now

if TYPE_CHECKING:
    import asyncio

    import numpy as np

__all__ = ["Batch", "Gap", "Stream", "open", "recorded_gaps"]

DEFAULT_BAUD = 921600
# How long a port's packets are held for the reads after them to confirm
# their sample times (seconds): past a USB adapter's 16 ms bursts with room.
DEFAULT_LOOKAHEAD = 0.064
MAX_LOOKAHEAD = 10.0
# A lost device is looked for again after 50 ms, then twice as long each time
# up to 2 s: quick for a replug, cheap for a unit that stays away.
FIRST_RETRY, LAST_RETRY = 0.05, 2.0
# A batch takes reads from the port or a recording until it holds this many
# bytes (four of the port's reads), so that a backlog comes out in pieces of
# well under a millisecond of work each rather than holding up an event loop.
BATCH_BYTES = 1 << 16
# The native port's read window: a shorter read has emptied the line for now.
PORT_WINDOW = 16384
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


class Batch(Columns):
    """A vorn.Columns of one batch; gap is the Gap just before it, if the device
    was lost and found again since the previous batch."""

    def __init__(self, arrays: dict[str, np.ndarray], path: str, gap: Gap | None = None) -> None:
        super().__init__(arrays, path)
        self.gap = gap


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


class Stream:
    """The packets of a port, or of a recording replayed, batch by batch (see
    the module's text). Made by vorn.open; owned by one thread at a time."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.gaps: list[Gap] = []  # every stretch without the device, in order
        self._np = require_numpy()
        self._epoll = select.epoll()
        self._timer = Timer()
        self._epoll.register(self._timer.fd, select.EPOLLIN)
        self._framer = _native.Framer()
        self._gap: Gap | None = None  # found again, not yet handed out with a batch
        self._ended = False
        self._closed = False
        self._drained = False  # the last look took all there was: the next waits first
        # The event loop watching the descriptor for aread(), and which one:
        # kept from one batch to the next while batches are awaited in turn.
        self._watched: tuple[asyncio.AbstractEventLoop, int] | None = None
        self._waiter: asyncio.Future[None] | None = None

    # -- what each kind of stream provides --

    def _take(self) -> list[tuple[bytes, Stamp]]:
        """The reads that have arrived (or fallen due), without waiting."""
        raise NotImplementedError

    def _release(self) -> None:
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

    def close(self) -> None:
        """Releases the port (or the recording); safe to call again."""
        if self._closed:
            return
        self._closed = True
        self._unwatch(wake=True)
        self._release()
        self._timer.close()
        self._epoll.close()

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("I/O operation on a closed stream")

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

    def _batch(self, arrays: dict[str, np.ndarray]) -> Batch:
        gap, self._gap = self._gap, None
        return Batch(arrays, self.name, gap)

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
        None); an empty batch when none came in time or a replay has ended.
        OSError when the port fails (a hang-up, an unplug) without reconnect."""
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
                return self._empty()
            self._wait(left)

    async def aread(self, timeout: float | None = None) -> Batch:
        """read() for asyncio: the loop watches fileno() meanwhile."""
        import asyncio

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
    ) -> None:
        super().__init__(path)
        self.baud = baud
        self.reconnect = reconnect
        self.lookahead = lookahead
        self._lookahead_ns = round(lookahead * 1e9)
        # Framing, the sample clock and the packets held for their times.
        self._live = _native.LiveFrames(float(baud), self._lookahead_ns)
        self._segment_over = False  # the port was lost: the clock gives what it holds
        self._reopen_path = stable_name(path) if reconnect else path
        self._port: _native.Port | None = None
        self._failure: OSError | None = None
        self._lost_ns = 0
        self._lost_at: Stamp | None = None
        self._retry = FIRST_RETRY
        self._recorder = None
        self._flush_due_ns: int | None = None  # a recording's next flush, monotonic ns
        try:
            if record is not None:
                from vorn.recorder import Recorder

                # Claimed before the port is touched, as `vorn record` does.
                self._recorder = Recorder(os.fsdecode(record), force)
            self._connect(path)
            if self._recorder is not None:
                self._recorder.start(baud)
        except BaseException:
            if self._recorder is not None and self._recorder.out is None:
                self._recorder.drop()
                self._recorder = None
            self.close()
            raise

    def _connect(self, path: str) -> None:
        """Opens the port as SerialParser does and waits on it; OSError if it cannot."""
        try:
            port = _native.Port(path, self.baud, 0.0)  # reads take what is there and never wait
        except OSError as e:
            raise os_error(e, path) from None
        self._port = port
        # A new segment: a packet cut by the loss is not glued to what
        # follows, and the unit's clock may have a new phase, even rate.
        self._live.restart()
        self._epoll.register(port.fileno(), select.EPOLLIN)

    def _drop(self) -> None:
        """Closes the port at once: its device is released for whoever comes next."""
        if self._port is not None:
            self._unwatch()  # before the descriptor goes: the loop may be watching it
            self._epoll.unregister(self._port.fileno())
            self._port.close()
            self._port = None

    def _release(self) -> None:
        self._drop()
        if self._recorder is not None:
            self._recorder.close()

    def _waitable(self) -> int:
        # While the port is open the timer is armed only for packets held and
        # for a recording's next flush.
        if self._port is not None and self._recorder is None and self._live.due() is None:
            return self._port.fileno()
        return super()._waitable()

    def _take(self) -> list[tuple[bytes, Stamp]]:
        if self._failure is not None:
            raise self._failure
        if self._port is None:
            self._try_reconnect()
            if self._port is None:
                return []
        rec = self._recorder
        if rec is not None:
            self._timer.clear()  # a flush due, done below
        reads = []
        taken = 0
        while taken < BATCH_BYTES:
            try:
                piece = self._port.read()
            except OSError as e:
                self._lost(os_error(e, self.name))
                break
            if not piece:
                break
            stamp = now()
            reads.append((piece, stamp))
            if rec is not None:
                rec.add(piece, stamp)
            taken += len(piece)
            if len(piece) < PORT_WINDOW:
                self._drained = True  # more will wake the descriptor; no need to ask now
                break
        self._flush_due_ns = None
        if rec is not None and self._port is not None:
            rec.tick()
            due = rec.flush_due()
            if due is not None:  # wakes the stream for it should the line go quiet
                self._flush_due_ns = int(due * 1e9)
                self._timer.set(self._flush_due_ns)
        return reads

    def _lost(self, failure: OSError) -> None:
        self._drop()
        self._segment_over = True
        self._lost_at = now()
        if self._recorder is not None:
            self._recorder.flush()  # durable however long the device stays away
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
            self._connect(self._reopen_path)
        except OSError:
            self._retry = min(self._retry * 2, LAST_RETRY)
            self._timer.set(time.monotonic_ns() + int(self._retry * 1e9))
            return
        back = now()
        gap = Gap(self._lost_ns, back.wall_ns)
        if self._recorder is not None:
            self._recorder.gap(self._lost_at, back)
        self.gaps.append(gap)
        self._gap = gap

    def _step(self) -> Batch | None:
        self._check_open()
        if self._port is not None:
            self._timer.clear()  # armed for the packets held, if any: looked at now
        reads = self._take()
        live = self._live
        if reads:
            live.feed(reads)
        if self._segment_over:
            self._segment_over = False
            got = live.finish()
        else:
            got = live.take(time.monotonic_ns())
        batch = None if got is None else self._batch(columns_of(self._np, *got))
        if self._port is not None:
            due = live.due()  # the packets held fall due
            if self._flush_due_ns is not None:
                due = self._flush_due_ns if due is None else min(due, self._flush_due_ns)
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
            self._sampled = sample_times(path, baud, times)[0] if times.timed else None
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
        self._start = time.monotonic_ns()
        self._timer.set(self._start)

    def _release(self) -> None:
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
    baud: int = DEFAULT_BAUD,
    *,
    reconnect: bool = False,
    pace: bool | float = True,
    lookahead: float = DEFAULT_LOOKAHEAD,
    record: str | os.PathLike[str] | None = None,
    force: bool = False,
) -> Stream:
    """A Stream of the packets of `source`: a serial port (a path; a name under
    /dev/serial/by-id follows the device), or a recording made by `vorn record`
    (with its .times), replayed at the pace of its arrival times, or pace times
    as fast (a number), or all at once (pace=False).

    A port's batches carry the unit's sample times (time_ns) recovered as the
    packets arrive: a packet is held until the arrivals (or the clock) have
    gone `lookahead` seconds past its own, so that the reads after it confirm
    its time; batches come at most that late. lookahead=0 hands every packet
    out as soon as it arrives, its time from what came before it alone
    (rougher: on a simulated 16 ms USB adapter, an error p99 of about 2.5 ms
    against about 0.1 ms at the default 64 ms, and worse for a second after a
    lost packet). The first 2 s of the stream, and of each segment after a
    gap, are the clock's warm-up, its times rougher. Times are never later
    than the packet's arrival (host_time_ns) and rise strictly per kind (raw,
    filter), unless the host's wall clock is set back. A replay carries the
    recording's own sample times, those of vorn.read (baud: the line's, where
    the recording does not say).

    A port's hang-up or unplug ends the stream with OSError (errno and the
    kernel's text), unless reconnect: then the port is closed at once, the
    same device looked for again (after 50 ms, then up to every 2 s), set up
    again, and the stream goes on; each gap is in stream.gaps and on the next
    batch (batch.gap), and the sample clock starts a new segment there.

    record: a port's bytes, exactly as read, written to this file as well,
    with their arrival times and baud rate beside it, as `vorn record` writes
    them (gaps marked, flushed durably at least twice a second and at close).
    An existing file is refused (FileExistsError) unless force, one another
    recorder is writing in any case (vorn.locks.HeldError)."""
    lookahead = float(lookahead)
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
    return PortStream(path, baud, reconnect, lookahead, record, force)
