"""A progress bar on stderr while a long recording is read."""

from __future__ import annotations

import sys
import time


class Progress:
    """A progress bar on stderr when it is a terminal; silent otherwise. Uses
    tqdm when it is installed."""

    def __init__(self, total: int, label: str) -> None:
        self.total, self.label, self.done = total, label, 0
        self.bar = None
        self.shown = 0.0
        self.active = sys.stderr.isatty() and total > 0
        if self.active:
            try:
                from tqdm import tqdm
            except ImportError:
                pass
            else:
                self.bar = tqdm(total=total, desc=label, unit="B", unit_scale=True, leave=False)

    def update(self, n: int) -> None:
        self.done += n
        if not self.active:
            return
        if self.bar is not None:
            self.bar.update(n)
            return
        now = time.monotonic()
        if now - self.shown >= 0.1:
            self.shown = now
            frac = self.done / self.total
            bar = "#" * int(frac * 30)
            sys.stderr.write(f"\r{self.label} [{bar:<30}] {frac:4.0%}\x1b[K")
            sys.stderr.flush()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        elif self.active:
            sys.stderr.write("\r\x1b[K")
            sys.stderr.flush()
