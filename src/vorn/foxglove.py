"""The unit's stream served live over the Foxglove WebSocket protocol, to
Foxglove, Lichtblick, PlotJuggler or any other client of it, as the same ROS 2
messages the MCAP export writes (topics, ros2msg schemas, CDR), so that a
layout made on a recording works live.

    server = FoxgloveServer(host="127.0.0.1", port=8765)
    await server.start()
    await server.run(batches)   # an async iterator of column batches
    await server.close()

A batch maps column names to arrays as vorn.read's Columns do; each packet is
stamped with its sample time (time_ns), or without one with its arrival time
(host_time_ns). The server speaks the protocol under both of its names,
foxglove.websocket.v1 and the newer foxglove.sdk.v1 (the same messages), to
any number of clients at once. Each client has a bounded queue of messages: a
client that reads too slowly loses its oldest messages (counted, and told so
in a status message), and never holds up the source or the other clients.
Needs websockets (pip install 'vorn_rs[live]').
"""

from __future__ import annotations

import asyncio
import json
import socket
import struct
import time
from collections import deque
from collections.abc import AsyncIterator, Callable, Mapping

from vorn import _native
from vorn.export.mcap import CHANNELS, Messages, write_packets
from vorn.fields import FLAG_FIELDS, KINDS, VALUE_FIELDS, value_columns

INSTALL_HINT = "vorn live needs websockets: pip install 'vorn_rs[live]'"
SUBPROTOCOLS = ("foxglove.websocket.v1", "foxglove.sdk.v1")  # the same protocol under its old and new name
QUEUE_MESSAGES = 4096  # per client: half a second of every topic at the unit's full rate, seconds of one
SEND_BUFFER = 1 << 17  # bytes of kernel socket buffer per client (the kernel doubles it)
WRITE_LIMIT = 1 << 16  # bytes the transport holds for a client before its sender waits
SEND_BATCH = 64  # messages written to a client at once
STATUS_EVERY = 1.0  # s between two status messages telling a client about its drops
OP_MESSAGE_DATA = 1
STATUS_INFO, STATUS_WARNING, STATUS_ERROR = 0, 1, 2
MESSAGE_HEAD = struct.Struct("<BIQ").pack  # opcode, subscription id, receive time (ns)

# The row the export's message writer takes (fields.ROW_COLUMNS), each value
# component named by its column in a batch.
ROW_VALUE_COLUMNS = tuple(c for f in VALUE_FIELDS for c in value_columns(f))
INVALID_NAMES = tuple((f"{f}_invalid", _native.FIELDS[f]["invalid_name"]) for f in FLAG_FIELDS)


def require_websockets():
    """The websockets package's asyncio server; ImportError naming the extra."""
    try:
        from websockets.asyncio import server
    except ImportError:
        raise ImportError(INSTALL_HINT) from None
    return server


def channels(prefix: str = "") -> list[dict]:
    """The channels every client is offered: the MCAP export's, by id."""
    return [
        {
            "id": cid,
            "topic": f"{prefix}/{topic}",
            "encoding": "cdr",
            "schemaName": type_name,
            "schema": schema.decode(),
            "schemaEncoding": "ros2msg",
        }
        for cid, (topic, type_name, schema, _) in enumerate(CHANNELS, 1)
    ]


class Collected:
    """Takes the export's messages as (channel id, time, CDR body) instead of
    writing them to a file."""

    def __init__(self) -> None:
        self.out: list[tuple[int, int, bytes]] = []

    def message(self, cid: int, time: int, data: bytes) -> None:
        self.out.append((cid, time, data))


def floats(a) -> list:
    """A float column's values, None where absent (NaN)."""
    return [None if v != v else v for v in a.tolist()]


def stamps(batch: Mapping) -> list[int]:
    """Each packet's time in ns: its sample time, or where it has none (no
    column, NaN or negative) its arrival time."""
    import numpy as np

    arrived = batch.get("host_time_ns")
    sampled = batch.get("time_ns")
    if sampled is None:
        times = arrived
    else:
        known = sampled >= 0  # False for NaN too
        times = sampled if arrived is None or known.all() else np.where(known, sampled, arrived)
    return [max(int(t), 0) for t in times.tolist()]


def rows(batch: Mapping) -> list[tuple[int, int, tuple]]:
    """The batch's packets as the export's (time, stamp, row): live, a
    message's time and its header.stamp are both the packet's stamps()."""
    kinds = batch["packet_type"]
    n = len(kinds)
    absent = [None] * n
    flagged = [[] for _ in range(n)]
    for column, name in INVALID_NAMES:
        flags = batch.get(column)
        if flags is not None:
            for i in flags.nonzero()[0].tolist():
                flagged[i].append(name)
    times = stamps(batch)
    values = [floats(batch[c]) if c in batch else absent for c in ROW_VALUE_COLUMNS]
    kind_names = [KINDS[k] for k in kinds.tolist()]
    invalid = [",".join(names) if names else None for names in flagged]
    return [(t, t, (kind, bad, *vals)) for t, kind, bad, *vals in zip(times, kind_names, invalid, *values)]


class Client:
    """One connection: its subscriptions, and the messages waiting for it
    (bounded: the oldest make room for the newest). Touched by the event
    loop's thread only."""

    def __init__(self, ws, limit: int) -> None:
        self.ws = ws
        self.subscriptions: dict[int, int] = {}  # subscription id -> channel id
        self.by_channel: dict[int, int] = {}  # channel id -> subscription id
        self.queue: deque[bytes] = deque()
        self.control: deque[str] = deque(maxlen=64)  # answers and status, sent before data
        self.limit = limit
        self.wake = asyncio.Event()
        self.sent = self.dropped = self.told = 0

    def put(self, messages: list[tuple[int, int, bytes]]) -> None:
        by_channel, queue = self.by_channel, self.queue
        room = self.limit
        woken = False
        for cid, t, data in messages:
            sid = by_channel.get(cid)
            if sid is None:
                continue
            if len(queue) >= room:
                queue.popleft()
                self.dropped += 1
            queue.append(MESSAGE_HEAD(OP_MESSAGE_DATA, sid, t) + data)
            woken = True
        if woken:
            self.wake.set()

    def status(self, level: int, message: str) -> None:
        self.control.append(json.dumps({"op": "status", "level": level, "message": message}))
        self.wake.set()


class FoxgloveServer:
    """Serves column batches to every connected client, as the channels of
    channels(prefix), on host:port (port 0: any free one, see .port)."""

    def __init__(
        self,
        *,
        host: str = "127.0.0.1",
        port: int = 8765,
        frame_id: str = "imu_link",
        prefix: str = "",
        queue: int = QUEUE_MESSAGES,
        name: str = "vorn",
    ) -> None:
        if queue < 1:
            raise ValueError(f"queue must hold at least 1 message, not {queue}")
        self.host, self.port = host, port
        self.messages = Messages(frame_id)
        self.channels = channels(prefix)
        self.limit = queue
        self.clients: set[Client] = set()
        self.packets = self.clients_seen = 0
        self.dropped_gone = 0  # drops of clients that have left
        self.info = json.dumps(
            {
                "op": "serverInfo",
                "name": name,
                "capabilities": [],
                "sessionId": str(time.time_ns()),
                "metadata": {"frame_id": frame_id},
            }
        )
        self.advertise = json.dumps({"op": "advertise", "channels": self.channels})
        self.server = None
        self.subscribed = asyncio.Event()  # set at the first subscription of any client

    @property
    def dropped(self) -> int:
        """Messages dropped for clients too slow to take them, all clients together."""
        return self.dropped_gone + sum(c.dropped for c in self.clients)

    async def start(self) -> None:
        serve = require_websockets().serve
        self.server = await serve(
            self.connection,
            self.host,
            self.port,
            subprotocols=SUBPROTOCOLS,
            select_subprotocol=pick_subprotocol,
            compression=None,
            write_limit=WRITE_LIMIT,
            max_size=1 << 16,
        )
        self.port = self.server.sockets[0].getsockname()[1]

    async def close(self) -> None:
        if self.server is not None:
            self.server.close()
            await self.server.wait_closed()

    async def __aenter__(self) -> FoxgloveServer:
        await self.start()
        return self

    async def __aexit__(self, *exc) -> None:
        await self.close()

    def publish(self, batch: Mapping) -> None:
        """Hands the batch's messages to each client subscribed to them; never
        waits for a client."""
        n = len(batch["packet_type"])
        self.packets += n
        if not n or not any(c.by_channel for c in self.clients):
            return
        out = Collected()
        write_packets(out, self.messages, [rows(batch)])
        for client in self.clients:
            client.put(out.out)

    async def run(self, source: AsyncIterator[Mapping]) -> None:
        """Publishes each batch of source until it ends."""
        async for batch in source:
            self.publish(batch)
            await asyncio.sleep(0)  # the clients' senders get their turn, however fast the source

    async def connection(self, ws) -> None:
        sock = ws.transport.get_extra_info("socket")
        if sock is not None:
            # A fixed kernel buffer: a stalled client's backlog then stays in
            # its queue, where the oldest go first, not megabytes of it in
            # the kernel that would reach it late.
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, SEND_BUFFER)
        client = Client(ws, self.limit)
        self.clients.add(client)
        self.clients_seen += 1
        client.control += (self.info, self.advertise)
        client.wake.set()
        sender = asyncio.create_task(self.send(client))
        # A sender that fails ends the connection rather than leave it silent.
        sender.add_done_callback(lambda task: task.cancelled() or ws.transport.abort())
        from websockets.exceptions import ConnectionClosed

        try:
            async for message in ws:
                self.handle(client, message)
        except ConnectionClosed:
            pass  # gone mid-message, or broke the protocol: the connection ends either way
        finally:
            self.clients.discard(client)
            self.dropped_gone += client.dropped
            sender.cancel()
            try:
                await sender
            except (asyncio.CancelledError, Exception):
                pass

    async def send(self, client: Client) -> None:
        """Sends the client its messages as they come, answers first; a drop is
        told at most once every STATUS_EVERY seconds."""
        ws, queue, control = client.ws, client.queue, client.control
        told_at = 0.0
        while True:
            await client.wake.wait()
            client.wake.clear()
            while control or queue:
                if client.dropped > client.told and time.monotonic() - told_at >= STATUS_EVERY:
                    told_at = time.monotonic()
                    client.status(
                        STATUS_WARNING,
                        f"{client.dropped - client.told:,} messages dropped: this "
                        f"connection reads more slowly than the unit sends ({client.dropped:,} in all)",
                    )
                    client.told = client.dropped
                if control:
                    await ws.send(control.popleft())
                else:
                    batch = [queue.popleft() for _ in range(min(len(queue), SEND_BATCH))]
                    await send_binary(ws, batch)
                    client.sent += len(batch)

    def handle(self, client: Client, message) -> None:
        """A client's request: subscribe or unsubscribe; anything else is
        answered with an error status."""
        if isinstance(message, bytes):
            client.status(STATUS_ERROR, "this server takes no messages from clients")
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
            client.status(STATUS_ERROR, f"unsupported operation {op!r}")

    def subscribe(self, client: Client, subscriptions) -> None:
        known = range(1, len(self.channels) + 1)
        for s in subscriptions if isinstance(subscriptions, list) else ():
            sid, cid = (s.get("id"), s.get("channelId")) if isinstance(s, dict) else (None, None)
            if not (isinstance(sid, int) and isinstance(cid, int) and 0 <= sid < 1 << 32):
                client.status(STATUS_ERROR, f"not a subscription: {s!r}")
            elif cid not in known:
                client.status(STATUS_ERROR, f"no channel {cid}")
            elif sid in client.subscriptions:
                client.status(STATUS_ERROR, f"subscription {sid} is in use")
            elif cid in client.by_channel:
                client.status(STATUS_ERROR, f"channel {cid} is subscribed already")
            else:
                client.subscriptions[sid] = cid
                client.by_channel[cid] = sid
                self.subscribed.set()


async def send_binary(ws, messages: list[bytes]) -> None:
    """Binary messages sent as websockets' send() sends one, in one write and
    one flow-control wait for all of them: at the unit's rate, a write and a
    wait per message would cost more than the messages."""
    async with ws.send_context():
        for m in messages:
            ws.protocol.send_binary(m)
        data = ws.protocol.data_to_send()
        out = b"".join(data)
        if out:
            ws.transport.write(out)
        if not all(data):  # the end of a closing handshake: half-closed as websockets does
            try:
                ws.transport.write_eof() if ws.transport.can_write_eof() else ws.transport.close()
            except Exception:
                pass


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
    packet whose read has no vouched time. A recording without arrival times needs rate (packets
    per second): its packets go at that pace, stamped with the clock."""
    import numpy as np

    from vorn.columns import chunks
    from vorn.fields import UNTIMED
    from vorn.times import has_times

    timed = has_times(path)
    if not timed and rate is None:
        raise ValueError(f"{path}: no arrival times; give a packet rate to replay it at")
    loop = asyncio.get_running_loop()
    start = None
    first = None  # the first arrival time, ns
    sent = 0
    for chunk in chunks(path):
        n = len(chunk["packet_type"])
        if start is None:
            start = loop.time()
        if not timed:
            i = 0
            while i < n:
                due = sent + i - (loop.time() - start) * rate  # packets ahead of the pace
                if due > 0:
                    await asyncio.sleep(due / rate)
                j = min(n, max(i + 1, int((loop.time() - start) * rate) - sent + 1))
                part = {k: a[i:j] for k, a in chunk.items()}
                part["host_time_ns"] = np.full(j - i, time.time_ns(), np.int64)
                yield part
                i = j
            sent += n
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
