"""vorn export: one row per packet, one column per value component.

Every writer takes the rows piece by piece, so memory stays flat however long
the recording is. The output appears under its name only when complete.
"""

from __future__ import annotations

import csv
import itertools
import os
import shutil
import tempfile
import zipfile
from pathlib import Path

from vorn_tools.common import COLUMNS, Recording, ToolError, os_failure

ROW_GROUP = 1 << 14  # rows per Parquet row group, and per block of the .npz text column
TEXT_COLUMNS = COLUMNS[:2]  # packet_type, invalid_fields; the rest are float32


def write_csv(batches, out) -> None:
    with open(out, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow(COLUMNS)
        for rows in batches:
            # Nine significant digits read back as the same single-precision value.
            w.writerows([r[0], r[1], *("" if v is None else f"{v:.9g}" for v in r[2:])] for r in rows)


def write_parquet(batches, out) -> None:
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq
    except ImportError:
        raise ToolError("Parquet needs pyarrow: pip install pyarrow") from None
    schema = pa.schema([(n, pa.string()) for n in TEXT_COLUMNS] + [(n, pa.float32()) for n in COLUMNS[2:]])
    with pq.ParquetWriter(out, schema) as writer:
        pending: list = []

        def flush():
            columns = list(zip(*pending))
            writer.write_table(pa.Table.from_arrays(
                [pa.array(col, type=field.type) for col, field in zip(columns, schema)], schema=schema))
            pending.clear()

        for rows in batches:
            pending += rows
            if len(pending) >= ROW_GROUP:
                flush()
        if pending:
            flush()


def write_npz(batches, out) -> None:
    """Each column goes to a scratch file as it comes; at the end the files
    become the arrays of one .npz, behind headers that need the row count."""
    try:
        import numpy as np
    except ImportError:
        raise ToolError(".npz needs numpy: pip install numpy") from None
    with tempfile.TemporaryDirectory(dir=Path(out).parent) as scratch:
        parts = [open(Path(scratch) / f"{i}", "w+b") for i in range(len(COLUMNS))]
        n = 0
        widest = 1
        for rows in batches:
            if not rows:
                continue
            n += len(rows)
            columns = list(zip(*rows))
            parts[0].write(np.array(columns[0], dtype="U9").tobytes())
            # Texts of any length: lines now, a fixed-width array once the widest is known.
            invalid = [v or "" for v in columns[1]]
            widest = max(widest, *map(len, invalid))
            parts[1].write("".join(v + "\n" for v in invalid).encode())
            for part, col in zip(parts[2:], columns[2:]):
                part.write(np.array(col, dtype=np.float32).tobytes())  # None becomes NaN
        with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED, allowZip64=True) as archive:
            for name, part, dtype in zip(COLUMNS, parts, ["U9", f"U{widest}"] + ["<f4"] * (len(COLUMNS) - 2)):
                part.seek(0)
                with archive.open(name + ".npy", "w", force_zip64=True) as f:
                    header = {"descr": np.lib.format.dtype_to_descr(np.dtype(dtype)), "fortran_order": False,
                              "shape": (n,)}
                    np.lib.format.write_array_header_1_0(f, header)
                    if name == "invalid_fields":
                        while lines := list(itertools.islice(part, ROW_GROUP)):
                            f.write(np.array([v[:-1].decode() for v in lines], dtype=dtype).tobytes())
                    else:
                        shutil.copyfileobj(part, f)
                part.close()


WRITERS = {".csv": write_csv, ".parquet": write_parquet, ".npz": write_npz}


def export(path, out) -> int:
    writer = WRITERS[Path(out).suffix.lower()]
    rec = Recording(path, rows=True)
    # Written beside the target and renamed into place once complete.
    tmp = Path(out).with_name(f".{Path(out).name}.{os.getpid()}.part")
    try:
        writer(rec.batches("export"), tmp)
        rec.require_packets()
        os.replace(tmp, out)
    except OSError as e:
        raise os_failure(out, e) from None
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)
    return 0
