"""vorn live: the unit's stream, or a recording replayed at its pace, served to
Foxglove clients (the Foxglove WebSocket protocol) until Ctrl-C."""

from __future__ import annotations

import asyncio
import os
import signal
import sys
import time

from vorn.errors import ToolError, os_failure, say

STATUS_EVERY = 0.5  # s
# Signals that end the server in order, with the summary. One ignored from the
# start (SIGHUP under nohup) stays ignored.
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def open_port(port: str, baud: int, reconnect: bool, record: str | None):
    """The unit's stream at port: an async iterable of column batches, as the
    live API delivers them."""
    import vorn

    opener = getattr(vorn, "open", None)
    if opener is None:
        raise ToolError(f"{port}: this build cannot read a port live (vorn.open is missing); "
                        "--replay RECORDING serves a recording")
    if record is not None:
        raise ToolError("--record: this build cannot yet write a recording while serving; "
                        "`vorn record` writes one")
    return opener(port, baud=baud, reconnect=reconnect)


async def port_batches(stream):
    async with stream:
        async for batch in stream:
            yield batch


class Status:
    """The one-line status on stderr while serving, only on a terminal."""

    def __init__(self) -> None:
        self.active = sys.stderr.isatty()
        self.last = (0.0, 0)

    def show(self, elapsed: float, server) -> None:
        if not self.active:
            return
        t0, n0 = self.last
        rate = (server.packets - n0) / max(elapsed - t0, 1e-9)
        self.last = (elapsed, server.packets)
        self.write(f"\r{elapsed:7.1f} s  {rate:,.0f} packets/s  {len(server.clients)} connected  "
                   f"{server.dropped:,} messages dropped\x1b[K")

    def clear(self) -> None:
        if self.active:
            self.write("\r\x1b[K")

    def write(self, text: str) -> None:
        try:
            sys.stderr.write(text)
            sys.stderr.flush()
        except OSError:
            self.active = False


async def serve(server, source, stopped: asyncio.Event, wait: bool = False) -> str:
    """Publishes source (with wait, from the first subscription on) until it
    ends or stop is set; why it ended."""
    status = Status()
    start = time.monotonic()

    async def run():
        if wait:
            await server.subscribed.wait()
        await server.run(source)

    feed = asyncio.ensure_future(run())
    stop = asyncio.ensure_future(stopped.wait())
    try:
        while not (feed.done() or stop.done()):
            await asyncio.wait({feed, stop}, timeout=STATUS_EVERY, return_when=asyncio.FIRST_COMPLETED)
            status.show(time.monotonic() - start, server)
    finally:
        status.clear()
        for task in (feed, stop):
            task.cancel()
        await asyncio.gather(feed, stop, return_exceptions=True)
    if stop.done() and not stop.cancelled():
        return "stopped"
    error = feed.exception()
    if error is not None:
        raise error
    return "the recording ended"


def live(port: str | None, *, replay: str | None = None, rate: float | None = None, baud: int = 115200,
         host: str = "127.0.0.1", ws_port: int = 8765, record: str | None = None, reconnect: bool = False,
         frame_id: str = "imu_link", prefix: str = "") -> int:
    from vorn import foxglove

    try:
        foxglove.require_websockets()
    except ImportError as e:
        raise ToolError(str(e)) from None
    if replay is not None:
        from vorn.recording import has_times

        try:
            open(replay, "rb").close()
        except OSError as e:
            raise os_failure(replay, e) from None
        if rate is None and not has_times(replay):
            raise ToolError(f"{replay}: no arrival times (`vorn record` writes them); give --rate HZ to replay "
                            "it at that many packets a second")
        source = foxglove.replay(replay, rate)
        what = replay
    else:
        try:
            stream = open_port(port, baud, reconnect, record)
        except OSError as e:
            raise ToolError(f"{port}: {e.strerror or e}") from None
        source = port_batches(stream)
        what = port
    server = foxglove.FoxgloveServer(host=host, port=ws_port, frame_id=frame_id, prefix=prefix)
    stop = []

    async def main() -> str:
        stopped = asyncio.Event()
        loop = asyncio.get_running_loop()
        for s in STOP_SIGNALS:
            if signal.getsignal(s) is not signal.SIG_IGN:
                loop.add_signal_handler(s, lambda s=s: (stop.append(s), stopped.set()))
        try:
            await server.start()
        except OSError as e:  # asyncio's text around the system's: keep the system's
            raise ToolError(f"{host}:{ws_port}: {os.strerror(e.errno) if e.errno else e}") from None
        say(f"vorn live: serving {what} on ws://{host if ':' not in host else f'[{host}]'}:{server.port} "
            "(Foxglove: Open connection, Foxglove WebSocket)")
        try:
            # A replay starts when someone watches, from its beginning.
            return await serve(server, source, stopped, wait=replay is not None)
        finally:
            await server.close()
            for s in STOP_SIGNALS:
                loop.remove_signal_handler(s)

    started = time.monotonic()
    failure = None
    try:
        why = asyncio.run(main())
    except OSError as e:
        if replay is not None:
            raise ToolError(f"{replay}: {e.strerror or e}") from None
        failure = str(e)
        why = f"the port hung up ({failure})"
    except ValueError as e:
        raise ToolError(str(e)) from None
    if stop:
        why = "stopped by " + ("Ctrl-C" if stop[0] == signal.SIGINT else signal.Signals(stop[0]).name)
    elapsed = time.monotonic() - started
    clients = server.clients_seen
    try:
        print(f"{what}: {server.packets:,} packets in {elapsed:.1f} s, {clients:,} client{'s' * (clients != 1)}, "
              f"{server.dropped:,} messages dropped; {why}", flush=True)
    except OSError:
        pass
    if failure is not None:
        raise ToolError(f"{port}: {why}")
    return 0
