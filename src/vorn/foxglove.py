"""The unit's stream served live over the Foxglove WebSocket protocol, to
Foxglove, Lichtblick, PlotJuggler or any other client of it, as the same ROS 2
messages the MCAP export writes (topics, ros2msg schemas, CDR), so that a
layout made on a recording works live, and the unit's orientation on /tf for
a 3D panel.

    server = FoxgloveServer(host="127.0.0.1", port=8765)
    await server.start()
    await server.run(batches)   # an async iterator of column batches
    await server.close()

A batch maps column names to arrays as vorn.read's Columns do; each packet is
stamped with its sample time (time_ns), or without one with its arrival time
(host_time_ns). The server speaks the protocol under both of its names,
foxglove.websocket.v1 and the newer foxglove.sdk.v1 (the same messages).

The connections are websockets' Sans-I/O protocol on asyncio's transports:
nothing is awaited per client, so that no client holds up the source (the
port's reader) or the others. Each client has a bounded queue of messages,
written out a slice at a time as its socket takes them: a client that reads
too slowly loses its oldest messages (counted, and told so in a status
message); one that takes nothing for stall_limit seconds is dropped, told
why; past max_clients a new client is refused (HTTP 503, saying so).
Requests are bounded in size, nesting and rate, each bad one answered with a
status. close() ends every connection within CLOSE_TIMEOUT whatever the
clients do. Needs websockets and numpy (pip install 'vorn_rs[live]').
"""

from __future__ import annotations

import asyncio
import json
import logging
import re
import socket
import struct
import time
from collections import deque
from collections.abc import AsyncIterator, Callable, Mapping

from vorn.ros_messages import (
    CHANNELS,
    DEFAULT_FRAME_ID,
    QUATERNION_MSG,
    VECTOR3_MSG,
    BatchPacker,
    definition,
    frame_text,
)

INSTALL_HINT = "vorn live needs websockets and numpy: pip install 'vorn_rs[live]'"
SUBPROTOCOLS = ("foxglove.websocket.v1", "foxglove.sdk.v1")  # the same protocol under its old and new name
QUEUE_MESSAGES = 4096  # per client: half a second of every topic at the unit's full rate, seconds of one
SEND_BUFFER = 1 << 17  # bytes of kernel socket buffer per client (the kernel doubles it)
WRITE_LIMIT = 1 << 16  # bytes the transport holds for a client before it counts as not reading
SEND_BATCH = 256  # messages written to a client in one turn of the event loop
STATUS_EVERY = 1.0  # s between two status messages telling a client about its drops
MAX_CLIENTS = 16
STALL_LIMIT = 5.0  # s a client may take nothing before it is dropped
CLOSE_TIMEOUT = 0.5  # s a closing connection is given before it is cut
DROP_GRACE = 2.0  # s a dropped client is given to read up to why (cut at once when the server stops)
HANDSHAKE_TIMEOUT = 10.0  # s from connecting to a complete handshake
MAX_REQUEST = 1 << 16  # bytes of one request; a longer one is answered with an error status
MAX_FRAME = 1 << 20  # bytes of one message, past which the protocol closes the connection (1009)
MAX_DEPTH = 8  # nesting of a request's JSON (a subscribe is 3 deep)
REQUESTS_PER_SECOND = 200  # a client's requests taken at most, on average
REQUEST_BURST = 400
TF_EVERY_NS = 20_000_000  # /tf at most 50 times a second: a 3D panel needs no more
OP_MESSAGE_DATA = 1
STATUS_INFO, STATUS_WARNING, STATUS_ERROR = 0, 1, 2
MESSAGE_TIME = struct.Struct("<Q").pack
SUBSCRIPTION = struct.Struct("<I").pack
STRINGS = re.compile(r'"(?:[^"\\]|\\.)*"')
NOT_BRACKETS = re.compile(r"[^\[\]{}]+")

TF_TOPIC, TF_TYPE = "/tf", "tf2_msgs/msg/TFMessage"
TF_SCHEMA = definition(
    "geometry_msgs/TransformStamped[] transforms\n",
    (
        "geometry_msgs/TransformStamped",
        "std_msgs/Header header\nstring child_frame_id\ngeometry_msgs/Transform transform\n",
    ),
    ("geometry_msgs/Transform", "geometry_msgs/Vector3 translation\ngeometry_msgs/Quaternion rotation\n"),
    ("geometry_msgs/Vector3", VECTOR3_MSG),
    ("geometry_msgs/Quaternion", QUATERNION_MSG),
)
TF = len(CHANNELS) + 1  # its channel id, after the export's
DATA = next(ch.id for ch in CHANNELS if ch.topic == "imu/data")  # the orientation /tf carries
HEADER_STAMP = struct.Struct("<iI")  # after the encapsulation: sec, nanosec
IMU_FROM_END = 37 * 8  # an Imu's doubles after its header: the orientation (x, y, z, w) and its covariance first
# The frame the orientation is against: REP 103's east, north, up, or the
# unit's own north, east, down.
PARENT_FRAMES = {"rep103": "enu", "unit": "ned"}

log = logging.getLogger("vorn.live")


def require_websockets():
    """websockets' Sans-I/O server protocol (and numpy, which the messages
    are made from); ImportError naming the extra."""
    try:
        import numpy  # noqa: F401
        from websockets.server import ServerProtocol
    except ImportError:
        raise ImportError(INSTALL_HINT) from None
    return ServerProtocol


def channels(prefix: str = "") -> list[dict]:
    """The channels every client is offered: the MCAP export's, by id, then
    /tf (the unit's orientation, for a 3D panel)."""
    out = [
        {
            "id": ch.id,
            "topic": f"{prefix}/{ch.topic}",
            "encoding": "cdr",
            "schemaName": ch.type,
            "schema": ch.schema.decode(),
            "schemaEncoding": "ros2msg",
        }
        for ch in CHANNELS
    ]
    out.append(
        {
            "id": TF,
            "topic": TF_TOPIC,
            "encoding": "cdr",
            "schemaName": TF_TYPE,
            "schema": TF_SCHEMA.decode(),
            "schemaEncoding": "ros2msg",
        }
    )
    return out


def stamp_of(message: bytes) -> int:
    """A stamped message's header.stamp, ns."""
    sec, nsec = HEADER_STAMP.unpack_from(message, 4)
    return sec * 1_000_000_000 + nsec


class Transforms:
    """tf2_msgs/TFMessage bodies: one transform from parent to child, the
    rotation only."""

    def __init__(self, parent: str, child: str) -> None:
        p, c = parent.encode() + b"\0", child.encode() + b"\0"
        at = 16 + len(p)  # after the encapsulation: count, stamp, the parent's length and text
        pad4 = -at % 4
        at += pad4 + 4 + len(c)
        self.pack = struct.Struct(f"<4sIiII{len(p)}s{pad4}xI{len(c)}s{-at % 8}x7d").pack
        self.p, self.c = p, c

    def message(self, t: int, q) -> bytes:
        return self.pack(
            b"\x00\x01\x00\x00",
            1,
            t // 1_000_000_000,
            t % 1_000_000_000,
            len(self.p),
            self.p,
            len(self.c),
            self.c,
            0.0,
            0.0,
            0.0,
            *q,
        )


def frame_head(size: int) -> bytes:
    """A server's unmasked, final binary frame header for a payload of size
    bytes, then the message-data opcode."""
    if size < 126:
        head = bytes((0x82, size))
    elif size < 1 << 16:
        head = b"\x82\x7e" + struct.pack(">H", size)
    else:
        head = b"\x82\x7f" + struct.pack(">Q", size)
    return head + bytes((OP_MESSAGE_DATA,))


def depth(text: str) -> int:
    """How deeply JSON text nests its arrays and objects."""
    level = deepest = 0
    for c in NOT_BRACKETS.sub("", STRINGS.sub("", text)):
        level += 1 if c in "[{" else -1
        deepest = max(deepest, level)
    return deepest


class Client(asyncio.Protocol):
    """One connection: websockets' protocol state, the client's
    subscriptions, and the messages waiting for it (bounded: the oldest make
    room for the newest). Touched by the event loop's thread only."""

    def __init__(self, server: FoxgloveServer) -> None:
        self.server = server
        self.transport = None
        self.protocol = None
        self.peer = "a client"
        self.open = False  # the handshake done and no close begun: data may go
        self.subscriptions: dict[int, int] = {}  # subscription id -> channel id
        self.by_channel: dict[int, bytes] = {}  # channel id -> subscription id, packed
        self.queue: deque[tuple[int, bytes, bytes]] = deque(maxlen=server.limit)
        self.sent = self.dropped = self.told = 0
        self.told_at = 0.0
        self.paused_at: float | None = None  # when the socket stopped taking what is written
        self.flushing = False
        self.parts: list[bytes] = []  # a fragmented request so far, while within MAX_REQUEST
        self.size = 0  # its bytes in all
        self.binary = False
        self.tokens, self.tokens_at = float(REQUEST_BURST), time.monotonic()
        self.timer: asyncio.TimerHandle | None = None
        self.lost = asyncio.get_running_loop().create_future()

    # -- asyncio's side --

    def connection_made(self, transport) -> None:
        self.transport = transport
        sock = transport.get_extra_info("socket")
        if sock is not None:
            # A fixed kernel buffer: a stalled client's backlog then stays in
            # its queue, where the oldest go first, not megabytes of it in
            # the kernel that would reach it late.
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, SEND_BUFFER)
        peer = transport.get_extra_info("peername")
        if isinstance(peer, tuple) and len(peer) >= 2:
            self.peer = f"[{peer[0]}]:{peer[1]}" if ":" in str(peer[0]) else f"{peer[0]}:{peer[1]}"
        transport.set_write_buffer_limits(high=WRITE_LIMIT)
        self.protocol = self.server.ServerProtocol(
            subprotocols=list(SUBPROTOCOLS),
            select_subprotocol=pick_subprotocol,
            max_size=MAX_FRAME,
            logger=QUIET,
        )
        self.server.connections.add(self)
        self.timer = asyncio.get_running_loop().call_later(HANDSHAKE_TIMEOUT, self.late)

    def data_received(self, data: bytes) -> None:
        protocol = self.protocol
        protocol.receive_data(data)
        for event in protocol.events_received():
            if self.transport.is_closing():
                break
            if hasattr(event, "opcode"):
                self.frame(event)
            else:
                self.handshake(event)
        if protocol.handshake_exc is not None and not self.open and self.timer is not None:
            self.refused(protocol.handshake_exc)
        self.write_out()

    def eof_received(self) -> bool:
        self.protocol.receive_eof()
        self.write_out()
        return True  # closed by write_out(), once what is written has gone

    def connection_lost(self, exc) -> None:
        if self.timer is not None:
            self.timer.cancel()
            self.timer = None
        self.open = False
        server = self.server
        server.connections.discard(self)
        if self in server.clients:
            server.clients.discard(self)
            server.dropped_gone += self.dropped
        self.queue.clear()
        if not self.lost.done():
            self.lost.set_result(None)

    def pause_writing(self) -> None:
        self.paused_at = time.monotonic()

    def resume_writing(self) -> None:
        self.paused_at = None
        self.flush()

    # -- the protocol's side --

    def handshake(self, request) -> None:
        server, protocol = self.server, self.protocol
        if len(server.clients) >= server.max_clients:
            response = protocol.reject(
                503, f"vorn live serves at most {server.max_clients} clients at once; close one first\n"
            )
            server.log(f"{self.peer}: refused: {server.max_clients} clients connected already")
            self.timer.cancel()
            self.timer = None
        else:
            response = protocol.accept(request)
        protocol.send_response(response)
        if response.status_code != 101:
            return
        self.timer.cancel()
        self.timer = None
        self.open = True
        server.clients.add(self)
        server.clients_seen += 1
        protocol.send_text(server.info.encode())
        protocol.send_text(server.advertise.encode())
        if server.standing is not None:
            protocol.send_text(server.standing.encode())

    def refused(self, exc: Exception) -> None:
        """A handshake that failed: one line, and the connection ends."""
        why = str(exc)
        if exc.__cause__ is not None and str(exc.__cause__):
            why += f" ({exc.__cause__})"
        self.server.log(f"{self.peer}: not a Foxglove WebSocket client: {why}")
        self.timer.cancel()
        self.timer = None

    def late(self) -> None:
        self.timer = None
        self.server.log(f"{self.peer}: no WebSocket handshake in {HANDSHAKE_TIMEOUT:g} s")
        self.transport.abort()

    def frame(self, frame) -> None:
        from websockets.frames import Opcode

        op = frame.opcode
        if op is Opcode.CLOSE:
            self.open = False  # the protocol answers it and ends the connection
            self.queue.clear()
            return
        if op not in (Opcode.TEXT, Opcode.BINARY, Opcode.CONT):
            return  # ping and pong: the protocol answers a ping itself
        if op is not Opcode.CONT:
            self.parts, self.size, self.binary = [], 0, op is Opcode.BINARY
        self.size += len(frame.data)
        if self.size <= MAX_REQUEST:
            self.parts.append(frame.data)
        if not frame.fin:
            return
        parts, self.parts = self.parts, []
        if self.open:
            self.request(b"".join(parts), self.size)

    def request(self, data: bytes, size: int) -> None:
        """A whole request: handled within the client's rate, too long or
        binary ones answered with an error status."""
        now = time.monotonic()
        self.tokens = min(REQUEST_BURST, self.tokens + (now - self.tokens_at) * REQUESTS_PER_SECOND)
        self.tokens_at = now
        self.tokens -= 1
        if self.tokens < 0:
            # Reading waits until the rate allows the next request.
            self.transport.pause_reading()
            loop = asyncio.get_running_loop()
            loop.call_later(-self.tokens / REQUESTS_PER_SECOND, self.resume_reading)
        if size > MAX_REQUEST:
            self.status(STATUS_ERROR, f"request too long: {size:,} bytes, at most {MAX_REQUEST:,}")
        elif self.binary:
            self.status(STATUS_ERROR, "this server takes no binary messages from clients")
        else:
            try:
                text = data.decode()
            except UnicodeDecodeError:
                self.status(STATUS_ERROR, "not UTF-8 text")
                return
            self.server.handle(self, text)

    def resume_reading(self) -> None:
        if not self.transport.is_closing():
            self.transport.resume_reading()

    def write_out(self) -> None:
        """What the protocol has to send, sent; its end of the stream closes
        the connection, cut short after CLOSE_TIMEOUT (unless a limit is set)."""
        for data in self.protocol.data_to_send():
            if data:
                self.transport.write(data)
            else:
                self.open = False
                self.transport.close()
        if self.protocol.close_expected():
            self.cut_after(CLOSE_TIMEOUT)

    def cut_after(self, seconds: float) -> None:
        if self.timer is None and not self.lost.done():
            self.timer = asyncio.get_running_loop().call_later(seconds, self.transport.abort)

    def close(self, code: int, reason: str, grace: float = CLOSE_TIMEOUT) -> None:
        """Begins the closing handshake; the connection is cut should it not
        end within grace seconds."""
        if self.timer is not None and grace < DROP_GRACE:
            self.timer.cancel()  # a shorter limit than a drop's
            self.timer = None
        if self.open:
            self.open = False
            self.queue.clear()
            self.protocol.send_close(code, reason)
            self.write_out()
        else:
            self.transport.close()
        self.cut_after(grace)

    # -- what the server hands it --

    def status(self, level: int, message: str) -> None:
        """A status message, sent at once (ahead of the queued data)."""
        if self.open:
            self.protocol.send_text(json.dumps({"op": "status", "level": level, "message": message}).encode())
            self.write_out()

    def put(self, messages: list[tuple[int, bytes, bytes]]) -> None:
        if not self.open or not self.by_channel:
            return
        if len(self.by_channel) < len(self.server.channels):
            by_channel = self.by_channel
            messages = [m for m in messages if m[0] in by_channel]
        queue = self.queue
        over = len(queue) + len(messages) - self.limit
        if over > 0:
            self.dropped += min(over, len(queue) + len(messages))
        queue.extend(messages)  # its maxlen lets the oldest go
        if not self.flushing and self.paused_at is None:
            self.flushing = True
            asyncio.get_running_loop().call_soon(self.flush)

    @property
    def limit(self) -> int:
        return self.queue.maxlen

    def flush(self) -> None:
        """Writes up to SEND_BATCH queued messages, and comes back for more
        in a later turn while the socket takes them: one client's backlog
        never holds up the loop."""
        self.flushing = False
        if not self.open or self.paused_at is not None:
            return
        if self.dropped > self.told and time.monotonic() - self.told_at >= STATUS_EVERY:
            self.told_at = time.monotonic()
            self.status(
                STATUS_WARNING,
                f"{self.dropped - self.told:,} messages dropped: this connection reads more "
                f"slowly than the unit sends ({self.dropped:,} in all)",
            )
            self.told = self.dropped
        queue, by_channel = self.queue, self.by_channel
        n = min(len(queue), SEND_BATCH)
        if not n:
            return
        out = []
        for _ in range(n):
            cid, head, rest = queue.popleft()
            sid = by_channel.get(cid)
            if sid is not None:  # not unsubscribed since
                out += (head, sid, rest)
        self.transport.write(b"".join(out))
        self.sent += n
        if queue and self.paused_at is None:
            self.flushing = True
            asyncio.get_running_loop().call_soon(self.flush)


class Quiet(logging.LoggerAdapter):
    """websockets' connection logger, silent: the server says what matters in
    one line of its own."""

    def __init__(self) -> None:
        super().__init__(logging.getLogger("vorn.live.websockets"), {})

    def isEnabledFor(self, level) -> bool:
        return False

    def log(self, *args, **kwargs) -> None:
        pass


QUIET = Quiet()


class FoxgloveServer:
    """Serves column batches to every connected client, as the channels of
    channels(prefix), on host:port (port 0: any free one, see .port).

    frame: "rep103" (ROS's body frame, the default) or "unit" (the unit's
    axes), see vorn.ros_messages; stamps: what header.stamp holds ("sample"
    or "arrival"); noise: an imu.yaml of `vorn noise` for the raw sensor's
    covariances (imu/data_raw);
    queue: messages waiting per client at most; max_clients: clients at once;
    stall_limit: seconds a client may take nothing before it is dropped;
    log: where a line about a refused or dropped client goes (by default
    the "vorn.live" logger)."""

    def __init__(
        self,
        *,
        host: str = "127.0.0.1",
        port: int = 8765,
        frame_id: str = DEFAULT_FRAME_ID,
        prefix: str = "",
        queue: int = QUEUE_MESSAGES,
        name: str = "vorn",
        frame: str = "rep103",
        stamps: str = "sample",
        noise=None,
        max_clients: int = MAX_CLIENTS,
        stall_limit: float = STALL_LIMIT,
        log: Callable[[str], None] | None = None,
    ) -> None:
        if queue < 1:
            raise ValueError(f"queue must hold at least 1 message, not {queue}")
        if max_clients < 1:
            raise ValueError(f"max_clients must be at least 1, not {max_clients}")
        if not stall_limit > 0:
            raise ValueError(f"stall_limit must be above 0 seconds, not {stall_limit!r}")
        self.packer = BatchPacker(frame_id, frame=frame, stamps=stamps, noise=noise)  # checks all four
        self.host, self.port = host, port
        self.frame = frame
        self.transforms = Transforms(PARENT_FRAMES[frame], frame_id)
        self.tf_at = -TF_EVERY_NS
        self.channels = channels(prefix)
        self.limit = queue
        self.max_clients = max_clients
        self.stall_limit = stall_limit
        self.log = log if log is not None else log_line
        self.clients: set[Client] = set()  # connections past their handshake
        self.connections: set[Client] = set()
        self.packets = self.clients_seen = 0
        self.dropped_gone = 0  # drops of clients that have left
        self.info = json.dumps(
            {
                "op": "serverInfo",
                "name": name,
                "capabilities": [],
                "sessionId": str(time.time_ns()),
                "metadata": {
                    "frame_id": frame_id,
                    "frame": frame_text(frame),
                    "tf": f"{TF_TOPIC}: {PARENT_FRAMES[frame]} -> {frame_id}, the unit's orientation",
                },
            }
        )
        self.advertise = json.dumps({"op": "advertise", "channels": self.channels})
        self.standing: str | None = None  # a warning every new client is given too
        self.server = None
        self.watch: asyncio.Task | None = None
        self.subscribed = asyncio.Event()  # set at the first subscription of any client
        self.ServerProtocol = None

    @property
    def dropped(self) -> int:
        """Messages dropped for clients too slow to take them, all clients together."""
        return self.dropped_gone + sum(c.dropped for c in self.clients)

    async def start(self) -> None:
        self.ServerProtocol = require_websockets()
        loop = asyncio.get_running_loop()
        self.server = await loop.create_server(lambda: Client(self), self.host, self.port)
        self.port = self.server.sockets[0].getsockname()[1]
        self.watch = asyncio.ensure_future(self.drop_stalled())

    async def close(self) -> None:
        """Stops listening and ends every connection: a close frame to each
        client, the connection cut after CLOSE_TIMEOUT whatever it does."""
        if self.server is None:
            return
        server, self.server = self.server, None
        self.watch.cancel()
        server.close()
        waiting = [c.lost for c in self.connections]
        for c in list(self.connections):
            c.close(1001, "vorn live is stopping")
        if waiting:
            await asyncio.wait(waiting, timeout=CLOSE_TIMEOUT + 0.1)
        for c in list(self.connections):
            c.transport.abort()
        await asyncio.sleep(0)  # the aborted connections' last callbacks
        try:
            await asyncio.wait_for(server.wait_closed(), CLOSE_TIMEOUT)
        except asyncio.TimeoutError:
            pass

    async def __aenter__(self) -> FoxgloveServer:
        await self.start()
        return self

    async def __aexit__(self, *exc) -> None:
        await self.close()

    async def drop_stalled(self) -> None:
        """Every quarter of a second: a client that has taken nothing for
        stall_limit seconds is told why and dropped."""
        while True:
            await asyncio.sleep(0.25)
            now = time.monotonic()
            for c in list(self.clients):
                if c.open and c.paused_at is not None and now - c.paused_at >= self.stall_limit:
                    self.log(f"{c.peer}: dropped: it took nothing for {self.stall_limit:g} s")
                    c.status(STATUS_ERROR, f"dropped: this connection took nothing for {self.stall_limit:g} s")
                    c.close(1008, "too slow", DROP_GRACE)

    def tell(self, level: int, message: str, standing: bool = False) -> None:
        """A status message to every client; with standing, to every client
        that connects later as well, until the next tell()."""
        for c in self.clients:
            c.status(level, message)
        status = json.dumps({"op": "status", "level": level, "message": message})
        self.standing = status if standing else None

    def publish(self, batch: Mapping) -> None:
        """Hands the batch's messages to each client subscribed to them; never
        waits for a client."""
        n = len(batch["packet_type"])
        self.packets += n
        if not n or not any(c.by_channel for c in self.clients):
            return
        messages = self.messages_of(batch, tf=any(TF in c.by_channel for c in self.clients))
        shared = [(cid, frame_head(13 + len(data)), MESSAGE_TIME(t) + data) for cid, t, data in messages]
        for client in self.clients:
            client.put(shared)

    def messages_of(self, batch: Mapping, tf: bool = True) -> list[tuple[int, int, bytes]]:
        """The batch's messages as (channel id, time, CDR body), the export's
        channel by channel in id order (each in packet order), then with tf
        those of /tf; a message's time is its header.stamp (from 0: the
        protocol's times are unsigned)."""
        import numpy as np

        topics = self.packer.pack(batch, np.maximum(self.packer.stamp(batch), 0))
        out = [(cid, stamp_of(body), body) for cid, bodies in enumerate(topics, 1) for body in bodies]
        return out + self.tf_messages(topics[DATA - 1]) if tf else out

    def tf_messages(self, imu: list[bytes]) -> list[tuple[int, int, bytes]]:
        """/tf from the orientations of imu/data's messages that give one (its
        covariance not -1: present, not flagged invalid), at most one every
        TF_EVERY_NS."""
        out = []
        for body in imu:
            s = stamp_of(body)
            if s - self.tf_at < TF_EVERY_NS:
                continue
            *q, given = struct.unpack_from("<5d", body, len(body) - IMU_FROM_END)
            if given != -1.0:
                self.tf_at = s
                out.append((TF, s, self.transforms.message(s, q)))
        return out

    async def run(self, source: AsyncIterator[Mapping]) -> None:
        """Publishes each batch of source until it ends."""
        async for batch in source:
            self.publish(batch)
            await asyncio.sleep(0)  # the clients' writes get their turn, however fast the source

    def handle(self, client: Client, message: str) -> None:
        """A client's request: subscribe or unsubscribe; anything else is
        answered with an error status."""
        if depth(message) > MAX_DEPTH:
            client.status(STATUS_ERROR, f"request nested more than {MAX_DEPTH} deep")
            return
        try:
            request = json.loads(message)
            op = request["op"]
        except (ValueError, TypeError, KeyError):
            client.status(STATUS_ERROR, "not a JSON object with an op")
            return
        if op == "subscribe":
            self.subscribe(client, request.get("subscriptions"))
        elif op == "unsubscribe":
            ids = request.get("subscriptionIds")
            for sid in ids if isinstance(ids, list) else ():
                cid = client.subscriptions.pop(sid, None) if isinstance(sid, int) else None
                if cid is None:
                    client.status(STATUS_ERROR, f"no subscription {sid!r}")
                else:
                    del client.by_channel[cid]
        else:
            client.status(STATUS_ERROR, f"unsupported operation {str(op)[:64]!r}")

    def subscribe(self, client: Client, subscriptions) -> None:
        known = range(1, len(self.channels) + 1)
        for s in subscriptions if isinstance(subscriptions, list) else ():
            sid, cid = (s.get("id"), s.get("channelId")) if isinstance(s, dict) else (None, None)
            if not (isinstance(sid, int) and isinstance(cid, int) and 0 <= sid < 1 << 32):
                client.status(STATUS_ERROR, f"not a subscription: {json.dumps(s)[:128]}")
            elif cid not in known:
                client.status(STATUS_ERROR, f"no channel {cid}")
            elif sid in client.subscriptions:
                client.status(STATUS_ERROR, f"subscription {sid} is in use")
            elif cid in client.by_channel:
                client.status(STATUS_ERROR, f"channel {cid} is subscribed already")
            else:
                client.subscriptions[sid] = cid
                client.by_channel[cid] = SUBSCRIPTION(sid)
                self.subscribed.set()


def log_line(text: str) -> None:
    log.warning("%s", text)


def pick_subprotocol(connection, offered) -> str | None:
    """The first name of the protocol the client offers (both mean the same);
    a client offering neither is refused."""
    for name in offered:
        if name in SUBPROTOCOLS:
            return name
    from websockets.exceptions import NegotiationError

    raise NegotiationError(f"offer one of the subprotocols {', '.join(SUBPROTOCOLS)}")


async def replay(path, rate: float | None = None) -> AsyncIterator[dict]:
    """The packets of a recording as they arrived: each read's packets when its
    arrival time comes round again, counted from the first, up to the first
    packet whose read has no vouched time. A recording without arrival times
    needs rate, the raw packets' rate (per second, as the export's): raw
    packet k goes k/rate s after the start, the filter packets between the raw
    packets around them, each stamped with the clock's time then."""
    import numpy as np

    from vorn.columns import chunks
    from vorn.fields import UNTIMED
    from vorn.rate_clock import RateClock, no_arrival_times
    from vorn.times import has_times

    timed = has_times(path)
    if not timed and rate is None:
        raise no_arrival_times(path)
    loop = asyncio.get_running_loop()
    start = None
    first = None  # the first arrival time, ns
    clock = None if timed else RateClock(rate)
    for chunk in chunks(path):
        n = len(chunk["packet_type"])
        if start is None:
            start, wall = loop.time(), time.time_ns()
        if clock is not None:
            due = clock.times(chunk["packet_type"])  # ns after the start
            i = 0
            while i < n:
                wait = start + int(due[i]) / 1e9 - loop.time()
                if wait > 0:
                    await asyncio.sleep(wait)
                now = round((loop.time() - start) * 1e9)
                j = i + max(1, int(np.searchsorted(due[i:], now, "right")))
                part = {k: a[i:j] for k, a in chunk.items()}
                part["host_time_ns"] = wall + due[i:j]
                yield part
                i = j
            continue
        arrived = chunk["host_time_ns"]
        untimed = np.flatnonzero(arrived == UNTIMED)
        known = int(untimed[0]) if len(untimed) else n
        if first is None and known:
            first, start = int(arrived[0]), loop.time()
        cuts = [0, *(np.flatnonzero(np.diff(arrived[:known])) + 1).tolist(), known] if known else []
        for i, j in zip(cuts, cuts[1:]):
            wait = start + (int(arrived[i]) - first) / 1e9 - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            yield {k: a[i:j] for k, a in chunk.items()}
        if known < n:
            return


async def serve(
    server: FoxgloveServer,
    source: AsyncIterator[Mapping],
    stopped: asyncio.Event,
    *,
    wait: bool = False,
    status: Callable[[float, FoxgloveServer], None] | None = None,
    every: float = 0.5,
) -> bool:
    """Publishes source through server (with wait, from the first
    subscription on) until source ends (False) or stopped is set (True).
    status, if given, is called every `every` seconds with the seconds since
    the start and the server. A failure of source is raised."""
    start = time.monotonic()

    async def run():
        if wait:
            await server.subscribed.wait()
        await server.run(source)

    feed = asyncio.ensure_future(run())
    stop = asyncio.ensure_future(stopped.wait())
    try:
        while not (feed.done() or stop.done()):
            await asyncio.wait({feed, stop}, timeout=every, return_when=asyncio.FIRST_COMPLETED)
            if status is not None:
                status(time.monotonic() - start, server)
    finally:
        for task in (feed, stop):
            task.cancel()
        await asyncio.gather(feed, stop, return_exceptions=True)
    if stop.done() and not stop.cancelled():
        return True
    error = feed.exception()
    if error is not None:
        raise error
    return False


__all__ = ["FoxgloveServer", "SUBPROTOCOLS", "channels", "replay", "require_websockets", "serve"]
