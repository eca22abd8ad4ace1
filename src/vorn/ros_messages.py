"""The ROS 2 messages vorn sends, wherever it sends them (the MCAP and rosbag2
export, `vorn live`, `vorn ros2`): the channels by id with their types, ros2msg
schemas and what each carries, the QoS, the frames and stamps on offer, and
the packing of a batch of columns.

The values become ROS's in one place, the native packer (_native.RosPacker,
and the export's writer on the same code): the topics, which field goes
where, the units and the frames are its (_native.ROS_TOPICS). Here: what
every output needs beside the message bytes.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import NamedTuple

DEFAULT_FRAME_ID = "imu_link"
FRAMES = ("unit", "rep103")
DEFAULT_FRAME = "rep103"  # of every ROS-facing output: what every ROS consumer assumes
FRAME_TEXT = {
    "rep103": "REP 103 body frame: x forward, y left, z up (from the unit's x forward, y right, z down); "
    "orientation against east, north, up",
    "unit": "the unit's own axes as it sends them: x forward, y right, z down; orientation against north, "
    "east, down; no frame conversion",
}
STAMPS = ("sample", "arrival")  # what header.stamp holds; a bag's log time is the arrival

# QoS. What ros2 bag (Humble) stores for a reliable, volatile publisher:
INFINITE = "    sec: 9223372036\n    nsec: 854775807\n"
BAG_QOS = (
    "- history: 3\n  depth: 0\n  reliability: 1\n  durability: 2\n"
    f"  deadline:\n{INFINITE}  lifespan:\n{INFINITE}  liveliness: 1\n"
    f"  liveliness_lease_duration:\n{INFINITE}  avoid_ros_namespace_conventions: false"
)
# A publisher's, as REP 2003 asks of a sensor driver: volatile, keep last
# DEPTH, reliable unless asked, so that reliable and SensorDataQoS
# (best-effort) subscribers both match.
RELIABILITIES = ("reliable", "best_effort")
DEPTH = 1000  # a second of the unit's fastest stream: its bursts reach reliable subscribers whole

SEPARATOR = "=" * 80 + "\n"
HEADER_MSG = "builtin_interfaces/Time stamp\nstring frame_id\n"
TIME_MSG = "int32 sec\nuint32 nanosec\n"
VECTOR3_MSG = "float64 x\nfloat64 y\nfloat64 z\n"
QUATERNION_MSG = "float64 x 0\nfloat64 y 0\nfloat64 z 0\nfloat64 w 1\n"


def definition(main: str, *deps: tuple[str, str]) -> bytes:
    """A ros2msg schema: the type's own text, then each type it uses."""
    deps = (("std_msgs/Header", HEADER_MSG), ("builtin_interfaces/Time", TIME_MSG), *deps)
    return (main + "".join(f"{SEPARATOR}MSG: {name}\n{text}" for name, text in deps)).encode()


SCHEMAS = {
    "sensor_msgs/msg/Imu": definition(
        "std_msgs/Header header\n\ngeometry_msgs/Quaternion orientation\nfloat64[9] orientation_covariance\n\n"
        "geometry_msgs/Vector3 angular_velocity\nfloat64[9] angular_velocity_covariance\n\n"
        "geometry_msgs/Vector3 linear_acceleration\nfloat64[9] linear_acceleration_covariance\n",
        ("geometry_msgs/Quaternion", QUATERNION_MSG),
        ("geometry_msgs/Vector3", VECTOR3_MSG),
    ),
    "sensor_msgs/msg/FluidPressure": definition("std_msgs/Header header\n\nfloat64 fluid_pressure\nfloat64 variance\n"),
    "geometry_msgs/msg/Vector3Stamped": definition(
        "std_msgs/Header header\ngeometry_msgs/Vector3 vector\n", ("geometry_msgs/Vector3", VECTOR3_MSG)
    ),
    "geometry_msgs/msg/QuaternionStamped": definition(
        "std_msgs/Header header\ngeometry_msgs/Quaternion quaternion\n", ("geometry_msgs/Quaternion", QUATERNION_MSG)
    ),
    "vorn_msgs/msg/Altitude": definition(
        "# Pressure altitude as the unit's filter estimates it, in m.\nstd_msgs/Header header\nfloat64 altitude\n"
    ),
    "vorn_msgs/msg/InvalidFields": definition(
        "# The values the unit's filter flagged invalid in this packet, by the\n"
        "# unit's names (estOrientQuaternion, ...); empty when all are valid.\n"
        "std_msgs/Header header\nstring[] names\n"
    ),
}
OWN_PACKAGE = "vorn_msgs/"  # types of ours alone, which no ROS 2 installation holds


class Channel(NamedTuple):
    id: int
    topic: str  # relative: under the output's prefix or namespace
    type: str
    schema: bytes  # ros2msg
    text: str  # what it carries, in the units it carries it

    @property
    def python_type(self) -> tuple[str, str] | None:
        """Where rclpy finds the type (module, class), or None for a type of ours alone."""
        if self.type.startswith(OWN_PACKAGE):
            return None
        package, _, name = self.type.rpartition("/msg/")
        return f"{package}.msg", name


def frame_text(frame: str) -> str:
    """What the axes of frame are, in a line."""
    return FRAME_TEXT[frame]


def check_frame_id(frame_id: str) -> str:
    """frame_id as tf2 takes it: ValueError for one that is empty, begins
    with a slash or holds a space."""
    if not isinstance(frame_id, str) or not frame_id:
        raise ValueError(f"frame id must not be empty (tf2 refuses it): {frame_id!r}")
    if frame_id.startswith("/"):
        raise ValueError(f"frame id must not begin with '/' (tf2 refuses it): {frame_id!r}")
    if any(c.isspace() for c in frame_id):
        raise ValueError(f"frame id must not hold spaces (tf2 refuses it): {frame_id!r}")
    return frame_id


def check_choices(frame: str, stamps: str) -> None:
    """ValueError unless frame is one of FRAMES and stamps one of STAMPS."""
    if frame not in FRAMES:
        raise ValueError(f"frame must be one of {', '.join(FRAMES)}, not {frame!r}")
    if stamps not in STAMPS:
        raise ValueError(f"stamps must be one of {', '.join(STAMPS)}, not {stamps!r}")


# What the native helper states, made on first use (the module's
# __getattr__), so that the command's options take the rest of this module
# without loading it.
CHANNELS: tuple[Channel, ...]  # in the order of the packer's output: the channel ids from 1
VALUE_COLUMNS: tuple[str, ...]  # the packer's value columns, in record order
FLAG_COLUMNS: tuple[str, ...]  # and its flag columns


def made(name: str):
    """CHANNELS, VALUE_COLUMNS or FLAG_COLUMNS."""
    if name in globals():
        return globals()[name]
    from vorn import _native
    from vorn.fields import FLAG_FIELDS, VALUE_FIELDS, flag_column, value_columns

    if name == "CHANNELS":
        value = tuple(
            Channel(cid, topic, type_name, SCHEMAS[type_name], text)
            for cid, (topic, type_name, text) in enumerate(_native.ROS_TOPICS, 1)
        )
    elif name == "VALUE_COLUMNS":
        value = tuple(c for f in VALUE_FIELDS for c in value_columns(f))
    elif name == "FLAG_COLUMNS":
        value = tuple(flag_column(f) for f in FLAG_FIELDS)
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = value
    return value


__getattr__ = made


class BatchPacker:
    """The messages of batches of columns (vorn.open's, vorn.read's, or any
    mapping of their columns) as the native packer makes them: each packet
    stamped with its sample time (time_ns), or with stamps="arrival" or
    where it has none (no column, or below 0) its arrival (host_time_ns).

    frame_id: header.frame_id (tf2's rules); frame: one of FRAMES; noise: an
    imu.yaml of `vorn noise` for the raw sensor's angular-velocity and
    linear-acceleration covariances (imu/data_raw; unknown otherwise).
    ValueError for anything else, OSError for a noise file that cannot be
    read."""

    def __init__(
        self, frame_id: str = DEFAULT_FRAME_ID, *, frame: str = DEFAULT_FRAME, stamps: str = "sample", noise=None
    ) -> None:
        check_frame_id(frame_id)
        check_choices(frame, stamps)
        from vorn import _native
        from vorn.noise import covariances, read_noise

        cov = None if noise is None else covariances(read_noise(noise))
        self.frame_id, self.frame, self.stamps = frame_id, frame, stamps
        self.packer = _native.RosPacker(frame_id, body_frame=frame == "rep103", covariances=cov)

    def stamp(self, batch: Mapping):
        """Each packet's header.stamp, int64 ns."""
        import numpy as np

        arrival = batch.get("host_time_ns")
        sample = batch.get("time_ns") if self.stamps == "sample" else None
        if sample is None:
            return np.ascontiguousarray(arrival, np.int64)
        sample = np.asarray(sample)
        if arrival is None:
            return np.ascontiguousarray(sample, np.int64)
        known = sample >= 0  # False for NaN too
        return np.ascontiguousarray(sample if known.all() else np.where(known, sample, arrival), np.int64)

    def pack(self, batch: Mapping, stamp=None) -> tuple[list[bytes], ...]:
        """Every packet's messages (serialized CDR): one list per channel, in
        channel id order, each in packet order. stamp: header.stamp of each
        packet (int64 ns), if not as stamp() gives it."""
        kinds = batch["packet_type"]
        stamp = self.stamp(batch) if stamp is None else stamp
        values, flags = made("VALUE_COLUMNS"), made("FLAG_COLUMNS")
        try:  # a batch of vorn.open: its columns as they are
            return self.packer.pack(kinds, [batch[c] for c in values], [batch[c] for c in flags], stamp)
        except (BufferError, ValueError, KeyError, TypeError):  # other arrays: made what the packer takes
            pass
        import numpy as np

        n = len(kinds)

        def column(name, dtype, absent):
            a = batch.get(name)
            return np.full(n, absent, dtype) if a is None else np.ascontiguousarray(a, dtype)

        return self.packer.pack(
            np.ascontiguousarray(kinds, np.uint8),
            [column(c, np.float32, np.nan) for c in values],
            [column(c, np.bool_, False).view(np.uint8) for c in flags],
            np.ascontiguousarray(stamp, np.int64),
        )
