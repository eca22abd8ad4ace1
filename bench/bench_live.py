#!/usr/bin/env python3
"""A live unit on a pseudo-terminal: delivery latency and the reader's CPU cost.

    bench/bench_live.py [--packets N] [--seconds S] [--json | --latency-only]

latency  One packet at a time is written into the master side of a pty, with a
         short pause between packets; the figure is the delay from the write
         to the return of a waiting get_data_packets(block=True) on
         SerialParser(slave, 921600). Reference: the pty alone, the same writes
         read back by Python from the raw slave with poll and os.read.
cost     A simulated unit in another process streams 1000 raw and 500 filter
         packets a second into the pty; this process drains every 10 ms. The
         figure is this process's CPU time (all threads) over wall time.
         Reference: the same loop reading the bytes with os.read, undecoded.
"""

from __future__ import annotations

import argparse
import json
import os
import select
import statistics
import subprocess
import sys
import time
import tty
from pathlib import Path

from common import Row, emit, percentile

import vorn_rs
from vorn_model import UnitSimulator

BAUD_RATE = 921600
TIMEOUT = 1.0  # s; a read time-out, and how long a drain may wait
GAP = 0.002  # s between the packets of the latency run
WARM_UP = 20  # packets of the latency run left out of the figures
DRAIN_EVERY = 0.010  # s
GOAL_MEDIAN_MS = 0.3
GOAL_P99_MS = 2.0
GOAL_CPU_PERCENT = 2.0
WRITER = Path(__file__).resolve().parent / "pty_unit.py"


def open_pty() -> tuple[int, str]:
    """A pty master and its slave's path; the slave is left for the reader to open."""
    master, slave = os.openpty()
    path = os.ttyname(slave)
    os.close(slave)
    return master, path


def open_raw_slave(path: str) -> int:
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    return fd


def latency_packets(count: int) -> list[bytes]:
    pieces = UnitSimulator(seed=3, invalid_rate=0.02).packets(count / 1500 + 0.01)
    return [wire for _, wire, rec in pieces if rec is not None][:count]


def latency_parser(wires: list[bytes]) -> list[float]:
    """Write-to-delivery delays in ms, warm-up left out."""
    master, path = open_pty()
    delays = []
    try:
        with vorn_rs.SerialParser(path, BAUD_RATE, timeout=TIMEOUT) as parser:
            for k, wire in enumerate(wires):
                time.sleep(GAP)
                start = time.perf_counter()
                os.write(master, wire)
                got = parser.get_data_packets(block=True)
                end = time.perf_counter()
                if len(got) != 1:
                    raise SystemExit(f"latency: a drain returned {len(got)} packets, not 1")
                if k >= WARM_UP:
                    delays.append((end - start) * 1e3)
    finally:
        os.close(master)
    return sorted(delays)


def latency_pty(wires: list[bytes]) -> list[float]:
    """The same writes read back from the raw slave by Python; delays in ms."""
    master, path = open_pty()
    slave = open_raw_slave(path)
    poller = select.poll()
    poller.register(slave, select.POLLIN)
    delays = []
    try:
        for k, wire in enumerate(wires):
            time.sleep(GAP)
            start = time.perf_counter()
            os.write(master, wire)
            got = 0
            while got < len(wire):
                poller.poll(TIMEOUT * 1e3)
                got += len(os.read(slave, 4096))
            end = time.perf_counter()
            if k >= WARM_UP:
                delays.append((end - start) * 1e3)
    finally:
        os.close(slave)
        os.close(master)
    return sorted(delays)


class Unit:
    """The writer process on a new pty, ready to stream once go() is called."""

    def __init__(self, seconds: float) -> None:
        self.master, self.path = open_pty()
        self.proc = subprocess.Popen(
            [sys.executable, str(WRITER), str(self.master), str(seconds)],
            pass_fds=(self.master,),
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        assert self.proc.stdin is not None and self.proc.stdout is not None
        self.to_unit, self.from_unit = self.proc.stdin, self.proc.stdout
        if self.from_unit.readline().strip() != "ready":
            raise SystemExit("the writer process did not start")

    def go(self) -> None:
        self.to_unit.write("go\n")
        self.to_unit.flush()

    def finish(self) -> int:
        """Waits for the writer; returns how many packets it wrote. The master
        stays open (closing it would end the reader with a hang-up)."""
        line = self.from_unit.readline().split()
        self.proc.wait()
        if len(line) != 2 or line[0] != "done":
            raise SystemExit("the writer process failed")
        return int(line[1])

    def close(self) -> None:
        os.close(self.master)


def cpu_share(seconds: float, drain) -> float:
    """Percent of one core this process used while `drain` ran every 10 ms
    for `seconds` of streaming."""
    wall = time.perf_counter()
    cpu = time.process_time()
    end = wall + seconds
    while time.perf_counter() < end:
        time.sleep(DRAIN_EVERY)
        drain()
    return (time.process_time() - cpu) / (time.perf_counter() - wall) * 100


def cost_parser(seconds: float) -> float:
    unit = Unit(seconds)
    got = 0
    try:
        with vorn_rs.SerialParser(unit.path, BAUD_RATE, timeout=TIMEOUT) as parser:

            def drain() -> None:
                nonlocal got
                got += len(parser.get_data_packets())

            unit.go()
            share = cpu_share(seconds, drain)
            written = unit.finish()
            give_up = time.perf_counter() + TIMEOUT
            while got < written and time.perf_counter() < give_up:
                got += len(parser.get_data_packets(block=True))
    finally:
        unit.close()
    if got != written:
        raise SystemExit(f"cost: {got} of {written} packets arrived")
    return share


def cost_pty(seconds: float) -> float:
    unit = Unit(seconds)
    slave = open_raw_slave(unit.path)
    os.set_blocking(slave, False)

    def drain() -> None:
        try:
            while len(os.read(slave, 65536)) == 65536:
                pass
        except BlockingIOError:
            pass

    unit.go()
    share = cpu_share(seconds, drain)
    unit.finish()
    os.close(slave)
    unit.close()
    return share


def measure(packets: int, seconds: float) -> list[Row]:
    wires = latency_packets(packets + WARM_UP)
    ours = latency_parser(wires)
    pty = latency_pty(wires)
    med, p99 = statistics.median(ours), percentile(ours, 0.99)
    pty_med, pty_p99 = statistics.median(pty), percentile(pty, 0.99)
    cpu = cost_parser(seconds)
    cpu_ref = cost_pty(seconds)
    return [
        Row(
            f"live latency, median ({len(ours)} packets)",
            f"{med:.3f} ms",
            f"pty alone {pty_med:.3f} ms",
            f"{med / pty_med:.1f}x",
            f"<= {GOAL_MEDIAN_MS} ms",
            med <= GOAL_MEDIAN_MS,
        ),
        Row(
            "live latency, p99",
            f"{p99:.3f} ms",
            f"pty alone {pty_p99:.3f} ms",
            f"{p99 / pty_p99:.1f}x",
            f"<= {GOAL_P99_MS} ms",
            p99 <= GOAL_P99_MS,
        ),
        Row(
            "live cost at 1500 packets/s, drained every 10 ms",
            f"{cpu:.2f} % CPU",
            f"reading the bytes only {cpu_ref:.2f} %",
            f"{cpu / cpu_ref:.1f}x" if cpu_ref > 0 else "-",
            f"< {GOAL_CPU_PERCENT} %",
            cpu < GOAL_CPU_PERCENT,
        ),
    ]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--packets", type=int, default=400, help="packets timed for the latency (default 400)")
    ap.add_argument("--seconds", type=float, default=5.0, help="streaming time of the cost run (default 5)")
    ap.add_argument("--json", action="store_true", help="print the rows as JSON for bench/run.py")
    ap.add_argument("--latency-only", action="store_true", help="time the latency alone, print JSON")
    args = ap.parse_args()
    if args.latency_only:
        ours = latency_parser(latency_packets(max(1, args.packets) + WARM_UP))
        print(json.dumps({"module": vorn_rs.__file__, "median_ms": statistics.median(ours)}))
        return
    emit(measure(max(1, args.packets), max(0.5, args.seconds)), args.json)


if __name__ == "__main__":
    main()
