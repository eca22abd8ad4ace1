"""What a recording holds: its packets, noise, flagged fields, arrival times
and each stream's recovered sample clock, as a dict (summary) or as text
(report)."""

from __future__ import annotations

import operator
from collections import Counter

from vorn.errors import with_path
from vorn.recording import Progress, Recording

FRAME_PIECE = 1 << 20  # bytes framed at a time


def frame(rec: Recording, clock=None) -> dict | None:
    """Frames the recording a stretch at a time; from its vouched arrival times
    (monotonic clock) the span from the first read to the last, the longest
    gap between two reads, the packets of each kind that timed reads
    completed with the span they arrived over (an unplug is in neither), and
    the stretches without the device that `record --reconnect` went through
    (from when, in seconds after the first read, and how long). clock: a
    vorn.sample_clock.recording_clock fed every packet on the way."""
    t = rec.times
    read, framer = rec.file.read, rec.framer
    pos = 0

    def feed(piece: bytes) -> None:
        if clock is None:
            framer.feed(piece)
        else:
            kinds = framer.columns(piece, b"", False)[0]
            clock.feed(kinds, *framer.places())

    def run(upto: int | None) -> None:
        nonlocal pos
        while upto is None or pos < upto:
            piece = read(FRAME_PIECE if upto is None else min(FRAME_PIECE, upto - pos))
            if not piece:
                return
            feed(piece)
            pos += len(piece)
            rec.advance(len(piece))

    timed: Counter = Counter()
    span = gap = 0
    try:
        with rec.file:
            for first, end, lo, hi in t.segments:
                run(first)
                before = rec.framer.counts()
                run(end)
                after = rec.framer.counts()
                for k in ("raw", "estimated"):
                    timed[k] += after[k] - before[k]
                for s, n in after["other_sets"].items():
                    timed[f"0x{s:02X}"] += n - before["other_sets"].get(s, 0)
                monos = t.monos[lo:hi]
                span += monos[-1] - monos[0]
                if len(monos) > 1:
                    gap = max(gap, longest_step(monos))
            run(None)
    except OSError as e:
        raise with_path(e, rec.path) from None
    if not t.timed:
        return None
    unplugged = [
        {"at_s": (g.lost.wall_ns - t.walls[0]) / 1e9, "seconds": (g.back.wall_ns - g.lost.wall_ns) / 1e9}
        for g in t.gaps
    ]
    return {
        "seconds": (t.monos[-1] - t.monos[0]) / 1e9,
        "longest_gap_s": gap / 1e9,
        "untimed_bytes": t.untimed,
        "untimed": t.note,
        "timed_seconds": span / 1e9,
        "timed_packets": dict(timed),
        "unplugged": unplugged,
        "lost": [
            {"at": x.at, "bytes": x.bytes, "cause": x.cause, "at_s": (x.seen.wall_ns - t.walls[0]) / 1e9}
            for x in t.losses
        ],
        "wall_clock_set_back": [
            {"at_s": (t.monos[i] - t.monos[0]) / 1e9, "seconds": ns / 1e9} for i, ns in t.steps_back()
        ]
        if importable_numpy()
        else [],
    }


def longest_step(monos) -> int:
    try:
        import numpy as np
    except ImportError:
        return max(map(operator.sub, monos[1:], monos[:-1]))
    return int(np.diff(np.frombuffer(monos, np.int64)).max())


def rates(t: dict) -> dict:
    """Packets per second of each kind: the timed packets over the span they arrived in."""
    span = t["timed_seconds"]
    return {k: (n / span if span else None) for k, n in t["timed_packets"].items()}


def timing(t: dict | None, c: dict) -> list[str]:
    if t is None:
        return ["arrival times:     none (no .times file beside the recording, or none it vouches for)"]
    span = t["seconds"]
    per_s = rates(t)
    lines = [
        f"duration:          {span:,.3f} s (first to last read)",
        "packet rate:       "
        + (", ".join(f"{k} {r:,.1f}/s" for k, r in per_s.items() if r is not None) if t["timed_seconds"] else "-"),
        f"longest gap:       {t['longest_gap_s'] * 1e3:,.1f} ms between reads",
    ]
    for g in t["unplugged"]:
        lines.append(f"unplugged:         {g['seconds']:,.3f} s from {g['at_s']:,.3f} s (reconnected)")
    for x in t.get("lost", ()):
        lines.append(f"lost:              {x['bytes']:,} bytes at {x['at_s']:,.3f} s ({LOST_WHY[x['cause']]})")
    for g in t["wall_clock_set_back"]:
        lines.append(
            f"wall clock:        set back {g['seconds']:,.3f} s at {g['at_s']:,.3f} s "
            "(sample times follow the monotonic clock)"
        )
    if t["untimed_bytes"]:
        lines.append(f"untimed:           {t['untimed_bytes']:,} bytes (their packets are kept, without a time)")
    return lines


LOST_WHY = {
    "ring": "the live stream's caller fell behind; the recording has them",
    "overrun": "the UART overran: the driver's count of characters, missing here too",
    "buffer": "the driver's buffer was full: its count of characters, missing here too",
}

CLOCK_HINT = "sample clock:      not worked out without numpy (pip install 'vorn_rs[columns]')"


def clock_for(path, baud: int | None, times):
    """The recording's sample clock (vorn.sample_clock.recording_clock) to
    feed while framing it, or None for a recording without arrival times
    or without numpy to work it out with."""
    if not times.timed or not importable_numpy():
        return None
    from vorn.sample_clock import recording_clock

    return recording_clock(path, baud, times.steady())  # sample times keep to the monotonic clock


def clock_figures(path, baud: int | None, clock) -> dict:
    """Each stream's recovered clock, the recording framed into `clock`."""
    from vorn.sidecars import baud_of

    clock.finish()
    return {"baud": baud_of(path, baud), **clock.figures()}


def clock_lines(s: dict | None, t: dict | None) -> list[str]:
    if s is None:
        return [] if t is None or importable_numpy() else [CLOCK_HINT]
    lines = [f"sample clock:      recovered from the arrival times ({s['baud']:,} baud)"]
    for kind in ("raw", "estimated"):
        k = s[kind]
        if k["packets"] < 2:
            continue
        lines.append(
            f"  {kind + ':':<11}{k['rate_hz']:,.4f} Hz (set to {k['nominal_hz']:g}, "
            f"drift {k['drift_ppm']:+.1f} ppm); "
            f"arrival after sample: median {k['jitter_median_ns'] / 1e6:.2f} ms, "
            f"p99 {k['jitter_p99_ns'] / 1e6:.2f} ms; residual {k['residual_ns'] / 1e6:.3f} ms; "
            f"{k['pauses']:,} pause{'s' * (k['pauses'] != 1)}, {k['lost']:,} lost"
        )
    return lines


def importable_numpy() -> bool:
    try:
        import numpy  # noqa: F401
    except ImportError:
        return False
    return True


def report(path, c: dict, t: dict | None, s: dict | None = None) -> str:
    lines = [
        f"file:              {path}",
        f"bytes:             {c['bytes']:,}",
        f"packets:           {c['raw'] + c['estimated']:,} ({c['raw']:,} raw, {c['estimated']:,} estimated)",
    ]
    others = ", ".join(f"0x{s:02X}: {n:,}" for s, n in sorted(c["other_sets"].items())) or "none"
    share = c["noise"] / c["bytes"] if c["bytes"] else 0.0
    lines += [
        f"other sets:        {others}",
        f"noise:             {c['noise']:,} bytes ({share:.2%})",
        f"checksum failures: {c['bad_checksums']:,}",
        *timing(t, c),
        *clock_lines(s, t),
    ]
    for title, counts in (
        ("flagged invalid (filter packets)", c["invalid"]),
        ("wrong length (fields skipped)", c["wrong_length"]),
    ):
        lines.append(f"{title}:" + ("" if counts else " none"))
        width = max(map(len, counts), default=0)
        lines += [f"  {name:<{width}}  {n:,}" for name, n in sorted(counts.items(), key=lambda kv: -kv[1])]
    return "\n".join(lines)


def examine(path, progress: Progress | None = None, baud: int | None = None) -> tuple[dict, dict | None, dict | None]:
    """The recording's counts (Recording.counts), its arrival times (frame),
    framing it once, and where it has both packets and arrival times each
    stream's recovered clock (sample_clock; baud: the line's where the
    recording does not say)."""
    rec = Recording(path, progress=progress)
    try:
        clock = clock_for(path, baud, rec.times)
    except OSError as e:
        rec.file.close()
        raise with_path(e, path) from None
    t = frame(rec, clock)
    c = rec.counts()
    s = clock_figures(path, baud, clock) if clock is not None and t is not None and c["raw"] + c["estimated"] else None
    return c, t, s


def summary(path, c: dict, t: dict | None, s: dict | None = None) -> dict:
    """The counts, arrival times and sample clock as one JSON-ready dict."""
    return {
        "file": str(path),
        "bytes": c["bytes"],
        "packets": {"raw": c["raw"], "estimated": c["estimated"]},
        "other_sets": {f"0x{s:02X}": n for s, n in sorted(c["other_sets"].items())},
        "noise_bytes": c["noise"],
        "checksum_failures": c["bad_checksums"],
        "invalid_fields": c["invalid"],
        "wrong_length": c["wrong_length"],
        "arrival_times": t and {**t, "packets_per_s": rates(t)},
        "sample_clock": s,
    }
