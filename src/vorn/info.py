"""What a recording holds: its packets, noise, flagged fields and arrival
times, as a dict (summary) or as text (report)."""

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


def report(path, c: dict, t: dict | None) -> str:
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
    ]
    for title, counts in (("flagged invalid (filter packets)", c["invalid"]),
                          ("wrong length (fields skipped)", c["wrong_length"])):
        lines.append(f"{title}:" + ("" if counts else " none"))
        width = max(map(len, counts), default=0)
        lines += [f"  {name:<{width}}  {n:,}" for name, n in sorted(counts.items(), key=lambda kv: -kv[1])]
    return "\n".join(lines)


def examine(path, progress: Progress | None = None) -> tuple[dict, dict | None]:
    """The recording's counts (Recording.counts) and its arrival times
    (arrivals), framing it once."""
    rec = Recording(path, progress=progress)
    t = arrivals(rec)
    return rec.counts(), t


def summary(path, c: dict, t: dict | None) -> dict:
    """The counts and arrival times as one JSON-ready dict."""
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
    }
