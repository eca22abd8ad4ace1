"""CSV: a header of column names, then one line per packet."""

from __future__ import annotations

import csv

from vorn.recording import COLUMNS


def write(batches, out) -> None:
    with open(out, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(COLUMNS)
        for rows in batches:
            # Nine significant digits read back as the same single-precision value.
            w.writerows(["" if r[0] is None else r[0], r[1], r[2], *("" if v is None else f"{v:.9g}" for v in r[3:])]
                        for r in rows)
