"""vorn plot: the signals a person looks at first, one panel per group."""

from __future__ import annotations

import math

from vorn_tools._native import FIELDS
from vorn_tools.common import COLUMNS, Recording, ToolError

# Panel title, then the record fields for its left axis and for a right one
# (other units). On each side the first field the recording carries is drawn;
# the others stand in for recordings without it.
PANELS = (
    ("Acceleration", ("scaled_accel", "est_compensated_accel"), ()),
    ("Angular rate", ("scaled_gyro", "est_angular_rate"), ()),
    ("Orientation", ("est_orient_quaternion",), ()),
    ("Pressure / altitude", ("scaled_ambient_pressure",), ("est_pressure_alt",)),
)
BUCKETS = 4000  # stretches of the stream a panel shows; a 10-inch figure is 1000 pixels wide
UNITS = {"scaled_accel": "g", "est_compensated_accel": "m/s²", "scaled_gyro": "rad/s", "est_angular_rate": "rad/s",
         "scaled_ambient_pressure": "Pa", "est_pressure_alt": "m"}


def invalid_name(field: str) -> str | None:
    """The name the unit flags a filter field invalid by (estPressureAlt); None for a sensor field."""
    return FIELDS[field]["invalid_name"]


class Series:
    """One record field's components, kept as the lowest and highest value in each
    of BUCKETS equal stretches of the stream: all that a picture can show, in
    memory that does not grow with the recording. A short recording keeps every
    value (a bucket per packet)."""

    def __init__(self, field: str) -> None:
        self.field = field
        self.columns = [COLUMNS.index(c) for c in FIELDS[field]["columns"]]
        self.labels = [COLUMNS[i].removeprefix(field).lstrip("_") for i in self.columns]
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
    """Stretches of filter packets that flagged one field invalid, as [first, next)
    packet positions; stretches closer than `gap` are joined, as the picture would."""

    def __init__(self, field: str, gap: float) -> None:
        self.name = invalid_name(field)
        self.gap = gap
        self.stretches: list[tuple[int, int]] = []
        self.start: int | None = None
        self.last = 0

    def add(self, x: int, invalid: str | None) -> None:
        flagged = bool(invalid) and self.name in invalid.split(",")
        if flagged and self.start is None:
            self.start = x
        elif not flagged and self.start is not None:
            self.end(x)
        self.last = x

    def end(self, x: int) -> None:
        if self.stretches and self.start - self.stretches[-1][1] <= self.gap:
            self.stretches[-1] = (self.stretches[-1][0], x)
        else:
            self.stretches.append((self.start, x))
        self.start = None

    def close(self) -> None:
        if self.start is not None:
            self.end(self.last + 1)


def plot(path, out, rate: float | None) -> int:
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise ToolError("plot needs matplotlib: pip install --prefer-binary 'vorn_rs[plot]'") from None
    # A first pass, at the core's speed, counts the packets to size the buckets.
    counting = Recording(path)
    for _ in counting.batches("plot: counting"):
        pass
    c = counting.require_packets()
    total = c["raw"] + c["estimated"]
    series = {f: Series(f) for _, left, right in PANELS for f in left + right}
    flags = [Flags(f, total / BUCKETS) for f in series if invalid_name(f)]
    x = 0
    for rows in Recording(path, rows=True).batches("plot"):
        for row in rows:
            bucket = min(x * BUCKETS // total, BUCKETS - 1)  # a file still growing has more now
            for s in series.values():
                s.add(bucket, x, row)
            if row[0] == "estimated":
                for f in flags:
                    f.add(x, row[1])
            x += 1
    stretches = {}
    for f in flags:
        f.close()
        stretches[f.name] = f.stretches

    def pick(fields):
        return next((series[f] for f in fields if series[f]), None)

    panels = [(title, pick(left), pick(right)) for title, left, right in PANELS]
    panels = [p for p in panels if p[1] or p[2]]
    scale = 1.0 / rate if rate else 1.0
    fig = Figure(figsize=(10, 2.3 * len(panels) + 0.7), layout="constrained")
    axes = fig.subplots(len(panels), 1, sharex=True, squeeze=False)[:, 0]
    for ax, (title, left, right) in zip(axes, panels):
        ax.set_title(title, loc="left", fontsize="medium", fontweight="bold")
        ax.grid(alpha=0.3)
        twin = ax.twinx() if left and right else None
        for side, s in ((ax, left), (twin or ax, right)):
            if s is None:
                continue
            draw(side, s, scale, linestyle="--" if side is twin else "-")
            for i, (a, b) in enumerate(stretches.get(invalid_name(s.field), ())):
                ax.axvspan(a * scale, b * scale, color="tab:red", alpha=0.15, lw=0,
                           label=f"{s.field} flagged invalid" if i == 0 else None)
        handles, labels = ax.get_legend_handles_labels()
        if twin:
            more = twin.get_legend_handles_labels()
            handles, labels = handles + more[0], labels + more[1]
        ax.legend(handles, labels, loc="lower right", bbox_to_anchor=(1, 1), ncols=5, frameon=False,
                  fontsize="small", borderaxespad=0.1)
    axes[-1].set_xlabel(f"seconds (at {rate:g} packets/s)" if rate else "packet")
    fig.suptitle(str(path))
    try:
        fig.savefig(out, dpi=100)
    except OSError as e:
        raise ToolError(f"{out}: {e.strerror or e}") from None
    except ValueError as e:  # an image format matplotlib does not know
        raise ToolError(f"{out}: {e}") from None
    return 0


def draw(ax, s: Series, scale: float, linestyle: str) -> None:
    """One line per component, the field and its unit on the axis."""
    if s.field == "est_pressure_alt":
        ax.set_prop_cycle(color=["tab:purple"])
    for label, xs, ys in s.lines(scale):
        ax.plot(xs, ys, lw=0.8, linestyle=linestyle, label=label or s.field)
    unit = UNITS.get(s.field)
    ax.set_ylabel(s.field + (f" [{unit}]" if unit else ""), fontsize="small")
    ax.ticklabel_format(axis="y", useOffset=False)
