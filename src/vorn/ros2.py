"""The unit live in a ROS 2 graph: the batches of vorn.open published as the
ROS 2 messages of the MCAP export (the same topics under the node's namespace,
the same CDR bytes from the same native packer), and the stream's health on
/diagnostics.

    import rclpy, vorn
    from vorn.ros2 import Publisher

    rclpy.init()
    node = rclpy.create_node("imu")
    publisher = Publisher(node, frame_id="imu_link")
    with vorn.open("/dev/ttyUSB0", lookahead=0) as stream:
        for batch in stream:
            publisher.publish(batch)

Topics (relative: under the node's namespace, remapped as any ROS 2 topic):
imu/data_raw and imu/data (sensor_msgs/msg/Imu), imu/pressure
(sensor_msgs/msg/FluidPressure), imu/delta_theta, imu/delta_vel,
imu/linear_accel, imu/gravity (geometry_msgs/msg/Vector3Stamped) and
imu/attitude_uncertainty (geometry_msgs/msg/QuaternionStamped). The export's
imu/pressure_altitude and imu/invalid_fields are of message types of its own,
which no ROS 2 installation holds: they are not published (diagnostics count
the flagged fields; a flagged value's covariance says so with -1).

QoS as REP 2003 asks of a sensor driver: reliable, volatile, keep last, so
that reliable subscribers and SensorDataQoS (best-effort) ones both match;
reliability="best_effort" publishes best-effort. The history keeps a second of
the unit (1000 messages a topic) rather than 10: while the sample clock warms
up, and after a loss, packets are handed over in bursts of up to 0.3 s, which
a reliable subscriber must get whole.

rclpy is imported when a Publisher is made: from a sourced ROS 2 (Humble,
Jazzy, ...) or from the package index (pip install 'vorn_rs[ros2]': x86-64,
CPython 3.10-3.13 with the GIL).
"""

from __future__ import annotations

import math
import os
import time
from collections import deque
from collections.abc import Mapping
from typing import TYPE_CHECKING

from vorn.fields import KINDS
from vorn.ros_messages import CHANNELS, DEFAULT_FRAME_ID, DEPTH, FRAMES, RELIABILITIES, STAMPS, BatchPacker

if TYPE_CHECKING:
    import numpy as np

__all__ = ["FRAMES", "RELIABILITIES", "STAMPS", "TOPICS", "Diagnostics", "Publisher", "require_rclpy"]

INSTALL_HINT = (
    "vorn's ROS 2 node needs rclpy: source a ROS 2 installation (Humble, Jazzy, ...), or "
    "pip install 'vorn_rs[ros2]' (x86-64, CPython 3.10-3.13 with the GIL)"
)
DIAGNOSTICS_DEPTH = 10
# How often the subscribers of each topic are counted again (s): a subscriber
# matched since misses at most this much, as it would have by matching later.
MATCH_REFRESH_S = 0.05

# The packer's topics in the order of its output (the channel ids), each with
# its ROS 2 message type (module, class), or None where the type is ours alone.
TOPICS: tuple[tuple[str, tuple[str, str] | None], ...] = tuple((ch.topic, ch.python_type) for ch in CHANNELS)


def require_rclpy():
    """The rclpy module; ImportError saying how to get it."""
    try:
        import rclpy
    except ImportError as e:
        raise ImportError(INSTALL_HINT, name="rclpy") from e
    return rclpy


def qos_profile(reliability: str):
    """REP 2003's sensor-driver QoS: keep last (DEPTH), volatile; reliable unless asked."""
    from rclpy.qos import DurabilityPolicy, HistoryPolicy, QoSProfile, ReliabilityPolicy

    if reliability not in RELIABILITIES:
        raise ValueError(f"reliability must be one of {RELIABILITIES}, not {reliability!r}")
    return QoSProfile(
        history=HistoryPolicy.KEEP_LAST,
        depth=DEPTH,
        reliability=ReliabilityPolicy.RELIABLE if reliability == "reliable" else ReliabilityPolicy.BEST_EFFORT,
        durability=DurabilityPolicy.VOLATILE,
    )


def message_type(module: str, name: str):
    import importlib

    return getattr(importlib.import_module(module), name)


class Publisher:
    """Publishes batches of vorn.open on a node the caller owns.

    frame_id: header.frame_id (tf2's rules). frame: "rep103" (REP 103's body
    frame: x forward, y left, z up, orientation against east, north, up) or
    "unit" (the unit's axes as sent: x forward, y right, z down, against
    north, east, down). noise: an imu.yaml of `vorn noise` for the raw
    sensor's angular-velocity and linear-acceleration covariances
    (imu/data_raw; unknown otherwise). stamps: header.stamp is the sample time
    ("sample", where the batch has one) or the arrival ("arrival").
    reliability: "reliable" or "best_effort". ValueError for anything else,
    OSError for a noise file that cannot be read, ImportError without rclpy.
    """

    def __init__(
        self,
        node,
        *,
        frame_id: str = DEFAULT_FRAME_ID,
        frame: str = "rep103",
        noise: str | os.PathLike[str] | None = None,
        stamps: str = "sample",
        reliability: str = "reliable",
    ) -> None:
        require_rclpy()
        self._packer = BatchPacker(frame_id, frame=frame, stamps=stamps, noise=noise)
        qos = qos_profile(reliability)
        self.node = node
        self.frame_id, self.frame, self.stamps, self.reliability = frame_id, frame, stamps, reliability
        self._publishers = [
            None if kind is None else node.create_publisher(message_type(*kind), topic, qos) for topic, kind in TOPICS
        ]
        self.packets = 0
        self.messages = 0
        self._matched: list[bool] = []
        self._matched_until = 0.0

    @property
    def topics(self) -> list[str]:
        """The full names of the topics published (namespace and remaps applied)."""
        return [p.topic_name for p in self._publishers if p is not None]

    def publish(self, batch: Mapping) -> int:
        """Publishes every packet of a batch (a vorn.Columns of vorn.open, or
        any mapping of its columns) on each topic some subscriber takes;
        returns the messages published."""
        kinds = batch["packet_type"]
        if not len(kinds):
            return 0
        topics = self._packer.pack(batch)
        now = time.monotonic()
        if now >= self._matched_until:
            # A message no subscriber takes is not handed to the middleware at
            # all (the topics are volatile: nobody could get it later), which
            # is most of the node's cost at the unit's rate.
            self._matched = [p is not None and p.get_subscription_count() > 0 for p in self._publishers]
            self._matched_until = now + MATCH_REFRESH_S
        sent = 0
        for publisher, matched, messages in zip(self._publishers, self._matched, topics):
            if not matched:
                continue
            for message in messages:
                publisher.publish(message)
            sent += len(messages)
        self.packets += len(kinds)
        self.messages += sent
        return sent

    def destroy(self) -> None:
        """Removes the publishers from the node."""
        for p in self._publishers:
            if p is not None:
                self.node.destroy_publisher(p)
        self._publishers = [None] * len(self._publishers)


# A stream's first 2 s (and each segment's after a gap) are the sample
# clock's warm-up, as vorn.open says.
WARM_UP_NS = 2_000_000_000
RATE_DROP = 0.9  # WARN below this share of the best rate seen over a whole window
WINDOW_S = 1.0  # the rate and jitter are measured over the last second


class StreamHealth:
    """One kind of packet's figures: its packets' arrival and sample times
    kept as they come, worked out once per status (rate and arrival jitter
    over the last second; lost packets from gaps in the sample times)."""

    def __init__(self) -> None:
        self.pending: list[tuple[np.ndarray, np.ndarray]] = []  # (arrivals, samples) not yet looked at
        self.recent = deque()  # (arrival, sample, lost before it) over the last window
        self.packets = 0
        self.lost = 0
        self.best_rate = 0.0
        self.period_ns = 0.0  # the median spacing of the sample times
        self.last_sample = -1
        self.segment_start = -1

    def add(self, arrivals: np.ndarray, samples: np.ndarray) -> None:
        if len(arrivals):
            self.pending.append((arrivals, samples))

    def restart(self) -> None:
        """A gap: the next packet begins a segment."""
        self.take()
        self.last_sample = -1
        self.segment_start = -1

    def take(self) -> None:
        """The pending packets counted."""
        if not self.pending:
            return
        import numpy as np

        arrivals = np.concatenate([a for a, _ in self.pending])
        samples = np.concatenate([s for _, s in self.pending])
        self.pending = []
        if self.segment_start < 0:
            self.segment_start = int(samples[0]) if samples[0] >= 0 else int(arrivals[0])
        timed = np.flatnonzero(samples >= 0)
        lost = np.zeros(len(samples), np.int64)
        seq = samples[timed]
        if self.last_sample >= 0:
            seq = np.concatenate(([self.last_sample], seq))
            timed = np.concatenate(([-1], timed))
        if len(seq) > 1:
            d = np.diff(seq)
            if self.period_ns == 0:
                self.period_ns = float(np.median(d))
            if self.period_ns > 0:
                lost[timed[1:]] = np.maximum(np.rint(d / self.period_ns) - 1, 0)
        if len(seq):
            self.last_sample = int(seq[-1])
        self.packets += len(arrivals)
        self.lost += int(lost.sum())
        self.recent.extend(zip(arrivals.tolist(), samples.tolist(), lost.tolist()))

    def window(self, now_ns: int) -> dict:
        self.take()
        while self.recent and self.recent[0][0] < now_ns - WINDOW_S * 1e9:
            self.recent.popleft()
        n = len(self.recent)
        late = sorted(a - s for a, s, _ in self.recent if s >= 0)
        warm = self.segment_start >= 0 and now_ns - self.segment_start < WARM_UP_NS
        return {
            "rate": n / WINDOW_S,
            "lost": sum(x for *_, x in self.recent),
            "jitter_p50_ms": late[len(late) // 2] / 1e6 if late else math.nan,
            "jitter_p99_ms": late[min(len(late) - 1, int(0.99 * len(late)))] / 1e6 if late else math.nan,
            "warm_up": warm,
        }


class Diagnostics:
    """The stream's health as diagnostic_msgs/DiagnosticArray, one status per
    kind of packet, hardware_id the port: OK, WARN when the rate drops or
    packets are lost, ERROR while the port is gone (or nothing arrives)."""

    def __init__(self, node, hardware_id: str, stream=None) -> None:
        from diagnostic_msgs.msg import DiagnosticArray

        self.node = node
        self.hardware_id = hardware_id
        self.stream = stream
        self.kinds = {kind: StreamHealth() for kind in KINDS}
        self.gaps = 0
        self.port_state = "open"
        self.last_packet_ns = time.time_ns()
        self._pub = node.create_publisher(DiagnosticArray, "/diagnostics", DIAGNOSTICS_DEPTH)

    def add(self, batch: Mapping) -> None:
        """Counts a batch's packets (and the gap before it, if any)."""
        import numpy as np

        if getattr(batch, "gap", None) is not None:
            self.gaps += 1
            for h in self.kinds.values():
                h.restart()
        kinds = np.asarray(batch["packet_type"])
        if not len(kinds):
            return
        arrival = np.asarray(batch["host_time_ns"], np.int64)
        sample = np.asarray(batch["time_ns"], np.int64) if "time_ns" in batch else np.full(len(kinds), -1)
        if len(kinds) == 1:  # the usual live batch: one packet
            self.kinds[KINDS[kinds[0]]].add(arrival, sample)
        else:
            for code, kind in enumerate(KINDS):
                mine = kinds == code
                self.kinds[kind].add(arrival[mine], sample[mine])
        self.port_state = "open"
        self.last_packet_ns = time.time_ns()

    def lost_port(self, why: str) -> None:
        self.port_state = f"gone ({why})"

    def clock_values(self, kind: str) -> dict[str, str]:
        """What the stream says of itself for one kind of packet, where it
        says it: its sample clock's state (vorn.sample_clock.ClockState) and
        the bytes it lost before framing."""
        values = {}
        try:
            mine = getattr(getattr(self.stream, "clock", None), kind, None)
            if mine is not None:
                values = {
                    "clock": "locked" if mine.locked else "warming up",
                    "clock drift (ppm)": f"{mine.drift_ppm:.2f}",
                    "clock residual (ms)": f"{mine.residual_ns / 1e6:.3f}",
                    "clock pauses": str(mine.pauses),
                    "clock lost samples": str(mine.lost),
                }
            lost_bytes = getattr(self.stream, "lost_bytes", None)
            if lost_bytes is not None:
                values["lost bytes (before framing)"] = str(lost_bytes)
        except Exception as e:  # what the stream says must not stop the diagnostics
            values["clock"] = f"unreadable ({type(e).__name__}: {e})"
        return values

    def status(self, now_ns: int | None = None):
        """The DiagnosticArray of now."""
        from diagnostic_msgs.msg import DiagnosticArray, DiagnosticStatus, KeyValue

        now_ns = time.time_ns() if now_ns is None else now_ns
        silent = (now_ns - self.last_packet_ns) / 1e9
        out = DiagnosticArray()
        out.header.stamp.sec, out.header.stamp.nanosec = divmod(now_ns, 1_000_000_000)
        for kind, h in self.kinds.items():
            w = h.window(now_ns)
            if w["rate"] > h.best_rate and not w["warm_up"]:
                h.best_rate = w["rate"]
            s = DiagnosticStatus()
            s.name = f"vorn: {'raw' if kind == 'raw' else 'filter'} packets"
            s.hardware_id = self.hardware_id
            if self.port_state != "open":
                s.level, s.message = DiagnosticStatus.ERROR, f"port {self.port_state}"
            elif silent > 2 * WINDOW_S and h.packets:
                s.level, s.message = DiagnosticStatus.ERROR, f"no packets for {silent:.1f} s"
            elif w["lost"]:
                s.level, s.message = DiagnosticStatus.WARN, f"{w['lost']} packets lost in the last second"
            elif h.best_rate and w["rate"] < RATE_DROP * h.best_rate:
                s.level, s.message = DiagnosticStatus.WARN, f"rate {w['rate']:.0f}/s, down from {h.best_rate:.0f}/s"
            else:
                s.level, s.message = DiagnosticStatus.OK, f"{w['rate']:.0f} packets/s"
            values = {
                "rate (packets/s)": f"{w['rate']:.1f}",
                "packets": str(h.packets),
                "lost packets": str(h.lost),
                "lost packets (last second)": str(w["lost"]),
                "arrival jitter p50 (ms)": f"{w['jitter_p50_ms']:.3f}",
                "arrival jitter p99 (ms)": f"{w['jitter_p99_ms']:.3f}",
                "clock warm-up": "yes" if w["warm_up"] else "no",
                "port": self.port_state,
                "reconnections": str(self.gaps),
                **self.clock_values(kind),
            }
            s.values = [KeyValue(key=k, value=v) for k, v in values.items()]
            out.status.append(s)
        return out

    def publish(self, now_ns: int | None = None):
        msg = self.status(now_ns)
        self._pub.publish(msg)
        return msg
