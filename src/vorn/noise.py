"""vorn noise: the unit's noise parameters from a still recording.

The overlapping Allan deviation of each accelerometer and gyroscope axis over
octave-spaced cluster times, and from it, per axis: white-noise density, bias
instability (the floor of the curve) and rate random walk, each with its
confidence from the number of clusters behind it. The recording is read once,
a piece at a time, into running sums (AllanStream): memory does not grow with
its length.

The scaled values are analysed, not the increments: they are what a driver
publishes (a ROS Imu message carries rate and acceleration), so the densities
fit the signal a filter downstream is fed, and their units are settled (g and
rad/s). Samples are taken as evenly spaced at the packet rate: the unit samples
on its own clock, while the host sees packets in bursts that serial buffering
and USB polling make. Arrival times, where a recording has them, give the rate
of that clock (vorn.sample_clock, over the packets with a vouched arrival),
else the mean rate over the run (arrival_rate, likewise); `--rate` overrides
them, and a recording without them needs it. A recording that is not still
(a white-noise density of 0, or values that wander far beyond their noise)
is refused: its figures would be no calibration.
"""

from __future__ import annotations

import math
import os
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import NamedTuple

from vorn.errors import ArgumentsUsageError, missing, with_path
from vorn.fields import FIELDS, STANDARD_GRAVITY, value_columns
from vorn.rate_clock import RATE_NEEDED
from vorn.recording import Progress, Recording

# How far the spread of a still sensor's values may exceed its white noise per
# sample: drift and bias walk stay well below; a unit moved or turned by hand
# goes far above.
STILL_SPREAD = 25.0
FLICKER_FLOOR = math.sqrt(2 * math.log(2) / math.pi)  # Allan deviation of flicker noise of unit bias instability
MIN_CLUSTER_TIMES = 3  # points a fit of three terms needs
AXES = ("x", "y", "z")


class Sensor(NamedTuple):
    name: str  # as the calibration file names it
    field: str  # record field read
    scale: float  # to SI
    unit: str  # of the samples, in SI
    ros_name: str  # the driver parameter for its per-sample standard deviation


def sensor_field(panel: str) -> str:
    """The raw field the plot draws in panel: what the sensor itself measured."""
    return next(f for f, info in FIELDS.items() if info["packet_type"] == "raw" and info["panel"] == panel)


SENSORS = (
    Sensor("accelerometer", sensor_field("Acceleration"), STANDARD_GRAVITY, "m/s²", "linear_acceleration_stdev"),
    Sensor("gyroscope", sensor_field("Angular rate"), 1.0, "rad/s", "angular_velocity_stdev"),
)


def numpy():
    try:
        import numpy as np
    except ImportError:
        raise missing("numpy", "noise", "noise", prefer_binary=True) from None
    return np


# -- reading ----------------------------------------------------------------


class Still(NamedTuple):
    samples: int  # raw packets carrying both values, all finite
    skipped: int  # raw packets lacking one of the values, or carrying an infinite or NaN one
    deviations: AllanStream  # of the samples, in the recorded units: accelerometer x y z, gyroscope x y z
    arrivals: ArrivalFit  # the samples' arrival times
    recovered: float | None  # the raw stream's rate on the unit's clock, where the recording has arrival times


GATHER = 1 << 16  # samples added to the deviations at a time, about


def read_still(path, progress: Progress | None = None, rate: float | None = None) -> Still:
    """The scaled values of every raw packet that carries both, in order, read
    once a piece at a time into their deviations; the rate from the unit's
    clock unless given. float32 as decoded, widened a piece at a time."""
    np = numpy()
    wanted = [c for s in SENSORS for c in value_columns(s.field)]
    rec = Recording(path, progress=progress)
    deviations, arrivals = AllanStream(len(wanted)), ArrivalFit()
    samples = skipped = 0
    # The deviations are summed on a thread of their own while the next piece is
    # framed. The clock's figures come with the sample times: the columns wait a
    # few seconds for them.
    held: list = []  # the wanted values of chunks, until there are GATHER of them

    with ThreadPoolExecutor(1) as summing:
        adding = None

        def hand_over() -> None:
            nonlocal adding
            if adding is not None:
                adding.result()
            adding = summing.submit(deviations.add, held[0] if len(held) == 1 else np.concatenate(held))
            held.clear()

        for chunk in rec.columns("raw", sample=not rate):
            values = np.stack([chunk[c] for c in wanted], axis=1)  # a missing value is NaN
            complete = np.isfinite(values).all(axis=1)
            if not complete.all():
                skipped += int(len(complete) - complete.sum())
                values = values[complete]
            if "host_time_ns" in chunk:
                arrivals.add(chunk["host_time_ns"][complete] if len(values) < len(complete) else chunk["host_time_ns"])
            else:
                arrivals.skip(len(values))
            held.append(values)
            samples += len(values)
            if sum(map(len, held)) >= GATHER:
                hand_over()
        if held:
            hand_over()
        if adding is not None:
            adding.result()
    counts = rec.require_packets()
    if not counts["raw"]:
        raise ValueError(f"{path}: no raw packets, only {counts['estimated']:,} filter packets")
    recovered = None
    if rec.clock is not None:
        rec.clock.finish()
        hz = rec.clock.figures()["raw"]["rate_hz"]
        recovered = hz if math.isfinite(hz) and hz > 0 else None
    return Still(samples, skipped, deviations, arrivals, recovered)


class ArrivalFit:
    """The straight line through (arrival time, packet number) over the
    packets that have a time (-1: none), fitted as they come: its slope is
    packets per second. Single intervals say little, packets come in bursts;
    the fit over the whole run is the unit's clock seen by the host's."""

    def __init__(self) -> None:
        self.n = 0  # packets so far, timed or not
        self.t0 = self.n0 = None  # the first timed packet
        self.count = 0
        self.st = self.sn = self.stt = self.stn = 0.0
        self.first = self.last = None

    def skip(self, k: int) -> None:
        self.n += k

    def add(self, times_ns) -> None:
        np = numpy()
        times_ns = np.asarray(times_ns, dtype=np.int64)
        known = np.flatnonzero(times_ns >= 0)
        if len(known):
            if self.t0 is None:
                self.t0, self.n0 = int(times_ns[known[0]]), self.n + int(known[0])
            t = (times_ns[known] - self.t0) * 1e-9
            n = (known + (self.n - self.n0)).astype(np.float64)
            self.count += len(known)
            self.st += float(t.sum())
            self.sn += float(n.sum())
            self.stt += float(t @ t)
            self.stn += float(t @ n)
            self.first = self.t0
            self.last = int(times_ns[known[-1]])
        self.n += len(times_ns)

    def rate(self) -> float:
        """Packets per second; NaN where the times span no time."""
        if self.count < 2:
            return math.nan
        var = self.stt - self.st * self.st / self.count
        if not var > 0:
            return math.nan
        return (self.stn - self.st * self.sn / self.count) / var


def arrival_rate(times_ns) -> float:
    """Packets per second from the host's arrival times (ArrivalFit)."""
    fit = ArrivalFit()
    fit.add(times_ns)
    return fit.rate()


RECOVERED = "the unit's clock, recovered from the arrival times"


def packet_rate(still: Still, given: float | None) -> tuple[float, str]:
    """The sample rate and where it came from: the unit's own clock where the
    recording has arrival times (its raw stream's recovered rate, pauses and
    lost packets left out), else the mean rate of the arrivals."""
    if given:
        return given, "--rate"
    if still.arrivals.count > 1:
        if still.recovered:
            return still.recovered, RECOVERED
        hz = still.arrivals.rate()
        if math.isfinite(hz) and hz > 0:
            return hz, "arrival times"
        raise ArgumentsUsageError(
            f"the arrival times tell no rate: all {still.arrivals.count:,} timed raw packets arrived at one "
            f"time; {RATE_NEEDED}",
            "rate",
            metavar="HZ",
        )
    if still.arrivals.count == 1:
        raise ArgumentsUsageError(f"only one raw packet has an arrival time: {RATE_NEEDED}", "rate", metavar="HZ")
    raise ArgumentsUsageError(f"the recording has no arrival times: {RATE_NEEDED}", "rate", metavar="HZ")


def check_still(spread, result: dict, rate: float) -> None:
    """Refuses a recording that is not of a unit at rest: a sensor axis without
    white noise (a constant, or a fit that finds only drift), or one whose
    values spread far beyond that noise (the unit moved). spread: each
    series' standard deviation, in the recorded units."""
    for i, sensor in enumerate(SENSORS):
        for j, axis in enumerate(AXES):
            density = result[sensor.name][axis]["noise_density"]
            if not density > 0:
                raise ValueError(
                    f"not a still recording: the {sensor.name} {axis} shows no white noise (density 0); "
                    "record the unit at rest"
                )
            per_sample = density * math.sqrt(rate)
            times = spread[3 * i + j] * sensor.scale / per_sample
            if times > STILL_SPREAD:
                raise ValueError(
                    f"not a still recording: the {sensor.name} {axis} spreads {times:,.0f} times its "
                    "noise (the unit moved?); record it at rest"
                )


# -- analysis ---------------------------------------------------------------


def cluster_sizes(n: int) -> list[int]:
    """Samples per cluster, 1, 2, 4, ..., as long as two clusters fit."""
    sizes, m = [], 1
    while 2 * m <= n - 1:
        sizes.append(m)
        m *= 2
    return sizes


def allan_deviation(series, sizes):
    """Overlapping Allan deviation of evenly spaced samples at each cluster size:
    the mean square of the difference of the averages of every pair of adjacent
    clusters, halved, square-rooted. series is one series or a row of them.

    Through the running sum S (one leading 0): the cluster sums are
    D = S[m:] - S[:-m], and adjacent pairs differ by D[m:] - D[:-m]. The mean is
    taken out first so that S stays small and its rounding far below the noise."""
    np = numpy()
    rows = np.atleast_2d(np.asarray(series))
    n = rows.shape[1]
    out = np.empty((len(rows), len(sizes)))
    # Allocated once for all series: fresh pages cost as much as the sums.
    s, sums, diffs = np.empty(n + 1), np.empty(n + 1), np.empty(n + 1)
    s[0] = 0.0
    for k, y in enumerate(rows):
        np.subtract(y, y.mean(dtype=np.float64), out=s[1:], dtype=np.float64)
        np.cumsum(s[1:], out=s[1:])
        for i, m in enumerate(sizes):
            d = np.subtract(s[m:], s[:-m], out=sums[: n + 1 - m])
            diff = np.subtract(d[m:], d[:-m], out=diffs[: n + 1 - 2 * m])
            # einsum: one pass, no temporary.
            out[k, i] = math.sqrt(float(np.einsum("i,i->", diff, diff)) / (2.0 * len(diff))) / m
    return out if np.ndim(series) > 1 else out[0]


# Cluster sizes up to EXACT have the overlapping deviation over every offset,
# from the last q sums of q samples for each size q (Clusters); a larger
# cluster size m over OFFSETS offsets a cluster, every m / OFFSETS samples, from
# as many values of the running sum taken that far apart (Stride). Memory is so
# bounded by the number of cluster sizes, however long the recording: about
# 60 MB for the first, 1.5 MB for each of the others (six series).
EXACT = 1 << 19
OFFSETS = 1 << 14
PIECE = 1 << 18  # new values of the running sum taken at a time
TILE = 1 << 13  # new values every lag is worked out over at a time


class Stride:
    """The running sums taken every `step` samples (the last 2 q + 1 of them
    for the largest lag q in lags), and for each lag q the sum of the squared
    second differences S[t] - 2 S[t-q] + S[t-2q] and how many there were."""

    def __init__(self, np, width: int, step: int, lags: list[int]) -> None:
        self.np, self.step, self.lags = np, step, lags
        self.keep = 2 * max(lags)
        self.buf = np.zeros((width, 1))  # S[0] = 0
        self.scratch = np.empty((width, TILE))
        self.used = 1  # values in buf, the last of them at index `index`
        self.index = 0  # the running sum's index of the last value held
        self.squares = np.zeros((len(lags), width))
        self.count = np.zeros(len(lags), np.int64)

    def add(self, first: int, values) -> None:
        """values: the running sum at indices first, first + 1, ...; those that
        fall on this stride kept."""
        lead = (-first) % self.step
        taken = values[:, lead :: self.step]
        for lo in range(0, taken.shape[1], PIECE):
            self.append(taken[:, lo : lo + PIECE])

    def append(self, new) -> None:
        np = self.np
        k = new.shape[1]
        if not k:
            return
        held = min(self.used, self.keep)
        if held + k > self.buf.shape[1]:
            grown = np.empty((self.buf.shape[0], held + k + min(held + k, PIECE)))
            grown[:, :held] = self.buf[:, self.used - held : self.used]
            self.buf = grown
        elif self.used + k > self.buf.shape[1]:
            self.buf[:, :held] = self.buf[:, self.used - held : self.used]
        else:
            held = self.used
        self.buf[:, held : held + k] = new
        self.used = held + k
        self.index += k
        # buf[:, :used] holds the running sum's (decimated) values up to self.index.
        buf, used = self.buf, self.used
        origin = self.index - used + 1  # the running sum's index of buf[:, 0]
        # A tile of new values at a time, every lag: the tile and the differences
        # stay in the processor's cache, only the values a lag back come from memory.
        for start in range(held, used, TILE):
            stop = min(start + TILE, used)
            for i, q in enumerate(self.lags):
                lo = max(start, 2 * q - origin)  # the first new value with two lags before it
                if lo >= stop:
                    continue
                d = self.scratch[:, : stop - lo]
                np.subtract(buf[:, lo:stop], buf[:, lo - q : stop - q], out=d)
                np.subtract(d, buf[:, lo - q : stop - q], out=d)
                np.add(d, buf[:, lo - 2 * q : stop - 2 * q], out=d)
                squares = self.squares[i]
                for r, row in enumerate(d):  # a dot product a row: each row contiguous, for BLAS
                    squares[r] += np.dot(row, row)
                self.count[i] += stop - lo


class Clusters:
    """The sums of every q consecutive samples, q = 1, 2, 4, ... up to twice
    top, each level made from the one below (D2q[t] = Dq[t] + Dq[t-q]) and
    holding its last q + TILE values in a ring, and per level the sums of the
    squares of all its values and of its first q. The Allan variance at q
    follows without differences of its own (variance): per sample and level,
    one sum and one square, where the differences took four passes."""

    def __init__(self, np, width: int, top: int) -> None:
        self.np = np
        self.levels = top.bit_length()  # kept: q = 1 .. top; the level above only counted
        # Zeros: pages the kernel gives once written, so short recordings take little.
        self.rings = [np.zeros((width, (1 << j) + TILE)) for j in range(self.levels)]
        self.count = [0] * (self.levels + 1)  # values so far, of each level
        self.total = np.zeros((self.levels + 1, width))
        self.early = np.zeros((self.levels + 1, width))
        self.scratch = np.empty((width, TILE))

    def take(self, j: int, block) -> None:
        """Level j's new values (width, k) counted into its squares."""
        q, before, total = 1 << j, self.count[j], self.total[j]
        cut = q - before if before < q <= before + block.shape[1] else 0
        if cut:  # its first q values complete here
            for r, row in enumerate(block[:, :cut]):
                total[r] += self.np.dot(row, row)
            self.early[j] = total
        for r, row in enumerate(block[:, cut:]):
            total[r] += self.np.dot(row, row)
        self.count[j] = before + block.shape[1]

    def values(self, j: int, v: int, k: int):
        """Level j's values v .. v + k (held in its ring)."""
        ring = self.rings[j]
        p = v % ring.shape[1]
        if p + k <= ring.shape[1]:
            return ring[:, p : p + k]
        return self.np.concatenate([ring[:, p:], ring[:, : p + k - ring.shape[1]]], axis=1)

    def put(self, j: int, v: int, block) -> None:
        ring, k = self.rings[j], block.shape[1]
        p = v % ring.shape[1]
        first = min(k, ring.shape[1] - p)
        ring[:, p : p + first] = block[:, :first]
        ring[:, : k - first] = block[:, first:]

    def add(self, block) -> None:
        """The next samples (width, k <= TILE), their offset taken out."""
        np = self.np
        k = block.shape[1]
        self.put(0, self.count[0], block)
        self.take(0, block)
        for j in range(self.levels):
            q, c = 1 << j, self.count[j]
            lo = max(c - k, q)  # the new values of level j with one q before them
            if lo >= c:
                return
            k = c - lo
            # Level j + 1's value at index lo - q is level j's at lo and lo - q:
            # summed straight into its ring, in pieces where no ring wraps.
            here = self.rings[j]
            there = self.rings[j + 1] if j + 1 < self.levels else None
            cuts = {0, k}
            for v, ring in ((lo, here), (lo - q, here), (lo - q, there)):
                if ring is not None and 0 < ring.shape[1] - v % ring.shape[1] < k:
                    cuts.add(ring.shape[1] - v % ring.shape[1])
            edges = sorted(cuts)
            for a, b in zip(edges, edges[1:]):
                n, p, r = b - a, (lo + a) % here.shape[1], (lo - q + a) % here.shape[1]
                if there is None:
                    out = self.scratch[:, :n]
                else:
                    d = (lo - q + a) % there.shape[1]
                    out = there[:, d : d + n]
                np.add(here[:, p : p + n], here[:, r : r + n], out=out)
                self.take(j + 1, out)

    def variance_sums(self, j: int, n: int):
        """The sum over t of (S[t] - 2 S[t-q] + S[t-2q])², q = 2**j, for n
        samples (n >= 2q): with Dq[t] = S[t] - S[t-q] it is
        2 sum(Dq[t]², t >= 2q) + 2 sum(Dq[t]², t <= n - q) - sum(D2q[t]²)."""
        np = self.np
        q = 1 << j
        last = self.values(j, self.count[j] - q, q)  # its last q values
        tail = np.array([np.dot(r, r) for r in last])
        return 2.0 * (self.total[j] - self.early[j]) + 2.0 * (self.total[j] - tail) - self.total[j + 1]


class AllanStream:
    """The overlapping Allan deviation of `width` evenly spaced series at
    every octave cluster size, fed a piece of the series at a time (add), in
    memory bounded by the number of cluster sizes, and the samples' mean and
    spread. Cluster sizes up to EXACT give allan_deviation's figures; larger
    ones the same estimator over OFFSETS offsets a cluster.

    The first piece's mean is taken out of every sample, so that the running
    sum stays small and its rounding far below the noise; a constant taken
    out leaves the differences as they are."""

    def __init__(self, width: int) -> None:
        self.np = np = numpy()
        self.width = width
        self.n = 0
        self.offset = None
        self.total = np.zeros(width)
        self.total_squares = np.zeros(width)
        self.last = np.zeros(width)  # the running sum so far
        self.sums = np.empty((width, 0))  # a piece's running sums, room kept from piece to piece
        self.exact = Clusters(np, width, EXACT)
        self.strided: list[Stride] = []  # cluster size EXACT * 2**(k+1), step 2**(k+1) * EXACT // OFFSETS

    def add(self, samples) -> None:
        """samples: (k, width), any float type; widened a column at a time."""
        np = self.np
        k = len(samples)
        if not k:
            return
        if self.offset is None:
            self.offset = samples.mean(axis=0, dtype=np.float64)
        if self.sums.shape[1] < k:
            self.sums = np.empty((self.width, k))
        s = self.sums[:, :k]
        for j in range(self.width):
            np.subtract(samples[:, j], self.offset[j], out=s[j], dtype=np.float64)
        self.total += s.sum(axis=1)
        self.total_squares += np.einsum("ij,ij->i", s, s)
        for lo in range(0, k, TILE):
            self.exact.add(s[:, lo : lo + TILE])
        np.cumsum(s, axis=1, out=s)
        s += self.last[:, None]
        self.last = s[:, -1].copy()
        first = self.n + 1  # the running sum's index of s[:, 0]
        self.n += k
        # Each stride made before the running sum passes its first value after S[0].
        while EXACT * 2 ** (len(self.strided) + 1) // OFFSETS <= self.n:
            step = EXACT * 2 ** (len(self.strided) + 1) // OFFSETS
            self.strided.append(Stride(np, self.width, step, [OFFSETS]))
        for stride in self.strided:
            stride.add(first, s)

    def held(self) -> int:
        """Bytes of the values held for the deviations: bounded by the cluster sizes."""
        return sum(r.nbytes for r in self.exact.rings) + sum(s.buf.nbytes for s in self.strided)

    def spread(self):
        """Each series' standard deviation."""
        np = self.np
        mean = self.total / self.n
        return np.sqrt(np.maximum(self.total_squares / self.n - mean * mean, 0.0))

    def deviations(self, sizes):
        """(width, len(sizes)): the deviation at each cluster size of sizes
        (powers of two, cluster_sizes(n))."""
        np = self.np
        out = np.empty((self.width, len(sizes)))
        for i, m in enumerate(sizes):
            if m <= EXACT:
                squares, count = self.exact.variance_sums(m.bit_length() - 1, self.n), self.n + 1 - 2 * m
            else:
                stride = self.strided[(m // EXACT).bit_length() - 2]
                squares, count = stride.squares[0], stride.count[0]
            out[:, i] = np.sqrt(squares / (2.0 * count)) / m
        return out


def relative_error(n: int, m: int) -> float:
    """The 1-sigma relative uncertainty of the deviation from n samples in clusters
    of m: 1/sqrt(2(K-1)) for K independent clusters."""
    return 1.0 / math.sqrt(2.0 * max(n // m - 1, 1))


class Fit(NamedTuple):
    coefficients: tuple[float, float, float]  # of 1/tau, 1 and tau in the Allan variance
    errors: tuple[float, float, float]  # their 1-sigma uncertainties


# The Allan variance of white noise of density N is N²/tau, of a bias random walk
# K²tau/3, and of bias instability B a floor of (0.664 B)² near its minimum: linear
# in N², the floor and K², fitted by least squares on the relative misfit.
TERMS = ((0,), (1,), (2,), (0, 1), (0, 2), (1, 2), (0, 1, 2))
FIT_ROUNDS = 4  # the weights follow the model, which follows the weights


def fit_variance(taus, adev, errors) -> Fit:
    """Coefficients (a, b, c) >= 0 of var(tau) = a/tau + b + c tau that best fit
    the measured variances, each point weighted by its uncertainty, which follows
    from the number of clusters. Every subset of the terms is tried and the best
    one without a negative coefficient kept: a term the data do not show is 0."""
    np = numpy()
    if not adev.max() > 0:  # a sensor that reads a constant (or one not fitted)
        return Fit((0.0, 0.0, 0.0), (0.0, 0.0, 0.0))
    var = np.maximum(adev**2, adev.max() ** 2 * 1e-24)
    basis = np.stack([1.0 / taus, np.ones_like(taus), taus], axis=1)
    best = None
    for terms in TERMS:
        a = basis[:, terms]
        model = var
        for _ in range(FIT_ROUNDS):
            w = 1.0 / (2.0 * errors * model)  # the variance's relative error is twice the deviation's
            coef, *_ = np.linalg.lstsq(a * w[:, None], var * w, rcond=None)
            if (coef < 0).any():
                break
            model = np.maximum(a @ coef, var.max() * 1e-12)
        if (coef < 0).any():
            continue
        cost = float((((var - a @ coef) * w) ** 2).sum())
        if best is None or cost < best[0]:
            cov = np.linalg.inv((a * w[:, None]).T @ (a * w[:, None]))
            full, err = [0.0] * 3, [0.0] * 3
            for k, t in enumerate(terms):
                full[t], err[t] = float(coef[k]), float(math.sqrt(cov[k, k]))
            best = (cost, Fit(tuple(full), tuple(err)))
    return best[1]


def parameters(adev, n: int, rate: float) -> dict:
    """The noise parameters of one axis from its deviations over n samples."""
    np = numpy()
    sizes = cluster_sizes(n)
    taus = np.array(sizes, dtype=np.float64) / rate
    errors = np.array([relative_error(n, m) for m in sizes])
    fit = fit_variance(taus, adev, errors)
    (a, _, c), (da, _, dc) = fit.coefficients, fit.errors
    lowest = int(np.argmin(adev))
    return {
        # sqrt(a): the deviation at 1 s of the -1/2 line; a relative error halves under the root.
        "noise_density": math.sqrt(a),
        "noise_density_error": da / (2 * a) if a else None,
        "bias_instability": float(adev[lowest]) / FLICKER_FLOOR,
        "bias_instability_error": float(errors[lowest]),
        "bias_instability_tau": float(taus[lowest]),
        # The curve still falls at the longest cluster time: the floor lies beyond the recording.
        "bias_instability_reached": lowest < len(sizes) - 1,
        "random_walk": math.sqrt(3 * c),
        "random_walk_error": dc / (2 * c) if c else None,
        "tau": taus.tolist(),
        "adev": adev.tolist(),
        "adev_error": errors.tolist(),
    }


def analyse(samples, rate: float) -> dict:
    """Every axis of both sensors, in SI: {sensor: {axis: parameters(...)}};
    samples (n, 6) as read_still reads them."""
    stream = AllanStream(samples.shape[1])
    stream.add(samples)
    return analysed(stream, rate)


def too_few(n: int) -> str | None:
    """What is wrong with n samples for the fit, if anything."""
    if len(cluster_sizes(n)) < MIN_CLUSTER_TIMES:
        return (
            f"{n:,} raw packet{'s are' if n != 1 else ' is'} too few: the fit needs at least {2**MIN_CLUSTER_TIMES + 1}"
        )
    return None


def analysed(stream: AllanStream, rate: float) -> dict:
    """analyse() of the samples stream was fed."""
    n = stream.n
    if too_few(n):
        raise ValueError(too_few(n))
    sizes = cluster_sizes(n)
    adev = stream.deviations(sizes)
    out = {}
    for i, sensor in enumerate(SENSORS):
        out[sensor.name] = {axis: parameters(adev[3 * i + j] * sensor.scale, n, rate) for j, axis in enumerate(AXES)}
    return out


def calibration(result: dict, rate: float) -> dict:
    """The imu.yaml of visual-inertial calibration tools and the ROS driver's
    standard deviations: one figure per sensor, the largest of its axes, so that
    no axis is trusted more than it deserves."""
    worst = {
        s.name: {k: max(result[s.name][a][k] for a in AXES) for k in ("noise_density", "random_walk")} for s in SENSORS
    }
    yaml = {
        "accelerometer_noise_density": worst["accelerometer"]["noise_density"],
        "accelerometer_random_walk": worst["accelerometer"]["random_walk"],
        "gyroscope_noise_density": worst["gyroscope"]["noise_density"],
        "gyroscope_random_walk": worst["gyroscope"]["random_walk"],
        "update_rate": rate,
    }
    # A sample's standard deviation is the density over the bandwidth sqrt(rate).
    ros = {s.ros_name: worst[s.name]["noise_density"] * math.sqrt(rate) for s in SENSORS}
    return {"imu_yaml": yaml, "ros": ros}


# -- output -----------------------------------------------------------------

UNITS = {  # white-noise density, bias instability, rate random walk
    "accelerometer": ("m/s²/√Hz", "m/s²", "m/s³/√Hz"),
    "gyroscope": ("rad/s/√Hz", "rad/s", "rad/s²/√Hz"),
}
YAML_COMMENTS = {
    "accelerometer_noise_density": "m/s^2/sqrt(Hz), white noise",
    "accelerometer_random_walk": "m/s^3/sqrt(Hz), bias random walk",
    "gyroscope_noise_density": "rad/s/sqrt(Hz), white noise",
    "gyroscope_random_walk": "rad/s^2/sqrt(Hz), bias random walk",
    "update_rate": "Hz",
}


def percent(rel: float | None) -> str:
    return "" if rel is None else f" ±{rel * 100:.2g}%"


def duration(seconds: float) -> str:
    return f"{seconds:.1f} s" if seconds < 120 else f"{seconds / 60:.1f} min"


def text_report(report: dict) -> str:
    lines = [
        f"file:     {report['file']}",
        f"samples:  {report['samples']:,} raw packets, {duration(report['seconds'])} at "
        f"{report['rate']:g} Hz ({report['rate_from']})",
    ]
    if report["skipped"]:
        lines.append(f"skipped:  {report['skipped']:,} raw packets without both values, or with NaN or infinity")
    lines.append("")
    head = f"{'':16}{'white-noise density':>29}  {'bias instability':>24}  {'at':>8}  {'rate random walk':>21}"
    lines.append(head)
    for sensor in SENSORS:
        units = UNITS[sensor.name]
        for axis in AXES:
            r = report[sensor.name][axis]
            floor = f"{r['bias_instability']:.3e}{percent(r['bias_instability_error'])} {units[1]}"
            at = f"{r['bias_instability_tau']:.4g} s" + ("" if r["bias_instability_reached"] else "+")
            lines.append(
                f"{sensor.name + ' ' + axis:16}"
                f"{r['noise_density']:>12.3e}{percent(r['noise_density_error']):>7} {units[0]:<9}"
                f"{floor:>24}  {at:>8}"
                f"{r['random_walk']:>12.3e}{percent(r['random_walk_error']):>7} {units[2]}"
            )
    if not all(report[s.name][a]["bias_instability_reached"] for s in SENSORS for a in AXES):
        lines.append("+ the deviation still falls at the longest cluster time: record longer to find its floor")
    lines.append("")
    lines.append("imu.yaml (largest axis):")
    lines += [f"  {k}: {v:.6g}" for k, v in report["imu_yaml"].items()]
    lines.append("ROS driver (per-sample standard deviation, largest axis):")
    lines += [f"  {k}: {v:.6g}" for k, v in report["ros"].items()]
    return "\n".join(lines)


def yaml_text(report: dict) -> str:
    """The imu.yaml a calibration tool reads; flat, so written by hand."""
    lines = [
        f"# Noise of the unit from a still recording: {os.fsencode(report['file']).decode('utf-8', 'replace')}",
        f"# {report['samples']:,} samples at {report['rate']:g} Hz; the largest axis of each sensor.",
        "rostopic: /imu/data_raw",
    ]
    lines += [f"{k}: {v!r}  # {YAML_COMMENTS[k]}" for k, v in report["imu_yaml"].items()]
    return "\n".join(lines) + "\n"


def write_atomically(out, data: bytes, last: bool = True) -> None:
    """data as the file out (through a symlink, its target), on the disk
    before it takes the name; what dead writers of it left removed."""
    from vorn.overwrite import commit, destination, part_path, sweep

    final = destination(out)
    sweep(final)
    tmp = part_path(final)
    try:
        tmp.write_bytes(data)
        commit(tmp, final, last)
    except OSError as e:
        raise with_path(e, out, tmp) from None
    finally:
        if tmp.exists():
            tmp.unlink()


def draw(report: dict):
    """Log-log deviations of both sensors, one panel each, with the fitted -1/2
    and +1/2 lines and the bias-instability floor marked."""
    from matplotlib.figure import Figure

    np = numpy()
    fig = Figure(figsize=(11, 4.6), layout="constrained")
    axes = fig.subplots(1, 2)
    colours = dict(zip(AXES, ("tab:blue", "tab:orange", "tab:green")))
    for ax, sensor in zip(axes, SENSORS):
        units = UNITS[sensor.name]
        lows, highs = [], []
        for axis in AXES:
            r = report[sensor.name][axis]
            tau, adev, err = (np.array(r[k]) for k in ("tau", "adev", "adev_error"))
            colour = colours[axis]
            ax.errorbar(tau, adev, yerr=adev * err, fmt="o-", ms=3, lw=1, color=colour, label=f"{axis}")
            line = np.geomspace(tau[0], tau[-1], 50)
            if r["noise_density"]:
                ax.plot(line, r["noise_density"] / np.sqrt(line), ":", color=colour, lw=1)
            if r["random_walk"]:
                ax.plot(line, r["random_walk"] * np.sqrt(line / 3), "--", color=colour, lw=1)
            floor = r["bias_instability"] * FLICKER_FLOOR
            ax.plot([r["bias_instability_tau"]], [floor], "v", ms=9, mfc="none", color=colour)
            lows.append(adev.min())
            highs.append(adev.max())
        ax.plot([], [], ":", color="grey", label="−½: white noise, N/√τ")
        ax.plot([], [], "--", color="grey", label="+½: random walk, K√(τ/3)")
        ax.plot([], [], "v", color="grey", mfc="none", label="floor: 0.664 × bias instability")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_ylim(min(lows) / 4, max(highs) * 2)  # the fitted lines run on below the data
        ax.grid(which="both", alpha=0.3)
        ax.set_title(sensor.name.capitalize(), loc="left", fontweight="bold", fontsize="medium")
        ax.set_xlabel("cluster time τ [s]")
        ax.set_ylabel(f"Allan deviation [{units[1]}]")
        ax.legend(fontsize="small")
    name = os.fsencode(report["file"]).decode("utf-8", "replace")
    fig.suptitle(f"{name}: {report['samples']:,} samples at {report['rate']:g} Hz", parse_math=False)
    return fig


def noise(path, out=None, yaml_out=None, rate: float | None = None, progress: Progress | None = None) -> dict:
    """The noise report of the still recording at path (text_report() words
    it); with out, its deviations drawn into that image, with yaml_out the
    calibration tools' imu.yaml written there. rate: raw packets per second,
    else from the arrival times; a recording without them needs it
    (UsageError). A recording that is not of a unit at rest is refused
    (ValueError)."""
    numpy()
    if out is not None:
        try:
            from matplotlib.figure import Figure
        except ImportError:
            raise missing("matplotlib", "noise", "the plot", prefer_binary=True) from None
        fmt = Path(out).suffix[1:].lower()
        if fmt not in Figure().canvas.get_supported_filetypes():
            raise ValueError(f"{out}: name the image NAME.png, NAME.svg, NAME.pdf or another format matplotlib writes")
    still = read_still(path, progress, rate)
    if not still.samples:
        raise ValueError(f"{path}: no raw packet carries both scaled acceleration and angular rate")
    if too_few(still.samples):
        raise ValueError(f"{path}: {too_few(still.samples)}")
    hz, source = packet_rate(still, rate)
    try:
        result = analysed(still.deviations, hz)
        check_still(still.deviations.spread(), result, hz)
    except ValueError as e:
        raise ValueError(f"{path}: {e}") from None
    report = {
        "file": os.fsdecode(path),
        "samples": still.samples,
        "skipped": still.skipped,
        "seconds": still.samples / hz,
        "rate": hz,
        "rate_from": source,
        **result,
        **calibration(result, hz),
    }
    if out is not None:
        import io

        buf = io.BytesIO()
        draw(report).savefig(buf, format=Path(out).suffix[1:].lower(), dpi=100)
        write_atomically(out, buf.getvalue(), last=yaml_out is None)
    if yaml_out is not None:
        write_atomically(yaml_out, yaml_text(report).encode())
    return report


def read_noise(path) -> dict:
    """The flat imu.yaml that yaml_text writes: name to number. OSError
    naming it when it cannot be read, ValueError when it lacks a figure."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    out = {}
    for line in lines:
        line = line.split("#", 1)[0].strip()
        if ":" not in line:
            continue
        key, value = (s.strip() for s in line.split(":", 1))
        try:
            out[key] = float(value)
        except ValueError:
            continue  # rostopic and other text
    wanted = ("accelerometer_noise_density", "gyroscope_noise_density", "update_rate")
    absent = [k for k in wanted if k not in out]
    if absent:
        raise ValueError(f"{path}: no {', '.join(absent)} (an imu.yaml as `vorn noise` writes it has them)")
    if not all(out[k] >= 0 and math.isfinite(out[k]) for k in wanted) or out["update_rate"] <= 0:
        raise ValueError(f"{path}: noise densities and update_rate must be finite, the rate above 0")
    return out


def covariances(noise: dict) -> tuple[tuple[float, ...], tuple[float, ...]]:
    """The angular-velocity and linear-acceleration covariance matrices (row
    major, 3 x 3): each axis's per-sample variance, the white-noise density
    squared times the rate it was measured at, on the diagonal."""
    rate = noise["update_rate"]

    def diagonal(v: float) -> tuple[float, ...]:
        return (v, 0.0, 0.0, 0.0, v, 0.0, 0.0, 0.0, v)

    return (
        diagonal(noise["gyroscope_noise_density"] ** 2 * rate),
        diagonal(noise["accelerometer_noise_density"] ** 2 * rate),
    )
