#!/usr/bin/env python3
"""Replay throughput: a recording through MockParser into IMUPacket objects.

    bench/bench_replay.py [--rounds N] [--json | --replay-only]

Each round replays the whole recording, draining with get_data_packets(block=True)
until every packet has come; each batch is dropped when the next one arrives,
so the objects are released as a user's loop releases them. Beside it, on the
same bytes and packet count:
  - the stream model's decoder (model/vorn_model.decode_stream), pure Python
    written with care: bytes.find, C-level sums, precompiled struct;
  - the floor of one small Python object made (and released) per packet in C,
    list(map(complex, range(n))).
Rounds alternate between the three; the best round of each counts.

--replay-only times the replay alone and prints {"module": ..., "packets_s": ...}
as JSON: bench/run.py runs it once per build of the module to compare builds.
"""

from __future__ import annotations

import argparse
import json
import time

from common import Row, emit, rate, recording

import vorn_rs
from vorn_model import decode_stream

GOAL_PACKETS_PER_S = 5e6
GOAL_OVER_PYTHON = 50.0
GOAL_FLOOR_FRACTION = 0.5  # within 2x of the floor
PYTHON_EVERY = 4  # the pure-Python decoder is slow; time it every few rounds


def replay(path: str, expected: int) -> float:
    """Seconds to replay the whole recording; checks the packet count."""
    got = 0
    start = time.perf_counter()
    with vorn_rs.MockParser(path, timeout=1.0) as parser:
        while got < expected:
            got += len(parser.get_data_packets(block=True))
    elapsed = time.perf_counter() - start
    if got != expected:
        raise SystemExit(f"replay delivered {got} packets, the model decodes {expected}")
    return elapsed


def floor(n: int) -> float:
    start = time.perf_counter()
    objects = list(map(complex, range(n)))
    del objects
    return time.perf_counter() - start


def python_decoder(data: bytes) -> tuple[float, int]:
    start = time.perf_counter()
    n = len(decode_stream(data))
    return time.perf_counter() - start, n


def measure(rounds: int) -> list[Row]:
    path = recording()
    data = path.read_bytes()
    best_python, n = python_decoder(data)
    best_replay = best_floor = float("inf")
    for i in range(rounds):
        best_replay = min(best_replay, replay(str(path), n))
        best_floor = min(best_floor, floor(n))
        if i % PYTHON_EVERY == PYTHON_EVERY - 1:
            best_python = min(best_python, python_decoder(data)[0])

    ours, python, made = n / best_replay, n / best_python, n / best_floor
    what = f"replay into Python ({n:,} packets, {len(data) / 1e6:.1f} MB)"
    return [
        Row(
            what,
            rate(ours, " packets/s"),
            "-",
            "-",
            f">= {rate(GOAL_PACKETS_PER_S, ' packets/s')}",
            ours >= GOAL_PACKETS_PER_S,
        ),
        Row(
            "  vs careful pure-Python decoder",
            "",
            f"{rate(python, ' packets/s')}",
            f"{ours / python:.0f}x",
            f">= {GOAL_OVER_PYTHON:.0f}x",
            ours / python >= GOAL_OVER_PYTHON,
        ),
        Row(
            "  vs floor: one C-made object per packet",
            "",
            f"{rate(made, ' objects/s')}",
            f"{ours / made:.2f}x",
            f">= {GOAL_FLOOR_FRACTION:.1f}x",
            ours / made >= GOAL_FLOOR_FRACTION,
        ),
    ]


def replay_only(rounds: int) -> dict:
    path = recording()
    n = len(decode_stream(path.read_bytes()))
    best = min(replay(str(path), n) for _ in range(rounds))
    return {"module": vorn_rs.__file__, "packets_s": n / best}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=20)
    ap.add_argument("--json", action="store_true", help="print the rows as JSON for bench/run.py")
    ap.add_argument("--replay-only", action="store_true", help="time the replay alone, print JSON")
    args = ap.parse_args()
    if args.replay_only:
        print(json.dumps(replay_only(max(1, args.rounds))))
        return
    emit(measure(max(1, args.rounds)), args.json)


if __name__ == "__main__":
    main()
