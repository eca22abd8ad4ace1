#!/usr/bin/env python3
"""Resident memory across repeated replays of a large recording.

    bench/bench_memory.py [--replays N] [--json]

Each replay drains the whole recording through MockParser and reads every
property and the text form of every packet, then lets the packets go; the
resident set (VmRSS) is read after each. How much of the freed memory the
allocators have handed back at that moment varies from replay to replay by a
few MB, so the figure compares medians: that of the second half of the replays
after the warm-up against that of the first half. A leak of even a few bytes
a packet shows up there (90,000 packets a replay); it should stay flat.
"""

from __future__ import annotations

import argparse
import statistics

from common import Row, emit, recording

import vorn_rs

WARM_UP = 2  # replays before the baseline is taken
GOAL_GROWTH_MB = 2.0
PROPERTIES = (
    "packet_type", "timestamp", "invalid_fields", "scaled_accel", "scaled_gyro", "delta_vel", "delta_theta",
    "scaled_ambient_pressure", "est_pressure_alt", "est_orient_quaternion", "est_attitude_uncert_quaternion",
    "est_angular_rate", "est_compensated_accel", "est_linear_accel", "est_gravity_vector",
)


def resident_mb() -> float:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024  # kB
    raise SystemExit("no VmRSS in /proc/self/status")


def replay_and_read(path: str) -> int:
    """Replays the whole recording, reading everything; returns the packet count."""
    got = 0
    with vorn_rs.MockParser(path, timeout=1.0) as parser:
        while True:
            running = parser.is_running()  # before the drain, so nothing is missed
            for packet in parser.get_data_packets():
                for name in PROPERTIES:
                    getattr(packet, name)
                str(packet)
                got += 1
            if not running:
                return got


def measure(replays: int) -> list[Row]:
    path = str(recording())
    counts, samples = set(), []
    for _ in range(WARM_UP + replays):
        counts.add(replay_and_read(path))
        samples.append(resident_mb())
    if len(counts) != 1:
        raise SystemExit(f"replays delivered different packet counts: {sorted(counts)}")
    after = samples[WARM_UP:]
    half = len(after) // 2
    base = statistics.median(after[:half]) if half else samples[WARM_UP - 1]
    growth = statistics.median(after[half:]) - base
    spread = max(after) - min(after)
    return [
        Row(f"memory over {replays} replays reading everything", f"{growth:+.2f} MB",
            f"resident {base:.1f} MB (spread {spread:.1f} MB)", f"{growth / base * 100:+.1f} %",
            f"< {GOAL_GROWTH_MB} MB", growth < GOAL_GROWTH_MB),
    ]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--replays", type=int, default=10, help="replays after the warm-up (default 10)")
    ap.add_argument("--json", action="store_true", help="print the rows as JSON for bench/run.py")
    args = ap.parse_args()
    emit(measure(max(1, args.replays)), args.json)


if __name__ == "__main__":
    main()
