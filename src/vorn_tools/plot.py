"""vorn plot: the signals a person looks at first, one panel per group."""

from __future__ import annotations

from array import array

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
UNITS = {"scaled_accel": "g", "est_compensated_accel": "m/s²", "scaled_gyro": "rad/s", "est_angular_rate": "rad/s",
         "scaled_ambient_pressure": "Pa", "est_pressure_alt": "m"}


def invalid_name(field: str) -> str | None:
    """The name the unit flags a filter field invalid by: est_pressure_alt -> estPressureAlt."""
    head, *rest = field.split("_")
    return head + "".join(w.title() for w in rest) if head == "est" else None


class Series:
    """One record field's components over the stream, at the packets that carry it."""

    def __init__(self, field: str) -> None:
        self.field = field
        self.columns = [i for i, c in enumerate(COLUMNS) if c == field or c.rpartition("_")[0] == field]
        self.labels = [COLUMNS[i].removeprefix(field).lstrip("_") for i in self.columns]
        self.x = array("d")
        self.y = [array("f") for _ in self.columns]

    def add(self, x: int, row) -> None:
        if row[self.columns[0]] is not None:
            self.x.append(x)
            for ys, i in zip(self.y, self.columns):
                ys.append(row[i])


class Flags:
    """Stretches of filter packets that flagged one field invalid, as [first, next) packet positions."""

    def __init__(self, field: str) -> None:
        self.name = invalid_name(field)
        self.stretches: list[tuple[int, int]] = []
        self.start: int | None = None
        self.last = 0

    def add(self, x: int, invalid: str | None) -> None:
        flagged = bool(invalid) and self.name in invalid.split(",")
        if flagged and self.start is None:
            self.start = x
        elif not flagged and self.start is not None:
            self.stretches.append((self.start, x))
            self.start = None
        self.last = x

    def close(self) -> None:
        if self.start is not None:
            self.stretches.append((self.start, self.last + 1))
            self.start = None


def plot(path, out, rate: float | None) -> int:
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise ToolError("plot needs matplotlib: pip install --prefer-binary 'vorn_rs[plot]'") from None
    rec = Recording(path, rows=True)
    series = {f: Series(f) for _, left, right in PANELS for f in left + right}
    flags = [Flags(f) for f in series if invalid_name(f)]
    x = 0
    for rows in rec.batches("plot"):
        for row in rows:
            for s in series.values():
                s.add(x, row)
            if row[0] == "estimated":
                for f in flags:
                    f.add(x, row[1])
            x += 1
    rec.require_packets()
    stretches = {}
    for f in flags:
        f.close()
        stretches[f.name] = f.stretches

    def pick(fields):
        return next((series[f] for f in fields if len(series[f].x)), None)

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
    x = [v * scale for v in s.x]
    if s.field == "est_pressure_alt":
        ax.set_prop_cycle(color=["tab:purple"])
    for label, ys in zip(s.labels, s.y):
        ax.plot(x, ys, lw=0.8, linestyle=linestyle, label=label or s.field)
    unit = UNITS.get(s.field)
    ax.set_ylabel(s.field + (f" [{unit}]" if unit else ""), fontsize="small")
    ax.ticklabel_format(axis="y", useOffset=False)
