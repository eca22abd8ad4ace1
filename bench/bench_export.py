#!/usr/bin/env python3
"""MCAP export throughput: `vorn export REC -o OUT.mcap` on the benchmark
recording, with arrival times of a read every millisecond beside it, in MB of
recording per second; beside it, the CSV export of the same recording.

    bench/bench_export.py [--rounds N] [--json]

The export runs in this process (vorn.export.export), the best round counts.
"""

from __future__ import annotations

import os
import shutil
import tempfile
import time
from pathlib import Path

from common import Row, recording, run_rounds

from vorn.export import export
from vorn.times import Stamp, TimesWriter

READ_NS = 1_000_000  # one read a millisecond, the densest times file
FLUSH_READS = 500  # reads to a block


def timed_copy(src: Path, into: Path) -> Path:
    """The recording beside its times file: reads of one millisecond's bytes."""
    rec = into / src.name
    shutil.copyfile(src, rec)
    size = rec.stat().st_size
    per_read = max(1, round(size / (60 * 1000)))  # the recording is 60 s long
    writer = TimesWriter(rec, force=True)
    wall, mono, pos = time.time_ns(), time.monotonic_ns(), 0
    with open(rec, "rb") as f:
        while pos < size:
            piece = f.read(min(per_read, size - pos))
            pos += len(piece)
            wall += READ_NS
            mono += READ_NS
            writer.add(piece, Stamp(wall, mono))
            if pos // per_read % FLUSH_READS == 0:
                writer.flush()  # as `vorn record` flushes, twice a second
    writer.close()
    return rec


def best(rec: Path, out: Path, fmt: str, rounds: int) -> float:
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        export(rec, out, fmt)
        times.append(time.perf_counter() - start)
        os.unlink(out)
    return min(times)


def measure(rounds: int) -> list[Row]:
    with tempfile.TemporaryDirectory(dir=recording().parent) as scratch:
        rec = timed_copy(recording(), Path(scratch))
        mb = rec.stat().st_size / 1e6
        mcap = best(rec, Path(scratch) / "out.mcap", "mcap", rounds)
        csv = best(rec, Path(scratch) / "out.csv", "csv", rounds)
    return [
        Row(
            f"MCAP export ({mb:.1f} MB, a read per ms)",
            f"{mb / mcap:,.2f} MB/s",
            f"CSV export {mb / csv:,.2f} MB/s",
            f"{csv / mcap:.2f}x",
            "-",
            None,
        )
    ]


def main() -> None:
    run_rounds(measure, __doc__, 3)


if __name__ == "__main__":
    main()
