#!/usr/bin/env python3
"""Sample times against the simulator's truth, beside the arrival times' own.

    bench/bench_clock.py [--rounds N] [--json]

A minute of a simulated unit (400 raw and 200 filter packets a second, its
clock 60 ppm fast) behind a USB adapter releasing bytes every 16 ms, with
three 60 ms host stalls, a lost packet and a half-second pause, recorded with
its times file: the recovered sample times (offline over the whole recording,
and online read by read after the warm-up) and the arrival times, each
measured against when the unit really sent each packet. Rounds use other
seeds; the worst round counts.
"""

from __future__ import annotations

import tempfile
from pathlib import Path

import numpy as np
from common import Row, run_rounds

from vorn import _native
from vorn.sample_clock import evidence, packet_places, sample_times, write_baud
from vorn_model import AdapterLink, write_timed_recording

SECONDS = 60.0
DRIFT_PPM = 60.0
WALL_MINUS_MONO = 1_764_000_000_000_000_000
WARM_UP = 2.0  # s, the online clock's stated warm-up
GOALS = {"p99": 1e6, "max": 5e6, "step_std": 10e3, "drift": 20.0, "online_p99": 3e6}


def figures(times, truth, kinds, start=None) -> dict:
    """The worst stream's |error| p99 and max, steps back, and step deviation
    where the unit sent evenly (ns)."""
    worst = {"p99": 0.0, "max": 0.0, "back": 0, "step_std": 0.0}
    for k in (0, 1):
        pick = kinds == k
        t, true = times[pick], truth[pick]
        err = np.abs(t - true)
        if start is not None:
            err = err[true >= start]
        steps, true_steps = np.diff(t), np.diff(true)
        even = np.abs(true_steps - np.median(true_steps)) < 1000
        worst["p99"] = max(worst["p99"], float(np.percentile(err, 99)))
        worst["max"] = max(worst["max"], float(err.max()))
        worst["back"] += int((steps <= 0).sum())
        worst["step_std"] = max(worst["step_std"], float(steps[even].std()))
    return worst


def online(path, reads, baud) -> np.ndarray:
    kinds, offsets, lengths, lost = packet_places(path)
    ends = np.array([e for e, _ in reads])
    monos = np.array([t for _, t in reads])
    first_ns, head, done = evidence(ends, monos, offsets, lengths)
    order = np.argsort(done, kind="stable")
    bounds = np.searchsorted(done[order], np.arange(len(reads) + 1))
    clock = _native.SampleClock(baud)
    out = []
    for r in range(len(reads)):
        i = order[bounds[r] : bounds[r + 1]]
        clock.feed(first_ns[i], head[i], monos[done[i]], lengths[i], kinds[i], lost[i])
        out.append(np.frombuffer(clock.take(wall_minus_mono_ns=WALL_MINUS_MONO), np.int64))
    out.append(np.frombuffer(clock.finish(wall_minus_mono_ns=WALL_MINUS_MONO), np.int64))
    return np.concatenate(out)


def one_round(seed: int, workdir: Path) -> dict:
    link = AdapterLink(drift_ppm=DRIFT_PPM, stalls=(9.0, 23.5, 41.2), lost=20_000, pause_tick=12_000, seed=seed)
    data, reads, kinds, sent = link.recording(SECONDS)
    truth = sent + WALL_MINUS_MONO
    path = workdir / f"unit-{seed}.bin"
    write_timed_recording(path, data, reads, WALL_MINUS_MONO)
    write_baud(path, link.baud)
    times, stats = sample_times(path)
    ends = np.array([e for e, _ in reads])
    _, offsets, lengths, _ = packet_places(path)
    done = np.searchsorted(ends, offsets + lengths.astype(np.int64) - 1, side="right")
    arrival = np.array([t for _, t in reads])[done] + WALL_MINUS_MONO
    drift = max(abs(stats[s]["drift_ppm"] - DRIFT_PPM) for s in ("raw", "estimated"))
    return {
        "offline": figures(times, truth, kinds),
        "arrival": figures(arrival, truth, kinds),
        "online": figures(online(path, reads, link.baud), truth, kinds, truth[0] + WARM_UP * 1e9),
        "drift": drift,
        "pauses": [stats[s]["pauses"] for s in ("raw", "estimated")],
        "lost": sum(stats[s]["lost"] for s in ("raw", "estimated")),
    }


def measure(rounds: int) -> list[Row]:
    with tempfile.TemporaryDirectory() as tmp:
        runs = [one_round(seed, Path(tmp)) for seed in range(1, rounds + 1)]

    def worst(where: str, key: str) -> float:
        return max(r[where][key] for r in runs)

    ms = lambda ns: f"{ns / 1e6:.3f} ms"
    us = lambda ns: f"{ns / 1e3:.1f} us"
    what = f"clock: {SECONDS:g} s, 16 ms bursts, 3 stalls, a loss, a pause ({rounds} seeds, worst)"
    rows = [Row(what, "", "", "", "", None)]
    for key, name, show in (("p99", "error p99", ms), ("max", "error max", ms), ("step_std", "step std (even)", us)):
        got, ref = worst("offline", key), worst("arrival", key)
        rows.append(
            Row(
                f"  offline sample times: {name}",
                show(got),
                f"arrival {show(ref)}",
                f"{got / ref:.3f}x" if ref else "-",
                f"<= {show(GOALS[key])}",
                got <= GOALS[key],
            )
        )
    back, back_ref = sum(r["offline"]["back"] for r in runs), sum(r["arrival"]["back"] for r in runs)
    rows.append(
        Row("  offline sample times: steps back or equal", f"{back}", f"arrival {back_ref:,}", "-", "0", back == 0)
    )
    drift = max(r["drift"] for r in runs)
    rows.append(
        Row(
            "  drift found vs the unit's",
            f"{drift:.1f} ppm off",
            f"true {DRIFT_PPM:g} ppm",
            "-",
            f"<= {GOALS['drift']:g} ppm",
            drift <= GOALS["drift"],
        )
    )
    got, ref = worst("online", "p99"), worst("arrival", "p99")
    rows.append(
        Row(
            f"  online (after {WARM_UP:g} s warm-up): error p99",
            ms(got),
            f"arrival {ms(ref)}",
            f"{got / ref:.3f}x",
            f"<= {ms(GOALS['online_p99'])}",
            got <= GOALS["online_p99"],
        )
    )
    found = all(r["pauses"] == [1, 1] and r["lost"] == 1 for r in runs)
    rows.append(
        Row(
            "  pauses and lost packets found",
            "1 pause, 1 lost" if found else "NOT as made",
            "as made",
            "-",
            "all",
            found,
        )
    )
    return rows


def main() -> None:
    run_rounds(measure, __doc__, 3)


if __name__ == "__main__":
    main()
