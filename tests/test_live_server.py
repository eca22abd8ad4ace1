"""vorn live: the Foxglove WebSocket server, seen by a client of the protocol
(websockets' own), against the recording it serves as vorn.read reads it."""

import asyncio
import json
import logging
import math
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest

import vorn_model as vm

pytest.importorskip("websockets")
pytest.importorskip("numpy")

from test_tools import VORN  # noqa: E402
from websockets.asyncio.client import connect  # noqa: E402
from websockets.exceptions import ConnectionClosed, InvalidStatus  # noqa: E402

G = 9.80665


def timed_recording(path, seconds: float, span: float, seed: int = 12):
    """A recording of `seconds` of the unit whose reads arrived over `span`
    seconds from now, in pieces of uneven size."""
    from vorn.times import Stamp, TimesWriter

    data = vm.UnitSimulator(seed=seed, invalid_rate=0.1, noise=0.005).stream(seconds)[0]
    path.write_bytes(data)
    writer = TimesWriter(path, force=False)
    pieces = []
    pos, k = 0, 0
    while pos < len(data):
        size = 40 + (k * 7919) % 400
        pieces.append(data[pos : pos + size])
        pos, k = pos + size, k + 1
    wall = time.time_ns()
    for piece in pieces:
        wall += round(span * 1e9 / len(pieces))
        writer.add(len(piece), Stamp(wall, wall))
    writer.close()
    return path


@pytest.fixture(scope="module")
def recording(tmp_path_factory):
    return timed_recording(tmp_path_factory.mktemp("live") / "run.bin", 0.4, 0.25)


class Client:
    """A protocol client: the server's first words, then every message of the
    channels it subscribed to, as (topic, receive time, CDR body). A stalled
    one reads through a tiny socket buffer into a one-message queue, and not
    at all until told."""

    def __init__(self, port: int, subprotocol: str, topics=None, stall: bool = False) -> None:
        self.port, self.subprotocol, self.topics, self.stall = port, subprotocol, topics, stall
        self.got: list[tuple[str, int, bytes]] = []
        self.status: list[dict] = []

    async def start(self):
        options = {}
        if self.stall:
            sock = socket.socket()
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
            sock.connect(("127.0.0.1", self.port))
            options = {"sock": sock, "max_queue": 1}
        self.ws = await connect(f"ws://127.0.0.1:{self.port}", subprotocols=[self.subprotocol], **options)
        self.info, self.advertise = json.loads(await self.ws.recv()), json.loads(await self.ws.recv())
        channels = [c for c in self.advertise["channels"] if self.topics is None or c["topic"] in self.topics]
        self.by_sub = {100 + c["id"]: c["topic"] for c in channels}
        await self.ws.send(
            json.dumps(
                {"op": "subscribe", "subscriptions": [{"id": 100 + c["id"], "channelId": c["id"]} for c in channels]}
            )
        )
        return self

    async def take(self, limit: float = 20.0, code: int = 1001):
        """Every message until the server closes the connection (with code)."""

        async def read():
            async for m in self.ws:
                if isinstance(m, str):
                    self.status.append(json.loads(m))
                else:
                    op, sub, t = struct.unpack_from("<BIQ", m)
                    assert op == 1
                    self.got.append((self.by_sub[sub], t, m[13:]))

        try:
            await asyncio.wait_for(read(), limit)
        except ConnectionClosed as e:
            assert e.rcvd is None or e.rcvd.code == code, e  # the server going away at the end
        return self


def aligned(at: int, size: int) -> int:
    return at + (-(at - 4) % size)  # CDR aligns from the end of the 4-byte encapsulation


def cdr_header(body: bytes) -> tuple[int, str, int]:
    """(stamp ns, frame id, offset after the header) of a stamped message."""
    assert body[:4] == b"\x00\x01\x00\x00"
    sec, nsec, n = struct.unpack_from("<iII", body, 4)
    return sec * 10**9 + nsec, body[16 : 16 + n - 1].decode(), 16 + n


def imu_values(body: bytes) -> tuple[int, list[float]]:
    stamp, frame, at = cdr_header(body)
    assert frame == "imu_link"
    return stamp, list(struct.unpack_from("<37d", body, aligned(at, 8)))


def names_values(body: bytes) -> list[str]:
    at = aligned(cdr_header(body)[2], 4)
    (count,) = struct.unpack_from("<I", body, at)
    at += 4
    names = []
    for _ in range(count):
        at = aligned(at, 4)
        (n,) = struct.unpack_from("<I", body, at)
        names.append(body[at + 4 : at + 3 + n].decode())
        at += 4 + n
    return names


def same(a: float, b: float) -> bool:
    return (math.isnan(a) and math.isnan(b)) or abs(a - b) <= 1e-9 * max(1.0, abs(b))


async def serve(path, clients, queue=4096, while_running=None, **options):
    """Replays path to clients, each (subprotocol, topics[, stall]); the server
    (made with options), the clients and how long the replay took."""
    from vorn.foxglove import FoxgloveServer, replay

    server = FoxgloveServer(port=0, queue=queue, **options)
    await server.start()
    try:
        made = [await Client(server.port, *c).start() for c in clients]
        takers = [asyncio.ensure_future(c.take()) for c in made if not c.stall]
        await asyncio.sleep(0.05)  # the subscriptions are in
        started = time.monotonic()
        run = asyncio.ensure_future(server.run(replay(path)))
        if while_running is not None:
            await while_running(server, made)
        await asyncio.wait_for(run, 30)  # a source held up by a stalled client would never end
        took = time.monotonic() - started
        await asyncio.sleep(0.05)
        stalled = [c for c in made if c.stall]
        takers += [asyncio.ensure_future(c.take()) for c in stalled]  # reading again
        await asyncio.sleep(0.2 if stalled else 0)
    finally:
        await server.close()
    await asyncio.gather(*takers)
    return server, made, took


async def refused(offer) -> int:
    """The HTTP status a client offering these subprotocols gets."""
    from vorn.foxglove import FoxgloveServer

    async with FoxgloveServer(port=0) as server:
        with pytest.raises(InvalidStatus) as e:
            await connect(f"ws://127.0.0.1:{server.port}", subprotocols=offer)
    return e.value.response.status_code


def test_both_subprotocols_advertise_the_exports_channels_and_carry_the_recordings_values(recording):
    """A client of each name of the protocol: serverInfo, then the MCAP export's
    channels; every packet of the recording as its messages, values and
    times as vorn.read has them; other subprotocols refused."""
    import vorn
    from vorn.ros_messages import CHANNELS

    async def run():
        assert [await refused(offer) for offer in (["foxglove.websocket.v2"], None)] == [400, 400]
        clients = [("foxglove.websocket.v1", None), ("foxglove.sdk.v1", None)]
        return await serve(recording, clients, frame="unit")

    server, (old, new), _ = asyncio.run(run())
    assert old.ws.subprotocol == "foxglove.websocket.v1" and new.ws.subprotocol == "foxglove.sdk.v1"
    for c in (old, new):
        assert c.info["op"] == "serverInfo" and c.advertise["op"] == "advertise"
        assert [
            (ch["topic"], ch["schemaName"], ch["schema"].encode(), ch["encoding"], ch["schemaEncoding"])
            for ch in c.advertise["channels"]
        ] == [(f"/{ch.topic}", ch.type, ch.schema, "cdr", "ros2msg") for ch in CHANNELS] + [
            ("/tf", "tf2_msgs/msg/TFMessage", c.advertise["channels"][-1]["schema"].encode(), "cdr", "ros2msg")
        ]
        assert c.info["metadata"]["frame"].startswith("the unit's own axes")
    assert old.got == new.got and not old.status

    cols = vorn.read(recording)
    n = cols.num_rows
    assert server.packets == n and server.dropped == 0
    kinds = cols["packet_type"].tolist()
    assert [t for t, _, _ in old.got if t == "/tf"]  # the orientation for a 3D panel
    # Each topic's messages in packet order (a batch's channel by channel).
    by_kind = [
        iter([(topic, t, *imu_values(body)) for topic, t, body in old.got if topic == name])
        for name in ("/imu/data_raw", "/imu/data")
    ]
    imu = [next(by_kind[k]) for k in kinds]
    assert [next(left, None) for left in by_kind] == [None, None]
    for i, (_topic, t, stamp, v) in enumerate(imu):
        assert t == stamp == cols["time_ns"][i]  # the replay's chunks carry the sample time
        if kinds[i] == 0:
            gyro = [float(cols[f"scaled_gyro_{a}"][i]) for a in "xyz"]
            acc = [float(cols[f"scaled_accel_{a}"][i]) * G for a in "xyz"]
            assert v[4] == -1.0  # no orientation
            assert all(map(same, v[13:16] + v[25:28], gyro + acc))
        else:
            q = [float(cols[f"est_orient_quaternion_{p}"][i]) for p in "xyzw"]
            rate = [float(cols[f"est_angular_rate_{a}"][i]) for a in "xyz"]
            assert all(map(same, v[0:4] + v[13:16], q + rate))
            flagged = cols["est_orient_quaternion_invalid"][i] or cols["est_attitude_uncert_quaternion_invalid"][i]
            uncertain = not math.isnan(cols["est_attitude_uncert_quaternion_w"][i])
            # The orientation's covariance from the attitude uncertainty, as the export's.
            assert (v[4] == -1.0) == bool(flagged or math.isnan(q[0]))
            assert (v[4] > 0.0) == bool(not flagged and not math.isnan(q[0]) and uncertain)
    assert any(cols["est_orient_quaternion_invalid"])  # the flag case was seen
    # The names in the order of their descriptors, as the unit lists them (and the export writes them).
    by_descriptor = sorted((f for f in vm.FIELDS if f.invalid_name), key=lambda f: f.descriptor)
    flagged = [
        [f.invalid_name for f in by_descriptor if cols[f"{f.name}_invalid"][i]] for i in range(n) if kinds[i] == 1
    ]
    assert [names_values(body) for topic, _, body in old.got if topic == "/imu/invalid_fields"] == flagged


def test_sample_time_stamps_and_subscription_requests(recording):
    """Messages carry a batch's time_ns, or the arrival time where a packet has
    none; unsubscribe stops a channel; a request the server cannot honour
    (a bad one, one too long, one nested too deeply) is answered with an
    error status and changes nothing, the connection kept."""
    import numpy as np

    import vorn
    from vorn.foxglove import FoxgloveServer

    cols = vorn.read(recording)
    raw = np.flatnonzero(cols["packet_type"] == 0)[:4]
    batch = {k: a[raw] for k, a in cols.items()}
    batch["time_ns"] = batch["host_time_ns"] - 5_000_000
    batch["time_ns"][1] = -1  # no sample time for this one
    requests = [
        {"op": "subscribe", "subscriptions": [{"id": 7, "channelId": 1}, {"id": 8, "channelId": 4}]},
        {
            "op": "subscribe",
            "subscriptions": [
                {"id": 7, "channelId": 2},
                {"id": 9, "channelId": 1},
                {"id": 10, "channelId": 99},
                {"id": -1, "channelId": 2},
            ],
        },
        {"op": "unsubscribe", "subscriptionIds": [8, 8]},
        {"op": "getParameters"},
        "not json",
        b"\x01",
        "[" * 60_000,  # within the size limit, past the nesting one
        json.dumps({"op": "subscribe", "pad": "x" * 70_000}),
    ]

    async def run():
        async with FoxgloveServer(port=0) as server:
            async with connect(f"ws://127.0.0.1:{server.port}", subprotocols=["foxglove.sdk.v1"]) as ws:
                await ws.recv(), await ws.recv()
                for r in requests:
                    await ws.send(r if isinstance(r, (str, bytes)) else json.dumps(r))
                errors = [json.loads(await asyncio.wait_for(ws.recv(), 10)) for _ in range(10)]
                server.publish(batch)
                got = [await asyncio.wait_for(ws.recv(), 10) for _ in range(4)]
                with pytest.raises(asyncio.TimeoutError):
                    await asyncio.wait_for(ws.recv(), 0.2)  # nothing more
                return server, errors, got

    server, errors, got = asyncio.run(run())
    got = [struct.unpack_from("<BIQ", m) + (cdr_header(m[13:])[0],) for m in got]
    want = batch["time_ns"].tolist()
    want[1] = int(batch["host_time_ns"][1])
    assert got == [(1, 7, t, t) for t in want]  # /imu/data_raw only: 8 was unsubscribed first
    assert {e["op"] for e in errors} == {"status"} and {e["level"] for e in errors} == {2}
    # 4 refused subscriptions, a second unsubscribe, 3 foreign requests, then the limits
    assert "nested more than" in errors[8]["message"] and "too long" in errors[9]["message"], errors[8:]
    assert server.subscribed.is_set() and server.packets == 4


def test_a_stalled_client_and_one_that_leaves_hold_up_neither_the_source_nor_the_others(tmp_path):
    """Beside a client that keeps up: one that stops reading (its queue drops
    the oldest, counted, and it is told so) and one that vanishes mid-stream."""
    span = 0.3
    path = timed_recording(tmp_path / "burst.bin", 1.5, span)

    async def during(server, clients):
        give_up = time.monotonic() + 10
        while not clients[2].got and time.monotonic() < give_up:  # a loaded machine may start late
            await asyncio.sleep(0.002)
        clients[2].ws.transport.abort()  # gone without a word, mid-message
        await asyncio.sleep(span / 3)
        assert len(server.clients) == 2

    server, (fast, stalled, leaving), took = asyncio.run(
        serve(
            path,
            [("foxglove.sdk.v1", None), ("foxglove.websocket.v1", None, True), ("foxglove.sdk.v1", None)],
            queue=300,
            while_running=during,
        )
    )
    import vorn

    cols = vorn.read(path)
    assert took < span + 5.0  # the source kept its own pace (a sanity bound only, for a loaded machine)
    assert server.packets == cols.num_rows and server.clients_seen == 3 and not server.clients
    assert sum(t in ("/imu/data_raw", "/imu/data") for t, _, _ in fast.got) == cols.num_rows
    assert not fast.status and 0 < len(leaving.got) < len(fast.got)
    # The stalled client lost the oldest: what it got at last ends with the newest.
    assert server.dropped > 0 and stalled.got[-1] == fast.got[-1]
    assert len(stalled.got) < len(fast.got)
    assert stalled.status and "messages dropped" in stalled.status[0]["message"]


@pytest.mark.child_interpreter
def test_live_command_serves_until_ctrl_c_with_a_one_line_summary(recording, tmp_path):
    """The command as a user runs it: the address on stderr, a client served,
    Ctrl-C, and one line that counts packets, clients and drops."""
    recording = timed_recording(tmp_path / "slow.bin", 0.1, 30.0)
    # SIGINT is ignored in a background job; the command must see it.
    proc = subprocess.Popen(
        [VORN, "live", "--replay", str(recording), "--port", "0"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    try:
        line = proc.stderr.readline()
        assert line.startswith(f"vorn live: serving {recording} on ws://127.0.0.1:"), line
        port = int(line.split("ws://127.0.0.1:")[1].split()[0])

        async def visit():
            c = await Client(port, "foxglove.sdk.v1", ["/imu/data_raw"]).start()
            await asyncio.sleep(0.1)
            await c.ws.close()

        asyncio.run(visit())
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=20)
    finally:
        proc.kill()
    assert proc.returncode == 0, err
    assert out.startswith(f"{recording}: ") and out.count("\n") == 1
    assert " 1 client, 0 messages dropped; " in out
    assert out.rstrip().endswith("stopped by Ctrl-C") and err == ""

    code = (
        "import sys; sys.modules['websockets'] = None; from vorn.cli import main; "
        f"sys.exit(main(['live', '--replay', {str(recording)!r}]))"
    )
    quick = dict(capture_output=True, text=True, timeout=60)
    done = subprocess.run([sys.executable, "-c", code], **quick)
    hint = "vorn live: vorn live needs websockets and numpy: pip install 'vorn_rs[live]'\n"
    assert (done.returncode, done.stderr) == (1, hint)
    # Without numpy: refused at the start too, not at the first subscription.
    done = subprocess.run([sys.executable, "-c", code.replace("'websockets'", "'numpy'")], **quick)
    assert (done.returncode, done.stderr) == (1, hint)


@pytest.mark.serial_ioctls
@pytest.mark.parametrize("end", ["hang-up", "ctrl-c"])
def test_live_command_serves_a_port_until_it_hangs_up(tmp_path, end):
    """vorn live PORT reads through vorn.open: every packet written into the
    line reaches a client, in order, stamped with sample times that rise per topic;
    a hang-up ends the command with status 1, its summary and the reason,
    Ctrl-C with status 0. --record meanwhile writes the bytes as they came,
    with times vorn.read accepts whole, held against a second recorder."""
    import warnings

    from test_serial import Pty, write_all

    import vorn
    from vorn.times import UntimedWarning, load_times

    data = vm.UnitSimulator(seed=8).stream(0.1)[0]
    (tmp_path / "sent.bin").write_bytes(data)
    kinds = vorn.read(tmp_path / "sent.bin")["packet_type"].tolist()
    unit = Pty()
    out_path = tmp_path / "run.bin"
    proc = subprocess.Popen(
        [VORN, "live", unit.path, "--baud", "921600", "--port", "0", "--record", str(out_path)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    try:
        line = proc.stderr.readline()
        assert line.startswith(f"vorn live: serving {unit.path} on ws://127.0.0.1:"), line
        port = int(line.split("ws://127.0.0.1:")[1].split()[0])
        second = subprocess.run(
            [VORN, "record", unit.path, "-o", str(out_path), "--force"], capture_output=True, text=True, timeout=60
        )
        assert second.returncode == 1
        assert f"{out_path}: being recorded by process {proc.pid}; " in second.stderr, second.stderr

        async def visit():
            c = await Client(port, "foxglove.sdk.v1", ["/imu/data_raw", "/imu/data"]).start()
            await asyncio.sleep(0.1)  # subscribed
            taking = asyncio.ensure_future(c.take())
            write_all(unit.master, data)
            give_up = time.monotonic() + 20
            while len(c.got) < len(kinds) and time.monotonic() < give_up:
                await asyncio.sleep(0.02)
            if end == "ctrl-c":
                proc.send_signal(signal.SIGINT)
            else:
                unit.close_master()
            return await taking  # until the server goes away

        client = asyncio.run(visit())
        out, err = proc.communicate(timeout=20)
    finally:
        proc.kill()
        unit.close_master()
    got = [topic for topic, _, _ in client.got]
    assert [got.count("/imu/data_raw"), got.count("/imu/data")] == [kinds.count(0), kinds.count(1)]
    for topic in ("/imu/data_raw", "/imu/data"):  # the sample times rise per stream
        stamps = [cdr_header(body)[0] for t, _, body in client.got if t == topic]
        assert stamps and all(a < b for a, b in zip(stamps, stamps[1:]))
    assert out.startswith(f"{unit.path}: {len(kinds):,} packets in ") and out.count("\n") == 1
    if end == "ctrl-c":
        assert proc.returncode == 0 and out.rstrip().endswith("stopped by Ctrl-C") and err == "", (out, err)
    else:
        assert proc.returncode == 1 and " 1 client, 0 messages dropped; the port hung up (" in out
        assert err.startswith(f"vorn live: {unit.path}: the port hung up ("), err

    assert out_path.read_bytes() == data
    assert load_times(out_path).untimed == 0
    assert (tmp_path / "run.bin.baud").read_text().split() == ["921600"]
    with warnings.catch_warnings():
        warnings.simplefilter("error", UntimedWarning)
        assert vorn.read(out_path)["packet_type"].tolist() == kinds
    with pytest.raises(ValueError, match="record is for a serial port"):
        vorn.open(out_path, record=tmp_path / "again.bin")
    assert not (tmp_path / "again.bin").exists()


def test_a_replay_stops_at_the_first_packet_without_a_vouched_time(tmp_path):
    """A damaged block in the middle of the times file: the replay serves the
    packets before it at their times, and none stamped from nothing."""
    import warnings

    import numpy as np
    from test_times import timed_recording as timed_in_blocks

    from vorn import read
    from vorn.foxglove import replay

    rec = tmp_path / "run.bin"
    timed_in_blocks(rec, vm.UnitSimulator(seed=5).stream(0.1)[0], flush_every=20)
    times = bytearray((tmp_path / "run.bin.times").read_bytes())
    blocks = [i for i in range(len(times)) if times.startswith(b"VTB2", i)]
    times[blocks[1] + 50] ^= 0x10
    (tmp_path / "run.bin.times").write_bytes(bytes(times))

    async def served():
        return [chunk async for chunk in replay(rec)]

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        t = read(rec)["host_time_ns"]
        got = np.concatenate([c["host_time_ns"] for c in asyncio.run(served())])
    cut = int(np.flatnonzero(t == -1)[0])
    assert 0 < cut and (t[cut:] > 0).any()  # timed again after the damaged block
    np.testing.assert_array_equal(got, t[:cut])


def masked_text(text: str) -> bytes:
    """A client's text frame, masked with a zero key (the payload as is)."""
    data = text.encode()
    n = len(data)
    size = bytes((0x80 | n,)) if n < 126 else bytes((0x80 | 126,)) + struct.pack(">H", n)
    return b"\x81" + size + b"\0\0\0\0" + data


async def raw_client(port: int, after_handshake: bytes = b""):
    """A client on a bare socket, as websockets' Sans-I/O client speaks: its
    handshake and whatever follows sent in one write."""
    from websockets.client import ClientProtocol
    from websockets.uri import parse_uri

    protocol = ClientProtocol(parse_uri(f"ws://127.0.0.1:{port}"), subprotocols=["foxglove.sdk.v1"])
    protocol.send_request(protocol.connect())
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
    sock.setblocking(False)
    loop = asyncio.get_running_loop()
    await loop.sock_connect(sock, ("127.0.0.1", port))
    await loop.sock_sendall(sock, b"".join(protocol.data_to_send()) + after_handshake)
    return sock, protocol


async def raw_events(sock, protocol, count: int) -> list:
    """The first count events (the handshake's response, then frames)."""
    loop = asyncio.get_running_loop()
    events = []
    while len(events) < count:
        data = await asyncio.wait_for(loop.sock_recv(sock, 65536), 10)
        assert data, events
        protocol.receive_data(data)
        events += protocol.events_received()
    return events


def test_requests_sent_with_the_handshake_are_answered_in_order_and_bad_handshakes_are_one_line(recording, caplog):
    """A client whose requests arrive with its handshake: serverInfo and
    advertise first, then each request's answer in order, its subscription
    in force. A browser's plain GET and bytes that are no HTTP: one line
    each, nothing else logged."""
    import numpy as np

    import vorn
    from vorn.foxglove import FoxgloveServer

    cols = vorn.read(recording)
    batch = {k: a[np.flatnonzero(cols["packet_type"] == 0)[:3]] for k, a in cols.items()}
    lines: list[str] = []

    async def run():
        async with FoxgloveServer(port=0, log=lines.append) as server:
            pipelined = b"".join(
                masked_text(json.dumps(r))
                for r in (
                    {"op": "unsubscribe", "subscriptionIds": [5]},
                    {"op": "subscribe", "subscriptions": [{"id": 5, "channelId": 1}]},
                    {"op": "subscribe", "subscriptions": [{"id": 5, "channelId": 2}]},
                )
            )
            sock, protocol = await raw_client(server.port, pipelined)
            events = await raw_events(sock, protocol, 5)
            server.publish(batch)
            events += await raw_events(sock, protocol, 3)
            sock.close()
            loop = asyncio.get_running_loop()
            for bad in (b"GET / HTTP/1.1\r\nHost: x\r\n\r\n", b"\x16\x03\x01 not http\r\n\r\n"):
                s = socket.socket()
                s.setblocking(False)
                await loop.sock_connect(s, ("127.0.0.1", server.port))
                await loop.sock_sendall(s, bad)
                while await asyncio.wait_for(loop.sock_recv(s, 4096), 10):
                    pass  # until the server ends the connection
                s.close()
        return events

    with caplog.at_level(logging.DEBUG):
        events = asyncio.run(run())
    assert events[0].status_code == 101
    texts = [json.loads(e.data) for e in events[1:5]]
    assert [t["op"] for t in texts] == ["serverInfo", "advertise", "status", "status"]
    assert texts[2]["message"] == "no subscription 5" and texts[3]["message"] == "subscription 5 is in use"
    assert [struct.unpack_from("<BI", e.data) for e in events[5:]] == [(1, 5)] * 3
    assert len(lines) == 2 and all("not a Foxglove WebSocket client" in line for line in lines), lines
    assert all("\n" not in line for line in lines)
    assert not [r for r in caplog.records if r.levelno >= logging.WARNING or r.name.startswith("websockets.server")]


def test_a_client_that_takes_nothing_is_dropped_told_why_and_one_past_the_cap_is_refused(tmp_path):
    """A client that stops reading is dropped after the stall limit, with a
    status saying so before the close (1008); the clients that read lose
    nothing. Past max_clients a client is refused with 503 and the reason;
    a place freed is taken again."""
    from vorn.foxglove import FoxgloveServer, replay

    path = timed_recording(tmp_path / "dense.bin", 1.5, 1.2)
    lines: list[str] = []

    async def run():
        dropped = asyncio.Event()

        def log(line):
            lines.append(line)
            if "dropped" in line:
                dropped.set()

        async with FoxgloveServer(port=0, stall_limit=0.3, max_clients=2, log=log) as server:
            fast = await Client(server.port, "foxglove.sdk.v1", ["/imu/data"]).start()  # light: keeps up
            stalled = await Client(server.port, "foxglove.websocket.v1", None, True).start()
            with pytest.raises(InvalidStatus) as refused:
                await connect(f"ws://127.0.0.1:{server.port}", subprotocols=["foxglove.sdk.v1"])
            taking = asyncio.ensure_future(fast.take())
            await asyncio.sleep(0.05)
            run = asyncio.ensure_future(server.run(replay(path)))
            await asyncio.wait_for(dropped.wait(), 20)
            told = asyncio.ensure_future(stalled.take(code=1008))  # reading again, at once
            await asyncio.wait_for(run, 30)
            await asyncio.wait_for(told, 20)
            late = await Client(server.port, "foxglove.sdk.v1", ["/imu/data"]).start()  # the freed place
            await asyncio.sleep(0.05)
        await taking
        return server, fast, stalled, late, refused.value.response

    server, fast, stalled, late, response = asyncio.run(run())
    assert response.status_code == 503 and b"at most 2 clients" in response.body
    assert lines[0].endswith("refused: 2 clients connected already")
    assert len(lines) == 2 and "dropped: it took nothing for 0.3 s" in lines[1], lines
    assert stalled.status and stalled.status[-1]["message"] == "dropped: this connection took nothing for 0.3 s"
    assert server.clients_seen == 3 and not fast.status
    import vorn

    cols = vorn.read(path)
    assert server.packets == cols.num_rows
    assert [t for t, _, _ in fast.got] == ["/imu/data"] * int((cols["packet_type"] == 1).sum())


def test_a_paused_client_closes_at_once_and_the_server_stops_whatever_its_clients_do(tmp_path):
    """A client that paused reading and then closes is let go within a
    moment, not after websockets' 10 s; close() ends the server with a
    stalled client and one that vanished without a word (a bare socket
    that never reads) within about a second."""
    from vorn.foxglove import CLOSE_TIMEOUT, FoxgloveServer, replay

    path = timed_recording(tmp_path / "dense.bin", 3.0, 3.0)

    async def run():
        server = FoxgloveServer(port=0)
        await server.start()
        try:
            pausing = await Client(server.port, "foxglove.sdk.v1").start()
            stalled = await Client(server.port, "foxglove.sdk.v1", None, True).start()
            subscribe = {"op": "subscribe", "subscriptions": [{"id": i, "channelId": i} for i in range(1, 12)]}
            sock, _ = await raw_client(server.port, masked_text(json.dumps(subscribe)))
            run = asyncio.ensure_future(server.run(replay(path)))
            give_up = time.monotonic() + 20
            while sum(c.paused_at is not None for c in server.clients) < 3 and time.monotonic() < give_up:
                await asyncio.sleep(0.02)  # none of them reads: their buffers fill
            started = time.monotonic()
            closing = asyncio.ensure_future(pausing.ws.close())
            while len(server.clients) > 2 and time.monotonic() < started + 20:
                await asyncio.sleep(0.01)
            paused_close = time.monotonic() - started
            closing.cancel()  # the client itself, reading paused, waits for its own limit
            await asyncio.sleep(0.3)
        finally:
            started = time.monotonic()
            await server.close()
            server_close = time.monotonic() - started
        run.cancel()
        sock.close()
        return paused_close, server_close, server

    paused_close, server_close, server = asyncio.run(run())
    # Sanity bounds for a loaded machine: the limits are CLOSE_TIMEOUT each.
    assert paused_close < 3.0 and server_close < 3.0, (paused_close, server_close)
    assert server_close >= CLOSE_TIMEOUT * 0.5  # the vanished client was waited for, then cut
    assert not server.connections


def test_rep103_by_default_and_the_orientation_on_tf(recording):
    """A client of the default server: the raw and filter Imu messages (read
    with rosbags' ROS 2 types) in REP 103's body frame, a level unit's
    gravity up; /tf carries the orientation from enu to the frame id, at
    most 50 times a second."""
    from rep103 import body_orientation
    from rosbags.typesys import Stores, get_typestore

    import vorn

    store = get_typestore(Stores.ROS2_HUMBLE)
    server, (c,), _ = asyncio.run(serve(recording, [("foxglove.sdk.v1", None)]))
    assert c.info["metadata"]["frame"].startswith("REP 103 body frame")
    cols = vorn.read(recording)
    raw = [store.deserialize_cdr(b, "sensor_msgs/msg/Imu") for t, _, b in c.got if t == "/imu/data_raw"]
    filt = [store.deserialize_cdr(b, "sensor_msgs/msg/Imu") for t, _, b in c.got if t == "/imu/data"]
    is_raw = cols["packet_type"] == 0
    ax, ay, az = (cols[f"scaled_accel_{a}"][is_raw].astype(float) * G for a in "xyz")
    got = [(m.linear_acceleration.x, m.linear_acceleration.y, m.linear_acceleration.z) for m in raw]
    assert all(map(same, [v for xyz in got for v in xyz], [v for xyz in zip(ax, -ay, -az) for v in xyz]))
    assert sum(z for _, _, z in got) / len(got) > 9.0  # gravity up
    tf = [(t, store.deserialize_cdr(b, "tf2_msgs/msg/TFMessage")) for t, _, b in c.got if t == "/tf"]
    assert tf
    by_stamp = {m.header.stamp.sec * 10**9 + m.header.stamp.nanosec: m for m in filt}
    for _, msg in tf:
        (tr,) = msg.transforms
        assert (tr.header.frame_id, tr.child_frame_id) == ("enu", "imu_link")
        assert (tr.transform.translation.x, tr.transform.translation.y, tr.transform.translation.z) == (0, 0, 0)
        m = by_stamp[tr.header.stamp.sec * 10**9 + tr.header.stamp.nanosec]
        q = m.orientation
        r = tr.transform.rotation
        assert m.orientation_covariance[0] != -1.0  # a valid orientation only
        assert (r.x, r.y, r.z, r.w) == (q.x, q.y, q.z, q.w)
    stamps = sorted(m.transforms[0].header.stamp.sec * 10**9 + m.transforms[0].header.stamp.nanosec for _, m in tf)
    assert all(b - a >= 20_000_000 for a, b in zip(stamps, stamps[1:]))
    i = next(
        i for i in range(cols.num_rows) if cols["packet_type"][i] == 1 and not cols["est_orient_quaternion_invalid"][i]
    )
    q = tuple(float(cols[f"est_orient_quaternion_{p}"][i]) for p in "xyzw")
    first = filt[int((cols["packet_type"][:i] == 1).sum())].orientation
    assert all(map(same, (first.x, first.y, first.z, first.w), body_orientation(q)))


def test_replay_rate_is_the_raw_packets_rate(tmp_path):
    """A recording without arrival times replayed at --rate R: raw packet k
    at k/R s (the export's stamps), the filter packets between them."""
    import numpy as np

    from vorn.foxglove import replay
    from vorn.rate_clock import RateClock

    path = tmp_path / "untimed.bin"
    path.write_bytes(vm.UnitSimulator(seed=4).stream(0.3)[0])

    async def served():
        return [chunk async for chunk in replay(path, rate=2000.0)]

    started = time.monotonic()
    chunks = asyncio.run(served())
    took = time.monotonic() - started
    kinds = np.concatenate([c["packet_type"] for c in chunks])
    t = np.concatenate([c["host_time_ns"] for c in chunks])
    raws = int((kinds == 0).sum())
    assert raws > 200 and (kinds == 1).any()
    np.testing.assert_array_equal(t - t[0], RateClock(2000.0).times(kinds))
    assert np.all(np.diff(t[kinds == 0]) == 500_000)
    assert took >= 0.9 * (raws - 1) / 2000  # paced by the raw packets, not by every packet


def test_options_exactly_as_written_and_frame_ids_as_tf2_takes_them(recording, capsys):
    """No prefix stands for an option, in any command; live takes --frame,
    --noise and --stamps as export does; an empty frame id or one with a
    leading slash is a usage error."""
    from vorn.cli import main, parser

    args = parser().parse_args(["live", "--replay", str(recording), "--frame", "unit", "--stamps", "arrival"])
    assert (args.frame, args.frame_id, args.stamps, args.noise) == ("unit", "imu_link", "arrival", None)
    assert parser().parse_args(["export", str(recording), "-o", "x.mcap"]).frame is None  # REP 103 for ROS outputs
    for argv, text in [
        (["live", "--rep", str(recording)], "unrecognized arguments: --rep"),
        (["export", str(recording), "-o", "x.mcap", "--frame-i", "a"], "unrecognized arguments: --frame-i"),
        (["export", str(recording), "-o", "x.csv", "--form", "csv"], "unrecognized arguments: --form"),
        (["record", "/dev/null", "-o", "x.bin", "--sec", "1"], "unrecognized arguments: --sec"),
        (["--vers"], "the following arguments are required: COMMAND"),  # not --version
        (["export", str(recording), "-o", "x.mcap", "--frame-id", ""], "must not be empty (tf2 refuses it)"),
        (["live", "--replay", str(recording), "--frame-id", "/imu_link"], "must not begin with '/'"),
    ]:
        with pytest.raises(SystemExit) as e:
            main(argv)
        err = capsys.readouterr().err
        assert e.value.code == 2 and text in err, (argv, err)
    from vorn.export import export

    with pytest.raises(ValueError, match="frame id must not begin with '/'"):
        export(recording, recording.parent / "x.mcap", "mcap", frame_id="/imu_link")
    assert not (recording.parent / "x.mcap").exists()


@pytest.mark.child_interpreter
def test_live_stops_within_a_second_of_sigterm_with_clients_that_vanished_and_bad_handshakes(tmp_path):
    """vorn live with a client that subscribed and vanished (never reads,
    never closes) and one that stalled, while the unit's full rate flows:
    SIGTERM ends it at once with its summary; each bad handshake was one
    line on stderr."""
    path = timed_recording(tmp_path / "dense.bin", 4.0, 30.0)
    proc = subprocess.Popen(
        [VORN, "live", "--replay", str(path), "--port", "0"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        line = proc.stderr.readline()
        assert "; axes REP 103 (x forward, y left, z up), frame_id imu_link" in line, line
        port = int(line.split("ws://127.0.0.1:")[1].split()[0])

        async def visit():
            subscribe = {"op": "subscribe", "subscriptions": [{"id": i, "channelId": i} for i in range(1, 12)]}
            sock, _ = await raw_client(port, masked_text(json.dumps(subscribe)))
            stalled = await Client(port, "foxglove.sdk.v1", None, True).start()
            loop = asyncio.get_running_loop()
            for bad in (b"GET / HTTP/1.1\r\nHost: x\r\n\r\n", b"\x16\x03\x01 not http\r\n\r\n"):
                s = socket.socket()
                s.setblocking(False)
                await loop.sock_connect(s, ("127.0.0.1", port))
                await loop.sock_sendall(s, bad)
                while await asyncio.wait_for(loop.sock_recv(s, 4096), 10):
                    pass
                s.close()
            await asyncio.sleep(1.0)  # their buffers fill
            started = time.monotonic()
            proc.send_signal(signal.SIGTERM)
            await asyncio.get_running_loop().run_in_executor(None, proc.wait, 30)
            sock.close()
            stalled.ws.transport.abort()
            return time.monotonic() - started

        took = asyncio.run(visit())
        out, err = proc.communicate(timeout=20)
    finally:
        proc.kill()
    assert took < 3.0, took  # a sanity bound for a loaded machine: the limit is half a second
    assert proc.returncode == 0 and out.rstrip().endswith("stopped by SIGTERM"), (out, err)
    assert " 2 clients, " in out
    lines = err.splitlines()
    assert len(lines) == 2 and all("not a Foxglove WebSocket client" in line for line in lines), err


@pytest.mark.serial_ioctls
def test_live_tells_its_clients_when_no_packets_come_and_when_the_port_is_unplugged(tmp_path):
    """A port on which nothing frames: after a few seconds one line, and a
    warning status to the clients (a client that connects later too)
    pointing at vorn doctor; packets again said so; with --reconnect an
    unplug (the device gone) and its return said the same ways."""
    from test_serial import Pty, write_all

    unit = Pty()
    port = tmp_path / "unit"  # a link that follows the device, as /dev/serial/by-id does
    port.symlink_to(unit.path)
    proc = subprocess.Popen(
        [VORN, "live", str(port), "--baud", "921600", "--port", "0", "--reconnect", "--frame", "unit"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    again = None
    try:
        line = proc.stderr.readline()
        assert "axes the unit's (x forward, y right, z down)" in line, line
        ws_port = int(line.split("ws://127.0.0.1:")[1].split()[0])

        async def wait_for(client, n, limit=20):
            give_up = time.monotonic() + limit
            while len(client.status) < n and time.monotonic() < give_up:
                await asyncio.sleep(0.05)

        async def visit():
            nonlocal again
            early = await Client(ws_port, "foxglove.sdk.v1", ["/imu/data_raw"]).start()
            taking = asyncio.ensure_future(early.take(60))
            await wait_for(early, 1)
            late = await Client(ws_port, "foxglove.sdk.v1", ["/imu/data_raw"]).start()
            late_taking = asyncio.ensure_future(late.take(60))
            write_all(unit.master, vm.UnitSimulator(seed=8).stream(0.1)[0])
            await wait_for(early, 2)
            unit.close_master()  # the device goes, and its link with it (as by-id links do)
            port.unlink()
            await wait_for(early, 3)
            again = Pty()  # back, where the link points
            port.symlink_to(again.path)
            await wait_for(early, 4)
            proc.send_signal(signal.SIGTERM)
            await taking, await late_taking
            return early, late

        early, late = asyncio.run(visit())
        out, err = proc.communicate(timeout=20)
    finally:
        proc.kill()
        unit.close_master()
        if again is not None:
            again.close_master()
    quiet = f"{port}: no packets in 3 s at 921600 baud; `vorn doctor {port} --listen 5` says why"
    gone = f"{port}: unplugged; waiting for it to come back"
    assert [(s["level"], s["message"]) for s in early.status[:3]] == [
        (1, quiet),
        (0, f"{port}: packets again"),
        (1, gone),
    ]
    assert early.status[3]["level"] == 0 and early.status[3]["message"].startswith(f"{port}: back after ")
    assert late.status[0] == {"op": "status", "level": 1, "message": quiet} and early.got
    assert err.splitlines()[:2] == [f"vorn live: {quiet}", f"vorn live: {gone}"], err
    assert err.splitlines()[2].startswith(f"vorn live: {port}: back after "), err
    assert proc.returncode == 0, (out, err)


def test_live_tells_its_clients_when_the_sample_clock_locks(tmp_path):
    """A unit streaming at its own pace: once its sample clock has locked
    (past the warm-up), the clients are told so, with the unit's drift."""
    from test_serial import Pty

    seconds = 12.0
    data = vm.UnitSimulator(seed=3).stream(seconds)[0]
    unit = Pty()
    stop = threading.Event()

    def paced():  # the unit's bytes at the line's pace, 10 ms at a time
        start, sent = time.monotonic(), 0
        while sent < len(data) and not stop.wait(0.01):
            due = min(len(data), int((time.monotonic() - start) / seconds * len(data)))
            if due > sent:
                os.write(unit.master, data[sent:due])
                sent = due

    proc = subprocess.Popen(
        [VORN, "live", unit.path, "--baud", "921600", "--port", "0"], stderr=subprocess.PIPE, text=True
    )
    writer = threading.Thread(target=paced, daemon=True)
    try:
        line = proc.stderr.readline()
        ws_port = int(line.split("ws://127.0.0.1:")[1].split()[0])

        async def visit():
            client = await Client(ws_port, "foxglove.sdk.v1", ["/imu/data_raw"]).start()
            taking = asyncio.ensure_future(client.take(30))
            writer.start()
            give_up = time.monotonic() + 30
            while not client.status and time.monotonic() < give_up:
                await asyncio.sleep(0.05)
            proc.send_signal(signal.SIGTERM)
            await taking
            return client

        client = asyncio.run(visit())
        proc.communicate(timeout=20)
    finally:
        stop.set()
        proc.kill()
        unit.close_master()
    assert client.status, "no status while the unit streamed"
    first = client.status[0]
    assert first["level"] == 0 and first["message"].startswith(f"{unit.path}: sample clock locked (drift "), first
    assert abs(float(first["message"].split("drift ")[1].split()[0])) < 200  # ppm: the simulated unit's is small
