"""A monotonic-clock timerfd, the timer a stream's epoll set holds."""

from __future__ import annotations

import os
import time
from collections.abc import Callable


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
            itimerspec = ctypes.c_long * 4  # interval, then value (seconds, nanoseconds each)

            def settime(at_ns: int) -> None:
                when = itimerspec(0, 0, at_ns // 1_000_000_000, at_ns % 1_000_000_000)
                if libc.timerfd_settime(self.fd, tfd_timer_abstime, when, None) != 0:
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
