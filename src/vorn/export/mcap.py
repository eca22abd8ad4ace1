"""MCAP in ROS 2's profile: CDR messages of sensor_msgs and geometry_msgs types
(and two small types of our own), their definitions stored in the file,
zstd-compressed chunks, and the summary and indexes viewers seek with.

The messages are vorn.ros_messages' channels, packed natively from columns
(_native.McapWriter, on the same packer as every other ROS output). header.stamp
is the unit's sample time recovered from the arrivals (vorn.sample_clock), or
with stamps="arrival" the arrival; the record's log and publish times are
always the arrival, as a bag recorder writes them. Here: which time each
message carries, and the chunks' compression, in threads of their own.
"""

from __future__ import annotations

import json
import os
import threading
from collections import deque
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from types import SimpleNamespace

from vorn import _native, ros_messages
from vorn.errors import missing
from vorn.fields import FIELDS, FLAG_FIELDS, KINDS, ROW_COLUMNS, VALUE_FIELDS, flag_column, value_columns
from vorn.rate_clock import RateClock, no_arrival_times
from vorn.times import Estimate

CHUNK_SIZE = 1 << 20  # uncompressed bytes of messages per chunk
# zstd's first fast level: as small as level 1 on these messages (doubles, mostly
# zeros and repeats) and faster, and the chunks are most of an export's work.
# Tuned to them: matches of 5 bytes rather than 6 find the shorter repeats
# between messages, a smaller hash table stays in the cache, and a chunk is its
# own window (128 KiB of it): faster and smaller than the plain level on these
# chunks (docs/performance.md).
ZSTD_LEVEL = -1
ZSTD_TUNING = {"min_match": 5, "hash_log": 12, "window_log": 17}
COMPRESSORS = 2  # threads that compress chunks while the next are packed, at most
PACK_SLICE = 4096  # packets packed at a time (about 2.5 chunks)
PENDING = 16  # chunks at most in the compressors' hands (or done, to be written)


def zstd_compress():
    try:
        from compression import zstd  # 3.14 and later
    except ImportError:
        try:
            from backports import zstd
        except ImportError:
            raise missing("zstd", "mcap", "MCAP export") from None
    options = {zstd.CompressionParameter.compression_level: ZSTD_LEVEL}
    options.update({getattr(zstd.CompressionParameter, k): v for k, v in ZSTD_TUNING.items()})
    # A compressor (its context and tables) per thread, kept from chunk to chunk.
    mine = threading.local()

    def compress(data) -> bytes:
        c = getattr(mine, "compressor", None)
        if c is None:
            c = mine.compressor = zstd.ZstdCompressor(options=options)
        return c.compress(data, mode=zstd.ZstdCompressor.FLUSH_FRAME)

    return compress


class Chunk:
    """A closed chunk's records on their way to a compressor, or compressed
    by the packing thread instead (done: what squeeze gives)."""

    __slots__ = ("done", "future", "records")

    def __init__(self, records, future) -> None:
        self.records, self.future, self.done = records, future, None

    def ready(self) -> bool:
        return self.done is not None or self.future.done()

    def take_over(self) -> bool:
        """Whether the compressors gave this chunk up, not having begun it."""
        return self.done is None and self.future.cancel()

    def result(self) -> tuple:
        return self.done if self.done is not None else self.future.result()


def compressors() -> int:
    """Threads to compress chunks in: one for each core this process may use
    beside the one that packs them (and frames the recording), at least one
    and at most COMPRESSORS. On two cores a second compressor only takes
    turns with the packing, which the whole export waits for."""
    try:
        cores = len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        cores = os.cpu_count() or 1
    return max(1, min(COMPRESSORS, cores - 1))


COL = {name: i for i, name in enumerate(ROW_COLUMNS)}


def timed(rec, rate: float | None, info: dict, sampled=None):
    """Batches of (time, stamp, row): each packet at its arrival time, or where
    its read has no vouched time at the time extrapolated for it (runs of
    those in info["extrapolated"]: first and last ns and how many); with rate,
    every packet from it instead: raw packet k at k/rate s, filter packets
    between the raw packets around them (they interleave in time). The stamp
    is the packet's sample time from `sampled` (every packet's, in stream
    order) where it has one, else the same time. info records how."""
    clock = None if rate is None else RateClock(rate)
    n = known = 0
    runs: list[list[int]] = []
    last_guess = False
    kind = COL["packet_type"]
    for stamp, rows in rec.reads():
        if not rows:
            continue
        out = []
        guess = type(stamp) is Estimate
        if clock is not None:
            times = clock.times([KINDS.index(row[kind]) for row in rows])
        elif stamp is None:
            raise no_arrival_times(rec.path)
        else:
            times = [stamp.wall_ns] * len(rows)
            if not guess:
                known += len(rows)
            elif last_guess:
                runs[-1][1:] = [stamp.wall_ns, runs[-1][2] + len(rows)]
            else:
                runs.append([stamp.wall_ns, stamp.wall_ns, len(rows)])
        last_guess = guess and clock is None
        for t, row in zip(times, rows):
            out.append((t, t if sampled is None or n >= len(sampled) or sampled[n] < 0 else int(sampled[n]), row))
            n += 1
        yield out
    info.update(packets=n, timed=known, extrapolated=runs, replaced=clock is not None and rec.times.timed)


def time_note(info: dict, rate: float | None) -> str:
    if rate is not None:
        return (
            f"synthetic: raw packets counted at {rate:g}/s from 0 (--rate), filter packets between the raw "
            "packets around them; "
            + (
                "the recording's arrival times are replaced"
                if info["replaced"]
                else "the recording has no arrival times"
            )
        )
    arrival = "arrival: the host's wall clock (ns since the Unix epoch) at the read that completed the packet"
    if info["timed"] == info["packets"]:
        return arrival
    return (
        f"{arrival}; {info['packets'] - info['timed']:,} packets whose reads have no vouched time are stamped "
        "by extrapolation from the recording's rate over its timed reads (their log times: 'extrapolated')"
    )


def columns(rec, rate: float | None, stamps: str, baud: int | None, info: dict):
    """(kinds, values, flags, stamp, log_time) of the recording a piece at a
    time, as the native writer takes them: packet kinds (uint8), every value
    component and every flag in record order (float32, NaN where absent;
    uint8), header.stamp and the log time of each packet (int64 ns), the
    times as timed() gives them. Needs numpy; info as timed() fills it."""
    import numpy as np

    every_value = [c for f in VALUE_FIELDS for c in value_columns(f)]
    flags = [flag_column(f) for f in FLAG_FIELDS]
    clock = None if rate is None else RateClock(rate)
    n = known = 0
    runs: list[list[int]] = []
    last_guess = False
    # The sample clock only where header.stamp takes its times.
    for chunk in rec.columns(baud=baud, extrapolated=True, sample=clock is None and stamps != "arrival"):
        kinds = chunk["packet_type"]
        m = len(kinds)
        if clock is not None:
            times = stamp = clock.times(kinds)
        else:
            times = np.ascontiguousarray(chunk["host_time_ns"], np.int64)
            guess = chunk["extrapolated"]
            known += m - int(guess.sum())
            if guess.any():
                edges = np.flatnonzero(np.diff(np.concatenate(([False], guess, [False])).astype(np.int8)))
                for first, stop in zip(edges[::2].tolist(), edges[1::2].tolist()):
                    if first == 0 and last_guess:
                        runs[-1][1:] = [int(times[stop - 1]), runs[-1][2] + stop]
                    else:
                        runs.append([int(times[first]), int(times[stop - 1]), stop - first])
            last_guess = bool(guess[-1])
            sample = chunk["time_ns"]
            stamp = times if stamps == "arrival" else np.where(sample >= 0, sample, times)
        n += m
        yield (
            kinds,
            [np.ascontiguousarray(chunk[c]) for c in every_value],
            [np.ascontiguousarray(chunk[c]).view(np.uint8) for c in flags],
            np.ascontiguousarray(stamp, np.int64),
            times,
        )
    info.update(packets=n, timed=known, extrapolated=runs, replaced=clock is not None and rec.times.timed)


def columns_from_rows(rec, rate: float | None, info: dict):
    """columns() without numpy (header.stamp the log time): the same arrays
    from the rows timed() gives."""
    from array import array

    nan = float("nan")
    every_value = [COL[c] for f in VALUE_FIELDS for c in value_columns(f)]
    flag_names = [FIELDS[f]["invalid_name"] for f in FLAG_FIELDS]
    kind_at, invalid_at = COL["packet_type"], COL["invalid_fields"]
    for batch in timed(rec, rate, info):
        kinds, times = array("B"), array("q")
        values = [array("f") for _ in every_value]
        flags = [array("B") for _ in flag_names]
        for t, _, row in batch:
            kinds.append(KINDS.index(row[kind_at]))
            times.append(t)
            for column, i in zip(values, every_value):
                v = row[i]
                column.append(nan if v is None else v)
            invalid = row[invalid_at]
            named = invalid.split(",") if invalid else ()
            for column, name in zip(flags, flag_names):
                column.append(name in named)
        yield kinds, values, flags, times, times


def sliced(piece, cut: slice) -> tuple:
    """Packets cut of a piece as columns() gives it."""
    kinds, values, flags, stamp, log_time = piece
    return kinds[cut], [v[cut] for v in values], [f[cut] for f in flags], stamp[cut], log_time[cut]


def write_mcap(
    rec,
    f,
    *,
    frame_id: str,
    prefix: str,
    rate: float | None,
    stamps: str = "sample",
    frame: str = "rep103",
    noise=None,
    baud: int | None = None,
):
    """The recording's packets as one MCAP file into f; what was written (its
    counts by channel id and its span of log times) and the channels by id,
    for a rosbag2 directory. stamps: what header.stamp holds
    (ros_messages.STAMPS); frame: ros_messages.FRAMES; noise: an imu.yaml of
    `vorn noise` for the raw sensor's covariances; baud: the line's, for the
    sample times where the recording does not say."""
    compress = zstd_compress()
    if rate is None and not rec.times.timed:
        raise no_arrival_times(rec.path)
    ros_messages.check_choices(frame, stamps)
    ros_messages.check_frame_id(frame_id)
    from vorn.noise import covariances, read_noise

    cov = None if noise is None else covariances(read_noise(noise))
    try:
        import numpy  # noqa: F401
    except ImportError:
        has_numpy = False
    else:
        has_numpy = True
    # --rate replaces the recording's times: its stamps are the synthetic ones too.
    sampled = stamps == "sample" and rate is None
    if sampled and not has_numpy:
        raise missing("numpy", "mcap", 'header.stamp at the sample time (stamps "sample")')
    from vorn import __version__

    w = _native.McapWriter(
        "ros2", f"vorn {__version__}", frame_id, CHUNK_SIZE, body_frame=frame == "rep103", covariances=cov
    )
    topics = {}
    sids: dict[str, int] = {}
    for ch in ros_messages.CHANNELS:
        if ch.type not in sids:
            sids[ch.type] = len(sids) + 1
            w.schema(sids[ch.type], ch.type, "ros2msg", ch.schema)
        topics[ch.id] = (f"{prefix}/{ch.topic}", ch.type)
        w.channel(ch.id, sids[ch.type], topics[ch.id][0], "cdr", {"offered_qos_profiles": ros_messages.BAG_QOS})
    f.write(w.take())
    info: dict = {}
    pieces = columns(rec, rate, stamps, baud, info) if has_numpy else columns_from_rows(rec, rate, info)
    # Chunks are compressed (and their CRCs worked out) in threads of their own
    # while the next are packed: a piece is packed a slice at a time, and the
    # chunks compressed so far written between slices, so that packing never
    # waits for the compressors unless PENDING chunks are in their hands.
    with ThreadPoolExecutor(compressors()) as pool:
        waiting: deque[Chunk] = deque()

        def squeeze(records) -> tuple:
            return compress(records), w.crc32(records)

        def send(closed) -> None:
            waiting.extend(Chunk(records, pool.submit(squeeze, records)) for records in closed)

        def write_chunks(keep: int) -> None:
            while waiting and (len(waiting) > keep or waiting[0].ready()):
                if not waiting[0].ready():
                    # Rather than wait for the compressors, compress the newest
                    # chunk they have not begun.
                    spare = next((c for c in reversed(waiting) if c.take_over()), None)
                    if spare is not None:
                        spare.done = squeeze(spare.records)
                        continue
                w.write_chunk("zstd", *waiting.popleft().result())
                f.write(w.take())

        for piece in pieces:
            n = len(piece[0])
            for at in range(0, n, PACK_SLICE):
                try:
                    closed = w.pack(*(piece if n <= PACK_SLICE else sliced(piece, slice(at, at + PACK_SLICE))))
                except ValueError as e:
                    raise ValueError(f"{rec.path}: {e}") from None
                send(closed)
                write_chunks(PENDING)
        send(w.close_chunk())
        write_chunks(0)
    rec.require_packets()
    stamped = (
        "the unit's sample time, recovered from the arrival times by the lower envelope of arrival "
        "against sample number (vorn.sample_clock), on the same clock"
        if sampled
        else "the same as log_time"
    )
    if sampled and info["extrapolated"]:
        stamped += "; a packet without a vouched arrival: the same as log_time, extrapolated"
    meta = {
        "recording": Path(rec.path).name,
        "time": time_note(info, rate),
        "log_time": "the time above",
        "header.stamp": stamped,
        "frame_id": frame_id,
        "frame": ros_messages.frame_text(frame),
        "covariance": (
            "imu/data_raw (the raw sensor only): angular velocity and linear acceleration "
            + (
                f"from {Path(noise).name} (vorn noise), white-noise density squared times its update_rate on "
                "the diagonal"
                if noise is not None
                else "unknown (0)"
            )
            + "; imu/data (the filter's): orientation from the attitude uncertainty, angular velocity and linear "
            "acceleration unknown (0)"
        ),
    }
    if info["extrapolated"]:
        meta["extrapolated"] = json.dumps(info["extrapolated"])  # [first ns, last ns, packets] per run
    meta.update({topics[ch.id][0]: ch.text for ch in ros_messages.CHANNELS})
    w.metadata("vorn", meta)
    w.finish()
    f.write(w.take())
    return SimpleNamespace(counts=w.counts(), span=w.span()), topics


def write(rec, out, *, frame_id: str, prefix: str, rate: float | None, **options) -> None:
    with open(out, "wb") as f:
        write_mcap(rec, f, frame_id=frame_id, prefix=prefix, rate=rate, **options)
