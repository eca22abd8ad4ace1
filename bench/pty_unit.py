#!/usr/bin/env python3
"""A simulated unit writing into a pseudo-terminal master, in its own process
so that its CPU time is not the reader's.

    bench/pty_unit.py FD SECONDS

FD is the master's descriptor, inherited. Makes the stream first (1000 raw and
500 filter packets a second), prints "ready" and waits for a line on standard
input, then writes every millisecond what has fallen due, and prints
"done <packets written>" at the end.
"""

import os
import sys
import time

from common import ROOT  # noqa: F401  (puts tests/ on the path)

from vorn_model import UnitSimulator

TICK = 0.001  # s between writes


def write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view) :]


def main() -> None:
    fd, seconds = int(sys.argv[1]), float(sys.argv[2])
    pieces = UnitSimulator(seed=11, invalid_rate=0.02).packets(seconds)
    print("ready", flush=True)
    sys.stdin.readline()
    n = len(pieces)
    i = 0
    tick = 0
    written = 0
    start = time.perf_counter()
    while i < n:
        due = start + tick * TICK
        now = time.perf_counter()
        if now < due:
            time.sleep(due - now)
        j = i
        while j < n and pieces[j][0] <= tick * TICK:
            j += 1
        if j > i:
            write_all(fd, b"".join(wire for _, wire, _ in pieces[i:j]))
            written += sum(1 for _, _, rec in pieces[i:j] if rec is not None)
            i = j
        tick += 1
    print(f"done {written}", flush=True)


if __name__ == "__main__":
    main()
