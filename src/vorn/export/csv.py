"""CSV: a header of column names, then one line per packet; an absent value is
an empty cell, as is an unknown arrival time; packet_type "raw" or
"estimated", a flag true or false.

Written from columns by pyarrow's CSV writer (C++) when pyarrow and numpy are
installed, else from the core's rows by the standard library's writer, which
takes several times as long."""

from __future__ import annotations

import csv

from vorn.fields import COLUMN_FIELD, FIELDS, TIMED_ROW_COLUMNS


def write(chunks, names, out, source) -> int:
    """Returns the number of rows written."""
    import pyarrow.csv as pacsv

    from vorn.columns import arrow_table

    n = 0
    with open(out, "wb") as f:
        writer = None
        for chunk in chunks:
            table = arrow_table(chunk, plain=True)
            if writer is None:
                writer = pacsv.CSVWriter(f, table.schema, write_options=pacsv.WriteOptions(quoting_style="none"))
            writer.write_table(table)
            n += table.num_rows
        if writer is None:
            f.write((",".join(names) + "\n").encode())
        else:
            writer.close()
    return n


def write_rows(rec, names, out, kind: str | None) -> int:
    """The same table from the core's rows, in Python: without pyarrow and
    numpy, and several times as slow."""
    at = {c: i for i, c in enumerate(TIMED_ROW_COLUMNS)}
    cells = []  # per column: ("time" | "kind" | "value" | "flag", row index or invalid name)
    for name in names:
        if name in ("host_time_ns", "packet_type"):
            cells.append((name, at[name]))
        elif name in COLUMN_FIELD:
            cells.append(("value", at[name]))
        else:
            cells.append(("flag", FIELDS[name.removesuffix("_invalid")]["invalid_name"]))
    n = 0
    with open(out, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(names)
        for rows in rec.batches():
            for r in rows:
                if kind is not None and r[1] != kind:
                    continue
                flagged = (r[2] or "").split(",")
                # Nine significant digits read back as the same single-precision value.
                w.writerow(
                    [
                        ("" if r[i] is None or r[i] != r[i] else f"{r[i]:.9g}")
                        if what == "value"
                        else ("true" if i in flagged else "false")
                        if what == "flag"
                        else ("" if r[i] is None else r[i])
                        for what, i in cells
                    ]
                )
                n += 1
    return n
