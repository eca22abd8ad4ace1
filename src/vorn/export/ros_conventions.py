"""What a ROS driver's user expects of an Imu message beyond its fields: the
body frame of REP 103 and covariances from the unit's measured noise.

The unit's axes: x forward, y right, z down (lying level and still, its
scaled acceleration reads (0, 0, -1) g), and its filter's orientation is that
frame's against north, east, down. REP 103's body frame is x forward, y left,
z up, against east, north, up: a vector turns by half a turn about x,
(x, y, z) -> (x, -y, -z), and an orientation q becomes ENU_FROM_NED * q *
FRD_FROM_FLU.
"""

from __future__ import annotations

import math

FRAMES = ("unit", "rep103")
DEFAULT_FRAME = "rep103"  # of every ROS-facing output: what every ROS consumer assumes
FRAME_TEXT = {
    "rep103": "REP 103 body frame: x forward, y left, z up (from the unit's x forward, y right, z down); "
    "orientation against east, north, up",
    "unit": "the unit's own axes as it sends them: x forward, y right, z down; orientation against north, "
    "east, down; no frame conversion",
}
STAMPS = ("sample", "arrival")  # what header.stamp holds; the log time is the arrival
HALF = math.sqrt(0.5)
ENU_FROM_NED = (0.0, HALF, HALF, 0.0)  # w, x, y, z: swaps north and east, turns down into up
FRD_FROM_FLU = (0.0, 1.0, 0.0, 0.0)  # half a turn about x


def frame_text(frame: str) -> str:
    """What the axes of frame are, in a line."""
    return FRAME_TEXT[frame]


def check_frame_id(frame_id: str) -> str:
    """frame_id as tf2 takes it: ValueError for an empty one or one that
    begins with a slash."""
    if not frame_id:
        raise ValueError("frame id must not be empty (tf2 refuses it)")
    if frame_id.startswith("/"):
        raise ValueError(f"frame id must not begin with '/' (tf2 refuses it): {frame_id!r}")
    return frame_id


def qmul(a, b):
    """The Hamilton product a * b of quaternions given w, x, y, z."""
    aw, ax, ay, az = a
    bw, bx, by, bz = b
    return (
        aw * bw - ax * bx - ay * by - az * bz,
        aw * bx + ax * bw + ay * bz - az * by,
        aw * by - ax * bz + ay * bw + az * bx,
        aw * bz + ax * by - ay * bx + az * bw,
    )


def body_vector(v):
    """A vector of the unit's axes in REP 103's body frame."""
    return None if v is None else (v[0], -v[1], -v[2])


def body_orientation(q_xyzw):
    """An orientation (ROS's x, y, z, w) of the unit's frame against NED as
    REP 103's body frame against ENU, w kept non-negative."""
    if q_xyzw is None:
        return None
    x, y, z, w = q_xyzw
    r = qmul(qmul(ENU_FROM_NED, (w, x, y, z)), FRD_FROM_FLU)
    if r[0] < 0:
        r = tuple(-c for c in r)
    return (r[1], r[2], r[3], r[0])


def read_noise(path) -> dict:
    """The flat imu.yaml of `vorn noise --yaml`: name to number. OSError
    naming it when it cannot be read, ValueError when it lacks a figure."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    out = {}
    for line in lines:
        line = line.split("#", 1)[0].strip()
        if ":" not in line:
            continue
        key, value = (s.strip() for s in line.split(":", 1))
        try:
            out[key] = float(value)
        except ValueError:
            continue  # rostopic and other text
    wanted = ("accelerometer_noise_density", "gyroscope_noise_density", "update_rate")
    missing = [k for k in wanted if k not in out]
    if missing:
        raise ValueError(f"{path}: no {', '.join(missing)} (write it with `vorn noise FILE --yaml {path}`)")
    if not all(out[k] >= 0 and math.isfinite(out[k]) for k in wanted) or out["update_rate"] <= 0:
        raise ValueError(f"{path}: noise densities and update_rate must be finite, the rate above 0")
    return out


def covariances(noise: dict) -> tuple[tuple[float, ...], tuple[float, ...]]:
    """The angular-velocity and linear-acceleration covariance matrices (row
    major, 3 x 3): each axis's per-sample variance, the white-noise density
    squared times the rate it was measured at, on the diagonal."""
    rate = noise["update_rate"]

    def diagonal(v: float) -> tuple[float, ...]:
        return (v, 0.0, 0.0, 0.0, v, 0.0, 0.0, 0.0, v)

    return (
        diagonal(noise["gyroscope_noise_density"] ** 2 * rate),
        diagonal(noise["accelerometer_noise_density"] ** 2 * rate),
    )
