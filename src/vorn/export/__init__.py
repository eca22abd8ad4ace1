"""vorn export: the packets of a recording as a table (the columns of
vorn.read: one row per packet, one column per value component) or as ROS 2
messages (MCAP, rosbag2).

One module per format, each taking the recording piece by piece (a chunk of
columns at a time), so
memory stays flat however long it is. The output appears under its name only
when complete.
"""

from __future__ import annotations

import os
import shutil
from pathlib import Path

from vorn.errors import ToolError, os_failure
from vorn.recording import Recording, column_names, has_times

TABLES = ("csv", "parquet", "npz")
FORMATS = (*TABLES, "mcap", "rosbag2")


def writer(fmt: str):
    if fmt == "csv":
        from vorn.export.csv import write
    elif fmt == "parquet":
        from vorn.export.parquet import write
    elif fmt == "npz":
        from vorn.export.npz import write
    elif fmt == "mcap":
        from vorn.export.mcap import write
    else:
        from vorn.export.rosbag2 import write
    return write


def export(path, out, fmt: str, *, frame_id: str = "imu_link", prefix: str = "", rate: float | None = None,
           kind: str | None = None, start: float | None = None, end: float | None = None) -> int:
    write = writer(fmt)
    if fmt == "rosbag2" and os.path.lexists(out):
        raise ToolError(f"{out}: exists; a rosbag2 directory is written anew")
    # Everything is written from columns; CSV also without numpy and pyarrow,
    # and MCAP without numpy, from rows.
    by_rows = (fmt == "csv" and not all(map(importable, ("numpy", "pyarrow")))
               or fmt not in TABLES and not importable("numpy"))
    if fmt in TABLES and not by_rows:
        if not has_times(path):
            start, end = packet_numbers(start, end)
    elif fmt in TABLES:
        from vorn.columns import INSTALL_HINT

        if (start, end) != (None, None):
            raise ToolError(f"--start and --end: {INSTALL_HINT}")
    elif (kind, start, end) != (None, None, None):
        raise ToolError(f"--kind, --start and --end are for {', '.join(TABLES)}; {fmt} holds every packet")
    if fmt == "parquet" and not importable("pyarrow"):
        raise ToolError("Parquet needs pyarrow: pip install 'vorn_rs[parquet]'")
    if not by_rows and fmt in TABLES:
        from vorn.columns import require_numpy

        require_numpy()
    rec = Recording(path, rows=by_rows)
    # Written beside the target and renamed into place once complete.
    tmp = Path(out).with_name(f".{Path(out).name}.{os.getpid()}.part")
    try:
        if fmt in TABLES:
            names = column_names(kind, has_times(path))
            if by_rows:
                from vorn.export.csv import write_rows

                written = write_rows(rec, names, tmp, kind)
            else:
                written = write(rec.columns("export", kind, start, end), names, tmp, path)
            if not written:
                rec.require_packets()
                raise ToolError(f"{path}: no {kind or ''}{' ' if kind else ''}packets"
                                f"{selection(start, end, has_times(path))}")
        else:
            named = {"name": Path(out).name} if fmt == "rosbag2" else {}
            write(rec, tmp, frame_id=frame_id, prefix=prefix, rate=rate, **named)
        os.replace(tmp, out)
    except OSError as e:
        raise os_failure(out, e) from None
    finally:
        if os.path.isdir(tmp) and not os.path.islink(tmp):
            shutil.rmtree(tmp, ignore_errors=True)
        elif os.path.lexists(tmp):
            os.unlink(tmp)
    return 0


def importable(name: str) -> bool:
    import importlib

    try:
        importlib.import_module(name)
    except ImportError:
        return False
    return True


def packet_numbers(start: float | None, end: float | None) -> tuple[int | None, int | None]:
    """start and end as packet numbers, for a recording without arrival times."""
    for v in (start, end):
        if v is not None and not float(v).is_integer():
            raise ToolError(f"the recording has no arrival times: --start and --end count packets, "
                            f"and {v:g} is not a whole number")
    return (None if start is None else int(start)), (None if end is None else int(end))


def selection(start, end, timed: bool) -> str:
    if start is None and end is None:
        return ""
    unit = " s" if timed else ""
    return (f" from {start or 0:g}{unit}" + ("" if end is None else f" to before {end:g}{unit}")
            + ("" if timed else " (packet numbers)"))
