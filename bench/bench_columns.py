#!/usr/bin/env python3
"""Reading a recording into columns (vorn.read) and the table exports built on
it, beside the framing of `vorn info` on the same file, in MB of recording per
second; once as recorded without arrival times, once with a read every
millisecond beside it.

    bench/bench_columns.py [--rounds N] [--json]

Everything runs in this process, the best of N rounds counts. CSV is written by
pyarrow's CSV writer.
"""

from __future__ import annotations

import os
import tempfile
from pathlib import Path

from bench_export import timed_copy
from common import Row, best, recording, run_rounds

import vorn
from vorn import times
from vorn.export import export
from vorn.info import frame
from vorn.recording import Recording


def info(rec: Path) -> None:
    times._load.cache_clear()  # the reader keeps what it read; each round reads afresh
    r = Recording(rec)
    frame(r)  # what `vorn info` frames, without the printing
    r.counts()


def exported(rec: Path, out: Path, fmt: str):
    def work() -> None:
        times._load.cache_clear()
        export(rec, out, fmt)
        os.unlink(out)

    return work


def measure(rounds: int) -> list[Row]:
    rows = []
    with tempfile.TemporaryDirectory(dir=recording().parent) as scratch:
        plain = recording()
        timed = timed_copy(plain, Path(scratch))
        for label, rec in (("no times", plain), ("a read per ms", timed)):
            mb = rec.stat().st_size / 1e6
            framing = mb / best(lambda: info(rec), rounds)
            reference = f"vorn info {framing:,.0f} MB/s"
            for name, work, goal in (
                ("vorn.read", lambda: (times._load.cache_clear(), vorn.read(rec)), 1 / 3),
                ("Parquet export", exported(rec, Path(scratch) / "out.parquet", "parquet"), 1 / 5),
                ("CSV export (pyarrow)", exported(rec, Path(scratch) / "out.csv", "csv"), None),
                (".npz export", exported(rec, Path(scratch) / "out.npz", "npz"), None),
            ):
                speed = mb / best(work, rounds)
                rows.append(
                    Row(
                        f"{name} ({mb:.1f} MB, {label})",
                        f"{speed:,.1f} MB/s",
                        reference,
                        f"{speed / framing:.2f}x",
                        "-" if goal is None else f">= {goal:.2f}x",
                        None if goal is None else speed >= goal * framing,
                    )
                )
    return rows


def main() -> None:
    run_rounds(measure, __doc__, 5)


if __name__ == "__main__":
    main()
