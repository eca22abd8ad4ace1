"""What the command shows on a terminal while it works: a progress bar while a
recording is read, a status line while one is made. Only the command uses
this module; the library takes progress as a callback."""

from __future__ import annotations

import sys
import time


class Progress:
    """A progress bar on stderr when it is a terminal; silent otherwise. Uses
    tqdm when it is installed. Called with the bytes done and the total, as
    the library's progress callbacks are; a pass that starts over (plot reads
    the recording twice) starts the bar over."""

    def __init__(self, label: str) -> None:
        self.label = label
        self.bar = None
        self.shown = 0.0
        self.active = sys.stderr.isatty()

    def __call__(self, done: int, total: int) -> None:
        if not self.active or total <= 0:
            return
        if self.bar is None:
            try:
                from tqdm import tqdm
            except ImportError:
                self.bar = False
            else:
                self.bar = tqdm(total=total, desc=self.label, unit="B", unit_scale=True, leave=False)
        if self.bar:
            self.bar.total = total
            self.bar.update(done - self.bar.n)
            return
        now = time.monotonic()
        if now - self.shown >= 0.1:
            self.shown = now
            frac = min(done / total, 1.0)
            bar = "#" * int(frac * 30)
            self.write(f"\r{self.label} [{bar:<30}] {frac:4.0%}\x1b[K")

    def close(self) -> None:
        if self.bar:
            self.bar.close()
        elif self.active and self.shown:
            self.write("\r\x1b[K")

    def write(self, text: str) -> None:
        try:
            sys.stderr.write(text)
            sys.stderr.flush()
        except OSError:  # the terminal hung up: the work goes on without a bar
            self.active = False


class StatusLine:
    """One line on stderr, rewritten in place, only on a terminal; a terminal
    that hung up ends it quietly and the work goes on without it."""

    def __init__(self) -> None:
        self.active = sys.stderr.isatty()

    def clear(self) -> None:
        if self.active:
            self.write("\r\x1b[K")

    def write(self, text: str) -> None:
        try:
            sys.stderr.write(text)
            sys.stderr.flush()
        except OSError:
            self.active = False


class Status(StatusLine):
    """The one-line status on stderr while recording, only on a terminal;
    called as record()'s status callback."""

    def __init__(self) -> None:
        super().__init__()
        self.last = (0.0, 0, 0)  # time, raw, estimated at the previous update

    def __call__(self, elapsed: float, nbytes: int, counts: dict) -> None:
        if not self.active:
            return
        t0, raw0, est0 = self.last
        span = max(elapsed - t0, 1e-9)
        raw_rate, est_rate = (counts["raw"] - raw0) / span, (counts["estimated"] - est0) / span
        self.last = (elapsed, counts["raw"], counts["estimated"])
        self.write(
            f"\r{elapsed:7.1f} s  {nbytes:,} bytes  raw {raw_rate:,.0f}/s  "
            f"estimated {est_rate:,.0f}/s  checksum failures {counts['bad_checksums']:,}\x1b[K"
        )


class LiveStatus(StatusLine):
    """vorn live's one-line status on stderr while it serves, only on a
    terminal: packets per second since the last call, clients, drops."""

    def __init__(self) -> None:
        super().__init__()
        self.last = (0.0, 0)

    def __call__(self, elapsed: float, server) -> None:
        if not self.active:
            return
        t0, n0 = self.last
        rate = (server.packets - n0) / max(elapsed - t0, 1e-9)
        self.last = (elapsed, server.packets)
        self.write(
            f"\r{elapsed:7.1f} s  {rate:,.0f} packets/s  {len(server.clients)} connected  "
            f"{server.dropped:,} messages dropped\x1b[K"
        )
