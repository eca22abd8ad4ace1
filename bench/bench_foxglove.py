#!/usr/bin/env python3
"""vorn live's Foxglove WebSocket server: latency from a packet's bytes on a
pseudo-terminal to a client's message, and the server's CPU per 1,000 packets/s.

    bench/bench_foxglove.py [--packets N] [--seconds S] [--json]

The server runs in a process of its own, fed from the slave side of a pty: it
reads what arrives, frames it with the core into a batch of columns and
publishes it (what `vorn live PORT` does with the live API's batches). The
clients run in this process.
latency  One raw packet every millisecond (1 kHz) is written into the master;
         a client subscribed to /imu/data_raw stamps each message on arrival.
         The figure is the delay from the write to the message (one monotonic
         clock for both processes). Reference: the pty alone, the same writes
         read back by a Python process from the raw slave with poll and read.
cost     A simulated unit (1000 raw and 500 filter packets a second) streams
         into the pty; 1 or 10 clients subscribe to every topic. The figure is
         the server process's CPU time until every client has had every
         message, per packet, as percent of a core at 1,000 packets/s (CPU
         time, not a share of the wall clock: a busy machine may let the
         server use less than it needs and fall behind).
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import select
import socket
import statistics
import subprocess
import sys
import threading
import time
import tty
from pathlib import Path

from common import Row, emit, percentile

HERE = Path(__file__).resolve().parent
TICK = 0.001  # s between the latency run's packets: 1 kHz
WARM_UP = 50  # packets left out of the latency figures
UNIT_PACKETS_S = 1500  # the simulated unit: 1000 raw and 500 filter packets a second
GOAL_MEDIAN_MS = 5.0
WRITER = HERE / "pty_unit.py"
STALLED = 100  # clients of the last cost run that never read


# -- the server process ---------------------------------------------------------


async def pty_batches(path: str):
    """The pty's packets through the live API, as `vorn live PORT` serves them:
    each batch as soon as it arrives (no look-ahead)."""
    import vorn

    async with vorn.open(path, baud=921600, lookahead=0) as stream:
        async for batch in stream:
            yield batch


async def serve(path: str) -> None:
    from vorn.foxglove import FoxgloveServer

    async with FoxgloveServer(port=0, queue=1 << 20, max_clients=STALLED + 10) as server:
        print(server.port, flush=True)
        run = asyncio.ensure_future(server.run(pty_batches(path)))
        await asyncio.get_running_loop().run_in_executor(None, sys.stdin.readline)  # until told to stop
        print(json.dumps({"packets": server.packets, "dropped": server.dropped}), flush=True)
        run.cancel()


# -- this process ---------------------------------------------------------------


class Server:
    """The server process on a new pty's slave."""

    def __init__(self) -> None:
        self.master, slave = os.openpty()
        self.path = os.ttyname(slave)
        os.close(slave)
        self.proc = subprocess.Popen(
            [sys.executable, __file__, "--serve", self.path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
        )
        self.port = int(self.proc.stdout.readline())

    def cpu(self) -> float:
        """The server process's CPU time so far, in s."""
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self) -> dict:
        self.proc.stdin.write("\n")
        self.proc.stdin.flush()
        out = json.loads(self.proc.stdout.readline())
        self.proc.wait(timeout=10)
        os.close(self.master)
        return out


async def subscribe(port: int, topics: set[str] | None, stalled: bool = False):
    from websockets.asyncio.client import connect

    options = {"max_queue": None}
    if stalled:  # reads through a tiny socket buffer into a one-message queue, then not at all
        sock = socket.socket()
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
        sock.connect(("127.0.0.1", port))
        options = {"sock": sock, "max_queue": 1}
    ws = await connect(f"ws://127.0.0.1:{port}", subprotocols=["foxglove.sdk.v1"], **options)
    await ws.recv()
    channels = [c for c in json.loads(await ws.recv())["channels"] if topics is None or c["topic"] in topics]
    await ws.send(
        json.dumps({"op": "subscribe", "subscriptions": [{"id": c["id"], "channelId": c["id"]} for c in channels]})
    )
    return ws


def raw_wires(count: int) -> list[bytes]:
    from vorn_model import UnitSimulator

    pieces = UnitSimulator(seed=3).packets(count / 1000 + 0.05)
    return [wire for _, wire, rec in pieces if rec is not None and rec["packet_type"] == "raw"][:count]


def write_paced(master: int, wires: list[bytes], sent: list[int]) -> None:
    start = time.perf_counter()
    for k, wire in enumerate(wires):
        due = start + k * TICK
        while (now := time.perf_counter()) < due:
            time.sleep(max(0.0, due - now - 0.0002))
        sent.append(time.monotonic_ns())
        os.write(master, wire)


def latency_server(wires: list[bytes]) -> list[float]:
    server = Server()
    got: list[int] = []
    sent: list[int] = []

    async def run() -> None:
        ws = await subscribe(server.port, {"/imu/data_raw"})
        await asyncio.sleep(0.2)
        writer = threading.Thread(target=write_paced, args=(server.master, wires, sent))
        writer.start()
        while len(got) < len(wires):
            m = await asyncio.wait_for(ws.recv(), 5)
            if isinstance(m, bytes):
                got.append(time.monotonic_ns())
        writer.join()
        await ws.close()

    try:
        asyncio.run(run())
    finally:
        server.stop()
    return sorted((g - s) / 1e6 for g, s in list(zip(got, sent))[WARM_UP:])


def latency_pty(wires: list[bytes]) -> list[float]:
    """The same paced writes read back by Python from the raw slave."""
    master, slave = os.openpty()
    tty.setraw(slave)
    got: list[int] = []
    sent: list[int] = []
    writer = threading.Thread(target=write_paced, args=(master, wires, sent))
    poller = select.poll()
    poller.register(slave, select.POLLIN)
    writer.start()
    need = sum(map(len, wires))
    have = 0
    ends = []
    pos = 0
    for w in wires:
        pos += len(w)
        ends.append(pos)
    k = 0
    while have < need:
        poller.poll(5000)
        have += len(os.read(slave, 65536))
        t = time.monotonic_ns()
        while k < len(ends) and ends[k] <= have:
            got.append(t)
            k += 1
    writer.join()
    os.close(slave)
    os.close(master)
    return sorted((g - s) / 1e6 for g, s in list(zip(got, sent))[WARM_UP:])


def cost(clients: int, seconds: float, stalled: int = 0) -> tuple[float, int]:
    """The server's CPU time per packet, as percent of one core at 1,000
    packets/s, while the unit streamed to that many clients of every topic,
    counted until the clients have had everything (on a busy machine the
    server may finish after the unit), and the messages each client got."""
    server = Server()
    unit = subprocess.Popen(
        [sys.executable, str(WRITER), str(server.master), str(seconds)],
        pass_fds=(server.master,),
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    if unit.stdout.readline().strip() != "ready":
        raise SystemExit("the writer process did not start")
    counts = [0] * clients
    used = 0.0
    written = 0

    async def run() -> None:
        nonlocal used, written
        sockets = [await subscribe(server.port, None) for _ in range(clients)]
        idle = [await subscribe(server.port, None, stalled=True) for _ in range(stalled)]

        async def take(i: int, ws) -> None:
            try:
                async for m in ws:
                    counts[i] += isinstance(m, bytes)
            except Exception:
                pass

        takers = [asyncio.ensure_future(take(i, ws)) for i, ws in enumerate(sockets)]
        await asyncio.sleep(0.2)
        cpu = server.cpu()
        unit.stdin.write("go\n")
        unit.stdin.flush()
        written = int((await asyncio.get_running_loop().run_in_executor(None, unit.stdout.readline)).split()[1])
        while True:  # until nothing more arrives
            before = sum(counts)
            await asyncio.sleep(0.5)
            if sum(counts) == before:
                break
        used = server.cpu() - cpu
        for ws in sockets:
            await ws.close()
        for ws in idle:
            ws.transport.abort()
        await asyncio.gather(*takers)

    try:
        asyncio.run(run())
    finally:
        unit.wait()
        result = server.stop()
    if result["dropped"]:
        print(f"cost, {clients} clients: {result['dropped']:,} messages dropped", file=sys.stderr)
    return used / written * 1000 * 100, min(counts)


def measure(packets: int, seconds: float) -> list[Row]:
    wires = raw_wires(packets + WARM_UP)
    ours = latency_server(wires)
    pty = latency_pty(wires)
    med, p99 = statistics.median(ours), percentile(ours, 0.99)
    pty_med, pty_p99 = statistics.median(pty), percentile(pty, 0.99)
    rows = [
        Row(
            f"vorn live: pty byte to client message at 1 kHz, median ({len(ours)} packets)",
            f"{med:.3f} ms",
            f"pty alone {pty_med:.3f} ms",
            f"{med / pty_med:.1f}x",
            f"<= {GOAL_MEDIAN_MS} ms",
            med <= GOAL_MEDIAN_MS,
        ),
        Row(
            "vorn live: pty byte to client message, p99",
            f"{p99:.3f} ms",
            f"pty alone {pty_p99:.3f} ms",
            f"{p99 / pty_p99:.1f}x",
            "-",
            None,
        ),
    ]
    for clients, stalled in ((1, 0), (10, 0), (1, STALLED)):
        per_k, got = cost(clients, seconds, stalled)
        who = f"{clients} client{'s' * (clients > 1)} of every topic" + (
            f" and {stalled} that never read" if stalled else ""
        )
        rows.append(
            Row(
                f"vorn live: server CPU per 1,000 packets/s, {who}",
                f"{per_k:.1f} % CPU",
                f"unit at {UNIT_PACKETS_S:,} packets/s, {got / seconds:,.0f} messages/s to each client",
                "-",
                "-",
                None,
            )
        )
    return rows


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--packets", type=int, default=1000, help="packets timed for the latency (default 1000)")
    ap.add_argument("--seconds", type=float, default=5.0, help="streaming time of each cost run (default 5)")
    ap.add_argument("--json", action="store_true", help="print the rows as JSON for bench/run.py")
    ap.add_argument("--serve", metavar="PTY", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.serve:
        asyncio.run(serve(args.serve))
        return
    emit(measure(max(1, args.packets), max(0.5, args.seconds)), args.json)


if __name__ == "__main__":
    main()
