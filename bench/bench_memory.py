#!/usr/bin/env python3
"""Memory: what a packet costs while queued and as an object, whether a large
backlog is given back, and whether repeated replays grow.

    bench/bench_memory.py [--replays N] [--short M] [--long M] [--json]

backlog  In a fresh interpreter: a recording of about 450,000 packets is
         replayed without draining until the reader has finished (the records
         wait in the packet channel), then drained into packet objects, then
         parser and packets are dropped. Resident memory (VmRSS) is read
         before, at each step and after (the program going on working for
         half a second after the drop, as a program does); bytes per queued
         record is the growth while queued over the packet count. The same is
         done with the interpreter's allocator told to hand emptied memory
         back at once, and, for reference, with as many plain Python objects
         of the packets' size class made and dropped the same way: what stays
         then is the interpreter's, not the module's.
objects  The same with the 60 s recording: the growth from it to the large
         one, less the lists that hold the packets and the C heap, over the
         packets added, is what one packet object costs (the interpreter's
         object header and allocator rounding included).
replays  Each replay drains the whole 60 s recording through MockParser and
         reads every property and the text form of every packet, then lets the
         packets go; the resident set is read after each. How much of the freed
         memory the allocators have handed back at that moment varies from
         replay to replay by a few MB, so the figure compares medians: that of
         the second half of the replays after the warm-up against that of the
         first half. A leak of even a few bytes a packet shows up there (90,000
         packets a replay); it should stay flat.
long     The 60 s recording over and over, for 15 minutes and for 2 hours
         (--short, --long), with a times file of a read every millisecond
         (the densest `vorn record` writes); and the same whose filter packets
         stop after the first minute while the raw ones go on at their pace.
         Each in a fresh interpreter: vorn.read of a minute of it (60 s to
         120 s), and the Parquet and MCAP exports of the whole; the figure is
         the peak resident set (VmHWM), the goal the long one within 1.25x of
         the short one.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

from common import LARGE_RECORDING_SECONDS, ROOT, Row, emit, recording

import vorn_rs

WARM_UP = 2  # replays before the baseline is taken
GOAL_GROWTH_MB = 2.0
GOAL_BYTES_PER_PACKET = 128
GOAL_GIVEN_BACK_MB = 10.0
GOAL_LONG_RATIO = 1.25  # peak memory on the long recording over the short one's
READ_NS = 1_000_000  # a read every millisecond
BLOCK_READS = 500  # reads to a block of the times file, as `vorn record` flushes
WALL_MINUS_MONO = 1_765_000_000_000_000_000 - 10**12
RUN_ON_S = 0.5  # after dropping: the program goes on working before the last reading
PROPERTIES = (
    "packet_type",
    "timestamp",
    "invalid_fields",
    "scaled_accel",
    "scaled_gyro",
    "delta_vel",
    "delta_theta",
    "scaled_ambient_pressure",
    "est_pressure_alt",
    "est_orient_quaternion",
    "est_attitude_uncert_quaternion",
    "est_angular_rate",
    "est_compensated_accel",
    "est_linear_accel",
    "est_gravity_vector",
)


def resident_mb() -> float:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024  # kB
    raise SystemExit("no VmRSS in /proc/self/status")


def replay_and_read(path: str) -> int:
    """Replays the whole recording, reading everything; returns the packet count."""
    got = 0
    with vorn_rs.MockParser(path, timeout=1.0) as parser:
        while True:
            running = parser.is_running()  # before the drain, so nothing is missed
            for packet in parser.get_data_packets():
                for name in PROPERTIES:
                    getattr(packet, name)
                str(packet)
                got += 1
            if not running:
                return got


def wait_ended(parser) -> None:
    while parser.is_running():
        time.sleep(0.02)


def c_heap_mb() -> float:
    """What the C library's allocator holds from the system (all arenas, mapped
    blocks included): the records, the channel and the reader's buffers live
    there, Python objects do not."""
    import ctypes

    class MallInfo2(ctypes.Structure):
        _fields_ = [
            (name, ctypes.c_size_t)
            for name in (
                "arena",
                "ordblks",
                "smblks",
                "hblks",
                "hblkhd",
                "usmblks",
                "fsmblks",
                "uordblks",
                "fordblks",
                "keepcost",
            )
        ]

    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return (info.arena + info.hblkhd) / 2**20


def run_on(seconds: float) -> None:
    """What a program does after dropping its packets: it goes on making and
    dropping objects of its own, and now and then it waits. The interpreter's
    allocator frees and purges emptied pages only then, not when they empty."""
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        work = [str(i) for i in range(10_000)] + [[i] for i in range(2_000)]
        del work
        time.sleep(0.01)


def probe_backlog(path: str) -> dict:
    """Resident MB before, queued, drained into objects and after the drop."""
    before = resident_mb()
    parser = vorn_rs.MockParser(path, timeout=1.0)
    parser.start()
    wait_ended(parser)
    queued = resident_mb()
    packets = parser.get_data_packets()
    held = resident_mb()
    count, lists, c_heap_held = len(packets), sys.getsizeof(packets), c_heap_mb()
    del parser, packets
    run_on(RUN_ON_S)
    return {
        "count": count,
        "before": before,
        "queued": queued,
        "held": held,
        "after": resident_mb(),
        "lists": lists,
        "c_heap_held": c_heap_held,
        "c_heap_after": c_heap_mb(),
    }


def probe_plain(count: str) -> dict:
    """The same as probe_backlog with no module at all: as many bytes objects
    as there were packets, in the same 128-byte size class of the interpreter's
    object allocator (48 bytes of header, length and hash, 79 of data plus the
    terminating zero), kept in a list, dropped, and the same work after."""
    before = resident_mb()
    objects = [i.to_bytes(79, "little") for i in range(int(count))]
    held = resident_mb()
    del objects
    run_on(RUN_ON_S)
    return {"before": before, "held": held, "after": resident_mb()}


def in_fresh_interpreter(probe: str, path: str, **env: str) -> dict:
    out = subprocess.run(
        [sys.executable, __file__, "--probe", probe, path],
        check=True,
        capture_output=True,
        text=True,
        env=dict(os.environ, **env),
    ).stdout
    return json.loads(out)


def backlog_rows() -> list[Row]:
    path = str(recording(LARGE_RECORDING_SECONDS))
    b = in_fresh_interpreter("backlog", path)
    # The interpreter's allocator hands freed memory back to the system late:
    # freed pages of a 32 MiB segment still in use when it next allocates a
    # page in that segment, a segment that emptied whole (returned to its
    # arena) when it next frees another segment. A program doing neither
    # keeps both. MIMALLOC_ARENA_PURGE_MULT=0 hands back whole segments at
    # once; MIMALLOC_PURGE_DELAY=0 everything, leaving what the module keeps.
    arena = in_fresh_interpreter("backlog", path, MIMALLOC_ARENA_PURGE_MULT="0")
    eager = in_fresh_interpreter("backlog", path, MIMALLOC_PURGE_DELAY="0")
    small = in_fresh_interpreter("backlog", str(recording()))
    n = b["count"]
    plain = in_fresh_interpreter("plain", str(n))
    per_record = (b["queued"] - b["before"]) * 2**20 / n

    def objects_mb(probe: dict) -> float:  # what the drained packets hold, net of their list and the C heap
        return probe["held"] - probe["before"] - probe["c_heap_held"] - probe["lists"] / 2**20

    # Between a small and a large backlog, so that what a parser costs once
    # (its thread's stack, the allocators' own structures) drops out.
    per_object = (objects_mb(b) - objects_mb(small)) * 2**20 / (n - small["count"])
    peak = max(b["queued"], b["held"])
    kept = b["after"] - b["before"]
    return (
        [
            Row(
                f"bytes per queued record ({n:,} packets, undrained)",
                f"{per_record:.0f} B",
                f"{b['queued'] - b['before']:.1f} MB queued",
                "-",
                f"<= {GOAL_BYTES_PER_PACKET} B",
                per_record <= GOAL_BYTES_PER_PACKET,
            ),
            Row(
                "bytes per packet object (all kept, header included)",
                f"{per_object:.0f} B",
                f"{objects_mb(b):.1f} MB for {n:,}, {objects_mb(small):.1f} MB for {small['count']:,}",
                "-",
                f"<= {GOAL_BYTES_PER_PACKET} B",
                per_object <= GOAL_BYTES_PER_PACKET,
            ),
            Row(
                "resident: before / queued / as objects (peak)",
                f"{b['before']:.1f} / {b['queued']:.1f} / {b['held']:.1f} MB",
                "-",
                "-",
                "-",
                None,
            ),
            Row(
                "resident after parser and packets are dropped",
                f"{b['after']:.1f} MB",
                f"before {b['before']:.1f} MB, peak {peak:.1f} MB; C heap after {b['c_heap_after']:.1f} MB",
                f"{kept:+.1f} MB",
                f"<= +{GOAL_GIVEN_BACK_MB:.0f} MB",
                kept <= GOAL_GIVEN_BACK_MB,
            ),
        ]
        + [
            Row(
                f"  the same, {setting}",
                f"{probe['after']:.1f} MB",
                f"before {probe['before']:.1f} MB; C heap after {probe['c_heap_after']:.1f} MB",
                f"{probe['after'] - probe['before']:+.1f} MB",
                f"<= +{GOAL_GIVEN_BACK_MB:.0f} MB",
                probe["after"] - probe["before"] <= GOAL_GIVEN_BACK_MB,
            )
            for setting, probe in (("MIMALLOC_ARENA_PURGE_MULT=0", arena), ("MIMALLOC_PURGE_DELAY=0", eager))
        ]
        + [
            Row(
                f"  reference: {n:,} plain bytes objects of 128 B",
                f"{plain['after']:.1f} MB",
                f"before {plain['before']:.1f} MB, peak {plain['held']:.1f} MB",
                f"{plain['after'] - plain['before']:+.1f} MB",
                "-",
                None,
            ),
        ]
    )


def measure(replays: int) -> list[Row]:
    path = str(recording())
    counts, samples = set(), []
    for _ in range(WARM_UP + replays):
        counts.add(replay_and_read(path))
        samples.append(resident_mb())
    if len(counts) != 1:
        raise SystemExit(f"replays delivered different packet counts: {sorted(counts)}")
    after = samples[WARM_UP:]
    half = len(after) // 2
    base = statistics.median(after[:half]) if half else samples[WARM_UP - 1]
    growth = statistics.median(after[half:]) - base
    spread = max(after) - min(after)
    return [
        Row(
            f"memory over {replays} replays reading everything",
            f"{growth:+.2f} MB",
            f"resident {base:.1f} MB (spread {spread:.1f} MB)",
            f"{growth / base * 100:+.1f} %",
            f"< {GOAL_GROWTH_MB} MB",
            growth < GOAL_GROWTH_MB,
        ),
    ]


TILE_SECONDS = 60  # the recording the long ones repeat


def minute_of(stall: bool) -> tuple[bytes, list]:
    """The 60 s recording and its reads as blocks (first, end, CRC, lengths,
    monos from its start), a read every millisecond's bytes: both streams,
    or with stall only the raw packets, each byte arriving when it would
    have with both."""
    import numpy as np

    from vorn import _native

    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
    from native_testing import packet_places  # what framing alone gives of each packet

    src = recording()
    data = src.read_bytes()
    full = len(data)
    per_read = max(1, round(full / (TILE_SECONDS * 1000)))
    if stall:
        kinds, offsets, lengths, _ = packet_places(src)
        starts, lengths = offsets[kinds == 0], lengths[kinds == 0].astype(np.int64)
        data = b"".join(data[a : a + n] for a, n in zip(starts.tolist(), lengths.tolist()))
        placed = np.concatenate([[0], np.cumsum(lengths)[:-1]])
    ends = np.append(np.arange(per_read, len(data), per_read), len(data))
    at = ends - 1  # where each read's last byte lay in the recording with both streams
    if stall:
        i = np.searchsorted(placed, at, side="right") - 1
        at = starts[i] + at - placed[i]
    monos = at * (TILE_SECONDS * 10**9) // full
    blocks = []
    for lo in range(0, len(ends), BLOCK_READS):
        hi = min(lo + BLOCK_READS, len(ends))
        first, end = (int(ends[lo - 1]) if lo else 0), int(ends[hi - 1])
        lengths = np.diff(np.concatenate([[first], ends[lo:hi]])).astype(np.uint64)
        blocks.append((first, end, _native.crc32c(data[first:end]), lengths, monos[lo:hi].astype(np.int64)))
    return data, blocks


def long_recording(minutes: int, stall: bool) -> Path:
    """The 60 s recording `minutes` times over (with stall, both streams only
    in the first minute) and its times file; made once."""
    from vorn import _native
    from vorn.times import MAGIC_V2

    path = ROOT / "build" / "bench" / f"timed-{minutes}min{'-stall' if stall else ''}.bin"
    if path.exists() and Path(f"{path}.times").exists():
        return path
    both = minute_of(False)
    later = minute_of(True) if stall else both
    partial = path.with_suffix(".partial")
    with open(partial, "wb") as rec, open(f"{partial}.times", "wb") as times:
        times.write(MAGIC_V2)
        pos = 0
        for minute in range(minutes):
            data, blocks = both if minute == 0 else later
            rec.write(data)
            t0 = 10**12 + minute * TILE_SECONDS * 10**9
            for first, _, crc, lengths, monos in blocks:
                mono = monos + t0
                times.write(
                    _native.encode_times_block(
                        pos + first, crc, lengths.tobytes(), (mono + WALL_MINUS_MONO).tobytes(), mono.tobytes()
                    )
                )
            pos += len(data)
    os.replace(f"{partial}.times", f"{path}.times")
    os.replace(partial, path)
    return path


def probe_long(what: str, path: str) -> dict:
    """Peak resident MB (VmHWM) of one piece of work on the recording."""
    import tempfile

    import vorn
    from vorn.export import export

    started = time.perf_counter()
    if what == "read":
        cols = vorn.read(path, start=60, end=120)
        assert cols.num_rows
    else:
        with tempfile.TemporaryDirectory(dir=Path(path).parent) as scratch:
            export(path, Path(scratch) / f"out.{what}", what)
    with open("/proc/self/status") as f:
        peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:")) / 1024
    return {"peak": peak, "seconds": time.perf_counter() - started}


def long_rows(short: int, long: int) -> list[Row]:
    rows = []
    cases = [
        ("read", False, "vorn.read of a minute"),
        ("parquet", False, "Parquet export"),
        ("mcap", False, "MCAP export"),
    ]
    cases += [
        ("parquet", True, "Parquet export, filter stream stopped"),
        ("read", True, "vorn.read of a minute, filter stream stopped"),
    ]
    for what, stall, name in cases:
        a = in_fresh_interpreter(f"long-{what}", str(long_recording(short, stall)))
        b = in_fresh_interpreter(f"long-{what}", str(long_recording(long, stall)))
        ratio = b["peak"] / a["peak"]
        rows.append(
            Row(
                f"peak memory, {name}: {long} min (a read per ms)",
                f"{b['peak']:.0f} MB",
                f"{short} min {a['peak']:.0f} MB ({b['seconds']:.0f} s, {a['seconds']:.0f} s)",
                f"{ratio:.2f}x",
                f"<= {GOAL_LONG_RATIO}x",
                ratio <= GOAL_LONG_RATIO,
            )
        )
    return rows


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--replays", type=int, default=10, help="replays after the warm-up (default 10)")
    ap.add_argument("--short", type=int, default=15, help="minutes of the short long recording (default 15)")
    ap.add_argument("--long", type=int, default=120, help="minutes of the long one (default 120)")
    ap.add_argument("--json", action="store_true", help="print the rows as JSON for bench/run.py")
    ap.add_argument("--probe", nargs=2, metavar=("NAME", "RECORDING"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.probe:
        name, path = args.probe
        if name.startswith("long-"):
            print(json.dumps(probe_long(name[5:], path)))
            return
        print(json.dumps({"backlog": probe_backlog, "plain": probe_plain}[name](path)))
        return
    emit(backlog_rows() + measure(max(1, args.replays)) + long_rows(args.short, args.long), args.json)


if __name__ == "__main__":
    main()
