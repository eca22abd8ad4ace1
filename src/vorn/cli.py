"""vorn: record, inspect, export and plot the stream of the unit, show it live
in Foxglove, measure its noise, and find out why a port will not work.

Exit status: 0 on success, 1 when the work failed (a missing file, a port that
cannot be opened, a recording in which no byte arrived, an output another
`vorn record` is writing or that is not a regular file, a recording without
packets, a port that hung up, a stop by SIGTERM or SIGHUP) or `vorn doctor`
found a problem, 2 for a usage error (an output that is a file the command
reads, --rate where it cannot apply or is needed). When a port will not open or streams badly,
`vorn doctor PORT` says why.
"""

# The command on top of the vorn library: it parses arguments, prints what the
# library returns, and is the one place that turns the library's exceptions
# into a line on stderr and an exit status.

from __future__ import annotations

import argparse
import json
import math
import os
import signal
import sys
import threading
import warnings
from pathlib import Path

from vorn.errors import UsageError
from vorn.ros_messages import DEFAULT_FRAME_ID
from vorn.sidecars import LINE_BAUD, UNSAID_BAUD, beside

EXPORT_SUFFIXES = (".csv", ".parquet", ".npz", ".mcap")
MAX_BAUD = 2**32  # the port takes a 32-bit speed


def number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None


def positive(text: str) -> float:
    value = number(text)
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"must be a finite number above 0: {text!r}")
    return value


def baud_rate(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    # Speed 0 is not a speed: on a serial line it means "hang up".
    if not 0 < value < MAX_BAUD:
        raise argparse.ArgumentTypeError(f"must be between 1 and {MAX_BAUD - 1}: {text!r}")
    return value


def export_format(out: str, given: str | None) -> str | None:
    """The format --format names, or else OUT's suffix; None if neither does.
    Path(".csv").suffix is "": a name that is only a suffix is a hidden file without one."""
    suffix = Path(out).suffix.lower()
    return given or (suffix[1:] if suffix in EXPORT_SUFFIXES else None)


def topic_prefix(text: str) -> str:
    """A ROS namespace such as /left or left: returned as /left ("" for none)."""
    parts = text.strip("/").split("/") if text.strip("/") else []
    for p in parts:
        if not p or not (p[0].isalpha() or p[0] == "_") or not all(c.isalnum() or c == "_" for c in p):
            raise argparse.ArgumentTypeError(f"not a ROS namespace (letters, digits, _ between /): {text!r}")
    return "".join("/" + p for p in parts)


def frame_id(text: str) -> str:
    """A header.frame_id as tf2 takes it."""
    from vorn.ros_messages import check_frame_id

    try:
        return check_frame_id(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e).removeprefix("frame id ")) from None


def client_count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


def tcp_port(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 0 <= value < 65536:
        raise argparse.ArgumentTypeError(f"must be between 0 (any free port) and 65535: {text!r}")
    return value


class VersionAction(argparse.Action):
    """--version, looking the version up only when asked."""

    def __init__(self, option_strings, dest, **kwargs) -> None:
        super().__init__(option_strings, dest, nargs=0, help="print the version and exit", **kwargs)

    def __call__(self, parser, namespace, values, option_string=None) -> None:
        from vorn import __version__

        print(f"vorn {__version__}")
        parser.exit()


RECORDING_HELP = "a recording: the bytes of the stream as `vorn record` writes them"
BAUD_HELP = (
    "the line's baud rate, for each packet's wire time in its sample time (default: FILE.baud, "
    f"which `vorn record` writes, else {UNSAID_BAUD})"
)
PORT_BAUD_HELP = f"baud rate (default {LINE_BAUD})"


def add_selection(ap: argparse._ActionsContainer) -> None:
    """--kind, --start and --end: which packets a command takes."""
    ap.add_argument("--kind", choices=("raw", "estimated"), help="packets of this kind only (default: both)")
    ap.add_argument(
        "--start",
        type=number,
        metavar="S",
        help="from S seconds after the first read arrived; for a recording without arrival times, "
        "from packet number S (counting from 0)",
    )
    ap.add_argument("--end", type=number, metavar="S", help="to before S seconds (or packet number S)")


class Parser(argparse.ArgumentParser):
    """Options exactly as written: no prefix of an option stands for it
    (--frame is not --frame-id), in every sub-command too."""

    def __init__(self, *args, **kwargs) -> None:
        kwargs.setdefault("allow_abbrev", False)
        super().__init__(*args, **kwargs)


FRAME_HELP = (
    "rep103: ROS's body frame, x forward, y left, z up, orientation against east, north, up "
    "(default); unit: the unit's own axes, x forward, y right, z down, against north, east, down"
)


STAMPS_HELP = (
    "header.stamp: the unit's sample time recovered from the arrivals (default), or the arrival "
    "itself; the log time is always the arrival"
)


def add_ros_options(ap: argparse._ActionsContainer, stamps_help: str = STAMPS_HELP) -> None:
    """--frame-id, --topic-prefix, --stamps, --frame and --noise: the ROS
    messages of export and live."""
    ap.add_argument(
        "--frame-id",
        metavar="ID",
        type=frame_id,
        default=DEFAULT_FRAME_ID,
        help=f"header.frame_id (default {DEFAULT_FRAME_ID})",
    )
    ap.add_argument(
        "--topic-prefix",
        metavar="NS",
        type=topic_prefix,
        default="",
        help="namespace before the topics, e.g. /left for /left/imu/data (default: none)",
    )
    ap.add_argument(
        "--stamps",
        choices=("sample", "arrival"),
        default="sample",
        help=stamps_help,
    )
    ap.add_argument("--frame", choices=("rep103", "unit"), help=FRAME_HELP)
    ap.add_argument(
        "--noise",
        metavar="IMU_YAML",
        help="fill the Imu covariance diagonals from this imu.yaml (vorn noise --yaml) instead of 0",
    )


def parser() -> argparse.ArgumentParser:
    ap = Parser(prog="vorn", description=__doc__.split("\n\n")[0], epilog=__doc__.split("\n\n")[1])
    ap.add_argument("--version", action=VersionAction)
    sub = ap.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=Parser)

    rec = sub.add_parser(
        "record",
        help="write a port's byte stream to a file",
        description="Writes every byte the port delivers to FILE until Ctrl-C, SIGTERM, "
        "SIGHUP, the time limit or a hang-up. The port is claimed and set to raw 8N1 as "
        "SerialParser does.",
    )
    rec.add_argument("port", metavar="PORT", help="serial device, e.g. /dev/ttyUSB0")
    rec.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        required=True,
        help="recording to write; an existing file is refused unless --force",
    )
    rec.add_argument("--force", action="store_true", help="replace FILE if it exists")
    rec.add_argument("--baud", type=baud_rate, default=LINE_BAUD, metavar="N", help=PORT_BAUD_HELP)
    rec.add_argument("--seconds", type=positive, metavar="S", help="stop after S seconds")
    rec.add_argument(
        "--reconnect",
        action="store_true",
        help="through a hang-up or unplug, wait for the same device and go on in the same file "
        "(the gaps are marked in its arrival times; `vorn info` lists them)",
    )

    info = sub.add_parser("info", help="count packets, noise and flagged fields in a recording")
    info.add_argument("file", metavar="FILE", help=RECORDING_HELP)
    info.add_argument("--json", action="store_true", help="one JSON object instead of text")
    info.add_argument("--baud", type=baud_rate, metavar="N", help=BAUD_HELP)

    exp = sub.add_parser(
        "export",
        help="to CSV, Parquet, NumPy .npz, MCAP or a rosbag2 directory",
        description="Writes one row per packet and one column per value component, or ROS 2 "
        "messages stamped with each packet's sample time and logged at its arrival. The format "
        "follows OUT's suffix "
        "(.csv; .npz: needs numpy, 'vorn_rs[columns]'; .parquet: needs pyarrow as well, "
        "'vorn_rs[parquet]'; .mcap: needs 'vorn_rs[mcap]') or --format.",
    )
    exp.add_argument("file", metavar="FILE", nargs="+", help=RECORDING_HELP + "; several with --dataset")
    exp.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        help="file to write, replaced (NAME.csv, NAME.parquet, NAME.npz, NAME.mcap), or with "
        "--format rosbag2 a new directory",
    )
    exp.add_argument(
        "--format", choices=("csv", "parquet", "npz", "mcap", "rosbag2"), help="the format, whatever OUT's suffix"
    )
    exp.set_defaults(usage=exp)  # OUT and --format are checked together, after parsing
    add_selection(exp.add_argument_group("CSV, Parquet and .npz"))
    ros = exp.add_argument_group("MCAP and rosbag2")
    add_ros_options(ros)
    exp.add_argument("--baud", type=baud_rate, metavar="N", help=BAUD_HELP)
    many = exp.add_argument_group("a dataset of many recordings")
    many.add_argument(
        "--dataset",
        metavar="DIR",
        help="add every FILE to the Hive-partitioned Parquet dataset DIR "
        "(unit=UNIT/date=YYYY-MM-DD/part-RECORDING.parquet; made if missing), instead of -o",
    )
    many.add_argument(
        "--unit", metavar="NAME", help="the unit of every FILE (default: each FILE's name without suffix)"
    )
    many.add_argument("--replace", action="store_true", help="write a recording the dataset already holds anew")
    ros.add_argument(
        "--rate",
        type=positive,
        metavar="HZ",
        help="raw packets per second: every packet stamped from this rate instead of its arrival "
        "time (filter packets between the raw packets around them); the file says so",
    )

    plot = sub.add_parser(
        "plot",
        help="draw acceleration, angular rate, orientation, pressure and altitude",
        description="Draws one panel per signal group, with the share of filter packets "
        "that flagged the field invalid shaded. Needs matplotlib "
        "(pip install --prefer-binary 'vorn_rs[plot]').",
    )
    plot.add_argument("file", metavar="FILE", help=RECORDING_HELP)
    plot.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        required=True,
        help="image to write, its format named by its suffix (.png, .svg, .pdf, ...; replaced)",
    )
    plot.add_argument(
        "--rate",
        type=positive,
        metavar="HZ",
        help="raw packets per second: x axis in seconds at that rate (filter packets between the "
        "raw packets around them) instead of the arrival times (or, without them, the packet count)",
    )
    add_selection(plot)
    noise = sub.add_parser(
        "noise",
        help="noise densities and random walks from a still recording",
        description="The overlapping Allan deviation of each accelerometer and gyroscope axis "
        "of a still recording, and from it the white-noise density, bias instability and rate "
        "random walk of each, in SI units, with the figures calibration tools and ROS drivers "
        "take. Needs numpy, and matplotlib for the plot "
        "(pip install --prefer-binary 'vorn_rs[noise]').",
    )
    noise.add_argument("file", metavar="FILE", help=RECORDING_HELP)
    noise.add_argument(
        "-o", "--output", metavar="OUT", help="draw the deviations to this image (.png, .svg, .pdf, ...; replaced)"
    )
    noise.add_argument("--yaml", metavar="IMU_YAML", help="write the calibration tools' imu.yaml here (replaced)")
    noise.add_argument("--json", action="store_true", help="one JSON object instead of text, with every deviation")
    noise.add_argument(
        "--rate",
        type=positive,
        metavar="HZ",
        help="raw packets per second the unit sent (default: from the arrival times; needed for a "
        "recording without them)",
    )
    doc = sub.add_parser(
        "doctor",
        help="why a port will not open or streams badly, and what to do about it",
        description="Without PORT: the machine's serial ports, their stable names, drivers, USB "
        "identities, latency timers and who holds them open. With PORT: whether you may use it, "
        "who holds it, its exclusive mode and lock, the latency timer, and whether it takes the "
        "baud rate; --listen then reads the stream. One line per finding, each problem with its "
        "fix; exit status 1 when there is a problem.",
    )
    doc.add_argument("port", metavar="PORT", nargs="?", help="serial device, e.g. /dev/ttyUSB0 (default: list all)")
    doc.add_argument("--baud", type=baud_rate, default=LINE_BAUD, metavar="N", help=PORT_BAUD_HELP)
    doc.add_argument(
        "--listen",
        type=positive,
        metavar="SECONDS",
        help="read the stream this long and judge it: rates, checksum failures, noise, gaps, bursts",
    )
    doc.add_argument("--json", action="store_true", help="one JSON object instead of text")
    doc.set_defaults(usage=doc)

    live = sub.add_parser(
        "live",
        help="the unit live in Foxglove, over the Foxglove WebSocket protocol",
        description="Serves the stream as the ROS 2 messages of the MCAP export (same topics, "
        "schemas and CDR) to Foxglove WebSocket clients (Foxglove, Lichtblick, PlotJuggler), up to "
        "--max-clients at once, until Ctrl-C; in Foxglove: Open connection, Foxglove WebSocket, "
        "ws://127.0.0.1:8765. Axes: REP 103's unless --frame unit; /tf carries the orientation. A "
        "client too slow to keep up loses its oldest messages, one that takes nothing for 5 s is "
        "dropped, never holding up the port or the others. Needs websockets and numpy (pip install "
        "'vorn_rs[live]').",
    )
    live.add_argument("port", metavar="PORT", nargs="?", help="serial device, e.g. /dev/ttyUSB0")
    live.add_argument(
        "--replay",
        metavar="RECORDING",
        help="serve a recording instead, at the pace it arrived, from the first subscription on",
    )
    live.add_argument(
        "--rate",
        type=positive,
        metavar="HZ",
        help="raw packets per second: replay a recording without arrival times at this pace, "
        "filter packets between the raw packets around them (as export --rate)",
    )
    live.add_argument("--baud", type=baud_rate, default=LINE_BAUD, metavar="N", help=PORT_BAUD_HELP)
    live.add_argument("--reconnect", action="store_true", help="wait for the port to come back after an unplug")
    live.add_argument(
        "--lookahead",
        type=float,
        metavar="S",
        default=0.0,
        help="seconds each packet waits for the reads after it to confirm its sample time "
        "(default 0: sent at once, its time from what came before it)",
    )
    live.add_argument(
        "--record",
        metavar="FILE",
        help="write the port's bytes to FILE while serving, with FILE.times and FILE.baud, as "
        "`vorn record` does; an existing file is refused",
    )
    live.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1: this machine only)")
    live.add_argument(
        "--port",
        dest="ws_port",
        type=tcp_port,
        default=8765,
        metavar="N",
        help="TCP port to listen on (default 8765; 0: any free one)",
    )
    live.add_argument(
        "--max-clients",
        type=client_count,
        default=16,
        metavar="N",
        help="clients served at once; one more is refused, saying so (default 16)",
    )
    add_ros_options(
        live, "each message's time and header.stamp: the packet's sample time where known (default), or its arrival"
    )
    live.set_defaults(usage=live)

    ros2 = sub.add_parser(
        "ros2",
        help="the unit live in a ROS 2 graph: a node publishing its messages",
        description="A ROS 2 node (default name vorn) publishing the stream as the MCAP export's "
        "messages (imu/data_raw, imu/data, ... under the node's namespace), QoS reliable, keep "
        "last 10 (best-effort subscribers match too), with the stream's health on /diagnostics, "
        "until Ctrl-C or SIGTERM. Its settings are ROS parameters too (--ros-args -p frame_id:=X). "
        "Needs rclpy: a sourced ROS 2, or pip install 'vorn_rs[ros2]' (x86-64, CPython 3.10-3.13).",
    )
    ros2.add_argument("port", metavar="PORT", nargs="?", help="serial device, e.g. /dev/ttyUSB0")
    ros2.add_argument("--replay", metavar="RECORDING", help="publish a recording instead, at the pace it arrived")
    ros2.add_argument(
        "--pace", type=number, metavar="X", default=1.0, help="replay X times as fast (0: all at once; default 1)"
    )
    ros2.add_argument("--baud", type=baud_rate, default=921600, metavar="N", help="baud rate (default 921600)")
    ros2.add_argument(
        "--frame",
        choices=("rep103", "unit"),
        default="rep103",
        help="rep103 (default): REP 103's body frame, x forward, y left, z up, orientation against "
        "east, north, up; unit: the unit's axes as sent (x forward, y right, z down, against NED)",
    )
    ros2.add_argument(
        "--frame-id", metavar="ID", default=DEFAULT_FRAME_ID, help=f"header.frame_id (default {DEFAULT_FRAME_ID})"
    )
    ros2.add_argument(
        "--noise", metavar="YAML", help="imu.yaml of `vorn noise` for the raw sensor's covariances (imu/data_raw)"
    )
    ros2.add_argument(
        "--stamps",
        choices=("sample", "arrival"),
        default="sample",
        help="header.stamp: the unit's sample time (default) or the arrival time",
    )
    ros2.add_argument(
        "--lookahead",
        type=float,
        metavar="S",
        default=0.0,
        help="seconds each packet waits for the reads after it to confirm its sample time (default 0)",
    )
    ros2.add_argument(
        "--reliability",
        choices=("reliable", "best_effort"),
        default="reliable",
        help="QoS reliability of the publishers (default reliable)",
    )
    ros2.add_argument("--reconnect", action="store_true", help="wait for the port to come back after an unplug")
    ros2.add_argument("--record", metavar="FILE", help="write the port's bytes to FILE while publishing")
    ros2.add_argument("--force", action="store_true", help="with --record: replace an existing FILE")
    ros2.add_argument(
        "--ros-args",
        dest="ros_args",
        nargs=argparse.REMAINDER,
        default=[],
        help="the rest goes to ROS 2 as every node takes it: -r __ns:=/left, -r __node:=imu, -p frame_id:=X, ...",
    )
    ros2.set_defaults(usage=ros2)
    return ap


class Failed(Exception):
    """A failure the command itself finds (a recording without packets, a
    port that hung up): one line on stderr, exit status 1."""


def say(text: str) -> None:
    """One line on stderr, which may be a terminal that has gone (SIGHUP)."""
    try:
        print(text, file=sys.stderr, flush=True)
    except OSError:
        pass


def os_failure_text(command: str, e: OSError) -> str:
    """The one line for a failed system call: the path and the system's short
    text, without the errno number or a library's wording around it."""
    from vorn.export.dataset import InDataset
    from vorn.locks import HeldError

    text = e.strerror or str(e)
    if isinstance(e, FileExistsError) and command == "record":
        text = "exists; --force replaces it"
    elif isinstance(e, FileExistsError) and command == "live":
        text = "exists; record to another file"
    elif isinstance(e, HeldError) and command in ("record", "live"):
        who = f"process {e.pid}" if e.pid else "another process"
        text = f"being recorded by {who}; stop it first or record to another file"
    elif isinstance(e, InDataset):
        text = f"{text}; --replace writes it anew"
    elif isinstance(e, FileExistsError) and command == "export":
        text = "exists; a rosbag2 directory is written anew"
    return text if e.filename is None else f"{os.fsdecode(e.filename)}: {text}"


class Stopped(BaseException):
    """SIGTERM or SIGHUP arrived: unwinds like Ctrl-C, so that what a command
    leaves half-made is removed on the way out."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)


STOP_SIGNALS = (signal.SIGTERM, signal.SIGHUP)
# Signals that end a recording in order: flushed, summed up, exit status 0. A
# hang-up of the controlling terminal (a closed window, a dropped ssh) is one.
RECORD_STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


# A clean-up takes far less. A stop signal that came during the import of a C
# extension can be lost there (its error cleared); one repeated after this
# long stops the command even so, rather than being ignored with the first.
CLEAN_UP_SECONDS = 1.0
_first_stop: list[float] = []


def on_stop(signum, frame) -> None:
    import time

    from vorn import overwrite

    if overwrite.placed.is_set():
        return  # the output is whole: the command ends as it would have
    if overwrite.committing.is_set():
        overwrite.stopping.append(signum)  # raised again once the output is in place, or not
        return
    if _first_stop and time.monotonic() - _first_stop[0] < CLEAN_UP_SECONDS:
        return  # a second signal must not cut the clean-up short
    _first_stop[:] = [time.monotonic()]
    raise Stopped(signum)


def catch_stops() -> None:
    """Stop signals unwind the command, except those ignored from the start
    (`nohup vorn record ...`), and only where handlers can be set."""
    if threading.current_thread() is not threading.main_thread():
        return
    for s in STOP_SIGNALS:
        if signal.getsignal(s) is not signal.SIG_IGN:
            signal.signal(s, on_stop)


def show(text: str) -> None:
    print(text)


def run_record(args) -> int:
    from vorn.progress import Status
    from vorn.record import record

    stop = []  # the signal that asked to stop, if any

    def on_signal(signum, frame):
        stop.append(signum)

    # A signal ignored from the start (SIGHUP under nohup) stays ignored.
    handlers = {
        s: signal.signal(s, on_signal) for s in RECORD_STOP_SIGNALS if signal.getsignal(s) is not signal.SIG_IGN
    }
    status = Status()

    def told(text: str) -> None:
        status.clear()
        say(f"vorn record: {text}")

    try:
        got = record(
            args.port,
            args.output,
            args.baud,
            args.seconds,
            args.force,
            stopped=lambda: bool(stop),
            status=status,
            reconnect=args.reconnect,
            told=told,
        )
    finally:
        status.clear()
        for s, h in handlers.items():
            signal.signal(s, h)
    c = got.counts
    if got.failure is not None:
        why = f"the port hung up ({got.failure.strerror})"
    elif stop:
        why = "stopped by " + ("Ctrl-C" if stop[0] == signal.SIGINT else signal.Signals(stop[0]).name)
    else:
        why = "time limit reached"
    if got.gaps:
        why += f"; {got.gaps} gap{'s' if got.gaps > 1 else ''} without the device (vorn info lists them)"
    if got.overruns:
        why += f"; the driver lost {got.overruns:,} characters (overruns; vorn info lists them)"
    try:
        print(
            f"{args.output}: {got.bytes:,} bytes in {got.seconds:.1f} s, {c['raw']:,} raw and "
            f"{c['estimated']:,} estimated packets, {c['bad_checksums']:,} checksum failures; {why}",
            flush=True,
        )
    except OSError:
        pass  # stdout was the terminal that hung up; the recording is complete all the same
    if got.failure is not None:
        raise Failed(f"{args.port}: {why}")
    if got.bytes == 0:
        raise Failed(
            f"{args.port}: no byte arrived in {got.seconds:.1f} s; `vorn doctor {args.port} --listen 5` says why"
        )
    return 0


def run_info(args) -> int:
    from vorn.info import examine, report, summary
    from vorn.progress import Progress

    progress = Progress("info")
    try:
        c, t, s = examine(args.file, progress, args.baud)
    finally:
        progress.close()
    show(json.dumps(summary(args.file, c, t, s), indent=2) if args.json else report(args.file, c, t, s))
    if c["raw"] + c["estimated"] == 0:
        raise Failed(f"{args.file}: no packets in {c['bytes']:,} bytes")
    return 0


def run_doctor(args) -> int:
    from vorn.doctor import examine

    report = examine(args.port, args.baud, args.listen)
    if args.json:
        show(json.dumps(report.as_dict(args.port), indent=2))
    else:
        for f in report.findings:
            show(f.line())
        n = report.problems
        show(f"{n} problem{'s' if n != 1 else ''} found" if n else "nothing wrong found")
    return 0 if report.ok else 1


def run_noise(args) -> int:
    from vorn.noise import noise, text_report
    from vorn.progress import Progress

    progress = Progress("noise")
    try:
        report = noise(args.file, args.output, args.yaml, args.rate, progress)
    finally:
        progress.close()
    show(json.dumps(report, indent=2, ensure_ascii=False) if args.json else text_report(report))
    return 0


def run_export(args) -> int:
    from vorn.export import export
    from vorn.progress import Progress

    progress = Progress("export")
    if args.dataset is not None:
        from vorn.export.dataset import dataset

        try:
            dataset(
                args.recordings, args.dataset, unit=args.unit, replace=args.replace, baud=args.baud, progress=progress
            )
        finally:
            progress.close()
        return 0
    try:
        export(
            args.file,
            args.output,
            args.format,
            frame_id=args.frame_id,
            prefix=args.topic_prefix,
            rate=args.rate,
            kind=args.kind,
            start=args.start,
            end=args.end,
            progress=progress,
            baud=args.baud,
            stamps=args.stamps,
            frame=args.frame,
            noise=args.noise,
        )
    finally:
        progress.close()
    return 0


def run_plot(args) -> int:
    from vorn.plot import plot
    from vorn.progress import Progress

    progress = Progress("plot")
    try:
        plot(args.file, args.output, args.rate, kind=args.kind, start=args.start, end=args.end, progress=progress)
    finally:
        progress.close()
    return 0


# Signals that end vorn live in order, with its summary; one ignored from the
# start (SIGHUP under nohup) stays ignored.
LIVE_STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


# Nothing framed for this long from a port: said once, on stderr and to the clients.
NO_PACKETS_AFTER = 3.0


def live_source(args, server):
    """What vorn live serves: a recording replayed at its pace, or the port
    through the live API; the name to show for it; and what ends it should
    the source never be served (the server could not start)."""
    from vorn import foxglove

    if args.replay is not None:
        from vorn.times import has_times

        open(args.replay, "rb").close()  # a missing file is said before the server starts
        if args.rate is None and not has_times(args.replay):
            from vorn.rate_clock import no_arrival_times

            raise UsageError(str(no_arrival_times(args.replay)))
        return foxglove.replay(args.replay, args.rate), args.replay, lambda: None
    import time

    import vorn

    port = args.port

    def tell(level: int, text: str, standing: bool = False) -> None:
        say(f"vorn live: {text}")
        server.tell(level, text, standing)

    async def batches(stream):
        # Empty batches after a second without packets: the watch below.
        last, quiet, locked = time.monotonic(), False, False
        async with stream:
            while True:
                batch = await stream.aread(timeout=1.0)
                if batch.gap is not None:
                    tell(foxglove.STATUS_INFO, f"{port}: back after {batch.gap.seconds:.1f} s without the device")
                    last, quiet = time.monotonic(), False
                for loss in batch.losses:
                    tell(foxglove.STATUS_WARNING, f"{port}: {loss.bytes:,} bytes lost ({loss.cause})")
                if stream.clock.locked != locked:
                    locked = not locked
                    raw = stream.clock.raw
                    server.tell(
                        foxglove.STATUS_INFO,
                        f"{port}: sample clock locked (drift {raw.drift_ppm:+.1f} ppm)"
                        if locked
                        else f"{port}: sample clock warming up: sample times rougher for a few seconds",
                    )
                if batch.num_rows:
                    if quiet:
                        server.tell(foxglove.STATUS_INFO, f"{port}: packets again")
                    last, quiet = time.monotonic(), False
                    yield batch
                elif not quiet and time.monotonic() - last >= NO_PACKETS_AFTER:
                    quiet = True
                    if args.reconnect and not os.path.exists(port):
                        tell(foxglove.STATUS_WARNING, f"{port}: unplugged; waiting for it to come back", True)
                    else:
                        tell(
                            foxglove.STATUS_WARNING,
                            f"{port}: no packets in {time.monotonic() - last:.0f} s at {args.baud} baud; "
                            f"`vorn doctor {port} --listen 5` says why",
                            True,
                        )

    stream = vorn.open(port, baud=args.baud, reconnect=args.reconnect, record=args.record, lookahead=args.lookahead)
    return batches(stream), port, stream.close


def run_live(args) -> int:
    import asyncio
    import time

    from vorn import foxglove
    from vorn.progress import LiveStatus
    from vorn.ros_messages import DEFAULT_FRAME

    foxglove.require_websockets()  # a missing extra is said before anything starts
    frame = args.frame or DEFAULT_FRAME
    server = foxglove.FoxgloveServer(
        host=args.host,
        port=args.ws_port,
        frame_id=args.frame_id,
        prefix=args.topic_prefix,
        frame=frame,
        stamps=args.stamps,
        noise=args.noise,
        max_clients=args.max_clients,
        log=lambda text: say(f"vorn live: {text}"),
    )
    source, what, close = live_source(args, server)
    args.told.told()  # a replayed recording's untimed reads, said before it is served
    stop: list[int] = []

    async def serve() -> bool:
        stopped = asyncio.Event()
        loop = asyncio.get_running_loop()
        for s in LIVE_STOP_SIGNALS:
            if signal.getsignal(s) is not signal.SIG_IGN:
                loop.add_signal_handler(s, lambda s=s: (stop.append(s), stopped.set()))
        try:
            await server.start()
        except OSError as e:  # asyncio's text around the system's: keep the system's
            raise Failed(f"{args.host}:{args.ws_port}: {os.strerror(e.errno) if e.errno else e}") from None
        host = args.host if ":" not in args.host else f"[{args.host}]"
        axes = "REP 103 (x forward, y left, z up)" if frame == "rep103" else "the unit's (x forward, y right, z down)"
        say(
            f"vorn live: serving {what} on ws://{host}:{server.port} (Foxglove: Open connection, Foxglove "
            f"WebSocket); axes {axes}, frame_id {args.frame_id}"
        )
        status = LiveStatus()
        try:
            # A replay starts when someone watches, from its beginning.
            return await foxglove.serve(server, source, stopped, wait=args.replay is not None, status=status)
        except OSError as e:
            if args.replay is None and not (args.record is not None and e.filename == args.record):
                server.tell(foxglove.STATUS_ERROR, f"{args.port}: the port hung up ({e.strerror or e})")
            raise
        finally:
            status.clear()
            await server.close()
            for s in LIVE_STOP_SIGNALS:
                loop.remove_signal_handler(s)

    started = time.monotonic()
    failure = None
    try:
        stopped = asyncio.run(serve())
        why = "stopped" if stopped else "the recording ended"
    except OSError as e:
        if args.replay is not None or args.record is not None and e.filename == args.record:
            raise  # not the port: the recording could not be written
        failure = e.strerror or str(e)
        why = f"the port hung up ({failure})"
    finally:
        close()  # the port released and a recording complete, served or not
    if stop:
        why = "stopped by " + ("Ctrl-C" if stop[0] == signal.SIGINT else signal.Signals(stop[0]).name)
    clients = server.clients_seen
    try:
        print(
            f"{what}: {server.packets:,} packets in {time.monotonic() - started:.1f} s, {clients:,} "
            f"client{'s' * (clients != 1)}, {server.dropped:,} messages dropped; {why}",
            flush=True,
        )
    except OSError:
        pass
    if failure is not None:
        raise Failed(f"{args.port}: {why}")
    return 0


def run_ros2(args) -> int:
    from vorn.ros2 import require_rclpy
    from vorn.ros2_node import Outcome, Settings, run

    require_rclpy()

    class Stop(Exception):
        pass

    stop: list[int] = []

    def on_signal(signum, frame):
        if not stop:
            stop.append(signum)
            raise Stop

    handlers = {s: signal.signal(s, on_signal) for s in LIVE_STOP_SIGNALS if signal.getsignal(s) is not signal.SIG_IGN}
    settings = Settings(
        source=args.replay if args.replay is not None else args.port,
        replay=args.replay is not None,
        pace=args.pace,
        frame_id=args.frame_id,
        frame=args.frame,
        stamps=args.stamps,
        lookahead=args.lookahead,
        baud=args.baud,
        reliability=args.reliability,
        noise=args.noise,
        reconnect=args.reconnect,
        record=args.record,
        force=args.force,
        ros_args=[a for a in args.ros_args if a != "--"],
    )

    def started(node, topics, s) -> None:
        args.told.told()
        say(
            f"vorn ros2: node {node} publishing {s.source} on {len(topics)} topics ({topics[0]}, ...) and "
            f"/diagnostics; frame {s.frame}, frame_id {s.frame_id}, stamps {s.stamps}, {s.reliability}"
        )

    got = Outcome()
    failure = None
    try:
        run(settings, started, got)
        why = "the recording ended"
    except Stop:
        why = ""
    except OSError as e:
        if args.replay is not None or not got.publishing or e.filename not in (None, args.port):
            raise  # not a hang-up: the port would not open, or the recording could not be written
        failure = e.strerror or str(e)
        why = f"the port hung up ({failure})"
    finally:
        for s, h in handlers.items():
            signal.signal(s, h)
    if stop:
        why = "stopped by " + ("Ctrl-C" if stop[0] == signal.SIGINT else signal.Signals(stop[0]).name)
    if got.reconnections:
        why += f"; {got.reconnections} reconnection{'s' * (got.reconnections != 1)}"
    try:
        print(
            f"{settings.source}: {got.packets:,} packets, {got.messages:,} messages in {got.seconds:.1f} s; {why}",
            flush=True,
        )
    except OSError:
        pass
    if failure is not None:
        raise Failed(f"{args.port}: {why}")
    return 0


COMMANDS = {
    "record": run_record,
    "info": run_info,
    "export": run_export,
    "plot": run_plot,
    "noise": run_noise,
    "doctor": run_doctor,
    "live": run_live,
    "ros2": run_ros2,
}


def files_of(args) -> tuple[list, list]:
    """What the command reads and what it writes: a recording with the files
    beside it (its times and its baud rate)."""

    if args.command == "record":
        return [args.port], beside(args.output)
    if args.command == "doctor":
        return [], []
    if args.command in ("live", "ros2"):
        return [args.port, args.noise, *(beside(args.replay) if args.replay else [])], (
            beside(args.record) if args.record else []
        )
    if getattr(args, "dataset", None) is not None:
        return [p for r in args.recordings for p in beside(r)], []
    inputs = [*beside(args.file), getattr(args, "noise", None)]  # export --noise imu.yaml is read too
    return inputs, [getattr(args, "output", None), getattr(args, "yaml", None)]


class Told:
    """The warnings a command's work gives: each untimed-recording line said
    once, on one line of its own, when told() is called (before a failure's
    line, and before a long-running command settles into its work); others
    as Python shows them."""

    def __init__(self, command: str) -> None:
        self.command = command
        self.said: set[str] = set()
        self.caught: list = []

    def told(self) -> None:
        from vorn.times import UntimedWarning

        caught, self.caught[:] = list(self.caught), []
        for w in caught:
            text = str(w.message)
            if not issubclass(w.category, UntimedWarning):
                warnings.showwarning(w.message, w.category, w.filename, w.lineno)
            elif text not in self.said:
                self.said.add(text)
                say(f"vorn {self.command}: {text}")


def check_export(args) -> None:
    """One FILE and -o, or FILEs and --dataset with the options that go with it."""
    if args.dataset is None:
        if args.unit is not None or args.replace:
            args.usage.error("--unit and --replace are for --dataset")
        if len(args.file) > 1:
            args.usage.error("one FILE, or several with --dataset DIR")
        if args.output is None:
            args.usage.error("the following arguments are required: -o/--output")
        args.file = args.file[0]
        return
    given = [
        flag
        for flag, value in (("-o", args.output), ("--format", args.format), ("--kind", args.kind))
        + (("--start", args.start), ("--end", args.end), ("--noise", args.noise), ("--rate", args.rate))
        if value is not None
    ]
    if given:
        args.usage.error(f"{', '.join(given)}: not with --dataset, which holds every packet as Parquet")
    args.recordings, args.file = args.file, None


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    if args.command == "export":
        check_export(args)
    if args.command == "export" and args.dataset is None:
        args.format = export_format(args.output, args.format)
        if args.format is None:
            args.usage.error(
                f"argument -o/--output: name it NAME.csv, NAME.parquet, NAME.npz or NAME.mcap, "
                f"or give --format: {args.output!r}"
            )
    if args.command == "doctor" and args.listen and args.port is None:
        args.usage.error("--listen needs a PORT")
    if args.command == "live" and (args.port is None) == (args.replay is None):
        args.usage.error("give a PORT or --replay RECORDING")
    if args.command == "live" and args.replay is not None and (args.record or args.reconnect):
        args.usage.error("--record and --reconnect are for a PORT")
    if args.command == "live" and args.replay is None and args.rate is not None:
        args.usage.error("--rate is for --replay")
    if args.command == "ros2" and (args.port is None) == (args.replay is None):
        args.usage.error("give a PORT or --replay RECORDING")
    if args.command == "ros2" and args.replay is not None and (args.record or args.reconnect):
        args.usage.error("--record and --reconnect are for a PORT")
    from vorn.overwrite import placed

    placed.clear()
    catch_stops()
    told = args.told = Told(args.command)
    try:
        try:
            from vorn.overwrite import refuse
            from vorn.times import UntimedWarning

            inputs, outputs = files_of(args)
            refuse(outputs, inputs)
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always", UntimedWarning)
                told.caught = caught
                return COMMANDS[args.command](args)
        finally:
            told.told()
    except BrokenPipeError:
        # The reader went away (`vorn info x.bin | head`); say nothing more at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except OSError as e:
        say(f"vorn {args.command}: {os_failure_text(args.command, e)}")
        return 1
    except UsageError as e:
        say(f"vorn {args.command}: {e}")
        return 2
    except (Failed, ValueError, ImportError) as e:
        # ImportError: the library names the extra that installs what is missing.
        say(f"vorn {args.command}: {e}")
        return 1
    except KeyboardInterrupt:
        say(f"vorn {args.command}: interrupted")
        return 1
    except Stopped as e:
        say(f"vorn {args.command}: stopped by {e}")
        return 1


if __name__ == "__main__":
    sys.exit(main())
