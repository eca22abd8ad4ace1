"""REP 103's body frame worked out by hand, to hold the packer's against.

The unit's axes: x forward, y right, z down, its orientation against north,
east, down. REP 103's body frame: x forward, y left, z up, against east,
north, up. A vector turns by half a turn about x, (x, y, z) -> (x, -y, -z);
an orientation q becomes ENU_FROM_NED * q * FRD_FROM_FLU.
"""

import math

from vorn_model import _qmul as qmul  # the Hamilton product of quaternions given w, x, y, z

HALF = math.sqrt(0.5)
ENU_FROM_NED = (0.0, HALF, HALF, 0.0)  # w, x, y, z: swaps north and east, turns down into up
FRD_FROM_FLU = (0.0, 1.0, 0.0, 0.0)  # half a turn about x


def body_vector(v):
    """A vector of the unit's axes in REP 103's body frame."""
    return (v[0], -v[1], -v[2])


def body_orientation(q_xyzw):
    """An orientation (ROS's x, y, z, w) of the unit's frame against NED as
    REP 103's body frame against ENU, w kept non-negative."""
    x, y, z, w = q_xyzw
    r = qmul(qmul(ENU_FROM_NED, (w, x, y, z)), FRD_FROM_FLU)
    if r[0] < 0:
        r = tuple(-c for c in r)
    return (r[1], r[2], r[3], r[0])
