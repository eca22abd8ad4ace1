"""NumPy .npz: one array per column, written without holding the table."""

from __future__ import annotations

import contextlib
import itertools
import shutil
import tempfile
import zipfile
from pathlib import Path

from vorn.errors import ToolError
from vorn.recording import COLUMNS

TEXT_BLOCK = 1 << 14  # rows of the text column converted at a time
UNKNOWN_TIME = -1  # host_time_ns of a packet whose arrival time is not known


def write(batches, out) -> None:
    """Each column goes to a scratch file as it comes; at the end the files
    become the arrays of one .npz, behind headers that need the row count."""
    try:
        import numpy as np
    except ImportError:
        raise ToolError(".npz needs numpy: pip install numpy") from None
    with tempfile.TemporaryDirectory(dir=Path(out).parent) as scratch, contextlib.ExitStack() as opened:
        parts = []
        for i in range(len(COLUMNS)):
            parts.append(open(Path(scratch) / f"{i}", "w+b"))
            opened.callback(close_quietly, parts[-1])
        n = 0
        widest = 1
        for rows in batches:
            if not rows:
                continue
            n += len(rows)
            columns = list(zip(*rows))
            parts[0].write(np.array([UNKNOWN_TIME if t is None else t for t in columns[0]], dtype="<i8").tobytes())
            parts[1].write(np.array(columns[1], dtype="U9").tobytes())
            # Texts of any length: lines now, a fixed-width array once the widest is known.
            invalid = [v or "" for v in columns[2]]
            widest = max(widest, *map(len, invalid))
            parts[2].write("".join(v + "\n" for v in invalid).encode())
            for part, col in zip(parts[3:], columns[3:]):
                part.write(np.array(col, dtype=np.float32).tobytes())  # None becomes NaN
        with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED, allowZip64=True) as archive:
            for name, part, dtype in zip(COLUMNS, parts, ["<i8", "U9", f"U{widest}"] + ["<f4"] * (len(COLUMNS) - 3)):
                part.seek(0)
                with archive.open(name + ".npy", "w", force_zip64=True) as f:
                    header = {"descr": np.lib.format.dtype_to_descr(np.dtype(dtype)), "fortran_order": False,
                              "shape": (n,)}
                    np.lib.format.write_array_header_1_0(f, header)
                    if name == "invalid_fields":
                        while lines := list(itertools.islice(part, TEXT_BLOCK)):
                            f.write(np.array([v[:-1].decode() for v in lines], dtype=dtype).tobytes())
                    else:
                        shutil.copyfileobj(part, f)
                part.close()


def close_quietly(part) -> None:
    """A scratch file on the way out: after a failure (a full disk) its buffer
    cannot be written either, and the file goes with its directory anyway."""
    try:
        part.close()
    except OSError:
        pass
