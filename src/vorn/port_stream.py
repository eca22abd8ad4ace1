"""A stream of a serial port (see vorn.live): the port session, a reading
thread into a ring (and the recording), the core's framing and sample clock
on the caller's thread."""

from __future__ import annotations

import atexit
import contextlib
import os
import select
import time
import warnings
import weakref

from vorn import _native, ports
from vorn.errors import with_path
from vorn.port_session import PortSession, os_error
from vorn.recorder import FLUSH_EVERY, Recorder
from vorn.sample_clock import ClockState
from vorn.stream import BATCH_BYTES, Batch, Loss, Stream, columns_of
from vorn.times import Stamp

# What the reader's ring holds while the caller is busy: about 12 minutes of
# the unit at 921600 baud. Its pages cost memory only once bytes fill them.
DEFAULT_RING = 64 << 20
MIN_RING = 4096


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
        # The port, read on a thread of its own into the ring (and the recording).
        self._reader = _native.PortReader(ring)
        self._session = PortSession(
            path,
            baud,
            reconnect=reconnect,
            connect=self._open_reader,
            release=self._drop,
            on_other=self._other_device,
            mark=self._mark_gap,
        )
        self.gaps = self._session.gaps
        self._notify: int | None = None  # the reader's descriptor while it reads
        self._port_fd = -1
        self._recording: str | None = None
        self._failure: OSError | None = None
        recorder = None
        try:
            if record is not None:
                # Claimed before the port is touched, as `vorn record` does.
                recorder = Recorder(os.fsdecode(record), force)
            self._session.open()
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

    def _open_reader(self, path: str) -> int:
        self._reader.open(path, self.baud)
        return self._reader.port_fileno()

    @staticmethod
    def _other_device(path: str, other: str, device: ports.Identity | None) -> None:
        text = f"{path}: {other} appeared, not the {device} opened first; not taken"
        warnings.warn(text, ports.OtherDeviceWarning, stacklevel=2)

    def _mark_gap(self, lost: Stamp, back: Stamp) -> None:
        if self._recording is not None:
            try:
                self._reader.gap(lost.wall_ns, lost.mono_ns, back.wall_ns, back.mono_ns)
            except OSError as e:
                raise with_path(e, self._recording) from None

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
        self._session.lost()
        self._segment_over = True
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
        self._timer.set(self._session.due_ns)

    def _try_reconnect(self) -> None:
        if not self._timer.clear():
            return
        gap = self._session.reopen()
        if gap is None:
            self._timer.set(self._session.due_ns)
            return
        # A new segment: a packet cut by the loss is not glued to what
        # follows, and the unit's clock may have a new phase, even rate.
        self._live.restart()
        self._start()
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
