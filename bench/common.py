"""What the benchmark scripts share: the recording they replay, the rows they
report, and how a row is printed.

Every script prints its rows as a small table, or with --json as one JSON list
for bench/run.py, which gathers the rows of all of them into one table.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time
from pathlib import Path
from typing import NamedTuple

ROOT = Path(__file__).resolve().parent.parent

# 60 s of a simulated unit with a little noise and damage: about 7.6 MB and
# 90,000 packets, the same file for the C++ and the Python benchmarks.
RECORDING_SECONDS = 60
# Five minutes of the same unit, about 450,000 packets (38 MB): the backlog
# that the memory figures are taken over.
LARGE_RECORDING_SECONDS = 302


def recording(seconds: int = RECORDING_SECONDS) -> Path:
    """A benchmark recording, written by tools/demo/make-sample on first use."""
    path = ROOT / "build" / "bench" / f"unit-{seconds}s.bin"
    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(".partial")
        subprocess.run(
            [sys.executable, str(ROOT / "tools" / "demo" / "make-sample"), str(partial), "--seconds", str(seconds)],
            check=True,
            stdout=subprocess.DEVNULL,
        )
        os.replace(partial, path)  # never leave half a file under the real name
    return path


class Row(NamedTuple):
    """One line of the table: a figure beside its reference, measured in the same run."""

    name: str  # what is measured
    figure: str  # the figure, with its unit
    reference: str  # what it is compared with, and that figure
    ratio: str  # figure / reference, as the goal states it
    goal: str
    met: bool | None  # None: no goal, reported for information


def best(work, rounds: int) -> float:
    """The shortest of rounds runs of work(), in seconds."""
    took = []
    for _ in range(rounds):
        start = time.perf_counter()
        work()
        took.append(time.perf_counter() - start)
    return min(took)


def percentile(sorted_values: list[float], fraction: float) -> float:
    index = min(len(sorted_values) - 1, max(0, round(fraction * (len(sorted_values) - 1))))
    return sorted_values[index]


def rate(per_second: float, unit: str) -> str:
    """A rate with a metric prefix: 5.3 M packets/s."""
    for factor, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if per_second >= factor:
            return f"{per_second / factor:.2f} {prefix}{unit}"
    return f"{per_second:.1f} {unit}"


COLUMNS = ("benchmark", "figure", "reference", "ratio", "goal", "met?")


def format_table(rows: list[Row]) -> str:
    cells = [COLUMNS] + [
        (r.name, r.figure, r.reference, r.ratio, r.goal, "-" if r.met is None else ("yes" if r.met else "NO"))
        for r in rows
    ]
    widths = [max(len(line[i]) for line in cells) for i in range(len(COLUMNS))]
    lines = ["  ".join(c.ljust(w) for c, w in zip(line, widths)).rstrip() for line in cells]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines)


def emit(rows: list[Row], as_json: bool) -> None:
    if as_json:
        print(json.dumps([r._asdict() for r in rows]))
    else:
        print(format_table(rows))


def run_rounds(measure, doc: str, rounds: int) -> None:
    """The command line of a benchmark that repeats its measurement: --rounds
    (at least 1) and --json, then the rows of measure(rounds)."""
    import argparse

    ap = argparse.ArgumentParser(description=doc.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=rounds)
    ap.add_argument("--json", action="store_true", help="print the rows as JSON for bench/run.py")
    args = ap.parse_args()
    emit(measure(max(1, args.rounds)), args.json)


def load_average() -> str:
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])
