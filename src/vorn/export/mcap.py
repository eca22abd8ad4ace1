"""MCAP in ROS 2's profile: CDR messages of sensor_msgs and geometry_msgs types
(and two small types of our own), their definitions stored in the file,
zstd-compressed chunks, and the summary and indexes viewers seek with.

The one place where the unit's values become ROS's: accelerations from g to
m/s² (delta velocity from g·s to m/s), quaternions from the unit's w, x, y, z to
ROS's x, y, z, w, and "absent or flagged invalid" to -1 in element 0 of a
covariance, as sensor_msgs/msg/Imu defines it. The axes turn into REP 103's
body frame unless frame="unit" keeps the unit's, and on request the
covariances come from `vorn noise` (ros_conventions). header.stamp is the unit's sample time recovered from the
arrivals (vorn.sample_clock), or with stamps="arrival" the arrival; the
record's log and publish times are always the arrival, as a bag recorder
writes them.

The export packs the messages and the records natively from columns
(_native.McapWriter); here: the channels, which time each message carries,
and the chunks' compression, in threads of their own. `vorn live` sends one
message at a time as it comes: Messages and write_packets pack those here,
from rows, the same bytes.
"""

from __future__ import annotations

import json
import os
import struct
import threading
from collections import deque
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from types import SimpleNamespace

from vorn import _native
from vorn.errors import missing
from vorn.export import ros_conventions
from vorn.fields import (
    FIELDS,
    FLAG_FIELDS,
    KINDS,
    QUATERNION_PARTS,
    ROW_COLUMNS,
    STANDARD_GRAVITY,
    VALUE_FIELDS,
    flag_column,
    value_columns,
)
from vorn.sidecars import times_path
from vorn.times import Estimate

CHUNK_SIZE = 1 << 20  # uncompressed bytes of messages per chunk
# zstd's first fast level: as small as level 1 on these messages (doubles, mostly
# zeros and repeats) and faster, and the chunks are most of an export's work.
# Tuned to them: matches of 5 bytes rather than 6 find the shorter repeats
# between messages, a smaller hash table stays in the cache, and a chunk is its
# own window (128 KiB of it); measured on an export's chunks, 10 % faster than
# the plain level and 2 % smaller.
ZSTD_LEVEL = -1
ZSTD_TUNING = {"min_match": 5, "hash_log": 12, "window_log": 17}
COMPRESSORS = 2  # threads that compress chunks while the next are packed, at most
PACK_SLICE = 4096  # packets packed at a time (about 2.5 chunks)
PENDING = 16  # chunks at most in the compressors' hands (or done, to be written)

CDR_LE = b"\x00\x01\x00\x00"  # encapsulation: plain CDR, little-endian

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
    ("geometry_msgs/Quaternion", QUATERNION_MSG),
    ("geometry_msgs/Vector3", VECTOR3_MSG),
)
FLUID_PRESSURE = definition("std_msgs/Header header\n\nfloat64 fluid_pressure\nfloat64 variance\n")
VECTOR3_STAMPED = definition(
    "std_msgs/Header header\ngeometry_msgs/Vector3 vector\n", ("geometry_msgs/Vector3", VECTOR3_MSG)
)
QUATERNION_STAMPED = definition(
    "std_msgs/Header header\ngeometry_msgs/Quaternion quaternion\n", ("geometry_msgs/Quaternion", QUATERNION_MSG)
)
ALTITUDE = definition(
    "# Pressure altitude as the unit's filter estimates it, in m.\nstd_msgs/Header header\nfloat64 altitude\n"
)
INVALID_FIELDS = definition(
    "# The values the unit's filter flagged invalid in this packet, by the\n"
    "# unit's names (estOrientQuaternion, ...); empty when all are valid.\n"
    "std_msgs/Header header\nstring[] names\n"
)

# What ros2 bag (Humble) stores for a reliable, volatile publisher.
INFINITE = "    sec: 9223372036\n    nsec: 854775807\n"
QOS = (
    "- history: 3\n  depth: 0\n  reliability: 1\n  durability: 2\n"
    f"  deadline:\n{INFINITE}  lifespan:\n{INFINITE}  liveliness: 1\n"
    f"  liveliness_lease_duration:\n{INFINITE}  avoid_ros_namespace_conventions: false"
)

# Topic (under the prefix), type, definition, units: every value the unit sends.
CHANNELS = (
    (
        "imu/data_raw",
        "sensor_msgs/msg/Imu",
        IMU,
        f"raw packets: linear_acceleration m/s² (scaled_accel g x {STANDARD_GRAVITY}), angular_velocity rad/s "
        "(scaled_gyro); no orientation (orientation_covariance[0] = -1); covariance[0] = -1 where the packet lacks "
        "the value",
    ),
    (
        "imu/data",
        "sensor_msgs/msg/Imu",
        IMU,
        "filter packets: orientation x, y, z, w (est_orient_quaternion, sent w first), angular_velocity rad/s "
        "(est_angular_rate), linear_acceleration m/s² (est_compensated_accel); covariance[0] = -1 where the value "
        "is absent or flagged invalid",
    ),
    (
        "imu/pressure",
        "sensor_msgs/msg/FluidPressure",
        FLUID_PRESSURE,
        "scaled_ambient_pressure in Pa; variance 0 (unknown)",
    ),
    ("imu/delta_theta", "geometry_msgs/msg/Vector3Stamped", VECTOR3_STAMPED, "delta_theta in rad"),
    (
        "imu/delta_vel",
        "geometry_msgs/msg/Vector3Stamped",
        VECTOR3_STAMPED,
        f"delta_vel in m/s (g·s x {STANDARD_GRAVITY})",
    ),
    ("imu/linear_accel", "geometry_msgs/msg/Vector3Stamped", VECTOR3_STAMPED, "est_linear_accel in m/s²"),
    ("imu/gravity", "geometry_msgs/msg/Vector3Stamped", VECTOR3_STAMPED, "est_gravity_vector in m/s²"),
    (
        "imu/attitude_uncertainty",
        "geometry_msgs/msg/QuaternionStamped",
        QUATERNION_STAMPED,
        "est_attitude_uncert_quaternion as x, y, z, w (sent w first)",
    ),
    ("imu/pressure_altitude", "vorn_msgs/msg/Altitude", ALTITUDE, "est_pressure_alt in m"),
    (
        "imu/invalid_fields",
        "vorn_msgs/msg/InvalidFields",
        INVALID_FIELDS,
        "the names the filter packet flagged invalid, one message per filter packet",
    ),
)
DATA_RAW, DATA, PRESSURE, DELTA_THETA, DELTA_VEL, LINEAR, GRAVITY, UNCERTAINTY, ALTITUDE_CH, INVALID = range(1, 11)


def zstd_compress():
    try:
        from compression import zstd  # 3.14 and later
    except ImportError:
        try:
            from backports import zstd
        except ImportError:
            raise missing("zstd", "mcap", "MCAP export") from None
    options = {zstd.CompressionParameter.compression_level: ZSTD_LEVEL}
    options.update({getattr(zstd.CompressionParameter, k): v for k, v in ZSTD_TUNING.items()})
    # A compressor (its context and tables) per thread, kept from chunk to chunk.
    mine = threading.local()

    def compress(data) -> bytes:
        c = getattr(mine, "compressor", None)
        if c is None:
            c = mine.compressor = zstd.ZstdCompressor(options=options)
        return c.compress(data, mode=zstd.ZstdCompressor.FLUSH_FRAME)

    return compress


class Chunk:
    """A closed chunk's records on their way to a compressor, or compressed
    by the packing thread instead (done: what squeeze gives)."""

    __slots__ = ("done", "future", "records")

    def __init__(self, records, future) -> None:
        self.records, self.future, self.done = records, future, None

    def ready(self) -> bool:
        return self.done is not None or self.future.done()

    def take_over(self) -> bool:
        """Whether the compressors gave this chunk up, not having begun it."""
        return self.done is None and self.future.cancel()

    def result(self) -> tuple:
        return self.done if self.done is not None else self.future.result()


def compressors() -> int:
    """Threads to compress chunks in: one for each core this process may use
    beside the one that packs them (and frames the recording), at least one
    and at most COMPRESSORS. On two cores a second compressor only takes
    turns with the packing, which the whole export waits for: measured here,
    one compressor is a tenth faster than two."""
    try:
        cores = len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        cores = os.cpu_count() or 1
    return max(1, min(COMPRESSORS, cores - 1))


class Messages:
    """CDR bodies of each channel's message type for one frame id: each a single
    struct, the header's string fixed in length by the frame id."""

    def __init__(self, frame_id: str) -> None:
        frame = frame_id.encode() + b"\0"
        pad = -(4 + 4 + 4 + len(frame)) % 8  # the doubles after the header align to 8
        head = f"<4siII{len(frame)}s{pad}x"
        self.frame = frame
        self.imu = struct.Struct(head + "37d").pack
        self.pressure = struct.Struct(head + "2d").pack
        self.vector = struct.Struct(head + "3d").pack
        self.quaternion = struct.Struct(head + "4d").pack
        self.altitude = struct.Struct(head + "d").pack
        self.names_head = struct.Struct(f"<4siII{len(frame)}s{-len(frame) % 4}xI").pack

    def header(self, t: int) -> tuple:
        return CDR_LE, t // 1_000_000_000, t % 1_000_000_000, len(self.frame), self.frame

    def names(self, t: int, names: list[str]) -> bytes:
        out = bytearray(self.names_head(*self.header(t), len(names)))
        for name in names:
            out += b"\0" * (-(len(out) - 4) % 4)
            b = name.encode() + b"\0"
            out += struct.pack("<I", len(b)) + b
        return bytes(out)


COL = {name: i for i, name in enumerate(ROW_COLUMNS)}
UNKNOWN = (0.0,) * 9
NOT_GIVEN = (-1.0,) + (0.0,) * 8


def vector(row, field: str, scale: float = 1.0):
    i = COL[field + "_x"]
    x = row[i]
    return None if x is None else (x * scale, row[i + 1] * scale, row[i + 2] * scale)


def quaternion(row, field: str):
    """x, y, z, w from the unit's w, x, y, z."""
    w, x, y, z = (row[COL[f"{field}_{part}"]] for part in QUATERNION_PARTS)
    return None if w is None else (x, y, z, w)


def imu(m: Messages, t: int, orientation, rate, accel, flagged=(), cov=(UNKNOWN, UNKNOWN)) -> bytes:
    """An Imu message; a value absent or flagged invalid keeps what the unit sent
    (zeros if nothing) and says so with -1 in element 0 of its covariance. cov:
    the angular-velocity and linear-acceleration covariances otherwise."""
    return m.imu(
        *m.header(t),
        *(orientation or (0.0, 0.0, 0.0, 1.0)),
        *(NOT_GIVEN if orientation is None or flag_name("est_orient_quaternion") in flagged else UNKNOWN),
        *(rate or (0.0, 0.0, 0.0)),
        *(NOT_GIVEN if rate is None or flag_name("est_angular_rate") in flagged else cov[0]),
        *(accel or (0.0, 0.0, 0.0)),
        *(NOT_GIVEN if accel is None or flag_name("est_compensated_accel") in flagged else cov[1]),
    )


def flag_name(field: str) -> str:
    """The name the unit's invalid list gives field."""
    return FIELDS[field]["invalid_name"]


def converters(frame: str):
    """vector() and quaternion() of the frame: as the unit sends them, or in
    REP 103's body frame. The attitude uncertainty stays per quaternion part."""
    if frame == "rep103":
        return (
            lambda row, field, scale=1.0: ros_conventions.body_vector(vector(row, field, scale)),
            lambda row, field: ros_conventions.body_orientation(quaternion(row, field)),
        )
    return vector, quaternion


def write_packets(w, m: Messages, timed_rows, frame: str = "unit", cov=(UNKNOWN, UNKNOWN)) -> None:
    """Each packet's messages into w.message(channel id, log time, data), one
    at a time (vorn live; the export packs them natively, the same bytes),
    logged at its arrival and stamped with its time:
    raw packets on imu/data_raw and the raw side channels, filter packets on
    imu/data and the filter side channels; in REP 103's body frame when frame
    is "rep103"."""
    g = STANDARD_GRAVITY
    send = w.message
    vec, orientation = converters(frame)
    kind, invalid_at, pressure_at, altitude_at = (
        COL[c] for c in ("packet_type", "invalid_fields", "scaled_ambient_pressure", "est_pressure_alt")
    )
    for rows in timed_rows:
        for t, s, row in rows:
            if row[kind] == "raw":
                send(DATA_RAW, t, imu(m, s, None, vec(row, "scaled_gyro"), vec(row, "scaled_accel", g), (), cov))
                p = row[pressure_at]
                if p is not None:
                    send(PRESSURE, t, m.pressure(*m.header(s), p, 0.0))
                for cid, field, scale in ((DELTA_THETA, "delta_theta", 1.0), (DELTA_VEL, "delta_vel", g)):
                    v = vec(row, field, scale)
                    if v is not None:
                        send(cid, t, m.vector(*m.header(s), *v))
                continue
            invalid = row[invalid_at]
            names = invalid.split(",") if invalid else []
            send(
                DATA,
                t,
                imu(
                    m,
                    s,
                    orientation(row, "est_orient_quaternion"),
                    vec(row, "est_angular_rate"),
                    vec(row, "est_compensated_accel"),
                    names,
                    cov,
                ),
            )
            for cid, field in ((LINEAR, "est_linear_accel"), (GRAVITY, "est_gravity_vector")):
                v = vec(row, field)
                if v is not None:
                    send(cid, t, m.vector(*m.header(s), *v))
            q = quaternion(row, "est_attitude_uncert_quaternion")
            if q is not None:
                send(UNCERTAINTY, t, m.quaternion(*m.header(s), *q))
            alt = row[altitude_at]
            if alt is not None:
                send(ALTITUDE_CH, t, m.altitude(*m.header(s), alt))
            send(INVALID, t, m.names(s, names))


def timed(rec, rate: float | None, info: dict, sampled=None):
    """Batches of (time, stamp, row): each packet at its arrival time, or where
    its read has no vouched time at the time extrapolated for it (runs of
    those in info["extrapolated"]: first and last ns and how many); with rate,
    every packet from it instead: raw packet k at k/rate s, filter packets
    between the raw packets around them (they interleave in time). The stamp
    is the packet's sample time from `sampled` (every packet's, in stream
    order) where it has one, else the same time. info records how."""
    step = None if rate is None else 1e9 / rate
    n = known = raws = since = 0
    runs: list[list[int]] = []
    last_guess = False
    kind = COL["packet_type"]
    for stamp, rows in rec.reads():
        if not rows:
            continue
        out = []
        guess = type(stamp) is Estimate
        for row in rows:
            if step is not None:
                if row[kind] == "raw":
                    t, raws, since = round(raws * step), raws + 1, 0
                else:
                    since += 1
                    t = round(((raws - 1) + 1 - 0.5**since) * step) if raws else 0
            elif stamp is None:
                raise ValueError(
                    f"{rec.path}: no arrival times ({times_path(rec.path).name} is missing or vouches "
                    "for none); give --rate HZ (raw packets per second) to stamp packets from it"
                )
            else:
                t = stamp.wall_ns
                if guess:
                    if last_guess:
                        runs[-1][1:] = [t, runs[-1][2] + 1]
                    else:
                        runs.append([t, t, 1])
                else:
                    known += 1
            last_guess = guess and step is None
            out.append((t, t if sampled is None or n >= len(sampled) or sampled[n] < 0 else int(sampled[n]), row))
            n += 1
        yield out
    info.update(packets=n, timed=known, extrapolated=runs, replaced=step is not None and rec.times.timed)


def time_note(info: dict, rate: float | None) -> str:
    if rate is not None:
        return (
            f"synthetic: raw packets counted at {rate:g}/s from 0 (--rate), filter packets between the raw "
            "packets around them; "
            + (
                "the recording's arrival times are replaced"
                if info["replaced"]
                else "the recording has no arrival times"
            )
        )
    arrival = "arrival: the host's wall clock (ns since the Unix epoch) at the read that completed the packet"
    if info["timed"] == info["packets"]:
        return arrival
    return (
        f"{arrival}; {info['packets'] - info['timed']:,} packets whose reads have no vouched time are stamped "
        "by extrapolation from the recording's rate over its timed reads (their log times: 'extrapolated')"
    )


def columns(rec, rate: float | None, stamps: str, baud: int | None, info: dict):
    """(kinds, values, flags, stamp, log_time) of the recording a piece at a
    time, as the native writer takes them: packet kinds (uint8), every value
    component and every flag in record order (float32, NaN where absent;
    uint8), header.stamp and the log time of each packet (int64 ns), the
    times as timed() gives them. Needs numpy; info as timed() fills it."""
    import numpy as np

    every_value = [c for f in VALUE_FIELDS for c in value_columns(f)]
    flags = [flag_column(f) for f in FLAG_FIELDS]
    clock = None if rate is None else RateClock(rate)
    n = known = 0
    runs: list[list[int]] = []
    last_guess = False
    # The sample clock only where header.stamp takes its times.
    for chunk in rec.columns(baud=baud, extrapolated=True, sample=clock is None and stamps != "arrival"):
        kinds = chunk["packet_type"]
        m = len(kinds)
        if clock is not None:
            times = stamp = clock.times(kinds)
        else:
            times = np.ascontiguousarray(chunk["host_time_ns"], np.int64)
            guess = chunk["extrapolated"]
            known += m - int(guess.sum())
            if guess.any():
                edges = np.flatnonzero(np.diff(np.concatenate(([False], guess, [False])).astype(np.int8)))
                for first, stop in zip(edges[::2].tolist(), edges[1::2].tolist()):
                    if first == 0 and last_guess:
                        runs[-1][1:] = [int(times[stop - 1]), runs[-1][2] + stop]
                    else:
                        runs.append([int(times[first]), int(times[stop - 1]), stop - first])
            last_guess = bool(guess[-1])
            sample = chunk["time_ns"]
            stamp = times if stamps == "arrival" else np.where(sample >= 0, sample, times)
        n += m
        yield (
            kinds,
            [np.ascontiguousarray(chunk[c]) for c in every_value],
            [np.ascontiguousarray(chunk[c]).view(np.uint8) for c in flags],
            np.ascontiguousarray(stamp, np.int64),
            times,
        )
    info.update(packets=n, timed=known, extrapolated=runs, replaced=clock is not None and rec.times.timed)


class RateClock:
    """Times from a rate of raw packets, chunk after chunk: raw packet k at
    k/rate s from 0, filter packets between the raw packets around them (they
    interleave in time), at half the way to the next, then a quarter, ...
    What --rate means wherever it applies. Needs numpy."""

    def __init__(self, rate: float) -> None:
        self.step = 1e9 / rate
        self.raws = 0  # raw packets so far
        self.since = 0  # filter packets since the last raw one

    def times(self, kinds):
        """The times of the next packets (their kinds), int64 ns."""
        import numpy as np

        m = len(kinds)
        if not m:
            return np.empty(0, np.int64)
        is_raw = kinds == KINDS.index("raw")
        counted = np.cumsum(is_raw) + self.raws  # raw packets up to each packet, itself included
        at = np.arange(m)
        last_raw = np.maximum.accumulate(np.where(is_raw, at, -1))
        after = np.where(last_raw >= 0, at - last_raw, self.since + at + 1)  # filter packets since the last raw
        position = np.where(is_raw, counted - 1, counted - np.power(0.5, after))
        times = np.where(is_raw | (counted > 0), np.rint(position * self.step), 0).astype(np.int64)
        self.raws, self.since = int(counted[-1]), int(after[-1]) if not is_raw[-1] else 0
        return times


def columns_from_rows(rec, rate: float | None, info: dict):
    """columns() without numpy (header.stamp the log time): the same arrays
    from the rows timed() gives."""
    from array import array

    nan = float("nan")
    every_value = [COL[c] for f in VALUE_FIELDS for c in value_columns(f)]
    flag_names = [flag_name(f) for f in FLAG_FIELDS]
    kind_at, invalid_at = COL["packet_type"], COL["invalid_fields"]
    for batch in timed(rec, rate, info):
        kinds, times = array("B"), array("q")
        values = [array("f") for _ in every_value]
        flags = [array("B") for _ in flag_names]
        for t, _, row in batch:
            kinds.append(KINDS.index(row[kind_at]))
            times.append(t)
            for column, i in zip(values, every_value):
                v = row[i]
                column.append(nan if v is None else v)
            invalid = row[invalid_at]
            named = invalid.split(",") if invalid else ()
            for column, name in zip(flags, flag_names):
                column.append(name in named)
        yield kinds, values, flags, times, times


def sliced(piece, cut: slice) -> tuple:
    """Packets cut of a piece as columns() gives it."""
    kinds, values, flags, stamp, log_time = piece
    return kinds[cut], [v[cut] for v in values], [f[cut] for f in flags], stamp[cut], log_time[cut]


def write_mcap(
    rec,
    f,
    *,
    frame_id: str,
    prefix: str,
    rate: float | None,
    stamps: str = "sample",
    frame: str = "rep103",
    noise=None,
    baud: int | None = None,
):
    """The recording's packets as one MCAP file into f; what was written (its
    counts by channel id and its span of log times) and the channels by id,
    for a rosbag2 directory. stamps: what header.stamp holds
    (ros_conventions.STAMPS); frame: ros_conventions.FRAMES; noise: an
    imu.yaml of `vorn noise` for the covariances; baud: the line's, for the
    sample times where the recording does not say."""
    compress = zstd_compress()
    if rate is None and not rec.times.timed:
        raise ValueError(
            f"{rec.path}: no arrival times ({times_path(rec.path).name} is missing or vouches for "
            "none); give --rate HZ (raw packets per second) to stamp packets from it"
        )
    if stamps not in ros_conventions.STAMPS or frame not in ros_conventions.FRAMES:
        raise ValueError(f"stamps must be one of {ros_conventions.STAMPS} and frame one of {ros_conventions.FRAMES}")
    ros_conventions.check_frame_id(frame_id)
    cov = None if noise is None else ros_conventions.covariances(ros_conventions.read_noise(noise))
    try:
        import numpy  # noqa: F401
    except ImportError:
        has_numpy = False
    else:
        has_numpy = True
    # --rate replaces the recording's times: its stamps are the synthetic ones too.
    sampled = stamps == "sample" and rate is None
    if sampled and not has_numpy:
        raise missing("numpy", "mcap", 'header.stamp at the sample time (stamps "sample")')
    from vorn import __version__

    w = _native.McapWriter(
        "ros2", f"vorn {__version__}", frame_id, CHUNK_SIZE, body_frame=frame == "rep103", covariances=cov
    )
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
    pieces = columns(rec, rate, stamps, baud, info) if has_numpy else columns_from_rows(rec, rate, info)
    # Chunks are compressed (and their CRCs worked out) in threads of their own
    # while the next are packed: a piece is packed a slice at a time, and the
    # chunks compressed so far written between slices, so that packing never
    # waits for the compressors unless PENDING chunks are in their hands.
    with ThreadPoolExecutor(compressors()) as pool:
        waiting: deque[Chunk] = deque()

        def squeeze(records) -> tuple:
            return compress(records), w.crc32(records)

        def send(closed) -> None:
            waiting.extend(Chunk(records, pool.submit(squeeze, records)) for records in closed)

        def write_chunks(keep: int) -> None:
            while waiting and (len(waiting) > keep or waiting[0].ready()):
                if not waiting[0].ready():
                    # Rather than wait for the compressors, compress the newest
                    # chunk they have not begun.
                    spare = next((c for c in reversed(waiting) if c.take_over()), None)
                    if spare is not None:
                        spare.done = squeeze(spare.records)
                        continue
                w.write_chunk("zstd", *waiting.popleft().result())
                f.write(w.take())

        for piece in pieces:
            n = len(piece[0])
            for at in range(0, n, PACK_SLICE):
                try:
                    closed = w.pack(*(piece if n <= PACK_SLICE else sliced(piece, slice(at, at + PACK_SLICE))))
                except ValueError as e:
                    raise ValueError(f"{rec.path}: {e}") from None
                send(closed)
                write_chunks(PENDING)
        send(w.close_chunk())
        write_chunks(0)
    rec.require_packets()
    stamped = (
        "the unit's sample time, recovered from the arrival times by the lower envelope of arrival "
        "against sample number (vorn.sample_clock), on the same clock"
        if sampled
        else "the same as log_time"
    )
    if sampled and info["extrapolated"]:
        stamped += "; a packet without a vouched arrival: the same as log_time, extrapolated"
    meta = {
        "recording": Path(rec.path).name,
        "time": time_note(info, rate),
        "log_time": "the time above",
        "header.stamp": stamped,
        "frame_id": frame_id,
        "frame": ros_conventions.frame_text(frame),
        "covariance": (
            f"angular velocity and linear acceleration from {Path(noise).name} (vorn noise): "
            "white-noise density squared times its update_rate on the diagonal"
            if noise is not None
            else "unknown (0)"
        ),
    }
    if info["extrapolated"]:
        meta["extrapolated"] = json.dumps(info["extrapolated"])  # [first ns, last ns, packets] per run
    meta.update({topics[cid][0]: units for cid, (*_, units) in enumerate(CHANNELS, 1)})
    w.metadata("vorn", meta)
    w.finish()
    f.write(w.take())
    return SimpleNamespace(counts=w.counts(), span=w.span()), topics


def write(rec, out, *, frame_id: str, prefix: str, rate: float | None, **options) -> None:
    with open(out, "wb") as f:
        write_mcap(rec, f, frame_id=frame_id, prefix=prefix, rate=rate, **options)
