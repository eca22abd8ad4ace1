"""MCAP in ROS 2's profile: CDR messages of sensor_msgs and geometry_msgs types
(and two small types of our own), their definitions stored in the file,
zstd-compressed chunks, and the summary and indexes viewers seek with.

The native helper packs the messages and the records from columns; it is the
one place where the unit's values become ROS's: accelerations from g to m/s²
(delta velocity from g·s to m/s), quaternions from the unit's w, x, y, z to
ROS's x, y, z, w, and "absent or flagged invalid" to -1 in element 0 of a
covariance, as sensor_msgs/msg/Imu defines it. No frame conversion. Here:
the channels, which time each message carries, and the chunks' compression.
"""

from __future__ import annotations

from collections import deque
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from types import SimpleNamespace

from vorn import _native
from vorn.errors import ToolError
from vorn.recording import (FLAG_FIELDS, KINDS, ROW_COLUMNS, UNTIMED, VALUE_FIELDS, flag_column, has_times,
                            times_path, value_columns)

FIELDS = _native.FIELDS

CHUNK_SIZE = 1 << 20  # uncompressed bytes of messages per chunk
# zstd's first fast level: as small as level 1 on these messages (doubles, mostly
# zeros and repeats) and faster, and the chunks are most of an export's work.
ZSTD_LEVEL = -1
COMPRESSORS = 2  # chunks compressed at once, while the next is packed
INSTALL_HINT = "MCAP export needs zstd: pip install 'vorn_rs[mcap]'"

SEPARATOR = "=" * 80 + "\n"
HEADER_MSG = "builtin_interfaces/Time stamp\nstring frame_id\n"
TIME_MSG = "int32 sec\nuint32 nanosec\n"
VECTOR3_MSG = "float64 x\nfloat64 y\nfloat64 z\n"
QUATERNION_MSG = "float64 x 0\nfloat64 y 0\nfloat64 z 0\nfloat64 w 1\n"


def definition(main: str, *deps: tuple[str, str]) -> bytes:
    """A ros2msg schema: the type's own text, then each type it uses."""
    deps = (("std_msgs/Header", HEADER_MSG), ("builtin_interfaces/Time", TIME_MSG), *deps)
    return (main + "".join(f"{SEPARATOR}MSG: {name}\n{text}" for name, text in deps)).encode()


IMU = definition(
    "std_msgs/Header header\n\ngeometry_msgs/Quaternion orientation\nfloat64[9] orientation_covariance\n\n"
    "geometry_msgs/Vector3 angular_velocity\nfloat64[9] angular_velocity_covariance\n\n"
    "geometry_msgs/Vector3 linear_acceleration\nfloat64[9] linear_acceleration_covariance\n",
    ("geometry_msgs/Quaternion", QUATERNION_MSG), ("geometry_msgs/Vector3", VECTOR3_MSG))
FLUID_PRESSURE = definition("std_msgs/Header header\n\nfloat64 fluid_pressure\nfloat64 variance\n")
VECTOR3_STAMPED = definition("std_msgs/Header header\ngeometry_msgs/Vector3 vector\n",
                             ("geometry_msgs/Vector3", VECTOR3_MSG))
QUATERNION_STAMPED = definition("std_msgs/Header header\ngeometry_msgs/Quaternion quaternion\n",
                                ("geometry_msgs/Quaternion", QUATERNION_MSG))
ALTITUDE = definition("# Pressure altitude as the unit's filter estimates it, in m.\n"
                      "std_msgs/Header header\nfloat64 altitude\n")
INVALID_FIELDS = definition("# The values the unit's filter flagged invalid in this packet, by the\n"
                            "# unit's names (estOrientQuaternion, ...); empty when all are valid.\n"
                            "std_msgs/Header header\nstring[] names\n")

# What ros2 bag (Humble) stores for a reliable, volatile publisher.
INFINITE = "    sec: 9223372036\n    nsec: 854775807\n"
QOS = ("- history: 3\n  depth: 0\n  reliability: 1\n  durability: 2\n"
       f"  deadline:\n{INFINITE}  lifespan:\n{INFINITE}  liveliness: 1\n"
       f"  liveliness_lease_duration:\n{INFINITE}  avoid_ros_namespace_conventions: false")

# Topic (under the prefix), type, definition, units: every value the unit sends,
# in the order of the writer's channel ids (from 1).
CHANNELS = (
    ("imu/data_raw", "sensor_msgs/msg/Imu", IMU,
     "raw packets: linear_acceleration m/s² (scaled_accel g x 9.80665), angular_velocity rad/s (scaled_gyro); "
     "no orientation (orientation_covariance[0] = -1); covariance[0] = -1 where the packet lacks the value"),
    ("imu/data", "sensor_msgs/msg/Imu", IMU,
     "filter packets: orientation x, y, z, w (est_orient_quaternion, sent w first), angular_velocity rad/s "
     "(est_angular_rate), linear_acceleration m/s² (est_compensated_accel); covariance[0] = -1 where the value "
     "is absent or flagged invalid"),
    ("imu/pressure", "sensor_msgs/msg/FluidPressure", FLUID_PRESSURE,
     "scaled_ambient_pressure in Pa; variance 0 (unknown)"),
    ("imu/delta_theta", "geometry_msgs/msg/Vector3Stamped", VECTOR3_STAMPED, "delta_theta in rad"),
    ("imu/delta_vel", "geometry_msgs/msg/Vector3Stamped", VECTOR3_STAMPED, "delta_vel in m/s (g·s x 9.80665)"),
    ("imu/linear_accel", "geometry_msgs/msg/Vector3Stamped", VECTOR3_STAMPED, "est_linear_accel in m/s²"),
    ("imu/gravity", "geometry_msgs/msg/Vector3Stamped", VECTOR3_STAMPED, "est_gravity_vector in m/s²"),
    ("imu/attitude_uncertainty", "geometry_msgs/msg/QuaternionStamped", QUATERNION_STAMPED,
     "est_attitude_uncert_quaternion as x, y, z, w (sent w first)"),
    ("imu/pressure_altitude", "vorn_msgs/msg/Altitude", ALTITUDE, "est_pressure_alt in m"),
    ("imu/invalid_fields", "vorn_msgs/msg/InvalidFields", INVALID_FIELDS,
     "the names the filter packet flagged invalid, one message per filter packet"),
)


def zstd_compress():
    try:
        from compression import zstd  # 3.14 and later
    except ImportError:
        try:
            from backports import zstd
        except ImportError:
            raise ToolError(INSTALL_HINT) from None
    return lambda data: zstd.compress(data, level=ZSTD_LEVEL)


def columns(rec, rate: float | None, info: dict):
    """(kinds, values, flags, times) of the recording a piece at a time, as the
    writer takes them: packet kinds (uint8), every value component and every
    flag in record order (float32, NaN where absent; uint8), and each packet's
    time (int64 ns). Columns from the core's framer where NumPy is there, else
    the same built from its rows. info records how the times were had."""
    try:
        import numpy as np
    except ImportError:
        yield from columns_from_rows(rec, rate, info)
        return
    n = known = 0
    last = None
    every_value = [c for f in VALUE_FIELDS for c in value_columns(f)]
    flags = [flag_column(f) for f in FLAG_FIELDS]
    for chunk in rec.columns("export"):
        kinds = chunk["packet_type"]
        wall = chunk.get("host_time_ns")
        m = len(kinds)
        timed = np.zeros(m, bool) if wall is None else wall != UNTIMED
        if timed.all():
            times = wall
        else:
            if rate is None:
                raise untimed_after(rec, n + int(np.argmin(timed)))
            # Each untimed packet 1/rate on from the last known time (or from 0).
            step = round(1e9 / rate)
            before = np.where(timed, np.arange(m), -1)
            np.maximum.accumulate(before, out=before)
            base = np.where(before >= 0, wall[np.maximum(before, 0)] if wall is not None else 0,
                            -step if last is None else last)
            times = base + (np.arange(m) - before) * step
        known += int(timed.sum())
        n += m
        last = int(times[-1])
        yield (kinds, [np.ascontiguousarray(chunk[c]) for c in every_value],
               [np.ascontiguousarray(chunk[c]).view(np.uint8) for c in flags], np.ascontiguousarray(times, np.int64))
    info.update(packets=n, timed=known)


def columns_from_rows(rec, rate: float | None, info: dict):
    """columns() without NumPy: the same arrays from the framer's rows."""
    from array import array

    step = None if rate is None else round(1e9 / rate)
    nan = float("nan")
    width = len(ROW_COLUMNS) - 2  # after packet_type and invalid_fields
    flag_names = [FIELDS[f]["invalid_name"] for f in FLAG_FIELDS]
    n = known = 0
    last = None
    for rows in rec.batches("export"):
        kinds, times = array("B"), array("q")
        values = [array("f") for _ in range(width)]
        flags = [array("B") for _ in flag_names]
        for t, kind, invalid, *row in rows:
            if t is None:
                if step is None:
                    raise untimed_after(rec, n)
                t = 0 if last is None else last + step
            else:
                known += 1
            kinds.append(KINDS.index(kind))
            times.append(t)
            for column, v in zip(values, row):
                column.append(nan if v is None else v)
            named = invalid.split(",") if invalid else ()
            for column, name in zip(flags, flag_names):
                column.append(name in named)
            last = t
            n += 1
        if kinds:
            yield kinds, values, flags, times
    info.update(packets=n, timed=known)


def untimed_after(rec, n: int) -> ToolError:
    return ToolError(f"{rec.path}: arrival times end after packet {n:,} ({times_path(rec.path).name} "
                     "is cut short); give --rate HZ to count the rest on at that rate")


def stamps(times):
    """header.stamp and the MCAP log time of each packet: both when it arrived."""
    return times, times


def time_note(info: dict, rate: float | None) -> str:
    if info["timed"] == info["packets"]:
        return "arrival: the host's wall clock (ns since the Unix epoch) at the read that completed the packet"
    synthetic = f"synthetic: counted at {rate:g} packets/s (--rate)"
    if info["timed"] == 0:
        return synthetic + " from 0, the recording has no arrival times"
    return f"arrival for the first {info['timed']:,} packets, then {synthetic}"


def write_mcap(rec, f, *, frame_id: str, prefix: str, rate: float | None):
    """The recording's packets as one MCAP file into f; what was written (its
    counts by channel id and its span of log times) and the channels by id,
    for a rosbag2 directory."""
    compress = zstd_compress()
    if rate is None and not has_times(rec.path):
        raise ToolError(f"{rec.path}: no arrival times ({times_path(rec.path).name} is missing or empty; "
                        "`vorn record` writes it); give --rate HZ for times counted from 0 at that packet rate")
    from vorn.cli import version

    w = _native.McapWriter("ros2", f"vorn {version()}", frame_id, CHUNK_SIZE)
    topics = {}
    sids: dict[str, int] = {}
    for cid, (topic, type_name, data, _) in enumerate(CHANNELS, 1):
        if type_name not in sids:
            sids[type_name] = len(sids) + 1
            w.schema(sids[type_name], type_name, "ros2msg", data)
        topics[cid] = (f"{prefix}/{topic}", type_name)
        w.channel(cid, sids[type_name], topics[cid][0], "cdr", {"offered_qos_profiles": QOS})
    f.write(w.take())
    info: dict = {}
    # Chunks are compressed in threads of their own while the next is packed.
    with ThreadPoolExecutor(COMPRESSORS) as pool:
        waiting: deque = deque()

        def write_chunks(keep: int) -> None:
            while len(waiting) > keep:
                w.write_chunk("zstd", waiting.popleft().result())
                f.write(w.take())

        for kinds, values, flags, times in columns(rec, rate, info):
            stamp, log_time = stamps(times)
            try:
                closed = w.pack(kinds, values, flags, stamp, log_time)
            except ValueError as e:
                raise ToolError(f"{rec.path}: {e}") from None
            waiting.extend(pool.submit(compress, raw) for raw in closed)
            write_chunks(COMPRESSORS)
        waiting.extend(pool.submit(compress, raw) for raw in w.close_chunk())
        write_chunks(0)
    rec.require_packets()
    meta = {"recording": Path(rec.path).name, "time": time_note(info, rate), "frame_id": frame_id,
            "frame": "the unit's own axes as it sends them: no frame conversion"}
    meta.update({topics[cid][0]: units for cid, (*_, units) in enumerate(CHANNELS, 1)})
    w.metadata("vorn", meta)
    w.finish()
    f.write(w.take())
    return SimpleNamespace(counts=w.counts(), span=w.span()), topics


def write(rec, out, *, frame_id: str, prefix: str, rate: float | None) -> None:
    with open(out, "wb") as f:
        write_mcap(rec, f, frame_id=frame_id, prefix=prefix, rate=rate)
