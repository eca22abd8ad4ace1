"""NumPy .npz: one array per column of vorn.read, written without holding the
table: packet_type as uint8 codes (0 raw, 1 estimated), NaN where a value is
absent, a bool per filter field for its flag."""

from __future__ import annotations

import contextlib
import shutil
import zipfile
from pathlib import Path


def write(chunks, names, out, source) -> int:
    """Each column goes to a scratch file as it comes; at the end the files
    become the arrays of one .npz, behind headers that need the row count."""
    import numpy as np

    # Named before it is made, and removed in a finally that is already in force
    # when it appears: a stop signal (raised between any two steps) cannot leave it.
    scratch = Path(out).with_name(Path(out).name + ".columns")
    try:
        scratch.mkdir()
        return write_parts(chunks, names, out, scratch, np)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def write_parts(chunks, names, out, scratch: Path, np) -> int:
    with contextlib.ExitStack() as opened:
        parts = {}
        for i, name in enumerate(names):
            parts[name] = open(Path(scratch) / f"{i}", "w+b")
            opened.callback(close_quietly, parts[name])
        dtypes = {}
        n = 0
        for chunk in chunks:
            n += len(chunk["packet_type"])
            for name, a in chunk.items():
                dtypes[name] = a.dtype
                parts[name].write(a.data)  # contiguous: written as it is
        with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED, allowZip64=True) as archive:
            for name, part in parts.items():
                part.seek(0)
                with archive.open(name + ".npy", "w", force_zip64=True) as f:
                    header = {
                        "descr": np.lib.format.dtype_to_descr(dtypes.get(name, np.dtype("f4"))),
                        "fortran_order": False,
                        "shape": (n,),
                    }
                    np.lib.format.write_array_header_1_0(f, header)
                    shutil.copyfileobj(part, f, 1 << 20)
                part.close()
    return n


def close_quietly(part) -> None:
    """A scratch file on the way out: after a failure (a full disk) its buffer
    cannot be written either, and the file goes with its directory anyway."""
    try:
        part.close()
    except OSError:
        pass
