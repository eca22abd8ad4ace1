#!/usr/bin/env python3
"""Sample times against the simulator's truth, beside the arrival times' own,
one row per adapter pattern.

    bench/bench_clock.py [--rounds N] [--json] [--seconds S] [--table]

Each row is a simulated unit (model/vorn_model.AdapterLink) behind a USB
adapter: latency timers of 1, 2 and 16 ms, commensurate with the sample
period or not, bulk releases of a full buffer (reads that cut packets
anywhere), host stalls, lost packets (one inside a stall), a pause, drifts of
0 to 100 ppm and one that moves by 10 ppm over a minute. Per row, against
when the unit really sent each packet: the offset (median error) and the
jitter (the errors' standard deviation about it), and the |error| p99 and
max, of the offline sample times (over the whole recording), of the online
ones (fed read by read, no look-ahead, given while the clock's state said
locked; beside them the worst of its warm-up and when it locked, after the
start and after a pause) and of the arrival
times. Packets the line held back behind earlier ones (the unit's own queue)
are left out. Rounds use other seeds; the worst round counts. --table prints
the Markdown table of docs/times.md.
"""

from __future__ import annotations

import sys
import tempfile
from pathlib import Path

import numpy as np

# The clock's entry points for tests, built from this tree (tests/native_testing.py).
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from native_testing import evidence, load, packet_places  # noqa: E402

from vorn.sample_clock import sample_times
from vorn.sidecars import write_baud
from vorn_model import ADAPTER_PATTERNS, past_warm_up, regular_packets, write_timed_recording

WALL_MINUS_MONO = 1_764_000_000_000_000_000
WARM_UP = 2.0  # s, the online clock's stated warm-up
GOALS = {"offline_p99": 0.3e6, "offline_max": 1e6, "online_p99": 0.5e6}


def errors(times, truth, kinds, keep=None) -> dict:
    """Signed errors (ns) per stream of the packets in `keep`."""
    out = {}
    for k in (0, 1):
        pick = kinds == k
        if keep is not None:
            pick &= keep
        out[k] = times[pick].astype(np.float64) - truth[pick]
    return out


def figures(err: dict) -> dict:
    """Offset (median), jitter (deviation about it), |error| p99 and max: the worse stream's."""
    f = {"offset": 0.0, "jitter": 0.0, "p99": 0.0, "max": 0.0}
    for e in err.values():
        if len(e) == 0:
            continue
        med = float(np.median(e))
        a = np.abs(e)
        for key, v in (
            ("offset", med),
            ("jitter", float(np.sqrt(np.mean((e - med) ** 2)))),
            ("p99", float(np.percentile(a, 99))),
            ("max", float(a.max())),
        ):
            f[key] = v if abs(v) > abs(f[key]) else f[key]
    return f


def online(path, reads, baud, lookahead_ns: int = 0) -> np.ndarray:
    """The online clock's times, fed read by read and taken after each."""
    kinds, offsets, lengths, lost = packet_places(path)
    ends = np.array([e for e, _ in reads])
    monos = np.array([t for _, t in reads])
    first_ns, head, done = evidence(ends, monos, offsets, lengths)
    order = np.argsort(done, kind="stable")
    bounds = np.searchsorted(done[order], np.arange(len(reads) + 1))
    clock = load().SampleClock(baud, lookahead_ns)
    out = []
    locked = np.zeros(len(kinds), bool)  # whether the clock said it was locked when it gave the time
    given = 0
    for r in range(len(reads)):
        i = order[bounds[r] : bounds[r + 1]]
        clock.feed(first_ns[i], head[i], monos[done[i]], lengths[i], kinds[i], lost[i])
        out.append(np.frombuffer(clock.take(wall_minus_mono_ns=WALL_MINUS_MONO), np.int64))
        if len(out[-1]):
            state = clock.state()
            now = order[given : given + len(out[-1])]
            locked[now] = np.where(kinds[now] == 0, state["raw"]["locked"], state["estimated"]["locked"])
            given += len(out[-1])
    out.append(np.frombuffer(clock.finish(wall_minus_mono_ns=WALL_MINUS_MONO), np.int64))
    times = np.empty(len(kinds), np.int64)
    times[order] = np.concatenate(out)
    return times, clock, locked


def run_case(case, seconds: float, seed: int, workdir: Path) -> dict:
    """One case, one seed: the figures of the three kinds of time, and what the clocks counted."""
    link = case.link(seconds, seed)
    data, reads, kinds, sent = link.recording(seconds)
    truth = sent + WALL_MINUS_MONO
    path = workdir / f"unit-{seed}.bin"
    write_timed_recording(path, data, reads, WALL_MINUS_MONO)
    write_baud(path, link.baud)
    times, stats = sample_times(path)
    ends = np.array([e for e, _ in reads])
    _, offsets, lengths, _ = packet_places(path)
    done = np.searchsorted(ends, offsets + lengths.astype(np.int64) - 1, side="right")
    arrival = np.array([t for _, t in reads])[done] + WALL_MINUS_MONO
    live, clock, locked = online(path, reads, link.baud)
    keep = regular_packets(kinds, link.waits)
    return {
        "offline": figures(errors(times, truth, kinds, keep=keep)),
        "online": figures(errors(live, truth, kinds, keep & locked)),
        "online_warm": figures(errors(live, truth, kinds, keep & past_warm_up(truth, WARM_UP))),
        "warm_up": figures(errors(live, truth, kinds, keep & ~locked)),
        "unlocked_s": float((keep & ~locked).sum() / keep.sum() * (truth.max() - truth.min()) / 1e9),
        "arrival": figures(errors(arrival, truth, kinds, keep=keep)),
        "stats": stats,
        "keep": keep,
        "times": times,
        "online_times": live,
        "truth": truth,
        "kinds": kinds,
        "clock": clock,
    }


def worst(runs: list[dict], where: str) -> dict:
    if where == "unlocked_s":
        return max(r[where] for r in runs)
    return {k: max((r[where][k] for r in runs), key=abs) for k in ("offset", "jitter", "p99", "max")}


def measure_cases(seconds: float, rounds: int) -> list[tuple]:
    out = []
    with tempfile.TemporaryDirectory() as tmp:
        for case in ADAPTER_PATTERNS:
            runs = [run_case(case, seconds, seed, Path(tmp)) for seed in range(1, rounds + 1)]
            out.append((case, {w: worst(runs, w) for w in ("offline", "online", "warm_up", "unlocked_s", "arrival")}))
    return out


def ms(ns: float) -> str:
    return f"{ns / 1e6:.3f}"


def table(results) -> str:
    """The Markdown table of docs/times.md (ms)."""
    lines = [
        "| adapter pattern | offline offset / jitter | offline p99 / max | online, locked: offset / jitter"
        " | online, locked: p99 / max | warm-up: max (time unlocked) | arrival offset / jitter | arrival p99 / max |",
        "| --- | --- | --- | --- | --- | --- | --- | --- |",
    ]
    for case, w in results:
        cells = []
        for where in ("offline", "online", "warm_up", "arrival"):
            f = w[where]
            if where == "warm_up":
                cells.append(f"{ms(f['max'])} ({w['unlocked_s']:.1f} s)")
                continue
            cells += [f"{ms(f['offset'])} / {ms(f['jitter'])}", f"{ms(f['p99'])} / {ms(f['max'])}"]
        lines.append(f"| {case.name} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def rows(results):
    from common import Row

    out = []
    for case, w in results:
        out.append(Row(f"clock: {case.name}", "", "", "", "", None))
        off, on, arr = w["offline"], w["online"], w["arrival"]
        ok = off["p99"] <= GOALS["offline_p99"] and off["max"] <= GOALS["offline_max"]
        out.append(
            Row(
                "  offline offset / jitter, p99 / max (ms)",
                f"{ms(off['offset'])} / {ms(off['jitter'])}, {ms(off['p99'])} / {ms(off['max'])}",
                f"arrival {ms(arr['offset'])} / {ms(arr['jitter'])}, {ms(arr['p99'])} / {ms(arr['max'])}",
                "-",
                "p99 <= 0.3, max <= 1",
                ok,
            )
        )
        out.append(
            Row(
                "  online (no look-ahead, locked) offset / jitter, p99 / max",
                f"{ms(on['offset'])} / {ms(on['jitter'])}, {ms(on['p99'])} / {ms(on['max'])}",
                f"warm-up max {ms(w['warm_up']['max'])}",
                "-",
                "p99 <= 0.5, warm-up max <= 5",
                on["p99"] <= GOALS["online_p99"] and w["warm_up"]["max"] <= 5e6,
            )
        )
    return out


def cost_row():
    """The offline clock's cost per packet: five minutes of the first
    pattern through vorn_native_testing.sample_times, the best of three."""
    import time

    from common import Row

    link = ADAPTER_PATTERNS[0].link(300.0, 1)
    _, reads, kinds, sent = link.recording(300.0)
    monos = np.array([t for _, t in reads])
    done = monos[np.minimum(np.searchsorted(monos, sent + 700_000), len(monos) - 1)]
    n = len(kinds)
    args = (done, np.zeros(n, np.uint32), done, np.full(n, 68, np.uint32), kinds, np.zeros(n, np.uint8))
    sample_times_of = load().sample_times
    best = min(_timed(lambda: sample_times_of(*args, float(link.baud)), time) for _ in range(3))
    return Row("clock: offline cost per packet", f"{best * 1e9 / n:.0f} ns", "", "-", "", None)


def _timed(work, time) -> float:
    start = time.perf_counter()
    work()
    return time.perf_counter() - start


def main() -> None:
    import argparse

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--json", action="store_true")
    parser.add_argument("--table", action="store_true")
    args = parser.parse_args()
    results = measure_cases(args.seconds, args.rounds)
    if args.table:
        print(table(results))
        return
    from common import emit

    emit([*rows(results), cost_row()], args.json)


if __name__ == "__main__":
    sys.exit(main())
