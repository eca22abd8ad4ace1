"""vorn info: what a recording holds."""

from __future__ import annotations

import json

from vorn.errors import ToolError
from vorn.recording import Recording


def report(path, c: dict) -> str:
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
    ]
    for title, counts in (("flagged invalid (filter packets)", c["invalid"]),
                          ("wrong length (fields skipped)", c["wrong_length"])):
        lines.append(f"{title}:" + ("" if counts else " none"))
        width = max(map(len, counts), default=0)
        lines += [f"  {name:<{width}}  {n:,}" for name, n in sorted(counts.items(), key=lambda kv: -kv[1])]
    return "\n".join(lines)


def info(path, as_json: bool) -> int:
    rec = Recording(path)
    for _ in rec.batches("info"):
        pass
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
        }
        print(json.dumps(out, indent=2))
    else:
        print(report(path, c))
    if c["raw"] + c["estimated"] == 0:
        raise ToolError(f"{path}: no packets in {c['bytes']:,} bytes")
    return 0
