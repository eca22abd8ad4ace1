#!/usr/bin/env python3
"""vorn.open under asyncio on a pseudo-terminal: latency, the loop's stalls, idle
cost, and the error of its sample times.

    bench/bench_stream.py [--packets N] [--seconds S] [--idle-seconds S] [--clock-seconds S]
                          [--busy-seconds S] [--json]

latency  One packet at a time is written into the master side, with a short
         pause between packets; the figure is the delay from the write to the
         return of `await stream.aread()` with the packet's batch, the stream
         opened with lookahead=0 (each packet handed out as it arrives; by
         default a packet is held up to 64 ms for its sample time). Reference:
         the pty alone under asyncio, the same writes read back from the raw
         slave of a second pty by a reader that loop.add_reader wakes. The
         two take turns packet by packet, so that both see the same load.
stall    A simulated unit in another process streams 1000 raw and 500 filter
         packets a second while `async for` takes the batches; a task asks to
         wake every millisecond, and the figure is how late its latest wake-up
         came (and how many came more than 2 ms late). Reference: the same
         task on the same loop with no stream open. Beside it, the longest the
         stream itself held the loop in one turn, as the thread's CPU time
         (what the stream did) and as wall time (that, and any time the
         machine gave the CPU to another process meanwhile).
         On a machine shared with other work the reference itself shows
         stalls of a scheduler tick (~4 ms): the process was not running.
idle     An open stream waited on by `async for` with nothing arriving: the
         process's CPU time over the wall time.
busy     A caller asleep for S seconds while S seconds of the unit are written
         into the master at once: how long the writer took (it never waits for
         the caller) and the bytes the stream lost (none); then the same past
         a ring of 64 KiB, whose loss must be exactly what did not fit.
         Reference: a pty nobody reads, which takes only so much before its
         writer waits.
Every measured run (latency, stall and their references) starts the same
way: a full garbage collection and a short pause, so that the garbage of the
start-up (imports, the unit's process, the run before) is not collected inside
the run of whichever came next. Collections a run causes itself count.

clock    A simulated unit behind a USB adapter (model/vorn_model.AdapterLink:
         its clock 60 ppm fast, bytes released every 16 ms, a 60 ms stall of
         the host, a packet losing bytes) played into the master on the
         adapter's schedule; the figure is how far the batches' time_ns lies
         from when the unit really sent each packet, after the clock's 2 s
         warm-up, with lookahead=0 (the default) and with 64 ms.
         Reference: the arrival times (host_time_ns) against the same truth.
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import os
import statistics
import threading
import time

from bench_live import WARM_UP, Unit, latency_packets, open_pty, open_raw_slave
from common import Row, emit, percentile

import vorn
from vorn_model import AdapterLink

BAUD_RATE = 921600
GAP = 0.002  # s between the packets of the latency run
TICK = 0.001  # s between the wake-ups of the stall watcher
GOAL_RATIO = 2.0  # latency within this of the pty alone
GOAL_STALL_MS = 2.0
GOAL_IDLE_MS = 10.0  # CPU ms over the idle run
GOAL_CLOCK_P99_MS = 3.0  # sample times after the warm-up
SMALL_RING = 1 << 16  # bytes, the busy run past the ring
CLOCK_WARM_UP = 2.0  # s
SETTLE = 0.2  # s of pause before each measured run


async def settled() -> None:
    """The start of a measured run: start-up's garbage collected, and a pause."""
    gc.collect()
    await asyncio.sleep(SETTLE)


async def latency(wires: list[bytes]) -> tuple[list[float], list[float]]:
    """Write-to-return delays (ms) of each packet through vorn.open and through
    the pty alone, sorted, the warm-up left out. The two take turns packet by
    packet, so that both see the same load."""
    loop = asyncio.get_running_loop()
    master, path = open_pty()
    pty_master, pty_path = open_pty()
    slave = open_raw_slave(pty_path)
    os.set_blocking(slave, False)
    ours, pty = [], []
    try:
        with vorn.open(path, BAUD_RATE, lookahead=0) as stream:
            await settled()
            for k, wire in enumerate(wires):
                await asyncio.sleep(GAP)
                start = time.perf_counter()
                os.write(master, wire)
                batch = await stream.aread()
                end = time.perf_counter()
                if batch.num_rows != 1:
                    raise SystemExit(f"latency: a batch held {batch.num_rows} packets, not 1")

                await asyncio.sleep(GAP)
                got = 0
                done = loop.create_future()

                def take() -> None:
                    nonlocal got
                    got += len(os.read(slave, 4096))
                    if got >= len(wire) and not done.done():
                        done.set_result(None)

                pty_start = time.perf_counter()
                loop.add_reader(slave, take)
                os.write(pty_master, wire)
                await done
                pty_end = time.perf_counter()
                loop.remove_reader(slave)
                if k >= WARM_UP:
                    ours.append((end - start) * 1e3)
                    pty.append((pty_end - pty_start) * 1e3)
    finally:
        os.close(slave)
        os.close(pty_master)
        os.close(master)
    return sorted(ours), sorted(pty)


async def latest_wake(seconds: float) -> tuple[float, int]:
    """The latest a 1 ms wake-up came over `seconds`, in ms, and how many
    came more than GOAL_STALL_MS late."""
    loop = asyncio.get_running_loop()
    worst = 0.0
    late = 0
    end = loop.time() + seconds
    while loop.time() < end:
        due = loop.time() + TICK
        await asyncio.sleep(TICK)
        lag = loop.time() - due
        worst = max(worst, lag)
        late += lag * 1e3 > GOAL_STALL_MS
    return worst * 1e3, late


async def stall_stream(seconds: float) -> tuple[tuple[float, int], float, float, int]:
    """The latest wake-up (ms) and the late ones, the stream's longest single
    turn on the loop (ms: one look at the line, framing, the sample clock and
    the batch's columns) in CPU and in wall time, and how many packets were
    written."""
    unit = Unit(seconds)
    got = 0
    cpus, walls = [], []  # floats: no objects for the collector to count
    try:
        with vorn.open(unit.path, BAUD_RATE) as stream:
            step = stream._step

            def timed_step():
                wall, cpu = time.perf_counter(), time.thread_time()
                try:
                    return step()
                finally:
                    cpus.append(time.thread_time() - cpu)
                    walls.append(time.perf_counter() - wall)

            stream._step = timed_step
            await settled()

            async def take() -> None:
                nonlocal got
                async for batch in stream:
                    got += batch.num_rows

            taker = asyncio.create_task(take())
            unit.go()
            worst = await latest_wake(seconds)
            written = await asyncio.to_thread(unit.finish)
            give_up = time.monotonic() + 2
            while got < written and time.monotonic() < give_up:
                await asyncio.sleep(0.01)
            taker.cancel()
    finally:
        unit.close()
    if got != written:
        raise SystemExit(f"stall: {got} of {written} packets arrived")
    return worst, max(cpus) * 1e3, max(walls) * 1e3, written


async def idle_cpu(seconds: float) -> float:
    """CPU ms this process used over `seconds` with a stream open and waited on."""
    master, path = open_pty()
    try:
        with vorn.open(path, BAUD_RATE) as stream:
            cpu = time.process_time()
            batch = await stream.aread(timeout=seconds)
            used = (time.process_time() - cpu) * 1e3
            if batch.num_rows:
                raise SystemExit("idle: a batch came from a silent line")
    finally:
        os.close(master)
    return used


def pty_holds() -> int:
    """The bytes a pty takes from its writer while nobody reads it."""
    master, path = open_pty()
    slave = open_raw_slave(path)
    os.set_blocking(master, False)
    held = 0
    try:
        while True:
            try:
                held += os.write(master, bytes(4096))
            except BlockingIOError:
                return held
    finally:
        os.close(slave)
        os.close(master)


def busy_caller(seconds: float, ring: int | None) -> tuple[float, int, int, int]:
    """The writer's time (ms) to write `seconds` of the unit at once while the
    caller sleeps that long, the bytes written, the bytes the stream lost, and
    the packets it then handed out."""
    from vorn_model import UnitSimulator

    data = UnitSimulator(seed=4).stream(seconds)[0]
    master, path = open_pty()
    took = []

    def write() -> None:
        start = time.perf_counter()
        view = memoryview(data)
        while view:
            view = view[os.write(master, view[:65536]) :]
        took.append(time.perf_counter() - start)

    try:
        options = {} if ring is None else {"ring": ring}
        with vorn.open(path, BAUD_RATE, **options) as stream:
            writer = threading.Thread(target=write, daemon=True)
            writer.start()
            time.sleep(seconds)  # the caller is busy
            writer.join(30)
            if writer.is_alive():
                raise SystemExit("busy: the writer was still waiting after the caller woke")
            rows = 0
            while (batch := stream.read(timeout=0.5)).num_rows or batch.losses:
                rows += batch.num_rows
            lost = stream.lost_bytes
    finally:
        os.close(master)
    return took[0] * 1e3, len(data), lost, rows


def clock_error(seconds: float, lookahead: float | None) -> tuple[float, float, float]:
    """|time_ns - truth| p99 and max after the warm-up, and the arrival's p99
    (ms), a simulated adapter played into a pty."""
    import numpy as np

    from vorn import _native

    link = AdapterLink(drift_ppm=60.0, stalls=(seconds * 0.6,), lost=int(seconds * 600 * 0.4), seed=11)
    data, reads, kinds, sent = link.recording(seconds)
    master, path = open_pty()

    def play(start_ns: int) -> None:
        pos = 0
        for end, mono in reads:
            delay = start_ns + mono - reads[0][1] - time.monotonic_ns()
            if delay > 0:
                time.sleep(delay / 1e9)
            view = memoryview(data[pos:end])
            while view:
                view = view[os.write(master, view) :]
            pos = end

    framer = _native.Framer()
    framer.columns(data, b"")
    want = len(framer.places()[1]) // 4
    got = []
    try:
        options = {} if lookahead is None else {"lookahead": lookahead}
        with vorn.open(path, BAUD_RATE, **options) as stream:
            start = time.monotonic_ns() + 50_000_000
            wall_minus_mono = time.time_ns() - time.monotonic_ns()
            writer = threading.Thread(target=play, args=(start,), daemon=True)
            writer.start()
            give_up = time.monotonic() + seconds + 10
            while sum(b.num_rows for b in got) < want and time.monotonic() < give_up:
                batch = stream.read(timeout=0.2)
                if batch.num_rows:
                    got.append(batch)
            writer.join(10)
    finally:
        os.close(master)
    times = np.concatenate([b["time_ns"] for b in got])
    arrived = np.concatenate([b["host_time_ns"] for b in got])
    if len(times) != len(sent):
        raise SystemExit(f"clock: {len(times)} of {len(sent)} packets arrived")
    truth = sent - reads[0][1] + start + wall_minus_mono
    warm = truth >= truth[0] + CLOCK_WARM_UP * 1e9
    err = np.abs(times - truth)[warm]
    return (
        float(np.percentile(err, 99)) / 1e6,
        float(err.max()) / 1e6,
        float(np.percentile(np.abs(arrived - truth)[warm], 99)) / 1e6,
    )


async def measure(
    packets: int, seconds: float, idle_seconds: float, clock_seconds: float, busy_seconds: float
) -> list[Row]:
    wires = latency_packets(packets + WARM_UP)
    ours, pty = await latency(wires)
    med, p99 = statistics.median(ours), percentile(ours, 0.99)
    pty_med, pty_p99 = statistics.median(pty), percentile(pty, 0.99)
    (stall, late), turn, turn_wall, written = await stall_stream(seconds)
    await settled()
    calm, calm_late = await latest_wake(seconds)
    idle = await idle_cpu(idle_seconds)
    holds = pty_holds()
    wrote_ms, busy_bytes, busy_lost, _ = await asyncio.to_thread(busy_caller, busy_seconds, None)
    _, small_bytes, small_lost, _ = await asyncio.to_thread(busy_caller, min(busy_seconds, 2.0), SMALL_RING)
    clock = [
        (name, await asyncio.to_thread(clock_error, clock_seconds, lookahead))
        for name, lookahead in (("lookahead=0 (the default)", None), ("lookahead=0.064", 0.064))
    ]
    return [
        Row(
            f"vorn.open under asyncio: latency, median ({len(ours)} packets)",
            f"{med:.3f} ms",
            f"pty alone under asyncio {pty_med:.3f} ms",
            f"{med / pty_med:.1f}x",
            f"<= {GOAL_RATIO:.0f}x",
            med <= GOAL_RATIO * pty_med,
        ),
        Row(
            "vorn.open under asyncio: latency, p99",
            f"{p99:.3f} ms",
            f"pty alone under asyncio {pty_p99:.3f} ms",
            f"{p99 / pty_p99:.1f}x",
            f"<= {GOAL_RATIO:.0f}x",
            p99 <= GOAL_RATIO * pty_p99,
        ),
        Row(
            f"vorn.open under asyncio: loop's largest stall, 1 kHz stream ({written} packets; > 2 ms: {late}x)",
            f"{stall:.2f} ms",
            f"no stream open {calm:.2f} ms ({calm_late}x)",
            "-",
            f"<= {GOAL_STALL_MS} ms",
            stall <= GOAL_STALL_MS,
        ),
        Row(
            f"  the stream's own longest turn on the loop, CPU (wall {turn_wall:.2f} ms)",
            f"{turn:.2f} ms",
            "-",
            "-",
            f"<= {GOAL_STALL_MS} ms",
            turn <= GOAL_STALL_MS,
        ),
        Row(
            f"vorn.open under asyncio: CPU of an idle open stream over {idle_seconds:g} s",
            f"{idle:.1f} ms",
            "-",
            "-",
            f"<= {GOAL_IDLE_MS:g} ms",
            idle <= GOAL_IDLE_MS,
        ),
        Row(
            f"vorn.open, a caller asleep {busy_seconds:g} s: the unit's writer, {busy_bytes:,} bytes at once",
            f"{wrote_ms:.1f} ms",
            f"a pty nobody reads takes {holds:,} bytes, then its writer waits",
            "-",
            "never waits",
            busy_bytes > holds,
        ),
        Row(
            f"vorn.open, a caller asleep {busy_seconds:g} s: bytes lost",
            f"{busy_lost:,}",
            "-",
            "-",
            "0",
            busy_lost == 0,
        ),
        Row(
            f"vorn.open past a {SMALL_RING >> 10} KiB ring: bytes lost ({small_bytes:,} written)",
            f"{small_lost:,}",
            f"what did not fit {small_bytes - SMALL_RING:,}",
            "-",
            "exact",
            small_lost == small_bytes - SMALL_RING,
        ),
        *(
            Row(
                f"vorn.open time_ns vs the unit's, {name}: error p99 (max {worst:.2f} ms; {clock_seconds:g} s, "
                f"after {CLOCK_WARM_UP:g} s)",
                f"{p99:.3f} ms",
                f"arrival {ref:.3f} ms",
                f"{p99 / ref:.3f}x",
                f"<= {GOAL_CLOCK_P99_MS:g} ms",
                p99 <= GOAL_CLOCK_P99_MS,
            )
            for name, (p99, worst, ref) in clock
        ),
    ]


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--packets", type=int, default=400, help="packets timed for the latency (default 400)")
    ap.add_argument("--seconds", type=float, default=5.0, help="streaming time of the stall run (default 5)")
    ap.add_argument("--idle-seconds", type=float, default=10.0, help="length of the idle run (default 10)")
    ap.add_argument(
        "--clock-seconds", type=float, default=8.0, help="length of each sample-time run, warm-up included (default 8)"
    )
    ap.add_argument("--busy-seconds", type=float, default=5.0, help="how long the busy caller sleeps (default 5)")
    ap.add_argument("--json", action="store_true", help="print the rows as JSON for bench/run.py")
    args = ap.parse_args()
    rows = asyncio.run(
        measure(
            max(1, args.packets),
            max(0.5, args.seconds),
            max(0.1, args.idle_seconds),
            max(CLOCK_WARM_UP + 1, args.clock_seconds),
            max(0.5, args.busy_seconds),
        )
    )
    emit(rows, args.json)


if __name__ == "__main__":
    main()
