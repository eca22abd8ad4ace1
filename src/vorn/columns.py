"""A recording as columns: NumPy arrays by name, filled by the core's framing
without a Python object per packet, and converted to a pyarrow Table or a
pandas DataFrame in one call.

    import vorn
    cols = vorn.read("run.bin", kind="estimated", start=10, end=20)
    cols["est_orient_quaternion_w"]   # float32, NaN where a packet lacks it
    cols.to_pandas()

Columns, in this order:
  host_time_ns      int64, the host's wall clock (ns since the Unix epoch) at the
                    read that completed the packet; only for a recording with
                    arrival times (NAME.times), -1 after that file ends early
  time_ns           int64, the unit's sample time on the same clock, recovered from
                    the arrivals (vorn.sample_clock): steady where host_time_ns
                    comes in bursts; with host_time_ns only, -1 likewise
  packet_type       uint8, 0 for raw and 1 for estimated (KINDS)
  FIELD, FIELD_x..  float32 per value component, in record order; vectors
                    FIELD_x, _y, _z; quaternions FIELD_w, _x, _y, _z (the
                    scalar, first on the wire, is w); NaN where absent
  FIELD_invalid     bool per filter field: the unit flagged it invalid
With a kind, only the fields of that kind (and flags for estimated) are there.
"""

from __future__ import annotations

from collections.abc import Iterator, Mapping
from typing import TYPE_CHECKING, Any

from vorn.errors import ToolError
from vorn import _native
from vorn.recording import (FLAG_FIELDS, KINDS, QUATERNION_PARTS, UNITS, VALUE_FIELDS, Recording, column_names,
                            has_times, value_columns)

COLUMN_FIELD = {c: f for f in VALUE_FIELDS for c in value_columns(f)}

if TYPE_CHECKING:
    import numpy as np
    import pandas
    import pyarrow

INSTALL_HINT = "reading columns needs numpy: pip install 'vorn_rs[columns]'"

__all__ = ["KINDS", "Columns", "read", "chunks"]


def require_numpy():
    try:
        import numpy
    except ImportError:
        raise ToolError(INSTALL_HINT) from None
    return numpy


class Columns(Mapping[str, "np.ndarray"]):
    """The packets of a recording, one NumPy array per column (see the module's
    text for the names); a read-only mapping from column name to array."""

    def __init__(self, arrays: dict[str, np.ndarray], path: str) -> None:
        self._arrays = arrays
        self.path = path

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
        "raw" and "estimated"); needs pyarrow."""
        return arrow_table(self._arrays)

    def to_pandas(self) -> pandas.DataFrame:
        """A pandas DataFrame of the same columns (packet_type categorical);
        needs pandas."""
        try:
            import pandas as pd
        except ImportError:
            raise ToolError("to_pandas needs pandas: pip install pandas") from None
        data: dict[str, Any] = dict(self._arrays)
        data["packet_type"] = pd.Categorical.from_codes(self._arrays["packet_type"], KINDS)
        return pd.DataFrame(data, copy=False)


def arrow_table(arrays: Mapping[str, np.ndarray], plain: bool = False) -> pyarrow.Table:
    """The columns as Arrow's: an absent value (NaN) null, packet_type a
    dictionary, or with plain its text."""
    try:
        import pyarrow as pa
    except ImportError:
        raise ToolError("Arrow tables need pyarrow: pip install 'vorn_rs[parquet]'") from None
    out = {}
    for name, a in arrays.items():
        if name == "packet_type":
            kinds = pa.array(KINDS)
            out[name] = kinds.take(pa.array(a)) if plain else pa.DictionaryArray.from_arrays(
                pa.array(a.view("int8")), kinds)
        elif a.dtype.kind == "f":
            out[name] = with_nulls(pa, a)
        else:
            out[name] = pa.array(a)
    return pa.table(out)


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


def describe(name: str) -> tuple[str, str]:
    """A column's unit ("" for none) and what it holds, in a few words."""
    import vorn_rs

    if name == "host_time_ns":
        return "ns", ("the host's wall clock, ns since the Unix epoch, at the read that completed the packet; "
                      "-1 after the arrival times end")
    if name == "time_ns":
        return "ns", ("the unit's sample time on the host's wall clock, ns since the Unix epoch, recovered from "
                      "the arrival times; -1 after the arrival times end")
    if name == "packet_type":
        return "", "raw: a sensor packet; estimated: a filter packet"
    if name.endswith("_invalid") and name.removesuffix("_invalid") in FLAG_FIELDS:
        field = name.removesuffix("_invalid")
        return "", f"the unit flagged {field} ({_native.FIELDS[field]['invalid_name']}) invalid in this packet"
    field = COLUMN_FIELD[name]
    what = getattr(vorn_rs.IMUPacket, field).__doc__.split(",")[0]
    part = name.removeprefix(field).lstrip("_")
    if len(value_columns(field)) == len(QUATERNION_PARTS):
        part += " (the scalar part)" if part == "w" else ""
    return UNITS[field], what + (f", component {part}" if part else "") + "; null where the packet lacks it"


def chunks(path, kind: str | None = None, start: float | None = None, end: float | None = None, *,
           label: str = "read", baud: int | None = None) -> Iterator[dict[str, np.ndarray]]:
    """The columns of read() a piece of the recording at a time (about a
    megabyte of it), for work in memory that does not grow with the file."""
    require_numpy()
    return Recording(path).columns(label, kind, start, end, baud)


def read(path, kind: str | None = None, start: float | None = None, end: float | None = None, *,
         baud: int | None = None) -> Columns:
    """The packets of the recording at path as columns.

    kind: "raw" or "estimated" for packets of that kind only (and only its
    fields' columns), None for both. start, end: the packets that arrived from
    start to before end, in seconds since the first read arrived; for a
    recording without arrival times, packet numbers from start to before end
    (counting packets of both kinds from 0). baud: the line's, for time_ns,
    where NAME.baud does not say (921600). Memory besides the result stays
    within a few megabytes, but for a moment the columns of one type twice
    when the result is copied to a size that fits."""
    np = require_numpy()
    rec = Recording(path)
    names = column_names(kind, has_times(path))
    # The columns of one type are the rows of one block: one allocation (big
    # enough for the kernel's large pages) rather than one per column.
    groups: dict[Any, list[str]] = {}
    for name in names:
        dtype = {"host_time_ns": np.int64, "time_ns": np.int64, "packet_type": np.uint8}.get(
            name, np.bool_ if name.endswith("_invalid") else np.float32)
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
    for chunk in rec.columns("read", kind, start, end, baud):
        m = len(chunk["packet_type"])
        if n + m > room:
            # Room for as many packets again as the bytes read so far held.
            room = n + m + max(m, int((n + m) * max(0, rec.size - rec.fed) / max(rec.fed, 1) * 1.05))
            grow(room)
        for name, a in chunk.items():
            rows[name][n:n + m] = a
        n += m
    if not blocks or n < room * 0.9:  # the estimate ran over (a range, a kind): give the rest back
        grow(n)
    return Columns({name: rows[name][:n] for name in names}, str(path))
