#!/usr/bin/env python3
"""vorn ros2 on a pseudo-terminal, seen by an rclpy subscriber in this process.
Runs in an interpreter that has rclpy (tools/ros2/ros2-python).

    bench/bench_ros2.py [--packets N] [--seconds S] [--json]

latency  Raw packets written one at a time into the pty master; the figure is
         the delay from the write to the subscriber's callback for its
         imu/data_raw message, `vorn ros2 PTY` (lookahead 0) in another
         process. Reference: vorn.open(PTY, lookahead=0) alone, in this
         process, the same writes to the return of its batch.
cpu      A simulated unit streams 1000 raw and 500 filter packets a second for
         S seconds; the node's CPU time (all threads) over wall time, imu/data_raw
         and imu/data subscribed reliably. Every raw packet must arrive once,
         in order of its stamps. Reference: a process draining vorn.open(PTY,
         lookahead=0) alone, the same stream (at most 10 s).
ceiling  Publisher.publish of a recording's batches (all at once) in this
         process: messages a second. Reference: rclpy publishing the same
         serialized messages, already packed.
"""

from __future__ import annotations

import argparse
import os
import signal
import statistics
import subprocess
import sys
import threading
import time
from pathlib import Path

from common import ROOT, Row, emit, percentile

# The stream model, for this process and the writer's (an interpreter of its
# own, which the checkout's path file does not reach).
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(ROOT / "model"), os.environ.get("PYTHONPATH")]))
sys.path.insert(0, str(ROOT / "model"))
from vorn_model import UnitSimulator  # noqa: E402

HERE = Path(__file__).resolve().parent
GAP = 0.005  # s between the packets of the latency run
WARM_UP = 20
GOAL_MEDIAN_FACTOR, GOAL_MEDIAN_PLUS_MS = 2.0, 1.0
GOAL_P99_MS = 5.0
GOAL_CPU_PERCENT = 10.0
WRITER = HERE / "pty_unit.py"


def graph_env() -> dict:
    env = dict(os.environ)
    env.pop("ROS_LOCALHOST_ONLY", None)
    env.setdefault("RMW_IMPLEMENTATION", "rmw_fastrtps_cpp")
    env.setdefault("ROS_DOMAIN_ID", str(100 + os.getpid() % 100))
    env.setdefault("ROS_AUTOMATIC_DISCOVERY_RANGE", "LOCALHOST")
    return env


def open_pty() -> tuple[int, str]:
    master, slave = os.openpty()
    path = os.ttyname(slave)
    os.close(slave)
    return master, path


def raw_wires(count: int) -> list[bytes]:
    pieces = UnitSimulator(seed=3, invalid_rate=0.0).packets(count / 1000 + 0.01)
    return [wire for _, wire, rec in pieces if rec is not None and rec["packet_type"] == "raw"][:count]


class Subscriber:
    """An rclpy node subscribed to topics (raw messages), spinning in a thread;
    each message's arrival (perf_counter) and bytes kept per topic."""

    def __init__(self, topics: list[str]) -> None:
        import rclpy
        from rclpy.executors import SingleThreadedExecutor
        from rclpy.qos import QoSProfile
        from sensor_msgs.msg import Imu

        self.got: dict[str, list] = {t: [] for t in topics}
        self.node = rclpy.create_node(f"bench_{os.getpid()}")
        for t in topics:
            self.node.create_subscription(
                Imu, t, lambda m, t=t: self.got[t].append((time.perf_counter(), m)), QoSProfile(depth=1000), raw=True
            )
        self.executor = SingleThreadedExecutor()
        self.executor.add_node(self.node)
        threading.Thread(target=self.executor.spin, daemon=True).start()

    def wait_matched(self, topic: str, limit: float = 20.0) -> None:
        deadline = time.monotonic() + limit
        while self.node.count_publishers(topic) == 0:
            if time.monotonic() > deadline:
                raise SystemExit(f"no publisher of {topic} appeared")
            time.sleep(0.05)
        time.sleep(0.5)  # the publisher finds this subscriber too

    def close(self) -> None:
        self.executor.shutdown()
        self.node.destroy_node()


def node_process(path: str, *extra: str) -> subprocess.Popen:
    proc = subprocess.Popen(
        [sys.executable, "-m", "vorn", "ros2", path, *extra],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=graph_env(),
    )
    if "publishing" not in proc.stderr.readline():
        raise SystemExit("vorn ros2 did not start")
    return proc


def stop(proc: subprocess.Popen) -> None:
    proc.send_signal(signal.SIGTERM)
    proc.communicate(timeout=10)


def latency_node(wires: list[bytes]) -> list[float]:
    master, path = open_pty()
    node = node_process(path, "--lookahead", "0")
    sub = Subscriber(["/imu/data_raw"])
    delays = []
    try:
        sub.wait_matched("/imu/data_raw")
        got = sub.got["/imu/data_raw"]
        for k, wire in enumerate(wires):
            time.sleep(GAP)
            before = len(got)
            start = time.perf_counter()
            os.write(master, wire)
            deadline = start + 1.0
            while len(got) == before and time.perf_counter() < deadline:
                time.sleep(0.00005)
            if len(got) == before:
                raise SystemExit("latency: a packet's message did not arrive within 1 s")
            if k >= WARM_UP:
                delays.append((got[-1][0] - start) * 1e3)
    finally:
        sub.close()
        stop(node)
        os.close(master)
    return sorted(delays)


def latency_stream(wires: list[bytes]) -> list[float]:
    import vorn

    master, path = open_pty()
    delays = []
    try:
        with vorn.open(path, lookahead=0) as stream:
            for k, wire in enumerate(wires):
                time.sleep(GAP)
                start = time.perf_counter()
                os.write(master, wire)
                batch = stream.read(timeout=1.0)
                end = time.perf_counter()
                if batch.num_rows != 1:
                    raise SystemExit(f"latency: a batch of {batch.num_rows} packets, not 1")
                if k >= WARM_UP:
                    delays.append((end - start) * 1e3)
    finally:
        os.close(master)
    return sorted(delays)


def cpu_share(proc: subprocess.Popen, master: int, seconds: float) -> tuple[float, int]:
    """proc's CPU time over wall time while the simulated unit streams into
    the pty for `seconds`; and the packets written."""
    unit = subprocess.Popen(
        [sys.executable, str(WRITER), str(master), str(seconds)],
        pass_fds=(master,),
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        if unit.stdout.readline().strip() != "ready":
            raise SystemExit("the writer process did not start")
        ticks = os.sysconf("SC_CLK_TCK")

        def cpu() -> float:
            with open(f"/proc/{proc.pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / ticks

        c0, t0 = cpu(), time.monotonic()
        unit.stdin.write("go\n")
        unit.stdin.flush()
        written = int(unit.stdout.readline().split()[1])
        c1, t1 = cpu(), time.monotonic()
    finally:
        unit.wait()
    return (c1 - c0) / (t1 - t0) * 100, written


# vorn.open alone, draining a port: the reference of the node's CPU.
DRAIN = """
import sys, vorn
print("open", flush=True)
with vorn.open(sys.argv[1], lookahead=0) as stream:
    for batch in stream:
        pass
"""


def reader_cpu(seconds: float) -> float:
    master, path = open_pty()
    proc = subprocess.Popen([sys.executable, "-c", DRAIN, path], stdout=subprocess.PIPE, text=True)
    try:
        if proc.stdout.readline().strip() != "open":
            raise SystemExit("the reference reader did not start")
        return cpu_share(proc, master, seconds)[0]
    finally:
        proc.kill()
        proc.wait()
        os.close(master)


def cpu_run(seconds: float) -> tuple[float, int, int, bool]:
    """The node's CPU share at the unit's full rate, raw packets written and
    received, and whether they came once each in order of their stamps."""
    import struct

    master, path = open_pty()
    node = node_process(path)
    sub = Subscriber([f"/imu/{t}" for t in ("data_raw", "data")])
    try:
        sub.wait_matched("/imu/data_raw")
        share, written = cpu_share(node, master, seconds)
        time.sleep(1.0)
    finally:
        sub.close()
        stop(node)
        os.close(master)
    stamps = [struct.unpack_from("<iI", m, 4) for _, m in sub.got["/imu/data_raw"]]
    ordered = all(a < b for a, b in zip(stamps, stamps[1:]))
    # The writer's stream, made again: its raw packets.
    pieces = UnitSimulator(seed=11, invalid_rate=0.02).packets(seconds)
    raws = sum(rec is not None and rec["packet_type"] == "raw" for _, _, rec in pieces)
    if written != sum(rec is not None for _, _, rec in pieces):
        raise SystemExit("the writer wrote another stream")
    return share, raws, len(stamps), ordered


def ceiling(seconds: float) -> tuple[float, float]:
    """Messages a second through Publisher.publish, and through rclpy alone
    with the same bytes."""
    import numpy as np
    import rclpy
    from sensor_msgs.msg import Imu

    import vorn
    from vorn import _native
    from vorn.ros2 import TOPICS, Publisher, message_type
    from vorn.ros_messages import BatchPacker
    from vorn.stream import columns_of

    data = UnitSimulator(seed=9, invalid_rate=0.02).stream(seconds)[0]
    node = rclpy.create_node(f"bench_ceiling_{os.getpid()}")
    publisher = Publisher(node)
    # A subscriber on every topic (never spun): the publisher hands over only
    # what some subscriber takes.
    for topic, kind in TOPICS:
        if kind is not None:
            node.create_subscription(message_type(*kind), topic, lambda m: None, 10, raw=True)
    time.sleep(0.5)  # matched

    framer = _native.Framer()
    kinds, _, values, flags = framer.columns(data, b"")
    n = len(kinds)
    host = np.arange(n, dtype=np.int64) * 666_667 + 1_700_000_000 * 10**9
    arrays = columns_of(np, host, host, kinds, values, flags)
    batch = vorn.Columns(arrays, "bench")
    start = time.perf_counter()
    sent = publisher.publish(batch)
    ours = sent / (time.perf_counter() - start)
    packed = BatchPacker("imu_link").pack(batch)
    plain = node.create_publisher(Imu, "bench_plain", 10)
    messages = [m for topic in packed[:2] for m in topic] * 4
    start = time.perf_counter()
    for m in messages:
        plain.publish(m)
    theirs = len(messages) / (time.perf_counter() - start)
    node.destroy_node()
    return ours, theirs


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--packets", type=int, default=300)
    ap.add_argument("--seconds", type=float, default=10.0, help="of the full-rate run (the goal's is 600)")
    ap.add_argument("--json", action="store_true")
    args = ap.parse_args()
    import rclpy

    os.environ.update({k: v for k, v in graph_env().items() if k.startswith(("ROS_", "RMW_"))})
    rclpy.init()
    try:
        wires = raw_wires(args.packets + WARM_UP)
        node = latency_node(wires)
        alone = latency_stream(wires)
        share, raws, got, ordered = cpu_run(args.seconds)
        alone_share = reader_cpu(min(args.seconds, 10.0))
        ours, theirs = ceiling(2.0)
    finally:
        rclpy.shutdown()
    med, ref_med = statistics.median(node), statistics.median(alone)
    p99 = percentile(node, 0.99)
    goal_med = GOAL_MEDIAN_FACTOR * ref_med + GOAL_MEDIAN_PLUS_MS
    rows = [
        Row(
            "vorn ros2: line to subscriber, median",
            f"{med:.3f} ms",
            f"vorn.open alone {ref_med:.3f} ms",
            f"{med / ref_med:.2f}x",
            f"<= {goal_med:.3f} ms (2x + 1 ms)",
            med <= goal_med,
        ),
        Row(
            "vorn ros2: line to subscriber, p99",
            f"{p99:.3f} ms",
            f"vorn.open alone {percentile(alone, 0.99):.3f} ms",
            "",
            f"<= {GOAL_P99_MS:.0f} ms",
            p99 <= GOAL_P99_MS,
        ),
        Row(
            "vorn ros2: CPU at 1 kHz raw + 500 Hz filter",
            f"{share:.1f} % of a core",
            f"vorn.open alone {alone_share:.1f} %",
            f"{share / alone_share:.1f}x" if alone_share else "",
            f"<= {GOAL_CPU_PERCENT:.0f} %",
            share <= GOAL_CPU_PERCENT,
        ),
        Row(
            f"vorn ros2: raw packets to a reliable subscriber ({args.seconds:g} s)",
            f"{got:,} of {raws:,}{', in order' if ordered else ', OUT OF ORDER'}",
            "",
            "",
            "every one, in order",
            got == raws and ordered,
        ),
        Row(
            "vorn.ros2.Publisher: messages/s ceiling",
            f"{ours:,.0f} messages/s",
            f"rclpy publish(bytes) {theirs:,.0f}/s",
            f"{ours / theirs:.2f}x",
            "",
            None,
        ),
    ]
    emit(rows, args.json)
    return 0


if __name__ == "__main__":
    sys.exit(main())
