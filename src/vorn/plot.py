"""The signals a person looks at first, one panel per group, drawn from a
recording into an image."""

from __future__ import annotations

import math
import os
from pathlib import Path

from vorn.errors import missing, with_path
from vorn.fields import FIELDS, ROW_COLUMNS, UNITS
from vorn.recording import Progress, Recording, packet_numbers, selection
from vorn.times import has_times

# The panels from top to bottom. Which fields each can draw is the field
# table's word; the first the recording carries is drawn, in record order
# (sensor values before the filter's, which stand in for recordings without).
PANEL_ORDER = ("Acceleration", "Angular rate", "Orientation", "Pressure", "Altitude")
PANELS = tuple((title, tuple(f for f, info in FIELDS.items() if info["panel"] == title)) for title in PANEL_ORDER)
BUCKETS = 4000  # stretches of the stream a panel shows; a 10-inch figure is 1000 pixels wide


def invalid_name(field: str) -> str | None:
    """The name the unit flags a filter field invalid by (estPressureAlt); None for a sensor field."""
    return FIELDS[field]["invalid_name"]


def bucket_of(x: int, total: int) -> int:
    return min(x * BUCKETS // total, BUCKETS - 1)  # a file still growing has more now


class Series:
    """One record field's components, kept as the lowest and highest value in each
    of BUCKETS equal stretches of the stream: all that a picture can show, in
    memory that does not grow with the recording. A short recording keeps every
    value (a bucket per packet)."""

    def __init__(self, field: str) -> None:
        self.field = field
        self.columns = [ROW_COLUMNS.index(c) for c in FIELDS[field]["columns"]]
        self.labels = list(FIELDS[field]["components"]) or [""]
        self.x: list[int | None] = [None] * BUCKETS  # the first packet in each bucket
        self.lo = [[math.inf] * BUCKETS for _ in self.columns]
        self.hi = [[-math.inf] * BUCKETS for _ in self.columns]

    def add(self, bucket: int, x: int, row) -> None:
        if row[self.columns[0]] is None:
            return
        if self.x[bucket] is None:
            self.x[bucket] = x
        for lo, hi, i in zip(self.lo, self.hi, self.columns):
            v = row[i]
            if v < lo[bucket]:
                lo[bucket] = v
            if v > hi[bucket]:
                hi[bucket] = v

    def __bool__(self) -> bool:
        return any(x is not None for x in self.x)

    def lines(self, scale: float):
        """(label, xs, ys) per component: down and up through each bucket's range."""
        for label, lo, hi in zip(self.labels, self.lo, self.hi):
            xs, ys = [], []
            for x, a, b in zip(self.x, lo, hi):
                if x is not None:
                    xs += (x * scale, x * scale)
                    ys += (a, b) if a <= b else (math.nan, math.nan)  # NaN values only
            yield label, xs, ys


class Flags:
    """How many of the filter packets in each bucket flagged one field invalid.
    A share rather than a stretch from first to last flag, so that scattered
    flags look scattered however long the recording."""

    def __init__(self, field: str) -> None:
        self.name = invalid_name(field)
        self.seen = [0] * BUCKETS
        self.flagged = [0] * BUCKETS

    def add(self, bucket: int, invalid: str | None) -> None:
        self.seen[bucket] += 1
        if invalid and self.name in invalid.split(","):
            self.flagged[bucket] += 1

    def shares(self) -> list[float]:
        """The share flagged in each bucket; a bucket without filter packets
        keeps the share of the one before, as the unit's last word stands."""
        out, last = [], 0.0
        for seen, flagged in zip(self.seen, self.flagged):
            if seen:
                last = flagged / seen
            out.append(last)
        return out


def check_output(out) -> str:
    """The image format out's suffix names, checked before any reading: without
    a suffix matplotlib would quietly add ".png"."""
    from matplotlib.figure import Figure

    formats = Figure().canvas.get_supported_filetypes()
    fmt = Path(out).suffix[1:].lower()
    if fmt not in formats:
        raise ValueError(f"{out}: name the image NAME.png, NAME.svg, NAME.pdf or another format matplotlib writes "
                        f"({', '.join(sorted(formats))})")
    return fmt


def title_of(path) -> str:
    """The file name as text to draw: undecodable bytes shown as U+FFFD."""
    return os.fsencode(path).decode("utf-8", "replace")


def plot(path, out, rate: float | None = None, *, kind: str | None = None, start: float | None = None,
         end: float | None = None, progress: Progress | None = None) -> None:
    """Draws the recording at path into the image out, its format named by its
    suffix. Packets whose reads have no vouched time are drawn at the times
    extrapolated for them."""
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise missing("matplotlib", "plot", "plot", prefer_binary=True) from None
    fmt = check_output(out)
    # Written beside the target and renamed into place once complete; opened
    # now so that an output nobody can write fails before the reading.
    tmp = Path(out).with_name(f".{Path(out).name}.{os.getpid()}.part")
    try:
        with open(tmp, "wb") as image:
            fig = draw_recording(Figure, path, rate, kind, start, end, progress)
            try:
                fig.savefig(image, format=fmt, dpi=100)
            except (ValueError, RuntimeError) as e:  # a format that needs what is not installed (pgf: LaTeX)
                raise ValueError(f"{out}: {e}") from None
        os.replace(tmp, out)
    except OSError as e:
        raise with_path(e, out, tmp) from None
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)


def draw_recording(Figure, path, rate: float | None, kind: str | None = None, start: float | None = None,
                   end: float | None = None, progress: Progress | None = None):
    """The figure."""
    # A first pass, at the core's speed, counts the packets to size the buckets.
    arrival = has_times(path)
    if not arrival:
        start, end = packet_numbers(start, end)
    counting = Recording(path, progress=progress)
    total = sum(len(c["packet_type"]) for c in counting.columns(kind, start, end))
    counting.require_packets()
    if not total:
        raise ValueError(f"{path}: no {kind + ' ' if kind else ''}packets{selection(start, end, arrival)}")
    series = {f: Series(f) for _, fields in PANELS for f in fields}
    flags = [Flags(f) for f in series if invalid_name(f)]
    # x: seconds at --rate, else seconds since the first arrival, else the packet count.
    timed = rate is None and arrival
    ranged = start is not None or end is not None
    starts: list[float | None] = [None] * BUCKETS  # x of the first packet in each bucket
    n = m = 0  # packets of the stream, packets drawn
    raws = since = 0  # raw packets so far, filter packets since the last
    first = x = since_first = None
    for stamp, rows in Recording(path, rows=True, progress=progress).reads():
        if arrival and (timed or ranged):
            # An untimed read's packets are drawn at the time extrapolated for them.
            if stamp is None:
                break  # bytes written since the first pass counted the packets
            if first is None:
                first = counting.times.origin()
            since_first = (stamp.mono_ns - first) / 1e9
            if end is not None and since_first >= end:
                break
            if start is not None and since_first < start:
                n += len(rows)
                continue
            x = since_first
        for row in rows:
            number = n
            n += 1
            is_raw = row[0] == "raw"
            if rate:  # raw packet k at k/rate, filter packets between the raw packets around them
                if is_raw:
                    position, raws, since = raws, raws + 1, 0
                else:
                    since += 1
                    position = raws - 0.5**since if raws else 0
            if kind is not None and row[0] != kind:
                continue
            if not arrival and ranged and not ((start or 0) <= number < (math.inf if end is None else end)):
                continue
            if not timed:
                x = position / rate if rate else number
            bucket = bucket_of(m, total)
            m += 1
            if starts[bucket] is None:
                starts[bucket] = x
            for s in series.values():
                s.add(bucket, x, row)
            if not is_raw:
                for f in flags:
                    f.add(bucket, row[1])
    shares = {f.name: f.shares() for f in flags}

    panels = [(title, next((series[f] for f in fields if series[f]), None)) for title, fields in PANELS]
    panels = [(title, s) for title, s in panels if s]
    if not panels:
        *most, last = (title.lower() for title, _ in PANELS)
        packets = "its packet carries" if total == 1 else f"its {total:,} packets carry"
        raise ValueError(f"{path}: nothing to plot: {packets} no {', '.join(most)} or {last}")
    scale = 1.0
    edges = [e for e in starts if e is not None] + [x]
    shares = {name: [v for v, e in zip(share, starts) if e is not None] for name, share in shares.items()}
    fig = Figure(figsize=(10, 2.0 * len(panels) + 0.7), layout="constrained")
    axes = fig.subplots(len(panels), 1, sharex=True, squeeze=False)[:, 0]
    for ax, (title, s) in zip(axes, panels):
        ax.set_title(title, loc="left", fontsize="medium", fontweight="bold")
        ax.grid(alpha=0.3)
        draw(ax, s, scale)
        share = shares.get(invalid_name(s.field))
        if share and any(share):
            # Shaded from the bottom up to the share flagged, in axes height.
            ax.fill_between(edges, 0, share + share[-1:], step="post", transform=ax.get_xaxis_transform(),
                            color="tab:red", alpha=0.2, lw=0, label="share flagged invalid")
        ax.legend(loc="lower right", bbox_to_anchor=(1, 1), ncols=5, frameon=False, fontsize="small",
                  borderaxespad=0.1)
    axes[-1].set_xlabel(f"seconds (at {rate:g} raw packets/s)" if rate else "seconds since the first packet arrived"
                        if timed else "packet")
    fig.suptitle(title_of(path), parse_math=False)
    return fig


def draw(ax, s: Series, scale: float) -> None:
    """One line per component, the field and its unit on the axis."""
    if FIELDS[s.field]["panel"] == "Altitude":  # not the pressure's colour above it
        ax.set_prop_cycle(color=["tab:purple"])
    for label, xs, ys in s.lines(scale):
        ax.plot(xs, ys, lw=0.8, label=label or s.field)
    unit = UNITS.get(s.field)
    ax.set_ylabel(s.field + (f" [{unit}]" if unit else ""), fontsize="small")
    ax.ticklabel_format(axis="y", useOffset=False)
