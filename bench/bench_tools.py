#!/usr/bin/env python3
"""The tools on a long recording: 10 minutes of the simulated unit at 1 kHz
(about 76 MB) with a times file of a read per 128 bytes (about one a
millisecond at 921600 baud), each figure a ratio to `vorn info` on the same
bytes without the times file, measured in the same run.

    bench/bench_tools.py [--rounds N] [--json] [--peer-python PYTHON] [--day]

info     `vorn info` with the times file (what it frames and decodes, without
         the printing); and as the user runs it, a process of its own each
         time (imports and start included), against the same without
read     vorn.read with the times file
export   MCAP and Parquet (vorn.export.export)
plot     `vorn plot` to a PNG, drawing included
noise    `vorn noise` on an hour of a still unit at 1 kHz (no times file),
         against vorn.read of the same file; on 2 h at 2 kHz, its peak
         resident memory (a fresh interpreter, the least of 3) against 15
         min's, and its time against vorn.read; with --day, a day at 2 kHz
         (made a minute at a time on first use, about 12 GB) under 1 GB
dataset  8 recordings of 10 min (the one above under 8 names) into one
         Parquet dataset, against 8 single Parquet exports of them
peer     our MCAP export of the 60 s recording (a read per ms) against
         foxglove-sdk's MCAP writer (Rust, zstd chunks) fed the very same
         CDR messages, already packed, from PYTHON: an interpreter with the GIL
         that has foxglove-sdk installed; without one the row says so
memory   peak resident memory of the MCAP and Parquet exports, each in a fresh
         interpreter (the least of 3), of the first 2.5 minutes and of all 10

Everything but the peer and the memory rows runs in this process; the best of
N rounds counts.
"""

from __future__ import annotations

import contextlib
import io
import math
import os
import resource
import shutil
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from bench_export import timed_copy
from common import ROOT, Row, recording, run_rounds

import vorn
from vorn import noise
from vorn.export import export
from vorn.info import examine
from vorn.plot import plot
from vorn.times import Stamp, TimesWriter

LONG_SECONDS = 600
READ_BYTES = 128
HOUR = 3600
GOALS = {"info": 1.5, "read": 4.0, "mcap": 10.0, "parquet": 8.0, "plot": 15.0}
NOMINAL_RATE = 1000.0  # raw packets per second of the still recording
NOISE_GOAL = 1.5  # noise within this of vorn.read plus its Allan deviation
PEER_GOAL = 3.0  # our export at least this much faster than foxglove-sdk's writer
FLAT_GOAL = 1.25  # peak memory of 4x the recording within this of 1x
PEAK_RUNS = 3  # fresh interpreters a peak memory is the least of
FAST_RATE = 2000.0  # raw packets per second of the long still recordings
SHORT_STILL, LONG_STILL, DAY = 900, 7200, 86_400
DAY_GOAL_MB = 1024
FLEET = 8  # recordings of the dataset row
DATASET_GOAL = 1.2  # the dataset export within this of as many single Parquet exports


def best(work, rounds: int) -> float:
    return timed(work, rounds)[0]


def timed(work, rounds: int) -> tuple[float, float]:
    """Seconds of the fastest round, and the CPU seconds (every thread) it took:
    on a busy machine the second says more than the first."""
    out = (float("inf"), 0.0)
    for _ in range(rounds):
        before = resource.getrusage(resource.RUSAGE_SELF)
        start = time.perf_counter()
        work()
        wall = time.perf_counter() - start
        after = resource.getrusage(resource.RUSAGE_SELF)
        out = min(out, (wall, after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime))
    return out


def info(rec: Path) -> None:
    examine(rec)  # what `vorn info` works out, without the printing


def with_times(src: Path, dest: Path, size: int | None = None) -> Path:
    """dest: the first size bytes of src (all of it by default), and a times
    file of one read per READ_BYTES, a millisecond apart. Kept once made."""
    if dest.exists() and Path(f"{dest}.times").exists():
        return dest
    partial = dest.with_suffix(".partial")
    with open(src, "rb") as f, open(partial, "wb") as out:
        out.write(f.read(size) if size is not None else f.read())
    total = partial.stat().st_size
    writer = TimesWriter(partial, force=True)
    wall, mono = 1_765_000_000_000_000_000, 10**12
    for pos in range(0, total, READ_BYTES):
        wall += 1_000_000
        mono += 1_000_000
        writer.add(min(READ_BYTES, total - pos), Stamp(wall, mono))
    writer.close()
    os.replace(f"{partial}.times", f"{dest}.times")
    os.replace(partial, dest)
    return dest


def still_hour() -> Path:
    path = ROOT / "build" / "bench" / f"still-{HOUR}s.bin"
    if not path.exists():
        partial = path.with_suffix(".partial")
        subprocess.run(
            [
                sys.executable,
                str(ROOT / "tools" / "demo" / "make-sample"),
                str(partial),
                "--still",
                "--seconds",
                str(HOUR),
            ],
            check=True,
            stdout=subprocess.DEVNULL,
        )
        os.replace(partial, path)
    return path


def quiet(work):
    def run() -> None:
        with contextlib.redirect_stdout(io.StringIO()):
            work()

    return run


def exported(rec: Path, out: Path, fmt: str):
    def work() -> None:
        export(rec, out, fmt)
        os.unlink(out)

    return work


def long_rows(rounds: int, scratch: Path) -> list[Row]:
    plain = recording(LONG_SECONDS)
    rec = with_times(plain, plain.with_name(f"unit-{LONG_SECONDS}s-times.bin"))
    mb = plain.stat().st_size / 1e6
    base, base_cpu = timed(lambda: info(plain), rounds)
    reference = f"vorn info, no times {base:.3f} s (CPU {base_cpu:.2f} s)"
    rows = []
    for key, name, work in (
        ("info", "vorn info", lambda: info(rec)),
        ("read", "vorn.read", lambda: vorn.read(rec)),
        ("mcap", "MCAP export", exported(rec, scratch / "out.mcap", "mcap")),
        ("parquet", "Parquet export", exported(rec, scratch / "out.parquet", "parquet")),
        ("plot", "vorn plot", lambda: plot(rec, scratch / "out.png", None)),
    ):
        t, cpu = timed(work, rounds)
        rows.append(
            Row(
                f"{name}, {LONG_SECONDS // 60} min at 1 kHz ({mb:.0f} MB), a read per {READ_BYTES} B",
                f"{t:.2f} s (CPU {cpu:.2f} s)",
                reference,
                f"{t / base:.1f}x",
                f"<= {GOALS[key]:g}x",
                t <= GOALS[key] * base,
            )
        )

    # As the user runs it: a process each time, the imports it needs included.
    def as_run(path: Path):
        return lambda: subprocess.run(
            [sys.executable, "-m", "vorn", "info", str(path)], check=True, stdout=subprocess.DEVNULL
        )

    plain_run = best(as_run(plain), max(rounds, 5))
    t = best(as_run(rec), max(rounds, 5))
    rows.append(
        Row(
            f"vorn info as run (its own process), {LONG_SECONDS // 60} min, a read per {READ_BYTES} B",
            f"{t:.2f} s",
            f"without times {plain_run:.3f} s",
            f"{t / plain_run:.1f}x",
            f"<= {GOALS['info']:g}x",
            t <= GOALS["info"] * plain_run,
        )
    )

    # The same export without the times file to decode: the writer's own share.
    def untimed() -> None:
        export(plain, scratch / "out.mcap", "mcap", rate=1000.0)
        os.unlink(scratch / "out.mcap")

    t, cpu = timed(untimed, rounds)
    rows.append(
        Row(
            "  the MCAP export without the times file (--rate)",
            f"{t:.2f} s (CPU {cpu:.2f} s)",
            reference,
            f"{t / base:.1f}x",
            "-",
            None,
        )
    )
    return rows


def noise_row(rounds: int) -> Row:
    path = still_hour()
    whole = best(quiet(lambda: noise.noise(path, rate=NOMINAL_RATE)), rounds)
    read = best(lambda: vorn.read(path, kind="raw"), rounds)
    reference = f"vorn.read {read:.2f} s"
    ratio = whole / read
    return Row(
        f"vorn noise, 1 h still at 1 kHz ({path.stat().st_size / 1e6:.0f} MB)",
        f"{whole:.2f} s",
        reference,
        f"{ratio:.2f}x",
        f"<= {NOISE_GOAL:g}x",
        ratio <= NOISE_GOAL,
    )


def still_long(seconds: int, rate: float = FAST_RATE) -> Path:
    """A still unit at rate, made a minute at a time (a day would not fit in
    memory whole); kept once made."""
    from vorn_model import StillUnit

    path = ROOT / "build" / "bench" / f"still-{seconds}s-{rate:g}hz.bin"
    if not path.exists():
        partial = path.with_suffix(".partial")
        with open(partial, "wb") as out:
            for k, start in enumerate(range(0, seconds, 60)):
                out.write(StillUnit(rate, seed=k + 1).stream(min(60, seconds - start)))
        os.replace(partial, path)
    return path


NOISE_PEAK = """
import contextlib, io, sys
from vorn.noise import noise
with contextlib.redirect_stdout(io.StringIO()):
    noise(sys.argv[1], rate=float(sys.argv[2]))
print(next(line.split()[1] for line in open("/proc/self/status") if line.startswith("VmHWM:")))
"""


def peak_mb(script: str, *args) -> float:
    """The least peak resident memory of a few fresh interpreters running script."""
    least = math.inf
    for _ in range(PEAK_RUNS):
        done = subprocess.run(
            [sys.executable, "-c", script, *map(str, args)], check=True, capture_output=True, text=True
        )
        least = min(least, int(done.stdout) / 1024)
    return least


def long_noise_rows(rounds: int, day: bool) -> list[Row]:
    """vorn noise on 2 h at 2 kHz: its peak memory against 15 min's, its time
    against vorn.read of the same file; with day, a day's peak memory."""
    short, long = still_long(SHORT_STILL), still_long(LONG_STILL)
    peaks = [peak_mb(NOISE_PEAK, p, FAST_RATE) for p in (short, long)]
    whole, whole_cpu = timed(quiet(lambda: noise.noise(long, rate=FAST_RATE)), rounds)
    read, read_cpu = timed(lambda: vorn.read(long, kind="raw"), rounds)
    what = f"vorn noise, {LONG_STILL // 3600} h still at {FAST_RATE / 1000:g} kHz ({long.stat().st_size / 1e6:.0f} MB)"
    rows = [
        Row(
            f"{what}: peak memory",
            f"{peaks[1]:.0f} MB",
            f"{SHORT_STILL // 60} min {peaks[0]:.0f} MB",
            f"{peaks[1] / peaks[0]:.2f}x",
            f"<= {FLAT_GOAL:g}x",
            peaks[1] <= FLAT_GOAL * peaks[0],
        ),
        Row(
            f"{what}: time",
            f"{whole:.2f} s (CPU {whole_cpu:.2f} s)",
            f"vorn.read {read:.2f} s (CPU {read_cpu:.2f} s)",
            f"{whole / read:.2f}x",
            f"<= {NOISE_GOAL:g}x",
            whole <= NOISE_GOAL * read,
        ),
    ]
    if day:
        path = still_long(DAY)
        peak = peak_mb(NOISE_PEAK, path, FAST_RATE)
        gb = path.stat().st_size / 1e9
        rows.append(
            Row(
                f"vorn noise, a day still at {FAST_RATE / 1000:g} kHz ({gb:.1f} GB): peak memory",
                f"{peak:.0f} MB",
                "-",
                "-",
                f"<= {DAY_GOAL_MB} MB",
                peak <= DAY_GOAL_MB,
            )
        )
    return rows


def dataset_row(scratch: Path) -> Row:
    """8 recordings of 10 min into one dataset, against 8 single Parquet exports."""
    from vorn.export.dataset import dataset

    plain = recording(LONG_SECONDS)
    rec = with_times(plain, plain.with_name(f"unit-{LONG_SECONDS}s-times.bin"))
    fleet = scratch / "fleet"
    fleet.mkdir()
    recs = []
    for i in range(FLEET):
        name = fleet / f"run{i}.bin"
        os.link(rec, name)
        os.link(f"{rec}.times", f"{name}.times")
        recs.append(name)

    def singles() -> None:
        for r in recs:
            export(r, scratch / "single.parquet", "parquet")
        os.unlink(scratch / "single.parquet")

    def together() -> None:
        dataset(recs, scratch / "set", unit="bench")
        shutil.rmtree(scratch / "set")

    one, one_cpu = timed(singles, 1)
    many, many_cpu = timed(together, 1)
    return Row(
        f"dataset export, {FLEET} recordings of {LONG_SECONDS // 60} min",
        f"{many:.2f} s (CPU {many_cpu:.2f} s)",
        f"{FLEET} Parquet exports {one:.2f} s (CPU {one_cpu:.2f} s)",
        f"{many / one:.2f}x",
        f"<= {DATASET_GOAL:g}x",
        many <= DATASET_GOAL * one,
    )


# Run by the peer's interpreter: the messages of a dump, each logged on its
# channel through foxglove-sdk's MCAP writer; prints the seconds taken.
PEER = """
import struct, sys, time, foxglove
from foxglove import Channel, Schema
data = open(sys.argv[1], "rb").read()
channels, messages, pos = {}, [], 0
(n,) = struct.unpack_from("<I", data, pos); pos += 4
for _ in range(n):
    cid, lt, ln, ld = struct.unpack_from("<HIII", data, pos); pos += 14
    topic = data[pos:pos + lt].decode(); pos += lt
    name = data[pos:pos + ln].decode(); pos += ln
    schema = data[pos:pos + ld]; pos += ld
    channels[cid] = (topic, name, schema)
while pos < len(data):
    cid, t, size = struct.unpack_from("<HQI", data, pos); pos += 14
    messages.append((cid, t, data[pos:pos + size])); pos += size
best = float("inf")
for _ in range(int(sys.argv[3])):
    start = time.perf_counter()
    with foxglove.open_mcap(sys.argv[2], allow_overwrite=True):
        log = {
            cid: Channel(topic, message_encoding="cdr", schema=Schema(name=name, encoding="ros2msg", data=schema)).log
            for cid, (topic, name, schema) in channels.items()
        }
        for cid, t, body in messages:
            log[cid](body, log_time=t)
    best = min(best, time.perf_counter() - start)
print(best, len(messages))
"""


def dump_messages(mcap: Path, out: Path) -> None:
    """The channels and messages of one of our MCAP files, for PEER."""
    try:
        from compression import zstd
    except ImportError:
        from backports import zstd
    data = mcap.read_bytes()
    channels, schemas, messages = {}, {}, []
    pos = 8
    while pos < len(data) - 8:
        op, n = struct.unpack_from("<BQ", data, pos)
        body = data[pos + 9 : pos + 9 + n]
        pos += 9 + n
        if op == 3:
            sid, ln = struct.unpack_from("<HI", body)
            name = body[6 : 6 + ln]
            (le,) = struct.unpack_from("<I", body, 6 + ln)
            (ld,) = struct.unpack_from("<I", body, 10 + ln + le)
            schemas[sid] = (name, body[14 + ln + le : 14 + ln + le + ld])
        elif op == 4 and struct.unpack_from("<H", body)[0] not in channels:
            cid, sid, lt = struct.unpack_from("<HHI", body)
            channels[cid] = (body[8 : 8 + lt], *schemas[sid])
        elif op == 6:
            (lc,) = struct.unpack_from("<I", body, 28)
            (lr,) = struct.unpack_from("<Q", body, 32 + lc)
            raw = zstd.decompress(body[40 + lc : 40 + lc + lr])
            p = 0
            while p < len(raw):
                (m,) = struct.unpack_from("<Q", raw, p + 1)
                cid, _, t = struct.unpack_from("<HIQ", raw, p + 9)
                messages.append(struct.pack("<HQI", cid, t, m - 22) + raw[p + 31 : p + 9 + m])
                p += 9 + m
        elif op == 15:
            break
    head = [struct.pack("<I", len(channels))]
    for cid, (topic, name, schema) in channels.items():
        head.append(struct.pack("<HIII", cid, len(topic), len(name), len(schema)) + topic + name + schema)
    out.write_bytes(b"".join(head + messages))


def peer_rows(rounds: int, scratch: Path, peer: str | None) -> list[Row]:
    """Ours against the peer on the 60 s recording: with a read per ms, and
    without a times file (--rate), where neither side decodes times."""
    have_peer = bool(peer) and subprocess.run([peer, "-c", "import foxglove"], capture_output=True).returncode == 0
    version = (
        have_peer
        and subprocess.run(
            [peer, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"], capture_output=True, text=True
        ).stdout.strip()
    )
    rows = []
    for name, rec, rate in (
        ("MCAP export beside foxglove-sdk's writer, 60 s (a read per ms)", timed_copy(recording(), scratch), None),
        ("  the same without a times file (--rate)", recording(), 1000.0),
    ):
        ours_mcap = scratch / "ours.mcap"

        def ours_export() -> None:
            export(rec, ours_mcap, "mcap", rate=rate)

        ours = best(ours_export, rounds)
        if not have_peer:
            rows.append(
                Row(
                    name,
                    f"{ours:.2f} s",
                    "foxglove-sdk not found: BENCH_PEER_PYTHON=a GIL python that has it",
                    "-",
                    f">= {PEER_GOAL:g}x",
                    None,
                )
            )
            continue
        dump_messages(ours_mcap, scratch / "messages.bin")
        done = subprocess.run(
            [peer, "-c", PEER, scratch / "messages.bin", scratch / "peer.mcap", str(rounds)],
            check=True,
            capture_output=True,
            text=True,
        )
        theirs, count = done.stdout.split()
        theirs, count = float(theirs), int(count)
        ratio = theirs / ours
        rows.append(
            Row(
                name,
                f"{count / ours / 1e3:,.0f} k messages/s ({ours:.2f} s)",
                f"foxglove-sdk on {version}: {count / theirs / 1e3:,.0f} k messages/s ({theirs:.2f} s)",
                f"{ratio:.1f}x",
                f">= {PEER_GOAL:g}x",
                ratio >= PEER_GOAL,
            )
        )
    return rows


# VmHWM rather than ru_maxrss, which keeps the parent's peak across exec.
PEAK = """
import sys
from vorn.export import export
export(sys.argv[1], sys.argv[2], sys.argv[3])
print(next(line.split()[1] for line in open("/proc/self/status") if line.startswith("VmHWM:")))
"""


def memory_rows(scratch: Path) -> list[Row]:
    plain = recording(LONG_SECONDS)
    full = with_times(plain, plain.with_name(f"unit-{LONG_SECONDS}s-times.bin"))
    quarter = with_times(plain, plain.with_name(f"unit-{LONG_SECONDS // 4}s-times.bin"), plain.stat().st_size // 4)
    rows = []
    for fmt in ("mcap", "parquet"):
        peaks = []
        for rec in (quarter, full):
            out = scratch / f"peak.{fmt}"
            # The least of a few: how much of its freed memory the allocator
            # keeps differs by a tenth or more from run to run.
            least = math.inf
            for _ in range(PEAK_RUNS):
                done = subprocess.run(
                    [sys.executable, "-c", PEAK, rec, out, fmt], check=True, capture_output=True, text=True
                )
                os.unlink(out)
                least = min(least, int(done.stdout) / 1024)
            peaks.append(least)
        ratio = peaks[1] / peaks[0]
        rows.append(
            Row(
                f"{fmt} export peak memory, {LONG_SECONDS // 60} min",
                f"{peaks[1]:.0f} MB",
                f"{LONG_SECONDS / 240:g} min {peaks[0]:.0f} MB",
                f"{ratio:.2f}x",
                f"<= {FLAT_GOAL:g}x",
                ratio <= FLAT_GOAL,
            )
        )
    return rows


def measure(rounds: int, peer: str | None, day: bool = False) -> list[Row]:
    with tempfile.TemporaryDirectory(dir=recording().parent) as name:
        scratch = Path(name)
        rows = long_rows(rounds, scratch)
        rows.append(noise_row(rounds))
        rows += long_noise_rows(rounds, day)
        rows.append(dataset_row(scratch))
        rows += peer_rows(rounds, scratch, peer)
        rows += memory_rows(scratch)
    return rows


def main() -> None:
    peer = None
    if "--peer-python" in sys.argv:  # taken out before run_rounds' own options
        i = sys.argv.index("--peer-python")
        peer = sys.argv[i + 1] or None
        del sys.argv[i : i + 2]
    day = "--day" in sys.argv  # a day at 2 kHz, about 12 GB made on first use: not in CI
    if day:
        sys.argv.remove("--day")
    run_rounds(lambda rounds: measure(rounds, peer, day), __doc__, 2)


if __name__ == "__main__":
    main()
