"""A recording as columns: NumPy arrays by name, filled by the core's framing
without a Python object per packet, and converted to a pyarrow Table or a
pandas DataFrame in one call.

    import vorn
    cols = vorn.read("run.bin", kind="estimated", start=10, end=20)
    cols["est_orient_quaternion_w"]   # float32, NaN where a packet lacks it
    cols.to_pandas()

The columns and their order are vorn.fields' (column_names); with a kind,
only the fields of that kind (and flags for estimated) are there. A packet
whose read has no time the times file vouches for has host_time_ns and
time_ns -1 (null
in to_arrow and to_pandas, as in Parquet and CSV); reading such a recording
warns once (UntimedWarning), and Columns.untimed says which bytes and why.
"""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from typing import TYPE_CHECKING, Any

from vorn.errors import missing
from vorn.fields import KINDS, SAMPLE_TIME_COLUMN, TIME_COLUMN, UNTIMED, column_names, describe
from vorn.recording import Progress, Recording, check_selection
from vorn.sidecars import check_baud
from vorn.times import UntimedWarning

TIME_COLUMNS = (TIME_COLUMN, SAMPLE_TIME_COLUMN)  # UNTIMED in them is null

if TYPE_CHECKING:
    import numpy as np
    import pandas
    import pyarrow

__all__ = ["KINDS", "Columns", "UntimedWarning", "read", "chunks"]


def require_numpy():
    """numpy, or the ImportError that names the extra installing it."""
    try:
        import numpy
    except ImportError:
        raise missing("numpy", "columns", "reading columns") from None
    return numpy


class Columns(Mapping[str, "np.ndarray"]):
    """The packets of a recording, one NumPy array per column (see the module's
    text for the names); a read-only mapping from column name to array."""

    def __init__(self, arrays: dict[str, np.ndarray], path: str, untimed: str | None = None) -> None:
        self._arrays = arrays
        self.path = path
        self.untimed = untimed  # the line saying which reads have no time and why, or None

    def __getitem__(self, name: str) -> np.ndarray:
        return self._arrays[name]

    def __iter__(self) -> Iterator[str]:
        return iter(self._arrays)

    def __len__(self) -> int:
        return len(self._arrays)

    @property
    def num_rows(self) -> int:
        """How many packets."""
        return len(self._arrays["packet_type"])

    def __repr__(self) -> str:
        return f"<vorn.Columns {self.path!r}: {self.num_rows:,} packets, {len(self)} columns>"

    def to_arrow(self) -> pyarrow.Table:
        """A pyarrow Table of the same columns (packet_type as a dictionary of
        "raw" and "estimated", an absent value null), each field's metadata
        holding its "unit" and "description"; needs pyarrow."""
        return arrow_table(self._arrays, described=True)

    def to_pandas(self) -> pandas.DataFrame:
        """A pandas DataFrame of the same columns (packet_type categorical);
        needs pandas."""
        try:
            import pandas as pd
        except ImportError:
            raise missing("pandas", "pandas", "to_pandas") from None
        data: dict[str, Any] = dict(self._arrays)
        data["packet_type"] = pd.Categorical.from_codes(self._arrays["packet_type"], KINDS)
        for name in TIME_COLUMNS:
            if name in data:
                t = data[name]
                data[name] = pd.arrays.IntegerArray(t, t == UNTIMED)
        return pd.DataFrame(data, copy=False)


def arrow_table(arrays: Mapping[str, np.ndarray], plain: bool = False, described: bool = False) -> pyarrow.Table:
    """The columns as Arrow's: an absent value (NaN) null, packet_type a
    dictionary, or with plain its text; described, with each column's unit and
    description in its field metadata."""
    try:
        import pyarrow as pa
    except ImportError:
        raise ImportError("Arrow tables need pyarrow: pip install 'vorn_rs[parquet]'", name="pyarrow") from None
    out = {}
    for name, a in arrays.items():
        if name == "packet_type":
            kinds = pa.array(KINDS)
            out[name] = (
                kinds.take(pa.array(a)) if plain else pa.DictionaryArray.from_arrays(pa.array(a.view("int8")), kinds)
            )
        elif a.dtype.kind == "f":
            out[name] = with_nulls(pa, a)
        elif name in TIME_COLUMNS:
            out[name] = pa.array(a, mask=a == UNTIMED)
        else:
            out[name] = pa.array(a)
    table = pa.table(out)
    return pa.Table.from_arrays(table.columns, schema=described_schema(table.schema)) if described else table


def described_schema(schema: pyarrow.Schema) -> pyarrow.Schema:
    """schema with each column's unit and description (vorn.fields.describe)
    in its field metadata."""
    import pyarrow as pa

    fields = []
    for field in schema:
        unit, text = describe(field.name)
        fields.append(field.with_metadata({"unit": unit, "description": text}))
    return pa.schema(fields, metadata=schema.metadata)


def with_nulls(pa, a: np.ndarray) -> pyarrow.Array:
    """A float column as Arrow's, NaN null: the values' own buffer under a
    validity bitmap (ten times faster than pyarrow's search for NaN)."""
    import numpy as np

    a = np.ascontiguousarray(a)
    present = ~np.isnan(a)
    if present.all():
        return pa.array(a)
    bitmap = pa.py_buffer(np.packbits(present, bitorder="little"))
    return pa.Array.from_buffers(pa.from_numpy_dtype(a.dtype), len(a), [bitmap, pa.py_buffer(a)])


def chunks(
    path,
    kind: str | None = None,
    start: float | None = None,
    end: float | None = None,
    *,
    progress: Progress | None = None,
    baud: int | None = None,
) -> Iterator[Columns]:
    """The packets of read() a piece of the recording at a time (about 256
    KiB of it), each piece a Columns, for work in memory that does not
    grow with the file. The arguments are checked, and the recording opened,
    before the first piece is asked for."""
    require_numpy()
    kind, start, end = check_selection(kind, start, end)
    check_baud(baud)
    rec = Recording(path, progress=progress)
    return (Columns(chunk, str(path), rec.times.note) for chunk in rec.columns(kind, start, end, baud=baud))


def read(
    path,
    kind: str | None = None,
    start: float | None = None,
    end: float | None = None,
    *,
    progress: Progress | None = None,
    baud: int | None = None,
) -> Columns:
    """The packets of the recording at path as columns.

    kind: "raw" or "estimated" for packets of that kind only (and only its
    fields' columns), None for both. start, end: the packets that arrived from
    start to before end, in seconds since the first read arrived; for a
    recording without arrival times, packet numbers from start to before end
    (counting packets of both kinds from 0). progress(done, total), if given,
    is called with the bytes read so far. baud: the line's, for time_ns, where
    NAME.baud does not say (921600). Memory besides the result stays
    within a few megabytes, but for a moment the columns of one type twice
    when the result is copied to a size that fits.

    Raises FileNotFoundError (or another OSError) naming the recording,
    TypeError or ValueError for arguments that are not a kind, a range of
    finite numbers and a baud rate, ImportError without numpy."""
    np = require_numpy()
    kind, start, end = check_selection(kind, start, end)
    check_baud(baud)
    rec = Recording(path, progress=progress)
    names = column_names(kind, rec.times.stamped)
    # The columns of one type are the rows of one block: one allocation (big
    # enough for the kernel's large pages) rather than one per column.
    groups: dict[Any, list[str]] = {}
    for name in names:
        dtype = {"host_time_ns": np.int64, "time_ns": np.int64, "packet_type": np.uint8}.get(
            name, np.bool_ if name.endswith("_invalid") else np.float32
        )
        groups.setdefault(np.dtype(dtype), []).append(name)
    blocks: dict[Any, np.ndarray] = {}
    rows: dict[str, np.ndarray] = {}

    def grow(room: int) -> None:
        for dtype, members in groups.items():
            block = np.empty((len(members), room), dtype)
            if dtype in blocks:
                block[:, :n] = blocks[dtype][:, :n]
            blocks[dtype] = block
            rows.update(zip(members, block))

    n = room = 0
    every = kind is None and start is None and end is None
    for chunk in rec.columns(kind, start, end, baud=baud):
        m = len(chunk["packet_type"])
        if n + m > room:
            if every:
                # Every packet: as many as the bytes framed so far held, in the whole
                # recording, and a little more. The framing runs seconds ahead of the
                # chunks (they wait for their sample times), so the chunks alone
                # would have room grown, and everything copied, several times over.
                counts = rec.framer.counts()
                guess = int((counts["raw"] + counts["estimated"]) * rec.size / max(rec.fed, 1) * 1.02) + 64
            else:
                # Room for as many packets again as the bytes read so far held.
                guess = n + m + int((n + m) * max(0, rec.size - rec.fed) / max(rec.fed, 1) * 1.05)
            # A quarter more at least, so that a recording that begins with a long
            # stretch of noise (or of packets not picked) is not copied chunk by chunk.
            room = max(n + 2 * m, guess, room + room // 4)
            grow(room)
        for name, a in chunk.items():
            rows[name][n : n + m] = a
        n += m
    if not blocks or n < room * 0.9:  # the estimate ran over (a range, a kind): give the rest back
        grow(n)
    return Columns({name: rows[name][:n] for name in names}, str(path), rec.times.note)
