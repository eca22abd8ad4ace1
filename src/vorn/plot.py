"""vorn plot: the signals a person looks at first, one panel per group."""

from __future__ import annotations

import math
import os
from pathlib import Path

from vorn._native import FIELDS
from vorn.errors import ToolError, os_failure, say
from vorn.export import packet_numbers, selection
from vorn.recording import KINDS, UNITS, Recording, flag_column, has_times, value_columns

# Panel title, then the record fields it can draw: the first field the
# recording carries is drawn; the others stand in for recordings without it.
PANELS = (
    ("Acceleration", ("scaled_accel", "est_compensated_accel")),
    ("Angular rate", ("scaled_gyro", "est_angular_rate")),
    ("Orientation", ("est_orient_quaternion",)),
    ("Pressure", ("scaled_ambient_pressure",)),
    ("Altitude", ("est_pressure_alt",)),
)
COUNT_CHUNK = 1 << 20  # bytes framed at a time by the counting pass
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
        import numpy as np

        self.field = field
        self.columns = list(value_columns(field))
        self.labels = [c.removeprefix(field).lstrip("_") for c in self.columns]
        self.x = np.full(BUCKETS, np.nan)  # the first packet in each bucket
        self.lo = np.full((len(self.columns), BUCKETS), np.inf)
        self.hi = np.full((len(self.columns), BUCKETS), -np.inf)

    def add(self, buckets, xs, chunk, picked) -> None:
        """The packets picked from a chunk of columns, in buckets (rising) at xs."""
        import numpy as np

        present = ~np.isnan(chunk[self.columns[0]][picked])
        if not present.any():
            return
        buckets, xs = buckets[present], xs[present]
        seen, first = np.unique(buckets, return_index=True)
        fresh = np.isnan(self.x[seen])
        self.x[seen[fresh]] = xs[first[fresh]]
        for lo, hi, c in zip(self.lo, self.hi, self.columns):
            v = chunk[c][picked][present].astype(np.float64)
            # fmin/fmax pass over NaN values: a bucket of NaN only stays empty.
            lo[seen] = np.fmin(lo[seen], np.fmin.reduceat(v, first))
            hi[seen] = np.fmax(hi[seen], np.fmax.reduceat(v, first))

    def __bool__(self) -> bool:
        return bool((self.x == self.x).any())  # not NaN: a bucket holds a packet

    def lines(self, scale: float):
        """(label, xs, ys) per component: down and up through each bucket's range."""
        import numpy as np

        has = ~np.isnan(self.x)
        xs = np.repeat(self.x[has] * scale, 2)
        for label, lo, hi in zip(self.labels, self.lo[:, has], self.hi[:, has]):
            ys = np.stack([lo, hi], axis=1)
            ys[lo > hi] = np.nan  # NaN values only
            yield label, xs, ys.ravel()


class Flags:
    """How many of the filter packets in each bucket flagged one field invalid.
    A share rather than a stretch from first to last flag, so that scattered
    flags look scattered however long the recording."""

    def __init__(self, field: str) -> None:
        self.field = field
        self.name = invalid_name(field)
        self.seen = [0] * BUCKETS
        self.flagged = [0] * BUCKETS

    def add(self, bucket: int, invalid: str | None) -> None:
        self.seen[bucket] += 1
        if invalid and self.name in invalid.split(","):
            self.flagged[bucket] += 1

    def count(self, buckets, flagged) -> None:
        """Filter packets in buckets, and whether each flagged the field."""
        import numpy as np

        for total, add in ((self.seen, np.bincount(buckets, minlength=BUCKETS)),
                           (self.flagged, np.bincount(buckets[flagged], minlength=BUCKETS))):
            for i in np.flatnonzero(add):
                total[i] += int(add[i])

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
        raise ToolError(f"{out}: name the image NAME.png, NAME.svg, NAME.pdf or another format matplotlib writes "
                        f"({', '.join(sorted(formats))})")
    return fmt


def title_of(path) -> str:
    """The file name as text to draw: undecodable bytes shown as U+FFFD."""
    return os.fsencode(path).decode("utf-8", "replace")


def plot(path, out, rate: float | None, *, kind: str | None = None, start: float | None = None,
         end: float | None = None) -> int:
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise ToolError("plot needs matplotlib: pip install --prefer-binary 'vorn_rs[plot]'") from None
    fmt = check_output(out)
    # Written beside the target and renamed into place once complete; opened
    # now so that an output nobody can write fails before the reading.
    tmp = Path(out).with_name(f".{Path(out).name}.{os.getpid()}.part")
    try:
        with open(tmp, "wb") as image:
            fig = draw_recording(Figure, path, rate, kind, start, end)
            try:
                fig.savefig(image, format=fmt, dpi=100)
            except (ValueError, RuntimeError) as e:  # a format that needs what is not installed (pgf: LaTeX)
                raise ToolError(f"{out}: {e}") from None
        os.replace(tmp, out)
    except OSError as e:
        raise os_failure(out, e) from None
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)
    return 0


def draw_recording(Figure, path, rate: float | None, kind: str | None = None, start: float | None = None,
                   end: float | None = None):
    # A first pass, at the core's speed, counts the packets to size the buckets.
    arrival = has_times(path)
    if not arrival:
        start, end = packet_numbers(start, end)
    counting = Recording(path)
    if start is None and end is None:
        # Every packet (of the kind) is drawn: framing alone counts them, no times needed.
        try:
            with counting.file as f:
                while piece := f.read(COUNT_CHUNK):
                    counting.framer.feed(piece)
        except OSError as e:
            raise os_failure(path, e) from None
        c = counting.require_packets()
        total = c[kind] if kind else c["raw"] + c["estimated"]
    else:
        total = sum(len(c["packet_type"]) for c in counting.columns("plot: counting", kind, start, end))
        c = counting.require_packets()
    if not total:
        raise ToolError(f"{path}: no {kind + ' ' if kind else ''}packets{selection(start, end, arrival)}")
    import numpy as np

    series = {f: Series(f) for _, fields in PANELS for f in fields}
    flags = [Flags(f) for f in series if invalid_name(f)]
    # x: seconds at --rate, else seconds since the first arrival, else the packet count.
    timed = rate is None and arrival
    ranged = start is not None or end is not None
    starts = np.full(BUCKETS, np.nan)  # x of the first packet in each bucket
    n = m = untimed = 0  # packets of the stream, packets drawn
    x = None
    for chunk in Recording(path).columns("plot", seconds=True):
        k = len(chunk["packet_type"])
        number = np.arange(n, n + k)
        n += k
        keep = np.ones(k, bool) if kind is None else chunk["packet_type"] == KINDS.index(kind)
        past = False
        if arrival and (timed or ranged):
            since = chunk["arrival_s"]
            known = ~np.isnan(since)
            untimed += int(k - known.sum())
            keep &= known
            if end is not None:
                later = since >= end
                past = bool(later.any())
                keep &= ~later
            if start is not None:
                keep &= ~(since < start)
            xs = since
        elif not arrival and ranged:
            keep &= (number >= (start or 0)) & (number < (math.inf if end is None else end))
        if not timed:
            xs = number / rate if rate else number.astype(np.float64)
        picked = np.flatnonzero(keep)
        if len(picked):
            buckets = np.minimum(np.arange(m, m + len(picked)) * BUCKETS // total, BUCKETS - 1)
            m += len(picked)
            xs = xs[picked]
            seen, first = np.unique(buckets, return_index=True)
            fresh = np.isnan(starts[seen])
            starts[seen[fresh]] = xs[first[fresh]]
            for s in series.values():
                s.add(buckets, xs, chunk, picked)
            filters = chunk["packet_type"][picked] == KINDS.index("estimated")
            for f in flags:
                f.count(buckets[filters], chunk[flag_column(f.field)][picked][filters])
            x = float(xs[-1])
        if past:
            break
    if untimed:
        say(f"vorn plot: {untimed:,} packets after the last arrival time left out (the .times file ends early)")
    shares = {f.name: f.shares() for f in flags}

    panels = [(title, next((series[f] for f in fields if series[f]), None)) for title, fields in PANELS]
    panels = [(title, s) for title, s in panels if s]
    if not panels:
        *most, last = (title.lower() for title, _ in PANELS)
        packets = "its packet carries" if total == 1 else f"its {total:,} packets carry"
        raise ToolError(f"{path}: nothing to plot: {packets} no {', '.join(most)} or {last}")
    scale = 1.0
    has = ~np.isnan(starts)
    edges = [*starts[has].tolist(), x]
    shares = {name: [v for v, h in zip(share, has) if h] for name, share in shares.items()}
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
    axes[-1].set_xlabel(f"seconds (at {rate:g} packets/s)" if rate else "seconds since the first packet arrived"
                        if timed else "packet")
    fig.suptitle(title_of(path), parse_math=False)
    return fig


def draw(ax, s: Series, scale: float) -> None:
    """One line per component, the field and its unit on the axis."""
    if s.field == "est_pressure_alt":
        ax.set_prop_cycle(color=["tab:purple"])
    for label, xs, ys in s.lines(scale):
        ax.plot(xs, ys, lw=0.8, label=label or s.field)
    unit = UNITS.get(s.field)
    ax.set_ylabel(s.field + (f" [{unit}]" if unit else ""), fontsize="small")
    ax.ticklabel_format(axis="y", useOffset=False)
