"""What a recording holds: its packets, noise, flagged fields, arrival times
and each stream's recovered sample clock, as a dict (summary) or as text
(report)."""

from __future__ import annotations

from vorn.recording import Progress, Recording


def arrivals(rec: Recording) -> dict | None:
    """Frames the recording; from its arrival times (monotonic clock), the span
    from the first read to the last and the longest gap between two reads."""
    first = last = None
    gap = 0
    for stamp, _ in rec.reads():
        if stamp is None:
            continue
        t = stamp.mono_ns
        if first is None:
            first = t
        elif t - last > gap:
            gap = t - last
        last = t
    if first is None:
        return None
    return {"seconds": (last - first) / 1e9, "longest_gap_s": gap / 1e9, "untimed_bytes": rec.untimed}


def timing(t: dict | None, c: dict) -> list[str]:
    if t is None:
        return ["arrival times:     none (no .times file beside the recording)"]
    span = t["seconds"]
    rates = [(k, c[k]) for k in ("raw", "estimated")] + [(f"0x{s:02X}", n) for s, n in sorted(c["other_sets"].items())]
    lines = [f"duration:          {span:,.3f} s (first to last read)",
             "packet rate:       " + (", ".join(f"{k} {n / span:,.1f}/s" for k, n in rates) if span else "-"),
             f"longest gap:       {t['longest_gap_s'] * 1e3:,.1f} ms between reads"]
    if t["untimed_bytes"]:
        lines.append(f"untimed:           the last {t['untimed_bytes']:,} bytes (the .times file ends early)")
    return lines


CLOCK_HINT = "sample clock:      not worked out without numpy (pip install 'vorn_rs[columns]')"


def sample_clock(path, baud: int | None) -> dict | None:
    """Each stream's recovered clock (vorn.sample_clock), or None for a
    recording without arrival times or without numpy to work it out."""
    try:
        import numpy  # noqa: F401
    except ImportError:
        return None
    from vorn.sample_clock import baud_of, sample_times

    _, stats = sample_times(path, baud)
    return stats and {"baud": baud_of(path, baud), **stats}


def clock_lines(s: dict | None, t: dict | None) -> list[str]:
    if s is None:
        return [] if t is None or importable_numpy() else [CLOCK_HINT]
    lines = [f"sample clock:      recovered from the arrival times ({s['baud']:,} baud)"]
    for kind in ("raw", "estimated"):
        k = s[kind]
        if k["packets"] < 2:
            continue
        lines.append(f"  {kind + ':':<11}{k['rate_hz']:,.4f} Hz (set to {k['nominal_hz']:g}, "
                     f"drift {k['drift_ppm']:+.1f} ppm); "
                     f"arrival after sample: median {k['jitter_median_ns'] / 1e6:.2f} ms, "
                     f"p99 {k['jitter_p99_ns'] / 1e6:.2f} ms; {k['pauses']:,} pause{'s' * (k['pauses'] != 1)}, "
                     f"{k['lost']:,} lost")
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
    for title, counts in (("flagged invalid (filter packets)", c["invalid"]),
                          ("wrong length (fields skipped)", c["wrong_length"])):
        lines.append(f"{title}:" + ("" if counts else " none"))
        width = max(map(len, counts), default=0)
        lines += [f"  {name:<{width}}  {n:,}" for name, n in sorted(counts.items(), key=lambda kv: -kv[1])]
    return "\n".join(lines)


def examine(path, progress: Progress | None = None, baud: int | None = None) -> tuple[dict, dict | None, dict | None]:
    """The recording's counts (Recording.counts), its arrival times
    (arrivals), framing it once, and where it has both packets and arrival
    times each stream's recovered clock (sample_clock; baud: the line's where
    the recording does not say)."""
    rec = Recording(path, progress=progress)
    t = arrivals(rec)
    c = rec.counts()
    s = sample_clock(path, baud) if t is not None and c["raw"] + c["estimated"] else None
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
        "arrival_times": t and {**t, "packets_per_s": {
            k: (n / t["seconds"] if t["seconds"] else None)
            for k, n in [("raw", c["raw"]), ("estimated", c["estimated"])]
            + [(f"0x{s:02X}", n) for s, n in sorted(c["other_sets"].items())]}},
        "sample_clock": s,
    }
