"""vorn export: the packets of a recording as a table (the columns of
vorn.read: one row per packet, one column per value component) or as ROS 2
messages (MCAP, rosbag2).

One module per format, each taking the recording piece by piece (a chunk of
columns at a time), so
memory stays flat however long it is. The output appears under its name only
when complete and on the disk (through a symlink, the file it names); a
failure to write it is an OSError naming it.
"""

from __future__ import annotations

import errno
import os
import shutil
from pathlib import Path

from vorn.errors import UsageError, missing, with_path
from vorn.fields import SAMPLE_TIME_COLUMN, column_names
from vorn.overwrite import commit, destination, part_path, sweep
from vorn.recording import Progress, Recording, check_selection, packet_numbers, selection
from vorn.ros_messages import DEFAULT_FRAME, DEFAULT_FRAME_ID, check_choices
from vorn.sidecars import check_baud, times_path
from vorn.times import has_times_file

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


def export(
    path,
    out,
    fmt: str,
    *,
    frame_id: str = DEFAULT_FRAME_ID,
    prefix: str = "",
    rate: float | None = None,
    kind: str | None = None,
    start: float | None = None,
    end: float | None = None,
    progress: Progress | None = None,
    baud: int | None = None,
    stamps: str = "sample",
    frame: str | None = None,
    noise=None,
) -> None:
    """Writes the recording at path to out in format fmt (one of FORMATS);
    kind, start and end select the packets of a table (see vorn.read). baud:
    the line's, for the sample times where the recording does not say
    (vorn.sample_clock). stamps, frame and noise are the MCAP and rosbag2
    exports' (mcap.write_mcap): what header.stamp holds, the axes (by default
    REP 103's, ros_messages.DEFAULT_FRAME), and an
    imu.yaml of `vorn noise` for the raw sensor's covariances. A rosbag2 directory is
    written anew: FileExistsError when out exists."""
    if fmt not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)}, not {fmt!r}")
    kind, start, end = check_selection(kind, start, end)
    check_baud(baud)
    if rate is not None and fmt in TABLES:
        raise UsageError(
            "--rate is for mcap and rosbag2: a table keeps each packet's arrival time, empty where it has none"
        )
    if fmt in TABLES and (stamps, frame, noise) != ("sample", None, None):
        raise UsageError(
            f"--stamps, --frame and --noise are for mcap and rosbag2; {fmt} holds the values "
            "as the unit sent them, with both times"
        )
    if frame is None:
        frame = DEFAULT_FRAME
    check_choices(frame, stamps)
    write = writer(fmt)
    if fmt == "rosbag2" and os.path.lexists(out):
        raise FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), os.fsdecode(out))
    # Everything is written from columns; CSV also without numpy and pyarrow,
    # and MCAP without numpy, from rows.
    by_rows = (
        fmt == "csv" and not all(map(importable, ("numpy", "pyarrow"))) or fmt not in TABLES and not importable("numpy")
    )
    if fmt in TABLES and not by_rows:
        if not has_times_file(path):  # the bounds count packets; with a times file, always seconds
            start, end = packet_numbers(start, end)
    elif fmt in TABLES:
        if (start, end) != (None, None):
            raise missing("numpy", "columns", "--start and --end: reading columns")
    elif (kind, start, end) != (None, None, None):
        raise ValueError(f"--kind, --start and --end are for {', '.join(TABLES)}; {fmt} holds every packet")
    if fmt == "parquet" and not importable("pyarrow"):
        raise missing("pyarrow", "parquet", "Parquet")
    if not by_rows and fmt in TABLES:
        from vorn.columns import require_numpy

        require_numpy()
    rec = Recording(path, rows=by_rows, progress=progress)
    if fmt not in TABLES and rate is None and not rec.times.timed:
        raise UsageError(
            f"{path}: no arrival times ({times_path(path).name} is missing or vouches for none); give "
            "--rate HZ (raw packets per second) to stamp packets from it"
        )
    # Written beside the target (through a symlink, the file it names) and
    # renamed into place once complete and on the disk.
    final = destination(out)
    sweep(final)
    tmp = part_path(final)
    try:
        if fmt in TABLES:
            names = column_names(kind, rec.times.stamped)
            if by_rows:
                from vorn.export.csv import write_rows

                # Sample times need numpy: rows carry the arrival only.
                written = write_rows(rec, tuple(n for n in names if n != SAMPLE_TIME_COLUMN), tmp, kind)
            else:
                written = write(rec.columns(kind, start, end, baud=baud), names, tmp, path)
            if not written:
                rec.require_packets()
                raise ValueError(
                    f"{path}: no {kind or ''}{' ' if kind else ''}packets{selection(start, end, rec.times.timed)}"
                )
        else:
            named = {"name": Path(out).name} if fmt == "rosbag2" else {}
            write(
                rec,
                tmp,
                frame_id=frame_id,
                prefix=prefix,
                rate=rate,
                baud=baud,
                stamps=stamps,
                frame=frame,
                noise=noise,
                **named,
            )
        commit(tmp, final)
    except OSError as e:
        raise with_path(e, out, tmp) from None
    finally:
        if os.path.isdir(tmp) and not os.path.islink(tmp):
            shutil.rmtree(tmp, ignore_errors=True)
        elif os.path.lexists(tmp):
            os.unlink(tmp)


def importable(name: str) -> bool:
    import importlib

    try:
        importlib.import_module(name)
    except ImportError:
        return False
    return True
