"""A recording and its arrival times are never silently lost, mixed or
mis-timed: damaged, cut and foreign times files, outputs that are inputs,
two recorders on one file, untimed packets and --rate."""

import contextlib
import csv
import json
import os
import re
import signal
import warnings
import zlib

import pytest
from test_serial import Pty
from test_tools import SAMPLE, play, start_recording, vorn

import vorn_model as vm

pytestmark = pytest.mark.child_interpreter


def timed_recording(path, data: bytes, flush_every: int = 40, reads_of: int = 97, start_ns: int = 10**18):
    """data at path with a times file of one read per reads_of bytes, one ms
    apart, a block every flush_every reads; the wall clock of each read."""
    from vorn.times import Stamp, TimesWriter

    path.write_bytes(data)
    walls = []
    w = TimesWriter(path, force=True)
    for i, pos in enumerate(range(0, len(data), reads_of)):
        piece = data[pos : pos + reads_of]
        wall = start_ns + i * 1_000_000
        w.add(piece, Stamp(wall, wall - start_ns + 5_000_000_000))
        walls.append(wall)
        if i % flush_every == flush_every - 1:
            w.flush()
    w.close()
    return walls


def host_times(path):
    from vorn import read

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        cols = read(path)
    return cols, [str(w.message) for w in caught]


@pytest.fixture(scope="module")
def stream():
    return vm.UnitSimulator(seed=31, noise=0.01).stream(0.6)[0]


# -- the times file vouches for itself and for its recording --------------------


def test_damaged_cut_and_foreign_times_give_no_time_they_cannot_vouch_for(tmp_path, stream):
    pytest.importorskip("numpy")
    rec = tmp_path / "run.bin"
    timed_recording(rec, stream)
    good, said = host_times(rec)
    t = good["host_time_ns"]
    assert said == [] and good.untimed is None and (t > 0).all()
    times = (tmp_path / "run.bin.times").read_bytes()
    blocks = [i for i in range(len(times)) if times.startswith(b"VTB2", i)]
    assert len(blocks) > 4

    # One flipped bit: its block's packets lose their time, no other does.
    damaged = bytearray(times)
    damaged[blocks[2] + 50] ^= 0x10
    (tmp_path / "run.bin.times").write_bytes(damaged)
    cols, said = host_times(rec)
    got = cols["host_time_ns"]
    assert cols.num_rows == good.num_rows and ((got == t) | (got == -1)).all()
    assert 0 < (got == -1).sum() < 0.3 * len(got)
    assert len(said) == 1 and "1 damaged stretch(es)" in said[0] and said[0] == cols.untimed
    done = vorn("info", rec)
    assert done.returncode == 0 and done.stderr == f"vorn info: {said[0]}\n"

    # The recording's bytes changed under a block: that block no longer matches.
    changed = bytearray(stream)
    changed[len(stream) // 2] ^= 1
    (tmp_path / "changed.bin").write_bytes(bytes(changed))
    (tmp_path / "changed.bin.times").write_bytes(times)
    cols, said = host_times(tmp_path / "changed.bin")
    assert (cols["host_time_ns"] == -1).any() and "do not match the recording's bytes" in said[0]

    # Times of another recording: none of it is used.
    other = tmp_path / "other.bin"
    timed_recording(other, vm.UnitSimulator(seed=32).stream(0.6)[0])
    os.replace(tmp_path / "other.bin.times", tmp_path / "run.bin.times")
    cols, said = host_times(rec)
    assert "belongs to another recording" in said[0]
    assert (cols["host_time_ns"] == -1).all() and (cols["time_ns"] == -1).all()  # unknown, not gone
    done = vorn("export", rec, "-o", tmp_path / "x.mcap")
    assert done.returncode == 2 and "belongs to another recording" in done.stderr and "--rate" in done.stderr

    # Cut by a crash in the middle of a block: the reads before stand.
    (tmp_path / "run.bin.times").write_bytes(times[: blocks[3] + 20])
    cols, said = host_times(rec)
    got = cols["host_time_ns"]
    untimed = got == -1
    assert untimed[-1] and not untimed[:10].any() and (got[~untimed] == t[~untimed]).all()
    assert "before the recording does, the times file cut short (a crash?)" in said[0]
    (tmp_path / "run.bin.times").write_bytes(times[:5])  # a crash before the first flush
    cols, said = host_times(rec)
    assert "holds no reads" in said[0] and list(cols)[:3] == ["host_time_ns", "time_ns", "packet_type"]
    assert (cols["host_time_ns"] == -1).all() and (cols["time_ns"] == -1).all()
    assert vorn("export", rec, "-o", tmp_path / "x.csv").returncode == 0
    with open(tmp_path / "x.csv", newline="") as f:
        rows = list(csv.reader(f))
    assert rows[0][:3] == ["host_time_ns", "time_ns", "packet_type"] and {r[0] + r[1] for r in rows[1:]} == {""}
    # --start and --end are seconds whatever the times file holds: with no time known, refused.
    done = vorn("export", rec, "-o", tmp_path / "y.csv", "--start", "1", "--end", "2")
    assert (done.returncode, done.stderr.splitlines()[-1]) == (
        2,
        f"vorn export: {rec}: no read has a time its times file vouches for, so no packet can be placed in a "
        "range of seconds (start, end)",
    )
    assert not (tmp_path / "y.csv").exists()
    from vorn import read

    with pytest.raises(ValueError, match="no read has a time"):
        read(rec, start=1, end=2)

    # A recording far larger than its times (sparse here): the times file is
    # read for what it holds, not for all a recording of that size might have.
    from vorn.times import load_times

    (tmp_path / "run.bin.times").write_bytes(times)
    os.truncate(rec, 1 << 36)
    with pytest.warns(UserWarning, match="before the recording does"):
        big = load_times(rec)
    assert big.timed and big.segments[-1][1] < 1 << 36


def test_an_unplug_is_listed_where_the_block_before_it_holds(tmp_path, stream):
    """A gap of `record --reconnect` is no read and no span of arrival: info
    lists it apart, its rates leave it out, and it counts only while the
    block it follows matches the recording."""
    import contextlib

    from vorn.live import recorded_gaps
    from vorn.times import Stamp, TimesWriter

    rec = tmp_path / "run.bin"
    rec.write_bytes(stream)
    half, t0, m0 = len(stream) // 2, 10**18, 5 * 10**9
    reads = range(0, len(stream), 100)
    with contextlib.closing(TimesWriter(rec, force=True)) as w:
        for i, pos in enumerate(reads):
            if pos == half // 100 * 100:  # 3 s away after the last read of the first half
                w.gap(Stamp(t0 + i * 10**6 - 10**6, m0 + i * 10**6 - 10**6), Stamp(t0 + 3 * 10**9, m0 + 3 * 10**9))
            late = 3 * 10**9 if pos >= half // 100 * 100 else 0
            w.add(stream[pos : pos + 100], Stamp(t0 + i * 10**6 + late, m0 + i * 10**6 + late))
    [gap] = recorded_gaps(rec)
    first_half_s = (half // 100 - 1) / 1000
    assert gap.lost_ns == t0 + round(first_half_s * 1e9) and gap.seconds == pytest.approx(3 - first_half_s)
    done = vorn("info", rec, "--json")
    t = json.loads(done.stdout)["arrival_times"]
    assert done.stderr == "" and t["unplugged"] == [{"at_s": first_half_s, "seconds": gap.seconds}]
    assert t["longest_gap_s"] == pytest.approx(0.001) and t["seconds"] > 3
    assert t["timed_seconds"] == pytest.approx((len(reads) - 2) / 1000)  # the rates' span: without the unplug
    # The bytes before it changed: their block no longer vouches for the gap.
    changed = bytearray(stream)
    changed[10] ^= 1
    rec.write_bytes(bytes(changed))
    with pytest.warns(UserWarning, match="do not match"):
        assert recorded_gaps(rec) == []

    # Version 1: two empty reads in a row, the line gone and back.
    ms = 2_000_000  # zigzag of +1 ms
    rec.write_bytes(stream)
    v1_file(
        tmp_path / "run.bin.times", [(half, 2 * t0, 0), (0, ms, 0), (0, 4_000_000_000, 0), (len(stream) - half, ms, 0)]
    )
    assert [g.seconds for g in recorded_gaps(rec)] == [2.0]


def v1_file(path, triples, close: bool = True) -> None:
    """A version 1 times file: the magic line and one zlib stream of varints."""
    out = bytearray()
    for n in (v for triple in triples for v in triple):
        while n > 0x7F:
            out.append((n & 0x7F) | 0x80)
            n >>= 7
        out.append(n)
    z = zlib.compressobj()
    body = z.compress(bytes(out)) + (z.flush() if close else z.flush(zlib.Z_SYNC_FLUSH))
    path.write_bytes(b"vorn arrival times 1\n" + body)


def test_version_one_files_are_read_with_the_checks_they_allow(tmp_path, stream):
    pytest.importorskip("numpy")
    rec = tmp_path / "old.bin"
    rec.write_bytes(stream)
    half = len(stream) // 2
    ms = 2_000_000  # zigzag of +1 ms
    first = 2 * 10**18  # zigzag of a wall clock of 10^18 ns
    v1_file(tmp_path / "old.bin.times", [(half, first, 0), (len(stream) - half, ms, 0)])
    cols, said = host_times(rec)
    assert said == [] and set(cols["host_time_ns"]) == {10**18, 10**18 + 10**6}

    # A read length of 2^62 in a crash-left file: no MemoryError, the read before stands.
    v1_file(tmp_path / "old.bin.times", [(half, first, 0), (1 << 62, ms, 0), (5, ms, 0)], close=False)
    cols, said = host_times(rec)
    assert set(cols["host_time_ns"]) == {10**18, -1} and "damaged" in said[0]
    assert vorn("info", rec).returncode == 0

    # A closed file whose checksum fails: no time in it is trusted.
    v1_file(tmp_path / "old.bin.times", [(half, first, 0), (len(stream) - half, ms, 0)])
    body = bytearray((tmp_path / "old.bin.times").read_bytes())
    body[-2] ^= 0x04  # in the stream's checksum
    (tmp_path / "old.bin.times").write_bytes(bytes(body))
    cols, said = host_times(rec)
    assert (cols["host_time_ns"] == -1).all() and "checksum" in said[0]


# -- what a command reads it never writes -----------------------------------------


@pytest.mark.parametrize(
    "case",
    [
        "export onto itself",
        "export onto its times",
        "export onto its baud",
        "export onto its --noise",
        "export onto a hard link",
        "noise --yaml onto itself",
        "plot onto a symlink",
        "record onto the port",
    ],
)
def test_no_command_writes_over_a_file_it_reads(tmp_path, case):
    rec = tmp_path / "run.bin"
    rec.write_bytes(SAMPLE.read_bytes()[:20000])
    (tmp_path / "run.bin.baud").write_text("921600\n")
    (tmp_path / "imu.yaml").write_text("update_rate: 1000.0\n")
    (tmp_path / "link.bin").hardlink_to(rec)
    (tmp_path / "sym.png").symlink_to(rec)
    args = {
        "export onto itself": ["export", rec, "-o", rec, "--format", "csv"],
        "export onto its times": ["export", rec, "-o", tmp_path / "run.bin.times", "--format", "csv"],
        "export onto its baud": ["export", rec, "-o", tmp_path / "run.bin.baud", "--format", "csv"],
        "export onto its --noise": [
            "export",
            rec,
            "-o",
            tmp_path / "imu.yaml",
            "--format",
            "mcap",
            "--rate",
            "1000",
            "--noise",
            tmp_path / "imu.yaml",
        ],
        "export onto a hard link": ["export", rec, "-o", tmp_path / "link.bin", "--format", "csv"],
        "noise --yaml onto itself": ["noise", rec, "--yaml", rec, "--rate", "1000"],
        "plot onto a symlink": ["plot", rec, "-o", tmp_path / "sym.png"],
        "record onto the port": ["record", tmp_path / "sym.png", "-o", rec, "--force"],
    }[case]
    before = sorted(os.listdir(tmp_path))
    done = vorn(*args)
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.startswith(f"vorn {args[0]}: ") and "which this command reads" in done.stderr
    assert done.stderr.count("\n") == 1
    assert rec.read_bytes() == SAMPLE.read_bytes()[:20000] and sorted(os.listdir(tmp_path)) == before
    assert (tmp_path / "run.bin.baud").read_text() == "921600\n"
    assert (tmp_path / "imu.yaml").read_text() == "update_rate: 1000.0\n"


# -- record: one recorder per file, durable, and a failure when nothing came ---------


def test_a_second_recorder_is_refused_and_silence_fails(tmp_path):
    data = vm.UnitSimulator(seed=6).stream(0.2)[0]
    out = tmp_path / "run.bin"
    pty, other = Pty(), Pty()
    try:
        first = start_recording(pty, out)
        play(pty, data, out)
        for extra in ([], ["--force"]):
            done = vorn("record", other.path, "-o", out, "--baud", "921600", *extra)
            assert done.returncode == 1 and done.stderr == (
                f"vorn record: {out}: being recorded by process {first.pid}; stop it first or record to another file\n"
            )
        first.send_signal(signal.SIGINT)
        assert first.wait(timeout=10) == 0
    finally:
        pty.close_master()
    assert out.read_bytes() == data
    cols, said = host_times(out) if __import__("importlib").util.find_spec("numpy") else (None, [])
    assert said == []

    # A port on which nothing arrives: a failed recording.
    try:
        done = vorn("record", other.path, "-o", tmp_path / "quiet.bin", "--seconds", "0.3")
    finally:
        other.close_master()
    assert done.returncode == 1
    assert done.stderr == (
        f"vorn record: {other.path}: no byte arrived in 0.3 s; `vorn doctor {other.path} --listen 5` says why\n"
    )


# -- untimed packets stay usable --------------------------------------------------


@pytest.mark.filterwarnings("ignore::vorn.UntimedWarning")
def test_untimed_packets_are_kept_and_stamped_where_a_time_is_needed(tmp_path, stream):
    rec = tmp_path / "run.bin"
    walls = timed_recording(rec, stream)
    times = (tmp_path / "run.bin.times").read_bytes()
    cut = times.rfind(b"VTB2", 0, times.rfind(b"VTB2"))  # the last two blocks lost: a crash
    (tmp_path / "run.bin.times").write_bytes(times[:cut])

    # CSV: an empty cell where the time is unknown.
    assert vorn("export", rec, "-o", tmp_path / "run.csv").returncode == 0
    lines = (tmp_path / "run.csv").read_text().splitlines()
    assert lines[0].replace('"', "").startswith("host_time_ns,time_ns,")
    cells = [line.split(",")[0] for line in lines[1:]]
    assert cells[-1] == "" and cells[0] != "" and all(c == "" or int(c) in walls for c in cells)
    # No sample time without a vouched arrival; never after the arrival where there is one.
    sample = [line.split(",")[1] for line in lines[1:]]
    assert [c == "" for c in sample] == [c == "" for c in cells]
    assert all(int(s) <= int(c) for s, c in zip(sample, cells) if c)

    # info: rates of timed packets over the timed span (about 1000 packets/s raw; the unit's own).
    info = json.loads(vorn("info", rec, "--json").stdout)["arrival_times"]
    assert info["untimed_bytes"] > 0 and "before the recording does" in info["untimed"]
    raw_rate = info["packets_per_s"]["raw"]
    span_ms = len(stream) / 97  # one read per 97 bytes, one ms apart
    assert 0.9 < raw_rate / (sum(1 for _ in vm.decode_stream(stream)) / 1.5 / span_ms * 1000) < 1.1

    # MCAP (through the writer's own stamping): every packet stamped, the
    # untimed ones extrapolated on at the recording's rate, in order.
    from vorn.export.mcap import timed
    from vorn.recording import Recording
    from vorn.sample_clock import sample_times

    info = {}
    both = [(t, s) for batch in timed(Recording(rec, rows=True), None, info, sample_times(rec)[0]) for t, s, _ in batch]
    stamped = [t for t, _ in both]
    assert info["packets"] == len(stamped) and 0 < info["timed"] < len(stamped)
    ((first, last, n),) = info["extrapolated"]
    assert n == len(stamped) - info["timed"] and stamped[-n] == first and stamped[-1] == last
    assert stamped == sorted(stamped) and last - walls[-1] < 5_000_000
    # header.stamp: the sample time where known, the extrapolated time on the untimed tail.
    assert all(s < t for t, s in both[: info["timed"]]) and all(s == t for t, s in both[-n:])
    # The export (from columns) lists the same run of extrapolated stamps in its metadata.
    assert vorn("export", rec, "-o", tmp_path / "run.mcap").returncode == 0
    listed = re.search(rb"extrapolated[^\[]*(\[\[[-0-9, ]+\]\])", (tmp_path / "run.mcap").read_bytes())
    ((first_c, last_c, n_c),) = json.loads(listed.group(1))
    assert n_c == n and abs(first_c - first) < 5_000_000 and abs(last_c - last) < 5_000_000

    # --rate: raw packets exactly 1/rate apart, filter packets between the raw packets around them.
    info = {}
    rows = [(t, r[0]) for batch in timed(Recording(rec, rows=True), 1500.0, info) for t, _, r in batch]
    raw = [t for t, kind in rows if kind == "raw"]
    assert raw == [round(k * 1e9 / 1500) for k in range(len(raw))] and info["replaced"]
    for (ta, a), (tb, b), (tc, c) in zip(rows, rows[1:], rows[2:]):
        if (a, b, c) == ("raw", "estimated", "raw"):
            assert ta < tb < tc
    done = vorn("export", rec, "-o", tmp_path / "run.parquet", "--rate", "1000")
    assert done.returncode == 2 and "--rate is for mcap and rosbag2" in done.stderr

    pq = pytest.importorskip("pyarrow.parquet")
    assert vorn("export", rec, "-o", tmp_path / "run.parquet").returncode == 0
    table = pq.read_table(tmp_path / "run.parquet")
    assert table.column("host_time_ns").null_count == table.column("time_ns").null_count == cells.count("") > 0


def still_or_moving(moving: bool, n: int = 3000) -> bytes:
    """Raw packets of a unit at rest (white noise only) or one turned by hand."""
    import random

    rng = random.Random(2)
    out = bytearray()
    for i in range(n):
        swing = 0.5 * __import__("math").sin(i / 300) if moving else 0.0
        accel = (rng.gauss(0, 1e-3), rng.gauss(0, 1e-3), 1 + rng.gauss(0, 1e-3) + swing)
        gyro = (rng.gauss(0, 1e-3) + swing, rng.gauss(0, 1e-3), rng.gauss(0, 1e-3))
        out += vm.packet(vm.SET_RAW, vm.raw_field("scaled_accel", accel) + vm.raw_field("scaled_gyro", gyro))
    return bytes(out)


def test_noise_needs_a_rate_and_a_unit_at_rest(tmp_path):
    pytest.importorskip("numpy")
    rec = tmp_path / "still.bin"
    rec.write_bytes(still_or_moving(False))
    done = vorn("noise", rec)
    assert done.returncode == 2 and done.stderr == (
        "vorn noise: the recording has no arrival times: give --rate HZ, the raw packets per second the unit was "
        "set to send\n"
    )
    assert vorn("noise", rec, "--rate", "1000").returncode == 0
    moving = tmp_path / "moving.bin"
    moving.write_bytes(still_or_moving(True))
    done = vorn("noise", moving, "--rate", "1000", "--yaml", tmp_path / "imu.yaml")
    assert done.returncode == 1 and "not a still recording" in done.stderr and done.stderr.count("\n") == 1
    assert not (tmp_path / "imu.yaml").exists()


def test_a_monotonic_clock_that_runs_back_is_damage_and_a_wall_clock_set_back_is_said(tmp_path, stream):
    np = pytest.importorskip("numpy")
    from vorn import read
    from vorn.times import Stamp, TimesWriter

    rec = tmp_path / "run.bin"
    rec.write_bytes(stream)
    pieces = range(0, len(stream), 97)
    half = len(pieces) // 2

    def times(mono_of, wall_of) -> None:
        with contextlib.closing(TimesWriter(rec, force=True)) as w:
            for i, pos in enumerate(pieces):
                w.add(stream[pos : pos + 97], Stamp(wall_of(i), mono_of(i)))
                if i == half - 1:
                    w.flush()

    ms, t0 = 1_000_000, 10**18
    # Valid checksums, a monotonic clock that runs back within the second block:
    # its reads have no time, the first block's keep theirs.
    times(lambda i: 5 * 10**9 + i * ms * (1 if i < half else -1), lambda i: t0 + i * ms)
    cols, said = host_times(rec)
    timed = cols["host_time_ns"] >= 0
    assert timed[:10].all() and not timed[-10:].any() and "1 damaged stretch(es)" in said[0]
    # ... or from one block to the next.
    times(lambda i: 5 * 10**9 + i * ms - (2000 * ms if i >= half else 0), lambda i: t0 + i * ms)
    cols, said = host_times(rec)
    timed = cols["host_time_ns"] >= 0
    assert timed[:10].all() and not timed[-10:].any() and "1 damaged stretch(es)" in said[0]

    # The wall clock set back 1 s half way: arrivals say so, the sample times
    # still increase, on the monotonic clock; info says the clock stepped.
    times(lambda i: 5 * 10**9 + i * ms, lambda i: t0 + i * ms - (10**9 if i >= half else 0))
    cols, said = host_times(rec)
    assert said == [] and (np.diff(cols["host_time_ns"]) < -900 * ms).sum() == 1
    for kind in (0, 1):
        t = cols["time_ns"][cols["packet_type"] == kind]
        t = t[t >= 0]  # (the last packets' come with the recording's end)
        assert len(t) > 100 and (np.diff(t) > 0).all(), kind
    done = vorn("info", rec)
    at = (half * ms) / 1e9
    assert (
        done.returncode == 0
        and (f"wall clock:        set back 1.000 s at {at:,.3f} s (sample times follow the monotonic clock)")
        in done.stdout.splitlines()
    ), done.stdout
    assert read(rec, start=0.0).num_rows == cols.num_rows


def test_steps_back_are_found_across_the_stretches_looked_at(monkeypatch):
    """The wall clock's steps back, looked for a few reads at a time: one at
    either side of a stretch's edge is found once, with its size."""
    import numpy as np

    import vorn.times as vt

    monos = np.arange(100, dtype=np.int64) * 1_000_000
    walls = monos + 10**18
    want = []
    for at, ns in ((1, 3_000_000), (7, 2_000_000), (8, 5_000_000), (50, 1_000_001), (99, 9_000_000)):
        walls[at:] -= ns
        want.append((at, ns))
    walls[60:] -= 999_999  # within what slewing does: no step
    t = vt.Times("x.bin", 0)
    t.walls, t.monos = (memoryview(a.tobytes()).cast("q") for a in (walls, monos))
    for piece in (7, 8, 1 << 16):
        monkeypatch.setattr(vt, "STEP_PIECE", piece)
        assert t.steps_back() == want, piece
