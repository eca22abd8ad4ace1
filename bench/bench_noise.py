#!/usr/bin/env python3
"""Allan deviation of an hour of a still unit at 1 kHz: `vorn noise` beside allantools.

    bench/bench_noise.py [--rounds N] [--json]

The same six axes (3.6 million samples each, made by the simulated still unit)
go through the command's overlapping Allan deviation and through allantools'
oadev, both at octave-spaced cluster times; rounds alternate between the two and
the best round of each counts. The deviations must agree to 1e-9 relative.
Without allantools installed the row says so.
"""

from __future__ import annotations

import time

import numpy as np
from common import Row, run_rounds

from vorn import noise
from vorn_model import StillUnit

RATE = 1000.0
SECONDS = 3600
GOAL_RATIO = 1.0  # no slower than allantools


def ours(axes) -> tuple[float, list]:
    start = time.perf_counter()
    sizes = noise.cluster_sizes(len(axes[0]))
    out = list(noise.allan_deviation(axes, sizes))
    return time.perf_counter() - start, out


def theirs(allantools, axes) -> tuple[float, list]:
    start = time.perf_counter()
    out = [allantools.oadev(y, rate=RATE, data_type="freq", taus="octave")[1] for y in axes]
    return time.perf_counter() - start, out


def measure(rounds: int) -> list[Row]:
    accel, gyro = StillUnit(RATE, seed=1).series(SECONDS)
    axes = np.concatenate([accel, gyro], axis=1).T.copy()  # one row per axis
    what = f"noise: Allan deviation, 6 axes x 1 h at {RATE:g} Hz ({axes.shape[1]:,} samples each)"
    try:
        import allantools
    except ImportError:
        best, _ = min(ours(axes) for _ in range(rounds))
        return [Row(what, f"{best:.2f} s", "allantools not installed", "-", "-", None)]
    best_ours = best_theirs = float("inf")
    for _ in range(rounds):
        t, got = ours(axes)
        best_ours = min(best_ours, t)
        t, want = theirs(allantools, axes)
        best_theirs = min(best_theirs, t)
    worst = max(float(np.max(np.abs(g / w - 1))) for g, w in zip(got, want))
    if worst > 1e-9:
        raise SystemExit(f"the deviations differ from allantools' by up to {worst:.1e} relative")
    ratio = best_theirs / best_ours
    return [
        Row(
            what,
            f"{best_ours:.2f} s",
            f"allantools.oadev {best_theirs:.2f} s (agree to {worst:.0e})",
            f"{ratio:.2f}x",
            f">= {GOAL_RATIO:.1f}x",
            ratio >= GOAL_RATIO,
        )
    ]


def main() -> None:
    run_rounds(measure, __doc__, 3)


if __name__ == "__main__":
    main()
