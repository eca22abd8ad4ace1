"""What a column is: the names, kinds, units and descriptions of the values a
recording holds, all as the core's field table states them (vorn._native.FIELDS).

A recording read as columns (vorn.read) has, in this order:
  host_time_ns      int64, the host's wall clock at the read that completed the
                    packet; only for a recording with arrival times; UNTIMED
                    (-1) where the times file vouches for no time of that read
  time_ns           int64, the unit's sample time on the same clock, recovered
                    from the arrivals (vorn.sample_clock): steady where
                    host_time_ns comes in bursts; with host_time_ns only, and
                    UNTIMED wherever host_time_ns is
  packet_type       uint8, codes into KINDS
  FIELD, FIELD_x..  float32 per value component, in record order; vectors
                    FIELD_x, _y, _z; quaternions FIELD_w, _x, _y, _z (the
                    scalar, first on the wire, is w); NaN where absent
  FIELD_invalid     bool per filter field: the unit flagged it invalid
The rows of Recording.reads() are ROW_COLUMNS, those of Recording.batches()
TIMED_ROW_COLUMNS: the native helper's rows, the arrival time in front.
"""

from __future__ import annotations

from vorn import _native

KINDS = ("raw", "estimated")  # the core's PacketKind order: packet_type's codes
STANDARD_GRAVITY: float = _native.STANDARD_GRAVITY  # m/s² in one g, the unit the scaled acceleration is sent in
TIME_COLUMN = "host_time_ns"
SAMPLE_TIME_COLUMN = "time_ns"
UNTIMED = -1  # host_time_ns and time_ns of a packet whose read has no vouched time

FIELDS: dict[str, dict] = _native.FIELDS  # by name, in record order
VALUE_FIELDS: tuple[str, ...] = tuple(FIELDS)
FLAG_FIELDS: tuple[str, ...] = tuple(f for f in VALUE_FIELDS if FIELDS[f]["invalid_name"])
# Each value field's unit as the unit sends it ("" for none).
UNITS: dict[str, str] = {f: FIELDS[f]["unit"] for f in VALUE_FIELDS}
QUATERNION_PARTS: tuple[str, ...] = next(
    FIELDS[f]["components"] for f in VALUE_FIELDS if len(FIELDS[f]["components"]) == 4
)  # w, the scalar part, first
# The record field each name on the unit's invalid list stands for
# (estPressureAlt -> the record's name of that field).
FIELD_OF_INVALID_NAME = {FIELDS[f]["invalid_name"]: f for f in FLAG_FIELDS}

ROW_COLUMNS: tuple[str, ...] = _native.COLUMNS  # packet_type, invalid_fields, each value component
TIMED_ROW_COLUMNS: tuple[str, ...] = (TIME_COLUMN, *ROW_COLUMNS)


def value_columns(field: str) -> tuple[str, ...]:
    """The column names of one value field's components, in wire order:
    scaled_accel_x, ..., est_orient_quaternion_w, ... (the scalar first)."""
    return FIELDS[field]["columns"]


def flag_column(field: str) -> str:
    """The boolean column telling whether the unit flagged field invalid."""
    return f"{field}_invalid"


COLUMN_FIELD = {c: f for f in VALUE_FIELDS for c in value_columns(f)}  # value column -> its field


def fields_of(kind: str | None) -> tuple[str, ...]:
    """The value fields a packet of kind can carry (all for None)."""
    return tuple(f for f in VALUE_FIELDS if kind is None or FIELDS[f]["packet_type"] == kind)


def column_names(kind: str | None = None, timed: bool = False) -> tuple[str, ...]:
    """The columns of a recording read as columns: the arrival time and the
    unit's sample time (vorn.sample_clock) when it has arrival times,
    packet_type, each value component of the kind's fields (of both kinds when
    kind is None), and a flag per filter field."""
    fields = fields_of(kind)
    return (
        *((TIME_COLUMN, SAMPLE_TIME_COLUMN) if timed else ()),
        "packet_type",
        *(c for f in fields for c in value_columns(f)),
        *(flag_column(f) for f in fields if f in FLAG_FIELDS),
    )


def describe(name: str) -> tuple[str, str]:
    """A column's unit ("" for none) and what it holds, in a few words."""
    if name == TIME_COLUMN:
        return "ns", (
            "the host's wall clock, ns since the Unix epoch, at the read that completed the packet; "
            "null where the times file vouches for no time of that read"
        )
    if name == SAMPLE_TIME_COLUMN:
        return "ns", (
            "the unit's sample time on the host's wall clock, ns since the Unix epoch, recovered from "
            "the arrival times; null where host_time_ns is"
        )
    if name == "packet_type":
        return "", "raw: a sensor packet; estimated: a filter packet"
    field = name.removesuffix("_invalid")
    if name != field and field in FLAG_FIELDS:
        return "", f"the unit flagged {field} ({FIELDS[field]['invalid_name']}) invalid in this packet"
    field = COLUMN_FIELD[name]
    info = FIELDS[field]
    what = info["description"]
    if info["components"]:
        part = info["components"][value_columns(field).index(name)]
        scalar = " (the scalar part)" if info["components"] == QUATERNION_PARTS and part == QUATERNION_PARTS[0] else ""
        what += f", component {part}{scalar}"
    return info["unit"], what + "; null where the packet lacks it"
