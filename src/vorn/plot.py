"""The signals a person looks at first, one panel per group, drawn from a
recording into an image."""

from __future__ import annotations

import math
import os
from pathlib import Path

from vorn.errors import missing, with_path
from vorn.fields import FIELDS, KINDS, UNITS, flag_column
from vorn.recording import COLUMN_CHUNK, Progress, Recording, gathered, packet_numbers, selection
from vorn.times import has_times

# The panels from top to bottom. Which fields each can draw is the field
# table's word; the first the recording carries is drawn, in record order
# (sensor values before the filter's, which stand in for recordings without).
PANEL_ORDER = ("Acceleration", "Angular rate", "Orientation", "Pressure", "Altitude")
PANELS = tuple((title, tuple(f for f, info in FIELDS.items() if info["panel"] == title)) for title in PANEL_ORDER)
# Stretches of the stream a panel shows: in an image, one a pixel of the
# figure's width (10 inches at 100 dpi); in a drawing that can be zoomed
# (PDF, SVG, ...), four.
BUCKETS = 4000
RASTER_BUCKETS = 1000
VECTOR_FORMATS = frozenset(("eps", "pdf", "pgf", "ps", "svg", "svgz"))
GATHER = 1 << 16  # packets binned at a time


def invalid_name(field: str) -> str | None:
    """The name the unit flags a filter field invalid by (estPressureAlt); None for a sensor field."""
    return FIELDS[field]["invalid_name"]


def bucket_of(x: int, total: int, buckets: int | None = None) -> int:
    buckets = buckets or BUCKETS
    return min(x * buckets // total, buckets - 1)  # a file still growing has more now


class Series:
    """One record field's components, kept as the lowest and highest value in each
    of buckets (BUCKETS) equal stretches of the stream: all that a picture can show, in
    memory that does not grow with the recording. A short recording keeps every
    value (a bucket per packet). x: the first packet's x in each bucket (NaN
    for none)."""

    def __init__(self, field: str, buckets: int | None = None) -> None:
        import numpy as np

        buckets = buckets or BUCKETS
        self.field = field
        self.names = FIELDS[field]["columns"]
        self.kind = KINDS.index(FIELDS[field]["packet_type"])
        self.labels = list(FIELDS[field]["components"]) or [""]
        self.x = np.full(buckets, np.nan)
        self.lo = np.full((len(self.names), buckets), np.inf)
        self.hi = np.full((len(self.names), buckets), -np.inf)

    def add(self, buckets, xs, chunk, at, first=None) -> None:
        """The packets at indices at of chunk (columns), drawn at xs into
        buckets (both as long as at, buckets not decreasing; first: where
        each bucket begins in them, if known). A packet without the field has
        NaN in every component; a NaN value is passed over as a comparison
        passes over it."""
        import numpy as np

        if not len(at):
            return
        values = np.stack([chunk[c][at] for c in self.names])
        present = ~np.isnan(values).all(axis=0)
        if present.all():
            b, v, x = buckets, values, xs
        elif present.any():
            b, v, x, first = buckets[present], values[:, present], xs[present], None
        else:
            return
        if first is None:
            first = np.flatnonzero(np.diff(b, prepend=-1))
        u = b[first]
        new = np.isnan(self.x[u])
        self.x[u[new]] = x[first][new]
        # fmin/fmax leave out NaN, and give NaN for a bucket of NaN alone, which leaves lo and hi as they were.
        self.lo[:, u] = np.fmin(self.lo[:, u], np.fmin.reduceat(v, first, axis=1))
        self.hi[:, u] = np.fmax(self.hi[:, u], np.fmax.reduceat(v, first, axis=1))

    def __bool__(self) -> bool:
        import numpy as np

        return not np.isnan(self.x).all()

    def lines(self, scale: float):
        """(label, xs, ys) per component: down and up through each bucket's range."""
        import numpy as np

        has = ~np.isnan(self.x)
        xs = np.repeat(self.x[has] * scale, 2)
        for label, lo, hi in zip(self.labels, self.lo[:, has], self.hi[:, has]):
            ok = lo <= hi  # not so for a bucket of NaN values only
            ys = np.stack([np.where(ok, lo, np.nan), np.where(ok, hi, np.nan)], axis=1).ravel()
            yield label, xs, ys


class Flags:
    """How many of the filter packets in each bucket flagged one field invalid.
    A share rather than a stretch from first to last flag, so that scattered
    flags look scattered however long the recording."""

    def __init__(self, field: str, buckets: int | None = None) -> None:
        import numpy as np

        self.name = invalid_name(field)
        self.column = flag_column(field)
        self.seen = np.zeros(buckets or BUCKETS, np.int64)
        self.flagged = np.zeros_like(self.seen)

    def add(self, bucket: int, invalid: str | None) -> None:
        """One filter packet in bucket, invalid: the names it flagged, comma-separated."""
        self.seen[bucket] += 1
        if invalid and self.name in invalid.split(","):
            self.flagged[bucket] += 1

    def add_columns(self, buckets, flagged) -> None:
        """Filter packets in buckets, flagged: whether each flagged the field."""
        import numpy as np

        self.seen += np.bincount(buckets, minlength=len(self.seen))
        self.flagged += np.bincount(buckets[flagged], minlength=len(self.seen))

    def shares(self) -> list[float]:
        """The share flagged in each bucket; a bucket without filter packets
        keeps the share of the one before, as the unit's last word stands."""
        out, last = [], 0.0
        for seen, flagged in zip(self.seen.tolist(), self.flagged.tolist()):
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
        raise ValueError(
            f"{out}: name the image NAME.png, NAME.svg, NAME.pdf or another format matplotlib writes "
            f"({', '.join(sorted(formats))})"
        )
    return fmt


def title_of(path) -> str:
    """The file name as text to draw: undecodable bytes shown as U+FFFD."""
    return os.fsencode(path).decode("utf-8", "replace")


def plot(
    path,
    out,
    rate: float | None = None,
    *,
    kind: str | None = None,
    start: float | None = None,
    end: float | None = None,
    progress: Progress | None = None,
) -> None:
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
            buckets = BUCKETS if fmt in VECTOR_FORMATS else RASTER_BUCKETS
            fig = draw_recording(Figure, path, rate, kind, start, end, progress, buckets)
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


def draw_recording(
    Figure,
    path,
    rate: float | None,
    kind: str | None = None,
    start: float | None = None,
    end: float | None = None,
    progress: Progress | None = None,
    buckets: int | None = None,
):
    """The figure, each panel of buckets stretches of the stream (BUCKETS)."""
    # A first pass, at the core's speed, counts the packets to size the buckets.
    arrival = has_times(path)
    if not arrival:
        start, end = packet_numbers(start, end)
    counting = Recording(path, progress=progress)
    if start is None and end is None:  # framing alone counts them
        with counting.file as f:
            while data := f.read(COLUMN_CHUNK):
                counting.advance(len(data))
                counting.framer.feed(data)
        counts = counting.require_packets()
        total = counts[kind] if kind else counts["raw"] + counts["estimated"]
    else:
        total = sum(len(c["packet_type"]) for c in counting.columns(kind, start, end, sample=False))
        counting.require_packets()
    if not total:
        raise ValueError(f"{path}: no {kind + ' ' if kind else ''}packets{selection(start, end, arrival)}")
    series, flags, starts, x = bin_recording(path, total, rate, kind, start, end, arrival, progress, buckets)
    shares = {f.name: f.shares() for f in flags}

    panels = [(title, next((series[f] for f in fields if series[f]), None)) for title, fields in PANELS]
    panels = [(title, s) for title, s in panels if s]
    if not panels:
        *most, last = (title.lower() for title, _ in PANELS)
        packets = "its packet carries" if total == 1 else f"its {total:,} packets carry"
        raise ValueError(f"{path}: nothing to plot: {packets} no {', '.join(most)} or {last}")
    scale = 1.0
    edges = [e for e in starts.tolist() if not math.isnan(e)] + [x]
    shares = {name: [v for v, e in zip(share, starts.tolist()) if not math.isnan(e)] for name, share in shares.items()}
    fig = Figure(figsize=(10, 2.0 * len(panels) + 0.7))
    axes = fig.subplots(len(panels), 1, sharex=True, squeeze=False)[:, 0]
    for ax, (title, s) in zip(axes, panels):
        ax.set_title(title, loc="left", fontsize="medium", fontweight="bold")
        ax.grid(alpha=0.3)
        draw(ax, s, scale)
        share = shares.get(invalid_name(s.field))
        if share and any(share):
            # Shaded from the bottom up to the share flagged, in axes height.
            ax.fill_between(
                edges,
                0,
                share + share[-1:],
                step="post",
                transform=ax.get_xaxis_transform(),
                color="tab:red",
                alpha=0.2,
                lw=0,
                label="share flagged invalid",
            )
        ax.legend(loc="lower right", bbox_to_anchor=(1, 1), ncols=5, frameon=False, fontsize="small", borderaxespad=0.1)
    timed = rate is None and arrival
    axes[-1].set_xlabel(
        f"seconds (at {rate:g} raw packets/s)"
        if rate
        else "seconds since the first packet arrived"
        if timed
        else "packet"
    )
    fig.suptitle(title_of(path), parse_math=False)
    arrange(fig, axes)
    return fig


def arrange(fig, axes) -> None:
    """Places the panels one above the other: fixed margins in inches (the
    title above, a row for each panel's title and legend, the x axis below),
    but for the left one, which the widest y tick labels and y label decide.
    Matplotlib's constrained layout gives the same picture, but lays out every
    text of the figure three times to find it, a third of the drawing's time."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    width, height = fig.get_size_inches()
    n = len(axes)
    top, row, bottom, right = 0.36, 0.4, 0.55, 0.12  # inches
    panel = (height - top - bottom - n * row) / n

    def place(left: float) -> None:
        for i, ax in enumerate(axes):
            y = bottom + (n - 1 - i) * (panel + row)
            ax.set_position((left / width, y / height, 1 - (left + right) / width, panel / height))

    place(1.0)
    renderer = FigureCanvasAgg(fig).get_renderer()
    dpi = fig.dpi
    need = max(ax.get_position().x0 * width * dpi - ax.yaxis.get_tightbbox(renderer).x0 for ax in axes)
    place(need / dpi + 0.1)


def bin_recording(
    path,
    total: int,
    rate: float | None,
    kind: str | None,
    start,
    end,
    arrival: bool,
    progress: Progress | None = None,
    buckets: int | None = None,
):
    """(series by field, flags, the x of the first packet in each bucket (NaN
    for none), the last x): the total packets of kind from start to before
    end binned in buckets stretches (BUCKETS). x: seconds at rate (raw packet k at
    k/rate, filter packets between the raw packets around them, counted from
    the range's start), else seconds since the first arrival (an untimed
    packet at the time extrapolated for it), else the packet number."""
    import numpy as np

    nb = buckets or BUCKETS
    series = {f: Series(f, nb) for _, fields in PANELS for f in fields}
    of_kind = [[s for s in series.values() if s.kind == c] for c in range(len(KINDS))]
    flags = [Flags(f, nb) for f in series if invalid_name(f)]
    timed = rate is None and arrival
    code = None if kind is None else KINDS.index(kind)
    raw = KINDS.index("raw")
    starts = np.full(nb, np.nan)
    rec = Recording(path, progress=progress)
    origin = rec.times.origin() if arrival else 0
    lo, hi = (start or 0), (math.inf if end is None else end)  # packet numbers, without arrival times
    n = m = raws = since = 0  # packets of the stream, packets drawn, raw packets so far, filter packets since
    x = None
    chunks = rec.columns(
        None, *((start, end) if arrival else (None, None)), extrapolated=True, sample=False, mono=timed
    )
    for chunk in gathered(chunks, GATHER):
        kinds = chunk["packet_type"]
        k = len(kinds)
        number = np.arange(n, n + k)
        n += k
        if rate:
            is_raw = kinds == raw
            counted = np.cumsum(is_raw) + raws  # raw packets up to each packet, itself included
            at = np.arange(k)
            last_raw = np.maximum.accumulate(np.where(is_raw, at, -1))
            after = np.where(last_raw >= 0, at - last_raw, since + at + 1)  # filter packets since the last raw
            position = np.where(is_raw, counted - 1, np.where(counted > 0, counted - np.power(0.5, after), 0))
            raws, since = int(counted[-1]), (0 if is_raw[-1] else int(after[-1]))
            xs = position / rate
        elif timed:
            if "mono_ns" not in chunk:
                break  # bytes written since the first pass counted the packets
            xs = (chunk["mono_ns"] - origin) / 1e9
            x = float(xs[-1])
        else:
            xs = number.astype(np.float64)
        keep = np.ones(k, bool) if code is None else kinds == code
        if not arrival:
            keep &= (number >= lo) & (number < hi)
        at = np.flatnonzero(keep)
        if len(at):
            xs = xs[at]
            if not timed:
                x = float(xs[-1])
            bucket = np.minimum((m + np.arange(len(at))) * nb // total, nb - 1)  # as bucket_of
            m += len(at)
            first = np.flatnonzero(np.diff(bucket, prepend=-1))
            u = bucket[first]
            new = np.isnan(starts[u])
            starts[u[new]] = xs[first][new]
            # A field comes in packets of its kind alone: each series sees only those.
            kept = kinds[at]
            for c, mine in enumerate(of_kind):
                which = kept == c
                b, x_c, at_c = bucket[which], xs[which], at[which]
                begins = np.flatnonzero(np.diff(b, prepend=-1))
                for s in mine:
                    s.add(b, x_c, chunk, at_c, begins)
                if c != raw:
                    for fl in flags:
                        fl.add_columns(b, chunk[fl.column][at_c])
        if not arrival and n >= hi:
            break
    return series, flags, starts, x


def draw(ax, s: Series, scale: float) -> None:
    """One line per component, the field and its unit on the axis."""
    if FIELDS[s.field]["panel"] == "Altitude":  # not the pressure's colour above it
        ax.set_prop_cycle(color=["tab:purple"])
    for label, xs, ys in s.lines(scale):
        ax.plot(xs, ys, lw=0.8, label=label or s.field)
    unit = UNITS.get(s.field)
    ax.set_ylabel(s.field + (f" [{unit}]" if unit else ""), fontsize="small")
    ax.ticklabel_format(axis="y", useOffset=False)
