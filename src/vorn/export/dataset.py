"""Many recordings as one Parquet dataset that engines query directly (DuckDB,
Polars, pyarrow.dataset, Spark, Ray):

    DIR/_common_metadata                     the schema, each column's unit
    DIR/unit=UNIT/date=YYYY-MM-DD/part-RECORDING.parquet

Hive partitions: the unit (given, else the recording's file stem) and the UTC
day each packet arrived on (a recording that runs past midnight is one file
in each day; one without arrival times goes under __HIVE_DEFAULT_PARTITION__).
Every file has the same schema: a `recording` column (the recording's stem),
then the columns of vorn.read for both kinds with both times, int64
nanoseconds since the epoch (null where unknown). Adding a recording writes
its own files only; a recording that the unit already holds is refused
unless replaced. Each file appears under its name only when complete, and a
replaced recording's old files go once the new ones are in place.
"""

from __future__ import annotations

import errno
import json
import os
import re
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from urllib.parse import quote

from vorn.errors import missing, with_path
from vorn.fields import UNTIMED, column_names
from vorn.overwrite import placed
from vorn.recording import Recording, gathered

ROW_GROUP = 1 << 17  # rows per row group, about: a few MB a column, what scanners read at a time
DAY_NS = 86_400 * 10**9
NO_DATE = "__HIVE_DEFAULT_PARTITION__"  # the partition of rows without a date, as Hive names it
COMMON = "_common_metadata"
PARTITIONS = ("unit", "date")
NAME = re.compile(r"part-(?P<recording>.+)\.parquet")


class InDataset(FileExistsError):
    """A recording the dataset already holds (its file the filename)."""


def pyarrow():
    try:
        import pyarrow
        import pyarrow.parquet  # noqa: F401
    except ImportError:
        raise missing("pyarrow", "parquet", "a Parquet dataset") from None
    return pyarrow


def schema():
    """The schema of every file of a dataset: recording, then the columns of
    both kinds with both times; each column's unit and description in its
    metadata."""
    pa = pyarrow()
    from vorn.columns import described_schema

    fields = []
    for name in column_names(None, True):
        if name in ("host_time_ns", "time_ns"):
            t = pa.int64()
        elif name == "packet_type":
            t = pa.dictionary(pa.int8(), pa.string())
        elif name.endswith("_invalid"):
            t = pa.bool_()
        else:
            t = pa.float32()
        fields.append(pa.field(name, t))
    recording = pa.field("recording", pa.string()).with_metadata(
        {"unit": "", "description": "the recording the packet is from: its file name without the suffix"}
    )
    layout = {"partitioning": "hive", "partitions": list(PARTITIONS), "time": "int64 ns since the epoch, UTC"}
    described = described_schema(pa.schema(fields))
    return pa.schema([recording, *described], metadata={"vorn": json.dumps(layout)})


def recording_name(path) -> str:
    return Path(os.fsdecode(path)).stem


def check_name(what: str, value: str) -> str:
    if not value or value in (".", "..") or "/" in value or "\0" in value or value.startswith((".", "_")):
        raise ValueError(f"{what} {value!r} cannot name a partition or a file: give one without '/' or a leading '.'")
    return value


def partition(value: str) -> str:
    """A partition value as Hive writes it in a path: escaped where it holds
    characters a path or a reader would take otherwise."""
    return quote(value, safe=" -_.~+@:,")


def existing(root: Path, unit: str, name: str) -> list[Path]:
    """The files of recording name under unit in the dataset at root."""
    unit_dir = root / f"unit={partition(unit)}"
    try:
        days = list(unit_dir.iterdir())
    except FileNotFoundError:
        return []
    return [f for d in days if d.name.startswith("date=") for f in [d / f"part-{name}.parquet"] if f.exists()]


def check_common(root: Path, want) -> None:
    """_common_metadata written for a new dataset; an existing one must hold
    the schema of this one (ValueError otherwise: another layout)."""
    pa = pyarrow()
    import pyarrow.parquet as pq

    from vorn.overwrite import commit, part_path

    path = root / COMMON
    if path.exists():
        try:
            have = pq.read_schema(path)
        except (OSError, pa.ArrowInvalid) as e:
            raise ValueError(f"{path}: not a dataset's schema ({e})") from None
        if not have.equals(want, check_metadata=False):
            raise ValueError(f"{root}: a dataset of other columns; write this one to another directory")
        return
    tmp = part_path(path)
    try:
        pq.write_metadata(want, tmp)
        commit(tmp, path)
    finally:
        if os.path.lexists(tmp):
            os.unlink(tmp)


def dataset(
    recordings,
    root,
    *,
    unit: str | None = None,
    replace: bool = False,
    baud: int | None = None,
    workers: int | None = None,
    progress=None,
) -> list[Path]:
    """Adds the recordings (paths) to the Parquet dataset at root (made if
    missing) and returns the files written. unit: the partition of every
    recording, else each recording's file stem. A recording the unit already
    holds raises FileExistsError unless replace, when its files are replaced
    (after the new ones are complete). workers: recordings written at once
    (the processors, at most 2, by default). baud: the line's, where a
    recording does not say (vorn.sample_clock). progress(done, total): bytes
    of all the recordings read so far."""
    pyarrow()
    from vorn.columns import require_numpy
    from vorn.sidecars import check_baud

    require_numpy()
    check_baud(baud)
    recordings = [os.fsdecode(r) for r in recordings]
    if not recordings:
        raise ValueError("no recordings to add")
    if unit is not None:
        check_name("unit", unit)
    root = Path(root)
    jobs, seen = [], set()
    for path in recordings:
        name = check_name("recording", recording_name(path))
        u = unit if unit is not None else name
        if (u, name) in seen:
            raise ValueError(f"{path}: a recording named {name!r} of unit {u!r} is given twice")
        seen.add((u, name))
        old = existing(root, u, name)
        if old and not replace:
            raise InDataset(
                errno.EEXIST, f"recording {name!r} of unit {u!r} is already in the dataset", os.fsdecode(old[0])
            )
        jobs.append((path, u, name, old))
    try:
        sizes = [os.stat(p).st_size for p, *_ in jobs]
    except OSError as e:
        raise with_path(e, e.filename) from None
    want = schema()
    try:
        root.mkdir(parents=True, exist_ok=True)
        check_common(root, want)
    except OSError as e:
        raise with_path(e, root) from None
    done = [0] * len(jobs)
    total = sum(sizes)

    def told(i):
        if progress is None:
            return None

        def report(n, _size):
            done[i] = n
            progress(sum(done), total)

        return report

    workers = workers or min(2, os.cpu_count() or 1)
    halt = threading.Event()  # a failure or an interruption: the recordings under way stop, the others never start
    pool = ThreadPoolExecutor(max(1, min(workers, len(jobs))))
    try:
        futures = [pool.submit(write_recording, root, *job, want, baud, told(i), halt) for i, job in enumerate(jobs)]
        written = []
        for f in futures:
            written += f.result()
    except BaseException:
        halt.set()
        raise
    finally:
        pool.shutdown(cancel_futures=True)
    placed.set()
    return written


def write_recording(root: Path, path, unit: str, name: str, old: list[Path], want, baud, progress, halt) -> list[Path]:
    """One recording's files, a day each, placed once all are complete; the
    files of old not replaced by a new one removed after."""
    import numpy as np
    import pyarrow as pa
    import pyarrow.parquet as pq

    from vorn.columns import arrow_table
    from vorn.overwrite import commit, part_path

    rec = Recording(path, progress=progress)
    unit_dir = root / f"unit={partition(unit)}"
    writers: dict[str, tuple] = {}  # date: (writer, file, part, final)
    first = np.frombuffer(rec.times.walls, np.int64)[:1] if rec.times.timed else ()
    last_day = int(first[0]) // DAY_NS if len(first) else None
    recording = pa.scalar(name)

    def day_text(day) -> str:
        if day is None:
            return NO_DATE
        return str(np.datetime64(int(day), "D"))

    def write(date: str, table) -> None:
        if date not in writers:
            final = unit_dir / f"date={date}" / f"part-{name}.parquet"
            final.parent.mkdir(parents=True, exist_ok=True)
            part = part_path(final)
            f = open(part, "wb")
            w = pq.ParquetWriter(
                f,
                want,
                use_dictionary=["recording", "packet_type"],
                write_statistics=["host_time_ns", "time_ns"],
                compression="snappy",
            )
            writers[date] = (w, f, part, final)
        writers[date][0].write_table(table, row_group_size=ROW_GROUP)

    try:
        try:
            for group in gathered(rec.columns(baud=baud), ROW_GROUP):
                if halt.is_set():
                    return []
                n = len(group["packet_type"])
                table = arrow_table(group)
                columns = []
                for field in want:
                    if field.name == "recording":
                        columns.append(pa.repeat(recording, n))
                    elif field.name in table.column_names:
                        columns.append(table[field.name].cast(field.type))
                    else:
                        columns.append(pa.nulls(n, field.type))
                table = pa.Table.from_arrays(columns, schema=want)
                wall = group.get("host_time_ns")
                if wall is None:
                    days = None
                else:
                    # An untimed packet goes with the day of the packets before it.
                    days = np.where(wall == UNTIMED, -1, wall // DAY_NS)
                    known = np.flatnonzero(days >= 0)
                    if len(known):
                        fill = np.maximum.accumulate(np.where(days >= 0, np.arange(n), -1))
                        days = np.where(fill >= 0, days[np.maximum(fill, 0)], -1 if last_day is None else last_day)
                    elif last_day is not None:
                        days = np.full(n, last_day)
                if days is None or (days < 0).all():
                    write(day_text(None if days is None else last_day), table)
                    continue
                # Runs of one day, in order (a wall clock set back may come back to a day).
                edges = np.flatnonzero(np.diff(days)) + 1
                for lo, hi in zip(np.r_[0, edges], np.r_[edges, n]):
                    day = int(days[lo])
                    write(day_text(None if day < 0 else day), table.slice(lo, hi - lo))
                last_day = int(days[-1]) if days[-1] >= 0 else last_day
            rec.require_packets()
        finally:
            for w, f, _, _ in writers.values():
                try:
                    w.close()
                finally:
                    f.close()
        placed = []
        for _, _, part, final in writers.values():
            commit(part, final, last=False)
            placed.append(final)
        for stale in old:
            if stale not in placed:
                stale.unlink(missing_ok=True)
                try:
                    stale.parent.rmdir()  # a day left empty
                except OSError:
                    pass
        return placed
    except OSError as e:
        raise with_path(e, path) from None
    finally:
        for _, _, part, _ in writers.values():
            if os.path.lexists(part):
                os.unlink(part)
