#!/usr/bin/env python3
"""The arrival-times file: reading it (the native decoder alone, and with the
CRC of the recording bytes each block vouches for), in reads per second; and
`vorn record` with its flushes made durable (fdatasync of the data and the
times twice a second) against the same without, in recorded MB per second of
a pseudo-terminal fed as fast as it takes, with the time each durable flush
waits.

    bench/bench_times.py [--rounds N] [--json]

Everything runs in this process, the best of N rounds counts.
"""

from __future__ import annotations

import os
import tempfile
import threading
import time
from pathlib import Path

from bench_export import timed_copy
from common import Row, best, rate, recording, run_rounds

from vorn import _native, times
from vorn.record import record

RECORD_SECONDS = 3.0


def loaded(rec: Path) -> None:
    times._load.cache_clear()  # the reader keeps what it read; each round reads afresh
    times.load_times(rec)


def recorded(durable: bool, data: bytes, scratch: Path) -> tuple[float, list[float]]:
    """MB per second recorded from a pseudo-terminal fed without pause, and
    how long each fdatasync took."""
    master, slave = os.openpty()
    port = os.ttyname(slave)
    out = scratch / f"rec-{durable}.bin"
    stop = threading.Event()

    def feed() -> None:
        view = memoryview(data)
        while not stop.is_set():
            try:
                os.write(master, view[: 1 << 12])
            except BlockingIOError:
                time.sleep(0.0005)
            view = view[1 << 12 :] or memoryview(data)

    os.set_blocking(master, False)
    waits: list[float] = []
    real = os.fdatasync

    def timed_sync(fd: int) -> None:
        start = time.perf_counter()
        real(fd)
        waits.append(time.perf_counter() - start)

    feeder = threading.Thread(target=feed, daemon=True)
    os.fdatasync = timed_sync
    try:
        feeder.start()
        with open(os.devnull, "w") as quiet, __import__("contextlib").redirect_stdout(quiet):
            record(port, str(out), 921600, RECORD_SECONDS, force=True, durable=durable)
    finally:
        os.fdatasync = real
        stop.set()
        feeder.join()
        os.close(master)
        os.close(slave)
    mb = out.stat().st_size / 1e6
    out.unlink()
    times.times_path(out).unlink()
    return mb / RECORD_SECONDS, waits


def measure(rounds: int) -> list[Row]:
    rows = []
    with tempfile.TemporaryDirectory(dir=recording().parent) as scratch:
        rec = timed_copy(recording(), Path(scratch))
        data = times.times_path(rec).read_bytes()
        size = rec.stat().st_size
        reads = len(times.load_times(rec).ends)
        decode = best(lambda: _native.decode_times(data, size), rounds)
        full = best(lambda: loaded(rec), rounds)
        rows.append(
            Row(
                f"times file decoded natively ({reads:,} reads, {len(data) / 1e3:,.0f} kB)",
                rate(reads / decode, " reads/s"),
                "-",
                "-",
                "-",
                None,
            )
        )
        rows.append(
            Row(
                f"  with each block's CRC of the recording ({size / 1e6:.1f} MB)",
                rate(reads / full, " reads/s"),
                rate(reads / decode, " reads/s decoded"),
                f"{decode / full:.2f}x",
                "-",
                None,
            )
        )
        sample = recording().read_bytes()[: 1 << 20]
        plain, _ = recorded(False, sample, Path(scratch))
        synced, waits = recorded(True, sample, Path(scratch))
        mean = sum(waits) / len(waits) * 1e3 if waits else 0.0
        rows.append(
            Row(
                "vorn record, durable (fdatasync per flush)",
                f"{synced:,.2f} MB/s",
                f"without: {plain:,.2f} MB/s",
                f"{synced / plain:.2f}x" if plain else "-",
                "-",
                None,
            )
        )
        rows.append(
            Row(
                "  time a durable flush waits",
                f"{mean:,.2f} ms mean, {max(waits, default=0) * 1e3:,.2f} ms most ({len(waits)} syncs)",
                "-",
                "-",
                "-",
                None,
            )
        )
    return rows


def main() -> None:
    run_rounds(measure, __doc__, 5)


if __name__ == "__main__":
    main()
