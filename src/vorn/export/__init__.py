"""vorn export: the packets of a recording as a table (one row per packet, one
column per value component) or as ROS 2 messages (MCAP, rosbag2).

One module per format, each taking the recording piece by piece, so memory
stays flat however long it is. The output appears under its name only when
complete.
"""

from __future__ import annotations

import os
import shutil
from pathlib import Path

from vorn.errors import ToolError, os_failure
from vorn.recording import Recording

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


def export(path, out, fmt: str, *, frame_id: str = "imu_link", prefix: str = "", rate: float | None = None) -> int:
    write = writer(fmt)
    if fmt == "rosbag2" and os.path.lexists(out):
        raise ToolError(f"{out}: exists; a rosbag2 directory is written anew")
    rec = Recording(path, rows=True)
    # Written beside the target and renamed into place once complete.
    tmp = Path(out).with_name(f".{Path(out).name}.{os.getpid()}.part")
    try:
        if fmt in TABLES:
            write(rec.batches("export"), tmp)
            rec.require_packets()
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
