"""vorn: record, inspect, export and plot the stream of the unit.

Exit status: 0 on success, 1 when the work failed (a missing file, a port that
cannot be opened, a recording without packets, a port that hung up), 2 for a
usage error.
"""

from __future__ import annotations

import argparse
import os
import sys

from vorn.errors import ToolError


def positive(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be above 0: {text}")
    return value


def baud_rate(text: str) -> int:
    value = int(text)
    if not 0 <= value < 2**32:
        raise argparse.ArgumentTypeError(f"out of range: {text}")
    return value


EXPORT_SUFFIXES = (".csv", ".parquet", ".npz")


def export_target(text: str) -> str:
    if not text.lower().endswith(EXPORT_SUFFIXES):
        raise argparse.ArgumentTypeError(f"name it .csv, .parquet or .npz: {text}")
    return text


def parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog="vorn", description=__doc__.split("\n\n")[0],
                                 epilog=__doc__.split("\n\n")[1])
    sub = ap.add_subparsers(dest="command", required=True, metavar="COMMAND")

    rec = sub.add_parser("record", help="write a port's byte stream to a file",
                         description="Writes every byte the port delivers to FILE until Ctrl-C, the time "
                         "limit or a hang-up. The port is claimed and set to raw 8N1 as SerialParser does.")
    rec.add_argument("port", metavar="PORT", help="serial device, e.g. /dev/ttyUSB0")
    rec.add_argument("-o", "--output", metavar="FILE", required=True, help="recording to write (replaced)")
    rec.add_argument("--baud", type=baud_rate, default=115200, metavar="N", help="baud rate (default 115200)")
    rec.add_argument("--seconds", type=positive, metavar="S", help="stop after S seconds")

    info = sub.add_parser("info", help="count packets, noise and flagged fields in a recording")
    info.add_argument("file", metavar="FILE")
    info.add_argument("--json", action="store_true", help="one JSON object instead of text")

    exp = sub.add_parser("export", help="one row per packet, to CSV, Parquet or NumPy .npz",
                         description="Writes one row per packet and one column per value component. The "
                         "format follows OUT's suffix: .csv, .parquet (needs pyarrow), .npz (needs numpy).")
    exp.add_argument("file", metavar="FILE")
    exp.add_argument("-o", "--output", metavar="OUT", required=True, type=export_target)

    plot = sub.add_parser("plot", help="draw acceleration, angular rate, orientation and pressure",
                          description="Draws one panel per signal group, filter fields flagged invalid "
                          "shaded. Needs matplotlib (pip install --prefer-binary 'vorn_rs[plot]').")
    plot.add_argument("file", metavar="FILE")
    plot.add_argument("-o", "--output", metavar="OUT", required=True, help="image to write (.png, .svg, .pdf)")
    plot.add_argument("--rate", type=positive, metavar="HZ",
                      help="packets per second in the stream, all kinds together: x axis in seconds "
                      "instead of packets")
    return ap


def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        if args.command == "record":
            from vorn.record import record

            return record(args.port, args.output, args.baud, args.seconds)
        if args.command == "info":
            from vorn.info import info

            return info(args.file, args.json)
        if args.command == "export":
            from vorn.export import export

            return export(args.file, args.output)
        from vorn.plot import plot

        return plot(args.file, args.output, args.rate)
    except ToolError as e:
        print(f"vorn {args.command}: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"vorn {args.command}: interrupted", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (`vorn info x.bin | head`); say nothing more at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    sys.exit(main())
