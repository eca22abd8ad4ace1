"""vorn info: what a recording holds."""

from __future__ import annotations

import json

from vorn.errors import ToolError
from vorn.live import recorded_gaps
from vorn.recording import Recording


def arrivals(rec: Recording) -> dict | None:
    """Frames the recording; from its arrival times (monotonic clock), the span
    from the first read to the last and the longest gap between two reads."""
    first = last = first_wall = None
    gap = 0
    for stamp, _ in rec.reads("info"):
        if stamp is None:
            continue
        t = stamp.mono_ns
        if first is None:
            first, first_wall = t, stamp.wall_ns
        elif t - last > gap:
            gap = t - last
        last = t
    if first is None:
        return None
    # Stretches without the device that `record --reconnect` went through.
    unplugged = [{"at_s": (g.lost_ns - first_wall) / 1e9, "seconds": g.seconds} for g in recorded_gaps(rec.path)]
    return {"seconds": (last - first) / 1e9, "longest_gap_s": gap / 1e9, "untimed_bytes": rec.untimed,
            "unplugged": unplugged}


def timing(t: dict | None, c: dict) -> list[str]:
    if t is None:
        return ["arrival times:     none (no .times file beside the recording)"]
    span = t["seconds"]
    rates = [(k, c[k]) for k in ("raw", "estimated")] + [(f"0x{s:02X}", n) for s, n in sorted(c["other_sets"].items())]
    lines = [f"duration:          {span:,.3f} s (first to last read)",
             "packet rate:       " + (", ".join(f"{k} {n / span:,.1f}/s" for k, n in rates) if span else "-"),
             f"longest gap:       {t['longest_gap_s'] * 1e3:,.1f} ms between reads"]
    for g in t["unplugged"]:
        lines.append(f"unplugged:         {g['seconds']:,.3f} s from {g['at_s']:,.3f} s (reconnected)")
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


def info(path, as_json: bool) -> int:
    rec = Recording(path)
    t = arrivals(rec)
    c = rec.counts()
    if as_json:
        out = {
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
        print(json.dumps(out, indent=2))
    else:
        print(report(path, c, t))
    if c["raw"] + c["estimated"] == 0:
        raise ToolError(f"{path}: no packets in {c['bytes']:,} bytes")
    return 0
