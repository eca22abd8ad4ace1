"""vorn ros2 and vorn.ros2.Publisher against a real ROS 2 graph: rclpy
subscribers in other processes (Fast DDS, a domain of this run's own, this
machine only), the values against MockParser of the same bytes. The packer's
orientation covariance is checked here too, on synthetic attitudes.

rclpy installs from the package index for x86-64 CPython 3.10-3.13 with the
GIL only: `make test-ros2` runs this file in such an interpreter; elsewhere
the graph's cases skip and say why."""

import json
import math
import os
import platform
import signal
import struct
import subprocess
import sys
import sysconfig
import textwrap
import time

import pytest
from test_serial import Pty, pty  # noqa: F401 (a fixture)

import vorn_model as vm

np = pytest.importorskip("numpy")

G = 9.80665
TOPICS = ("imu/data_raw", "imu/data", "imu/pressure", "imu/delta_theta", "imu/delta_vel", "imu/linear_accel")


def rclpy_missing() -> str | None:
    """Why rclpy cannot be had in this interpreter, or None."""
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        return "rclpy has no wheels for the free-threaded interpreter (make test-ros2 runs these cases on 3.12)"
    if platform.machine() != "x86_64":
        return f"rclpy has no wheels for {platform.machine()} (a sourced ROS 2 has it there)"
    try:
        import rclpy  # noqa: F401
    except ImportError:
        return "rclpy is not installed here (make test-ros2 makes an environment with it)"
    return None


needs_graph = pytest.mark.skipif(rclpy_missing() is not None, reason=str(rclpy_missing()))


# -- the packer, without ROS --


def log_rotation(q) -> np.ndarray:
    """The rotation vectors (N x 3) of unit quaternions w, x, y, z (4 x N)."""
    w, v = q[0], q[1:]
    sign = np.where(w < 0, -1.0, 1.0)
    w, v = w * sign, v * sign
    n = np.linalg.norm(v, axis=0)
    return (2 * np.arctan2(n, w) / np.where(n > 0, n, 1.0) * v).T


def one_filter_packet(q, s, flagged=()):
    """The packer's columns of one filter packet holding q and s (w, x, y, z)."""
    from vorn.ros_messages import FLAG_COLUMNS, VALUE_COLUMNS

    values = []
    for c in VALUE_COLUMNS:
        v = np.full(1, np.nan, np.float32)
        for name, quat in (("est_orient_quaternion_", q), ("est_attitude_uncert_quaternion_", s)):
            if c.startswith(name):
                v[0] = quat["wxyz".index(c[-1])]
        values.append(v)
    flags = [np.array([c in flagged], np.uint8) for c in FLAG_COLUMNS]
    return np.array([1], np.uint8), values, flags, np.array([10**18], np.int64)


def imu_doubles(message: bytes) -> tuple:
    """The 37 doubles of an Imu after its header."""
    (n,) = struct.unpack_from("<I", message, 12)
    at = 4 + (12 + n + 7) // 8 * 8
    return struct.unpack_from("<37d", message, at)


@pytest.mark.parametrize("frame", ["unit", "rep103"])
def test_orientation_covariance_is_that_of_small_rotations_about_the_reference_axes(frame):
    """Orientations drawn about a synthetic attitude with the uncertainty's
    spread per part: the covariance of their rotation from it, about the
    axes of the reference frame (NED; ENU in REP 103), is the message's.
    Flagged: -1 in element 0; no uncertainty: unknown."""
    from rep103 import ENU_FROM_NED, FRD_FROM_FLU, qmul

    from vorn import _native

    rng = np.random.default_rng(7)
    packer = _native.RosPacker("imu", body_frame=frame == "rep103")
    for attitude in ((1, 0, 0, 0), (0.3, -0.5, 0.7, 0.2), (0.05, 0.9, -0.1, 0.4)):
        q = np.asarray(attitude, float) / np.linalg.norm(attitude)
        s = np.array([0.0004, 0.001, 0.002, 0.0007])
        q32, s32 = q.astype(np.float32).astype(float), s.astype(np.float32).astype(float)
        got = np.array(imu_doubles(packer.pack(*one_filter_packet(q32, s32))[1][0])[4:13]).reshape(3, 3)

        def as_sent(p):  # orientations (4 x N) as the message carries them, w, x, y, z, up to sign
            if frame == "unit":
                return p
            return np.array(qmul(qmul(ENU_FROM_NED, tuple(p)), FRD_FROM_FLU))

        ref = as_sent(q32[:, None])
        drawn = q32 + rng.normal(size=(20000, 4)) * s32
        drawn /= np.linalg.norm(drawn, axis=1)[:, None]
        inverse = tuple(ref[:, 0] * [1, -1, -1, -1])
        e = log_rotation(np.array(qmul(tuple(as_sent(drawn.T)), inverse)))
        want = np.cov(e.T)
        assert np.allclose(got, want, atol=0.06 * np.abs(want).max()), (attitude, got, want)
        assert np.allclose(got, got.T)

    flagged = packer.pack(*one_filter_packet(q32, s32, ["est_attitude_uncert_quaternion_invalid"]))[1][0]
    assert imu_doubles(flagged)[4:13] == (-1.0,) + (0.0,) * 8
    unknown = packer.pack(*one_filter_packet(q32, [math.nan] * 4))[1][0]
    assert imu_doubles(unknown)[4:13] == (0.0,) * 9


# -- a real graph --


PEER = textwrap.dedent(
    """
    import importlib, json, os, sys, threading, time
    import rclpy
    from rclpy.executors import SingleThreadedExecutor
    from rclpy.qos import QoSProfile, ReliabilityPolicy, qos_profile_sensor_data

    config = json.loads(sys.argv[1])
    rclpy.init()
    node = rclpy.create_node("peer")
    got = {}

    def take(key, raw):
        got[key] = []
        def cb(m):
            got[key].append([time.time_ns(), m.hex() if raw else [
                [s.name, s.hardware_id, s.level[0], s.message, {kv.key: kv.value for kv in s.values}]
                for s in m.status]])
        return cb

    for key, topic, kind, qos, raw in config["subs"]:
        module, name = kind.rsplit(".", 1)
        profile = qos_profile_sensor_data if qos == "best_effort" else QoSProfile(depth=1000)
        node.create_subscription(getattr(importlib.import_module(module), name), topic, take(key, raw), profile,
                                 raw=raw)
    executor = SingleThreadedExecutor()
    executor.add_node(node)
    threading.Thread(target=executor.spin, daemon=True).start()
    print("ready", flush=True)
    for topic in config["wait"]:
        while node.count_publishers(topic) == 0:
            time.sleep(0.05)
    params = {}
    if config.get("params"):
        from rcl_interfaces.srv import GetParameters, ListParameters
        listing = node.create_client(ListParameters, config["params"] + "/list_parameters")
        getting = node.create_client(GetParameters, config["params"] + "/get_parameters")
        assert listing.wait_for_service(10) and getting.wait_for_service(10)
        names = listing.call(ListParameters.Request(), timeout_sec=10).result.names
        values = getting.call(GetParameters.Request(names=["frame_id", "reliability"]), timeout_sec=10).values
        params = {"names": list(names), "frame_id": values[0].string_value, "reliability": values[1].string_value}
        from rcl_interfaces.msg import Parameter, ParameterType, ParameterValue
        from rcl_interfaces.srv import SetParameters
        setting = node.create_client(SetParameters, config["params"] + "/set_parameters")
        assert setting.wait_for_service(10)
        change = Parameter(name="frame_id", value=ParameterValue(type=ParameterType.PARAMETER_STRING,
                                                                  string_value="elsewhere"))
        params["set"] = setting.call(SetParameters.Request(parameters=[change]), timeout_sec=10).results[0].successful
    print("matched", flush=True)
    for line in sys.stdin:  # "KEY": how many messages came on it; the end: done
        print(len(got[line.strip()]), flush=True)
    with open(config["out"], "w") as f:
        json.dump({"got": got, "params": params}, f)
    os._exit(0)  # the spinning thread and the middleware's own go with the process
    """
)

USER_NODE = textwrap.dedent(
    """
    import sys, time
    import rclpy, vorn
    from vorn.ros2 import Publisher

    rclpy.init()
    node = rclpy.create_node("user_imu", namespace="/mine")
    publisher = Publisher(node, frame_id="user_link", frame="unit")
    while node.count_subscribers("/mine/imu/data_raw") == 0:
        time.sleep(0.05)
    time.sleep(0.5)
    with vorn.open(sys.argv[1]) as stream:
        for batch in stream:
            publisher.publish(batch)
    print(publisher.packets, publisher.messages, flush=True)
    time.sleep(1.0)  # reliable delivery of the last messages
    rclpy.shutdown()
    """
)


@pytest.fixture(scope="module")
def graph_env():
    """The environment of every process of a test's graph: Fast DDS, a domain
    of this run's own, discovery on this machine only."""
    env = dict(os.environ)
    env.pop("ROS_LOCALHOST_ONLY", None)
    env.update(
        RMW_IMPLEMENTATION="rmw_fastrtps_cpp",
        ROS_DOMAIN_ID=str(1 + os.getpid() % 100),
        ROS_AUTOMATIC_DISCOVERY_RANGE="LOCALHOST",
        PYTHONUNBUFFERED="1",
    )
    return env


class Peer:
    """An rclpy subscriber in a process of its own."""

    def __init__(self, env, tmp_path, subs, wait, params=None) -> None:
        self.out = tmp_path / f"peer{id(self)}.json"
        config = {"subs": subs, "wait": wait, "params": params, "out": str(self.out)}
        self.proc = subprocess.Popen(
            [sys.executable, "-c", PEER, json.dumps(config)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env=env,
        )
        assert self.proc.stdout.readline().strip() == "ready", self.proc.stderr.read()

    def matched(self) -> None:
        assert self.proc.stdout.readline().strip() == "matched", self.proc.stderr.read()

    def wait_for(self, key: str, count: int, limit: float = 60.0) -> None:
        """Until `count` messages came on key (a sanity bound for a loaded machine)."""
        deadline = time.monotonic() + limit
        while True:
            self.proc.stdin.write(key + "\n")
            self.proc.stdin.flush()
            got = int(self.proc.stdout.readline())
            if got >= count or time.monotonic() > deadline:
                return
            time.sleep(0.1)

    def result(self) -> dict:
        _, err = self.proc.communicate("", timeout=60)
        assert self.proc.returncode == 0, err
        return json.loads(self.out.read_text())


def vorn_ros2(env, *args) -> subprocess.Popen:
    return subprocess.Popen(
        [sys.executable, "-m", "vorn", "ros2", *map(str, args)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )


def feed(pty, pieces, start: float) -> None:
    """Writes the unit's pieces to the line at the pace they were made."""
    t0 = time.monotonic()
    for at in range(0, len(pieces), 10):  # 10 ms of packets at a time
        chunk = pieces[at : at + 10]
        delay = t0 + chunk[0][0] - start - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        os.write(pty.master, b"".join(w for _, w, _ in chunk))


def header(message: bytes) -> tuple[int, str]:
    """A message's stamp (ns) and frame id."""
    sec, nsec, n = struct.unpack_from("<iII", message, 4)
    return sec * 10**9 + nsec, message[16 : 16 + n - 1].decode()


def mock_records(tmp_path, data: bytes) -> list:
    from conftest import wait_ended

    import vorn_rs

    path = tmp_path / "line.bin"
    path.write_bytes(data)
    with vorn_rs.MockParser(path) as parser:
        wait_ended(parser)
        return parser.get_data_packets()


@needs_graph
def test_node_publishes_a_port_to_reliable_and_best_effort_subscribers_and_a_users_node_too(graph_env, pty, tmp_path):
    """One graph: `vorn ros2` on a simulated unit's line, in a namespace of
    its own, named by remaps and set by -p; a user's node publishing a
    recording through vorn.ros2.Publisher; reliable subscribers on every
    topic, a best-effort one, /diagnostics and the parameter services. Every
    raw packet once, in order, values exact against MockParser of the same
    bytes; SIGTERM ends the node at once with status 0."""
    from vorn.times import Stamp, TimesWriter

    sim = vm.UnitSimulator(seed=3, invalid_rate=0.05)
    pieces = sim.packets(1.5)
    data = b"".join(w for _, w, _ in pieces)
    recording = tmp_path / "user.bin"
    recording.write_bytes(data)
    writer = TimesWriter(recording, force=False)
    wall = time.time_ns()
    for k in range(0, len(data), 500):  # replayed at the unit's pace
        wall += round(1.5e9 * 500 / len(data))
        writer.add(len(data[k : k + 500]), Stamp(wall, wall))
    writer.close()

    imu, vec = "sensor_msgs.msg.Imu", "geometry_msgs.msg.Vector3Stamped"
    subs = [[t, f"/left/{t}", imu if "data" in t else vec, "reliable", True] for t in TOPICS if "pressure" not in t]
    subs += [
        ["pressure", "/left/imu/pressure", "sensor_msgs.msg.FluidPressure", "reliable", True],
        ["best_effort", "/left/imu/data_raw", imu, "best_effort", True],
        ["user", "/mine/imu/data_raw", imu, "reliable", True],
        ["diagnostics", "/diagnostics", "diagnostic_msgs.msg.DiagnosticArray", "reliable", False],
    ]
    peer = Peer(graph_env, tmp_path, subs, ["/left/imu/data_raw", "/mine/imu/data_raw"], params="/left/imu_node")
    node = vorn_ros2(
        graph_env, pty.path, "--frame-id", "ignored", "--ros-args", "-r", "__ns:=/left", "-r", "__node:=imu_node",
        "-p", "frame_id:=imu_left", "-p", "reliability:=reliable", "-p", "lookahead:=0",
    )  # fmt: skip
    user = subprocess.Popen(
        [sys.executable, "-c", USER_NODE, recording], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        env=graph_env,
    )  # fmt: skip
    try:
        line = node.stderr.readline()
        assert "node /left/imu_node publishing" in line and "frame rep103, frame_id imu_left" in line, line
        peer.matched()
        time.sleep(0.5)  # the node's publishers have found the subscribers too
        started = time.time_ns()
        feed(pty, pieces, pieces[0][0])
        out, err = user.communicate(timeout=60)
        assert user.returncode == 0, err
        user_packets, user_messages = map(int, out.split())
        raw_count = sum(rec is not None and rec["packet_type"] == "raw" for _, _, rec in pieces)
        peer.wait_for("imu/data_raw", raw_count)
        time.sleep(1.2)  # a diagnostics round after the last packets
        node.send_signal(signal.SIGTERM)
        out, err = node.communicate(timeout=10)
        assert node.returncode == 0, err
        assert "stopped by SIGTERM" in out
    finally:
        for p in (node, user):
            if p.poll() is None:
                p.kill()
                p.wait()
    result = peer.result()
    got = {k: [(t, bytes.fromhex(m)) for t, m in v] for k, v in result["got"].items() if k != "diagnostics"}

    records = mock_records(tmp_path, data)
    raws = [r for r in records if r.packet_type == "raw"]
    filters = [r for r in records if r.packet_type == "estimated"]
    assert len(got["imu/data_raw"]) == len(raws) and len(got["imu/data"]) == len(filters)
    stamps = []
    for (received, m), r in zip(got["imu/data_raw"], raws):
        stamp, frame_id = header(m)
        assert frame_id == "imu_left"
        assert started - 10**9 < stamp <= received
        stamps.append(stamp)
        d = imu_doubles(m)
        gx, gy, gz = r.scaled_gyro
        ax, ay, az = r.scaled_accel
        # REP 103 by default: y and z turned; g in m/s².
        assert d[13:16] == (gx, -gy, -gz) and d[25:28] == (ax * G, -ay * G, -az * G)
        assert d[4] == -1.0  # no orientation in the raw Imu
    assert all(a < b for a, b in zip(stamps, stamps[1:]))
    for (_, m), r in zip(got["imu/data"], filters):
        d = imu_doubles(m)
        rate = r.est_angular_rate
        assert d[13:16] == (rate[0], -rate[1], -rate[2])
        q = np.array(d[:4])
        assert abs(np.linalg.norm(q) - 1) < 1e-6
    assert len(got["imu/delta_theta"]) == sum(r.delta_theta is not None for r in raws)
    assert len(got["pressure"]) == sum(r.scaled_ambient_pressure is not None for r in raws)
    # A best-effort subscriber matches the reliable publisher and gets the same messages.
    best = [m for _, m in got["best_effort"]]
    reliable = {m for _, m in got["imu/data_raw"]}
    assert best and set(best) <= reliable  # best-effort: how many arrive is the machine's business
    # The user's node: its own namespace, frame id and the unit's axes.
    user_msgs = [m for _, m in got["user"]]
    assert len(user_msgs) == len(raws)
    # Only its subscribed topic was handed to the middleware.
    assert user_packets == len(records) and user_messages == len(raws)
    for m, r in zip(user_msgs, raws):
        assert header(m)[1] == "user_link"
        assert imu_doubles(m)[25:28] == tuple(v * G for v in r.scaled_accel)
    # Parameters, as `ros2 param list` lists them; -p overrides the option.
    params = result["params"]
    assert {"frame_id", "frame", "stamps", "lookahead", "baud", "reliability"} <= set(params["names"])
    assert params["frame_id"] == "imu_left" and params["reliability"] == "reliable"
    assert params["set"] is False  # read at start: a change is refused, not silently ignored
    # Diagnostics about once a second, one status per kind, the port as the hardware id.
    diags = result["got"]["diagnostics"]
    assert diags
    during = [s for _, statuses in diags for s in statuses if s[4]["packets"] != "0"]
    assert {s[0] for s in during} == {"vorn: raw packets", "vorn: filter packets"}
    assert all(s[1] == pty.path for s in during)
    rates = [float(s[4]["rate (packets/s)"]) for s in during if s[0] == "vorn: raw packets"]
    assert max(rates) > 500
    assert {"arrival jitter p99 (ms)", "lost packets", "clock warm-up", "port", "reconnections"} <= set(during[0][4])
    # The stream's own sample clock and losses before framing, as vorn.open gives them.
    last = during[-1][4]
    assert last["clock"] in ("locked", "warming up") and float(last["clock drift (ppm)"]) == pytest.approx(0, abs=500)
    assert last["lost bytes (before framing)"] == "0"


@needs_graph
def test_hang_up_ends_the_node_and_reconnect_resumes_with_the_gap_in_diagnostics(graph_env, tmp_path):
    """Without --reconnect a hang-up ends the node: status 1, one line. With
    it, publishing resumes from the returned device (a link re-pointed to a
    new line) and diagnostics say ERROR while it is gone, then count the
    reconnection."""
    sim = vm.UnitSimulator(seed=5, invalid_rate=0.0)
    link = tmp_path / "imu"
    first, second = Pty(), Pty()
    link.symlink_to(first.path)
    plain = Pty()
    imu = "sensor_msgs.msg.Imu"
    subs = [
        ["raw", "/imu/data_raw", imu, "reliable", True],
        ["diagnostics", "/diagnostics", "diagnostic_msgs.msg.DiagnosticArray", "reliable", False],
    ]
    peer = Peer(graph_env, tmp_path, subs, ["/imu/data_raw"])
    hung = vorn_ros2(graph_env, plain.path, "--ros-args", "-r", "__node:=plain", "-r", "imu/data_raw:=plain_raw")
    node = vorn_ros2(graph_env, link, "--reconnect")
    try:
        assert "publishing" in hung.stderr.readline()
        assert "publishing" in node.stderr.readline()
        peer.matched()
        time.sleep(0.5)
        feed(first, sim.packets(0.5), 0.0)
        peer.wait_for("raw", 500)
        plain.close_master()
        _, err = hung.communicate(timeout=20)
        assert hung.returncode == 1
        lines = err.strip().splitlines()
        assert len(lines) == 1 and lines[0].startswith(f"vorn ros2: {plain.path}: the port hung up ("), err
        time.sleep(0.3)
        first.close_master()
        time.sleep(2.5)  # gone for a diagnostics round or two
        link.unlink()
        link.symlink_to(second.path)
        time.sleep(2.5)  # found again (retries every 2 s at most)
        pieces = sim.packets(0.5)
        feed(second, pieces, pieces[0][0])
        peer.wait_for("raw", 1000)
        time.sleep(1.2)  # a diagnostics round after the last packets
        node.send_signal(signal.SIGINT)
        out, err = node.communicate(timeout=10)
        assert node.returncode == 0, err
        assert "stopped by Ctrl-C; 1 reconnection" in out, out
    finally:
        for p in (node, hung):
            if p.poll() is None:
                p.kill()
                p.wait()
        second.close_master()
    result = peer.result()
    assert len(result["got"]["raw"]) == 1000  # both half seconds, every raw packet
    levels = [(s[2], s[4]["reconnections"]) for _, statuses in result["got"]["diagnostics"] for s in statuses
              if s[1] == str(link)]  # fmt: skip
    assert (2, "0") in levels  # ERROR while the port was gone
    assert levels[-1] in ((0, "1"), (1, "1"))  # then back, the reconnection counted


@pytest.mark.child_interpreter
def test_without_rclpy_the_command_says_how_to_get_it_in_one_line():
    code = "import sys; sys.modules['rclpy'] = None; from vorn.cli import main; sys.exit(main(['ros2', '/dev/null']))"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 1
    assert done.stderr.splitlines() == [
        "vorn ros2: vorn's ROS 2 node needs rclpy: source a ROS 2 installation (Humble, Jazzy, ...), or "
        "pip install 'vorn_rs[ros2]' (x86-64, CPython 3.10-3.13 with the GIL)"
    ]


@needs_graph
def test_replay_publishes_the_recording_and_ends_with_status_0_a_missing_port_is_said(graph_env, tmp_path):
    from vorn.times import Stamp, TimesWriter

    data = vm.UnitSimulator(seed=8, invalid_rate=0.0).stream(0.3)[0]
    rec = tmp_path / "run.bin"
    rec.write_bytes(data)
    writer = TimesWriter(rec, force=False)
    wall = time.time_ns()
    for k in range(0, len(data), 300):
        wall += 1_000_000
        writer.add(len(data[k : k + 300]), Stamp(wall, wall))
    writer.close()
    done = subprocess.run(
        [sys.executable, "-m", "vorn", "ros2", "--replay", rec, "--pace", "0", "--frame", "unit"],
        capture_output=True,
        text=True,
        timeout=60,
        env=graph_env,
    )
    assert done.returncode == 0, done.stderr
    packets = len(mock_records(tmp_path, data))
    assert done.stdout.startswith(f"{rec}: {packets:,} packets, ") and "the recording ended" in done.stdout
    assert "frame unit" in done.stderr
    # A port that is not there: one line saying so, not a hang-up.
    gone = tmp_path / "ttyUSB9"
    done = subprocess.run(
        [sys.executable, "-m", "vorn", "ros2", gone], capture_output=True, text=True, timeout=60, env=graph_env
    )
    assert done.returncode == 1
    assert done.stderr.splitlines() == [f"vorn ros2: {gone}: No such file or directory"]


@needs_graph
def test_diagnostics_warn_on_lost_packets_and_carry_the_clocks_figures(graph_env, monkeypatch):
    """A raw stream at 1 kHz with one packet missing: WARN, the loss counted
    from the gap in its sample times; the stream's clock figures, where it
    has them, beside the node's own."""
    from types import SimpleNamespace

    import rclpy

    from vorn.ros2 import Diagnostics
    from vorn.sample_clock import ClockState, StreamClock

    for k, v in graph_env.items():
        monkeypatch.setenv(k, v)
    context = rclpy.context.Context()
    rclpy.init(context=context)
    try:
        node = rclpy.create_node("diagnosed", context=context)
        clock = ClockState(StreamClock(locked=True, packets=400, drift_ppm=12.5, lost=1), StreamClock())
        d = Diagnostics(node, "/dev/ttyUSB0", SimpleNamespace(clock=clock, lost_bytes=0))
        now = time.time_ns()
        sample = now - 500_000_000 + np.delete(np.arange(400), 200) * 1_000_000  # packet 200 lost
        for at in range(0, len(sample), 50):  # batches as a stream gives them
            s = sample[at : at + 50]
            d.add({"packet_type": np.zeros(len(s), np.uint8), "host_time_ns": s + 300_000, "time_ns": s})
        raw, estimated = d.status(now).status
        values = {kv.key: kv.value for kv in raw.values}
        assert raw.level == b"\x01" and raw.message == "1 packets lost in the last second"
        assert values["lost packets"] == "1" and values["packets"] == "399"
        assert values["arrival jitter p50 (ms)"] == "0.300"
        assert values["clock"] == "locked" and values["clock drift (ppm)"] == "12.50" and values["port"] == "open"
        assert values["clock lost samples"] == "1" and values["lost bytes (before framing)"] == "0"
        assert estimated.level == b"\x00" and raw.hardware_id == "/dev/ttyUSB0"
        d.lost_port("unplugged")
        assert all(s.level == b"\x02" for s in d.status(now).status)
        node.destroy_node()
    finally:
        context.try_shutdown()
