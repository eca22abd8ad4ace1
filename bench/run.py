#!/usr/bin/env python3
"""Runs every benchmark and prints one table: each figure beside its reference,
measured in the same run, their ratio, the goal and whether it is met.

    bench/run.py --core build/bench/release/bench_core [--quick]
                 [--zig-core build/bench/zig/bench_core --zig-module DIR]
                 [--before-core PATH --before-ext DIR]
                 [--abi-python PYTHON --abi3-module DIR --full-api-module DIR]
                 [--peer-python PYTHON] [--ros2-python PYTHON]

The machine's load average is printed before and after: the figures are only
as good as the quiet they were taken in.

With --before-core and --before-ext (a bench_core program and a directory
holding a vorn_rs extension, both built from an earlier commit), the core,
replay, live and memory benchmarks also run against that build, each right after
the current one, and its rows stand under the current ones marked [before].

With --abi-python (an interpreter with the GIL), --abi3-module and
--full-api-module (directories holding a stable-ABI build of the extension and
one built with that interpreter's full API), replay and live latency run on
that interpreter against each build in turn, side by side.

With --peer-python (an interpreter with the GIL that has foxglove-sdk), the
MCAP export is timed beside foxglove-sdk's MCAP writer (bench/bench_tools.py).

With --ros2-python (an interpreter with rclpy and this build, from
tools/ros2/ros2-python), `vorn ros2` is measured in a ROS 2 graph
(bench/bench_ros2.py).
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

from common import Row, format_table, load_average, rate, recording

HERE = Path(__file__).resolve().parent
GOAL_CORE_MB_S = 1000.0
GOAL_CORE_SCAN_FRACTION = 1 / 3  # within 3x of the plain scan


def core_rows(binary: str, rounds: str) -> list[Row]:
    out = subprocess.run(
        [binary, str(recording()), "--rounds", rounds], check=True, capture_output=True, text=True
    ).stdout
    r = json.loads(out)
    scan = r["scan_mb_s"]
    frame = r["frame_mb_s"]
    # Every packet costs one clock read however fast the rest is: the most
    # framing could do if nothing else took any time.
    ceiling = r["bytes"] / r["packets"] / r["clock_ns"] * 1e3

    def speed(key: str) -> str:
        return f"{r[f'{key}_mb_s']:,.0f} MB/s, {rate(r[f'{key}_packets_s'], ' packets/s')}"

    reference = f"plain scan {scan:,.0f} MB/s"
    return [
        Row(
            f"core framing + decoding ({r['bytes'] / 1e6:.1f} MB, {r['packets']:,} packets)",
            speed("frame"),
            "-",
            "-",
            f">= {GOAL_CORE_MB_S:,.0f} MB/s",
            frame >= GOAL_CORE_MB_S,
        ),
        Row(
            "  vs reading the same bytes",
            "",
            reference,
            f"{frame / scan:.2f}x",
            f">= {GOAL_CORE_SCAN_FRACTION:.2f}x",
            frame / scan >= GOAL_CORE_SCAN_FRACTION,
        ),
        Row(
            "  ceiling: one wall-clock read per packet",
            f"{r['clock_ns']:.1f} ns/read, {ceiling:,.0f} MB/s",
            reference,
            f"{ceiling / scan:.2f}x",
            "-",
            None,
        ),
        Row(
            "  the same through the packet channel",
            speed("channel"),
            reference,
            f"{r['channel_mb_s'] / scan:.2f}x",
            "-",
            None,
        ),
        Row(
            "  VornParser: file, reader thread, channel",
            speed("engine"),
            reference,
            f"{r['engine_mb_s'] / scan:.2f}x",
            "-",
            None,
        ),
    ]


GOAL_ZIG_FRACTION = 0.95  # the release wheels' build may be at most 5 % slower
BUILD_PAIRS = 3  # GCC and zig runs alternate this many times; the best of each counts


def zig_rows(gcc_core: str, zig_core: str, zig_module: str, rounds: int) -> list[Row]:
    """The release wheels' build (zig's clang and libc++, glibc 2.17) beside the
    GCC build of a source install, on the same machine in the same minute."""
    frame = {"gcc": 0.0, "zig": 0.0}
    replay = {"gcc": 0.0, "zig": 0.0}
    zig_env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [zig_module, os.environ.get("PYTHONPATH")])))
    for _ in range(BUILD_PAIRS):
        for build, binary, env in (("gcc", gcc_core, None), ("zig", zig_core, zig_env)):
            out = subprocess.run(
                [binary, str(recording()), "--rounds", str(rounds)], check=True, capture_output=True, text=True
            ).stdout
            frame[build] = max(frame[build], json.loads(out)["frame_mb_s"])
            out = subprocess.run([sys.executable, str(HERE / "bench_replay.py"), "--replay-only", "--rounds",
                                  str(max(2, rounds // 3))], check=True, capture_output=True, text=True,
                                 env=env).stdout  # fmt: skip
            r = json.loads(out)
            if build == "zig" and Path(r["module"]).resolve().parent != Path(zig_module).resolve():
                raise SystemExit(f"the zig run imported {r['module']}, not the module in {zig_module}")
            replay[build] = max(replay[build], r["packets_s"])

    def row(name: str, got: dict, show) -> Row:
        ratio = got["zig"] / got["gcc"]
        return Row(
            name,
            show(got["zig"]),
            f"GCC build {show(got['gcc'])}",
            f"{ratio:.2f}x",
            f">= {GOAL_ZIG_FRACTION:.2f}x",
            ratio >= GOAL_ZIG_FRACTION,
        )

    return [
        row("zig build (release wheels): core framing", frame, lambda v: f"{v:,.0f} MB/s"),
        row("zig build (release wheels): replay into Python", replay, lambda v: rate(v, " packets/s")),
    ]


GOAL_ABI3_FRACTION = 0.95  # the stable-ABI build may be at most 5 % slower
ABI_PAIRS = 3  # the two builds alternate this many times; the best of each counts


def abi_rows(python: str, abi3_module: str, full_module: str, quick: bool) -> list[Row]:
    """The stable-ABI build (one file for 3.10 and later) beside a build for
    this interpreter's own full API, on the same interpreter with the GIL."""
    replay = {"abi3": 0.0, "full": 0.0}
    latency = {"abi3": float("inf"), "full": float("inf")}
    version = subprocess.run([python, "-c", "import platform; print(platform.python_version())"], check=True,
                             capture_output=True, text=True).stdout.strip()  # fmt: skip
    runs = (("bench_replay.py", "--replay-only", "--rounds", "4" if quick else "10"),
            ("bench_live.py", "--latency-only", "--packets", "200" if quick else "400"))  # fmt: skip
    for _ in range(ABI_PAIRS):
        for build, where in (("abi3", abi3_module), ("full", full_module)):
            # The build under test, then the stream model (the .venv finds it by a path file).
            paths = [where, str(HERE.parent / "model"), os.environ.get("PYTHONPATH")]
            env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, paths)))
            for script, *args in runs:
                out = subprocess.run([python, str(HERE / script), *args], check=True, capture_output=True,
                                     text=True, env=env).stdout  # fmt: skip
                r = json.loads(out)
                if Path(r["module"]).resolve().parent != Path(where).resolve():
                    raise SystemExit(f"the {build} run imported {r['module']}, not the module in {where}")
                if "packets_s" in r:
                    replay[build] = max(replay[build], r["packets_s"])
                else:
                    latency[build] = min(latency[build], r["median_ms"])
    speed = replay["abi3"] / replay["full"]
    slower = latency["abi3"] / latency["full"]
    return [
        Row(
            f"abi3 build on {version}: replay into Python",
            rate(replay["abi3"], " packets/s"),
            f"{version} API build {rate(replay['full'], ' packets/s')}",
            f"{speed:.2f}x",
            f">= {GOAL_ABI3_FRACTION:.2f}x",
            speed >= GOAL_ABI3_FRACTION,
        ),
        Row(
            f"abi3 build on {version}: live latency, median",
            f"{latency['abi3']:.3f} ms",
            f"{version} API build {latency['full']:.3f} ms",
            f"{slower:.2f}x",
            f"<= {1 / GOAL_ABI3_FRACTION:.2f}x",
            slower <= 1 / GOAL_ABI3_FRACTION,
        ),
    ]


def script_rows(script: str, *args: str, ext_dir: str | None = None) -> list[Row]:
    env = None
    if ext_dir:  # that build's extension first on the module path
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [ext_dir, os.environ.get("PYTHONPATH")])))
    out = subprocess.run(
        [sys.executable, str(HERE / script), "--json", *args], check=True, capture_output=True, text=True, env=env
    ).stdout
    return [Row(**row) for row in json.loads(out)]


def with_before(now: list[Row], before: list[Row] | None) -> list[Row]:
    """Each current row followed by the same row of the earlier build."""
    if before is None:
        return now
    rows = []
    for current, earlier in zip(now, before, strict=True):
        rows += [current, earlier._replace(name=f"{earlier.name} [before]")]
    return rows


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--core", required=True, help="the bench_core program (a release build)")
    ap.add_argument("--quick", action="store_true", help="fewer rounds: rougher figures, sooner")
    ap.add_argument("--zig-core", help="bench_core built by zig as the release wheels are")
    ap.add_argument("--zig-module", help="a directory holding the extension built by zig for this interpreter")
    ap.add_argument("--before-core", help="bench_core built from an earlier commit")
    ap.add_argument("--before-ext", help="directory with the vorn_rs extension built from that commit")
    ap.add_argument("--abi-python", help="an interpreter with the GIL for the stable-ABI rows")
    ap.add_argument("--abi3-module", help="a directory holding the stable-ABI build of the extension")
    ap.add_argument("--full-api-module", help="a directory holding a build for --abi-python's full API")
    ap.add_argument("--peer-python", help="an interpreter with the GIL and foxglove-sdk, for the MCAP peer row")
    ap.add_argument("--ros2-python", help="an interpreter with rclpy and this build, for vorn ros2's rows")
    args = ap.parse_args()
    if len({bool(args.abi_python), bool(args.abi3_module), bool(args.full_api_module)}) != 1:
        ap.error("--abi-python, --abi3-module and --full-api-module go together")
    if bool(args.before_core) != bool(args.before_ext):
        ap.error("--before-core and --before-ext go together")
    before = args.before_ext is not None
    if bool(args.zig_core) != bool(args.zig_module):
        ap.error("--zig-core and --zig-module go together")

    recording()  # made once, before anything is timed
    started = time.perf_counter()
    print(f"load average before: {load_average()}", flush=True)
    quick = args.quick
    core_rounds = str(10 if quick else 30)
    rows = with_before(core_rows(args.core, core_rounds), core_rows(args.before_core, core_rounds) if before else None)
    replay = ("bench_replay.py", "--rounds", "8" if quick else "30")
    rows += with_before(script_rows(*replay), script_rows(*replay, ext_dir=args.before_ext) if before else None)
    live = ("bench_live.py", "--packets", "200" if quick else "400", "--seconds", "3" if quick else "5")
    rows += with_before(script_rows(*live), script_rows(*live, ext_dir=args.before_ext) if before else None)
    memory = ("bench_memory.py", "--replays", "4" if quick else "10")
    rows += with_before(script_rows(*memory), script_rows(*memory, ext_dir=args.before_ext) if before else None)
    rows += script_rows("bench_export.py", "--rounds", "1" if quick else "3")
    rows += script_rows("bench_columns.py", "--rounds", "2" if quick else "5")
    rows += script_rows("bench_noise.py", "--rounds", "2" if quick else "3")
    rows += script_rows(
        "bench_foxglove.py", "--packets", "500" if quick else "2000", "--seconds", "3" if quick else "5"
    )
    rows += script_rows("bench_times.py", "--rounds", "2" if quick else "5")
    rows += script_rows("bench_clock.py", "--rounds", "1" if quick else "3")
    rows += script_rows("bench_stream.py", "--packets", "200" if quick else "400", "--seconds", "3" if quick else "5")
    rows += script_rows("bench_tools.py", "--rounds", "1" if quick else "2", "--peer-python", args.peer_python or "")
    if args.ros2_python:
        out = subprocess.run(
            [args.ros2_python, str(HERE / "bench_ros2.py"), "--json", "--seconds", "5" if quick else "20"],
            check=True,
            capture_output=True,
            text=True,
        ).stdout
        rows += [Row(**row) for row in json.loads(out)]
    if args.zig_core:
        rows += zig_rows(args.core, args.zig_core, args.zig_module, 5 if quick else 10)
    if args.abi_python:
        rows += abi_rows(args.abi_python, args.abi3_module, args.full_api_module, quick)
    print()
    print(format_table(rows))
    print()
    print(f"load average after: {load_average()}; {time.perf_counter() - started:.0f} s")
    missed = [r.name.strip() for r in rows if r.met is False]
    if missed:
        print(f"goals missed: {len(missed)} of {sum(1 for r in rows if r.met is not None)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
