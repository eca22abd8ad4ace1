"""vorn: record, inspect, export and plot the stream of the unit, measure its noise, and find out why a port will not work.

Exit status: 0 on success, 1 when the work failed (a missing file, a port that
cannot be opened, a recording without packets, a port that hung up, a stop by
SIGTERM or SIGHUP) or `vorn doctor` found a problem, 2 for a usage error. When
a port will not open or streams badly, `vorn doctor PORT` says why.
"""

from __future__ import annotations

import argparse
import math
import os
import signal
import sys
import threading
from pathlib import Path

from vorn.errors import ToolError, say

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


def version() -> str:
    from importlib.metadata import PackageNotFoundError
    from importlib.metadata import version as installed

    try:
        return installed("vorn_rs")
    except PackageNotFoundError:  # run from a source tree
        return "unknown"


class VersionAction(argparse.Action):
    """--version, looking the version up only when asked."""

    def __init__(self, option_strings, dest, **kwargs) -> None:
        super().__init__(option_strings, dest, nargs=0, help="print the version and exit", **kwargs)

    def __call__(self, parser, namespace, values, option_string=None) -> None:
        print(f"vorn {version()}")
        parser.exit()


RECORDING_HELP = "a recording: the bytes of the stream as `vorn record` writes them"


def add_selection(ap: argparse._ActionsContainer) -> None:
    """--kind, --start and --end: which packets a command takes."""
    ap.add_argument("--kind", choices=("raw", "estimated"), help="packets of this kind only (default: both)")
    ap.add_argument("--start", type=number, metavar="S",
                    help="from S seconds after the first read arrived; for a recording without arrival times, "
                    "from packet number S (counting from 0)")
    ap.add_argument("--end", type=number, metavar="S", help="to before S seconds (or packet number S)")


def parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog="vorn", description=__doc__.split("\n\n")[0],
                                 epilog=__doc__.split("\n\n")[1])
    ap.add_argument("--version", action=VersionAction)
    sub = ap.add_subparsers(dest="command", required=True, metavar="COMMAND")

    rec = sub.add_parser("record", help="write a port's byte stream to a file",
                         description="Writes every byte the port delivers to FILE until Ctrl-C, SIGTERM, "
                         "SIGHUP, the time limit or a hang-up. The port is claimed and set to raw 8N1 as "
                         "SerialParser does.")
    rec.add_argument("port", metavar="PORT", help="serial device, e.g. /dev/ttyUSB0")
    rec.add_argument("-o", "--output", metavar="FILE", required=True,
                     help="recording to write; an existing file is refused unless --force")
    rec.add_argument("--force", action="store_true", help="replace FILE if it exists")
    rec.add_argument("--baud", type=baud_rate, default=115200, metavar="N", help="baud rate (default 115200)")
    rec.add_argument("--seconds", type=positive, metavar="S", help="stop after S seconds")
    rec.add_argument("--reconnect", action="store_true",
                     help="through a hang-up or unplug, wait for the same device and go on in the same file "
                     "(the gaps are marked in its arrival times; `vorn info` lists them)")

    info = sub.add_parser("info", help="count packets, noise and flagged fields in a recording")
    info.add_argument("file", metavar="FILE", help=RECORDING_HELP)
    info.add_argument("--json", action="store_true", help="one JSON object instead of text")

    exp = sub.add_parser("export", help="to CSV, Parquet, NumPy .npz, MCAP or a rosbag2 directory",
                         description="Writes one row per packet and one column per value component, or ROS 2 "
                         "messages stamped with each packet's arrival time. The format follows OUT's suffix "
                         "(.csv; .npz: needs numpy, 'vorn_rs[columns]'; .parquet: needs pyarrow as well, "
                         "'vorn_rs[parquet]'; .mcap: needs 'vorn_rs[mcap]') or --format.")
    exp.add_argument("file", metavar="FILE", help=RECORDING_HELP)
    exp.add_argument("-o", "--output", metavar="OUT", required=True,
                     help="file to write, replaced (NAME.csv, NAME.parquet, NAME.npz, NAME.mcap), or with "
                     "--format rosbag2 a new directory")
    exp.add_argument("--format", choices=("csv", "parquet", "npz", "mcap", "rosbag2"),
                     help="the format, whatever OUT's suffix")
    exp.set_defaults(usage=exp)  # OUT and --format are checked together, after parsing
    add_selection(exp.add_argument_group("CSV, Parquet and .npz"))
    ros = exp.add_argument_group("MCAP and rosbag2")
    ros.add_argument("--frame-id", metavar="ID", default="imu_link", help="header.frame_id (default imu_link)")
    ros.add_argument("--topic-prefix", metavar="NS", type=topic_prefix, default="",
                     help="namespace before the topics, e.g. /left for /left/imu/data (default: none)")
    ros.add_argument("--rate", type=positive, metavar="HZ",
                     help="for a recording without arrival times: packets per second, all kinds together; "
                     "the times are then synthetic, and the file says so")

    plot = sub.add_parser("plot", help="draw acceleration, angular rate, orientation, pressure and altitude",
                          description="Draws one panel per signal group, with the share of filter packets "
                          "that flagged the field invalid shaded. Needs matplotlib "
                          "(pip install --prefer-binary 'vorn_rs[plot]').")
    plot.add_argument("file", metavar="FILE", help=RECORDING_HELP)
    plot.add_argument("-o", "--output", metavar="OUT", required=True,
                      help="image to write, its format named by its suffix (.png, .svg, .pdf, ...; replaced)")
    plot.add_argument("--rate", type=positive, metavar="HZ",
                      help="packets per second in the stream, all kinds together: x axis in seconds at that "
                      "rate instead of the arrival times (or, without them, the packet count)")
    add_selection(plot)
    noise = sub.add_parser("noise", help="noise densities and random walks from a still recording",
                           description="The overlapping Allan deviation of each accelerometer and gyroscope axis "
                           "of a still recording, and from it the white-noise density, bias instability and rate "
                           "random walk of each, in SI units, with the figures calibration tools and ROS drivers "
                           "take. Needs numpy, and matplotlib for the plot "
                           "(pip install --prefer-binary 'vorn_rs[noise]').")
    noise.add_argument("file", metavar="FILE", help=RECORDING_HELP)
    noise.add_argument("-o", "--output", metavar="OUT",
                       help="draw the deviations to this image (.png, .svg, .pdf, ...; replaced)")
    noise.add_argument("--yaml", metavar="IMU_YAML", help="write the calibration tools' imu.yaml here (replaced)")
    noise.add_argument("--json", action="store_true", help="one JSON object instead of text, with every deviation")
    noise.add_argument("--rate", type=positive, metavar="HZ",
                       help="raw packets per second the unit sent (default: from the arrival times where the "
                       "recording has them, else the unit's nominal 1000)")
    doc = sub.add_parser("doctor", help="why a port will not open or streams badly, and what to do about it",
                         description="Without PORT: the machine's serial ports, their stable names, drivers, USB "
                         "identities, latency timers and who holds them open. With PORT: whether you may use it, "
                         "who holds it, its exclusive mode and lock, the latency timer, and whether it takes the "
                         "baud rate; --listen then reads the stream. One line per finding, each problem with its "
                         "fix; exit status 1 when there is a problem.")
    doc.add_argument("port", metavar="PORT", nargs="?", help="serial device, e.g. /dev/ttyUSB0 (default: list all)")
    doc.add_argument("--baud", type=baud_rate, default=115200, metavar="N", help="baud rate (default 115200)")
    doc.add_argument("--listen", type=positive, metavar="SECONDS",
                     help="read the stream this long and judge it: rates, checksum failures, noise, gaps, bursts")
    doc.add_argument("--json", action="store_true", help="one JSON object instead of text")
    doc.set_defaults(usage=doc)
    return ap


class Stopped(BaseException):
    """SIGTERM or SIGHUP arrived: unwinds like Ctrl-C, so that what a command
    leaves half-made is removed on the way out."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)


STOP_SIGNALS = (signal.SIGTERM, signal.SIGHUP)


def on_stop(signum, frame) -> None:
    for s in STOP_SIGNALS:  # a second signal must not cut the clean-up short
        signal.signal(s, signal.SIG_IGN)
    raise Stopped(signum)


def catch_stops() -> None:
    """Stop signals unwind the command, except those ignored from the start
    (`nohup vorn record ...`), and only where handlers can be set."""
    if threading.current_thread() is not threading.main_thread():
        return
    for s in STOP_SIGNALS:
        if signal.getsignal(s) is not signal.SIG_IGN:
            signal.signal(s, on_stop)


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    if args.command == "export":
        args.format = export_format(args.output, args.format)
        if args.format is None:
            args.usage.error(f"argument -o/--output: name it NAME.csv, NAME.parquet, NAME.npz or NAME.mcap, "
                             f"or give --format: {args.output!r}")
    if args.command == "doctor" and args.listen and args.port is None:
        args.usage.error("--listen needs a PORT")
    catch_stops()
    try:
        if args.command == "doctor":
            from vorn.doctor import doctor

            return doctor(args.port, args.baud, args.listen, args.json)
        if args.command == "record":
            from vorn.record import record

            return record(args.port, args.output, args.baud, args.seconds, args.force, args.reconnect)
        if args.command == "info":
            from vorn.info import info

            return info(args.file, args.json)
        if args.command == "export":
            from vorn.export import export

            return export(args.file, args.output, args.format, frame_id=args.frame_id, prefix=args.topic_prefix,
                          rate=args.rate, kind=args.kind, start=args.start, end=args.end)
        if args.command == "noise":
            from vorn.noise import noise

            return noise(args.file, args.output, args.yaml, args.json, args.rate)
        from vorn.plot import plot

        return plot(args.file, args.output, args.rate, kind=args.kind, start=args.start, end=args.end)
    except ToolError as e:
        say(f"vorn {args.command}: {e}")
        return 1
    except KeyboardInterrupt:
        say(f"vorn {args.command}: interrupted")
        return 1
    except Stopped as e:
        say(f"vorn {args.command}: stopped by {e}")
        return 1
    except BrokenPipeError:
        # The reader went away (`vorn info x.bin | head`); say nothing more at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
