"""The vorn command, end to end: each subcommand run as a user runs it, its
results checked against the stream model and against MockParser."""

import contextlib
import csv
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import termios
import threading
import time
from pathlib import Path

import pytest

import vorn_model as vm
from test_serial import Pty, as_nobody, pty  # noqa: F401 (a fixture)

ROOT = Path(__file__).resolve().parents[1]
VORN = str(Path(sys.executable).parent / "vorn")
SAMPLE = ROOT / "examples" / "sample.bin"

pytestmark = pytest.mark.child_interpreter  # every case runs the command in a child process


def vorn(*args, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([VORN, *map(str, args)], capture_output=True, text=True, timeout=120, **kwargs)


def raw_records(path) -> list[dict]:
    """Every packet MockParser finds in the file, as plain records."""
    import vorn_rs
    from conftest import wait_ended

    with vorn_rs.MockParser(path) as parser:
        wait_ended(parser)
        packets = parser.get_data_packets()
    return [{k: getattr(p, k) for k in vm.RECORD_KEYS} for p in packets]


def replayed(path) -> list[dict]:
    """Every packet MockParser finds in the file, as comparable records."""
    return [vm.comparable(r) for r in raw_records(path)]


@pytest.fixture(scope="module")
def faulty(tmp_path_factory):
    """A recording with every kind of fault, and the records it holds."""
    unit = vm.UnitSimulator(seed=21, noise=0.02, damage=0.01, false_sync=0.01, foreign=0.01,
                            wrong_length=0.01, startup=0.05)
    data, records = unit.stream(0.6)
    data += vm.packet(0x82, vm.est_field("est_pressure_alt", 1.0))[:-1]  # cut off by the end
    path = tmp_path_factory.mktemp("rec") / "faulty.bin"
    path.write_bytes(data)
    return path, data, records


# -- record -----------------------------------------------------------------


def start_recording(pty, out, *extra, stderr=subprocess.PIPE):
    proc = subprocess.Popen([VORN, "record", pty.path, "-o", str(out), "--baud", "921600", *extra],
                            stdout=subprocess.PIPE, stderr=stderr, text=True)
    give_up = time.monotonic() + 10
    while pty.line()["ospeed"] != 921600:  # the port is set up last
        assert proc.poll() is None and time.monotonic() < give_up, proc.communicate()
        time.sleep(0.01)
    return proc


def play(pty, data: bytes, out: Path) -> None:
    """Writes data into the line and waits until the recording holds all of it
    (it is flushed at least once a second)."""
    view = memoryview(data)
    while view:
        view = view[os.write(pty.master, view[:4096]) :]
    give_up = time.monotonic() + 10
    while (not out.exists() or out.stat().st_size < len(data)) and time.monotonic() < give_up:
        time.sleep(0.02)


@pytest.mark.parametrize("end", ["ctrl-c", "SIGHUP", "time limit", "hang-up"])
def test_record_ends_with_the_file_complete(tmp_path, end):
    data, records = vm.UnitSimulator(seed=4, noise=0.01, damage=0.005, invalid_rate=0.1).stream(0.5)
    out = tmp_path / "run.bin"
    extra = []
    if end == "time limit":
        out.write_bytes(b"an older recording")
        extra = ["--seconds", "2", "--force"]
    pty = Pty()
    try:
        proc = start_recording(pty, out, *extra)
        started = time.monotonic()
        play(pty, data, out)
        if end == "ctrl-c":
            proc.send_signal(signal.SIGINT)
        elif end == "SIGHUP":  # the terminal it ran in was closed
            proc.send_signal(signal.SIGHUP)
        elif end == "hang-up":
            pty.close_master()
        stdout, stderr = proc.communicate(timeout=10)
    finally:
        pty.close_master()
    if end == "time limit":
        assert 1.9 <= time.monotonic() - started < 5.0  # the tool starts its clock a moment before ours
    assert out.read_bytes() == data
    assert replayed(out) == [vm.comparable(r) for r in records]
    raw = sum(r["packet_type"] == "raw" for r in records)
    summary = {"ctrl-c": "stopped by Ctrl-C", "SIGHUP": "stopped by SIGHUP", "time limit": "time limit reached",
               "hang-up": "the port hung up"}[end]
    assert stdout.startswith(f"{out}: {len(data):,} bytes in ")
    assert f"{raw:,} raw and {len(records) - raw:,} estimated packets" in stdout and summary in stdout
    assert len(stdout.splitlines()) == 1
    if end == "hang-up":
        assert stderr.startswith(f"vorn record: {pty.path}: the port hung up (") and stderr.count("\n") == 1
    else:
        assert stderr == ""  # no status line off a terminal
    assert proc.returncode == (1 if end == "hang-up" else 0)


def test_record_status_line_on_a_terminal(tmp_path):
    data = vm.UnitSimulator(seed=5).stream(0.2)[0]
    out = tmp_path / "run.bin"
    pty, terminal = Pty(), Pty()
    slave = os.open(terminal.path, os.O_RDWR | os.O_NOCTTY)
    try:
        proc = start_recording(pty, out, "--seconds", "1.5", stderr=slave)
        play(pty, data, out)
        assert proc.wait(timeout=10) == 0
        os.set_blocking(terminal.master, False)
        shown = os.read(terminal.master, 65536).decode()
    finally:
        os.close(slave)
        pty.close_master()
        terminal.close_master()
    assert f"{len(data):,} bytes  raw " in shown and "checksum failures 0" in shown
    assert shown.endswith("\r\x1b[K")  # cleared before the summary


def test_record_refuses_a_port_it_cannot_open(tmp_path):
    done = vorn("record", tmp_path / "no-such-tty", "-o", tmp_path / "x.bin")
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == f"vorn record: {tmp_path / 'no-such-tty'}: No such file or directory\n"
    assert not (tmp_path / "x.bin").exists()

    plain = tmp_path / "plain.bin"
    plain.write_bytes(b"\x75\x65")
    done = vorn("record", plain, "-o", tmp_path / "x.bin")
    assert done.stderr == f"vorn record: {plain}: not a serial port (not a terminal device)\n"
    assert not (tmp_path / "x.bin").exists()

    # An existing recording is kept, and refused before the port is touched.
    done = vorn("record", tmp_path / "no-such-tty", "-o", plain)
    assert (done.returncode, done.stderr) == (1, f"vorn record: {plain}: exists; --force replaces it\n")
    assert plain.read_bytes() == b"\x75\x65"


# -- info -------------------------------------------------------------------


def test_info_counts_match_the_model(faulty):
    path, data, records = faulty
    want = vm.stream_counts(data)
    assert want["bad_checksums"] and want["wrong_length"] and want["invalid"] and len(want["sets"]) > 2
    done = vorn("info", path, "--json")
    assert done.returncode == 0, done.stderr
    got = json.loads(done.stdout)
    assert got["bytes"] == len(data)
    assert got["packets"] == {"raw": want["sets"].pop(0x80), "estimated": want["sets"].pop(0x82)}
    assert got["packets"]["raw"] + got["packets"]["estimated"] == len(records)
    assert got["other_sets"] == {f"0x{s:02X}": n for s, n in sorted(want["sets"].items())}
    assert got["noise_bytes"] == want["noise"]
    assert got["checksum_failures"] == want["bad_checksums"]
    # Flagged and wrong-length fields both go by the record's field names.
    field_of = {f.invalid_name: f.name for f in vm.FIELDS}
    assert got["invalid_fields"] == {field_of[name]: n for name, n in want["invalid"].items()}
    assert got["wrong_length"] == want["wrong_length"]

    text = vorn("info", path).stdout
    assert f"checksum failures: {want['bad_checksums']:,}\n" in text
    assert f"noise:             {want['noise']:,} bytes" in text


@pytest.mark.parametrize("command", ["info", "export", "plot", "noise"])
def test_clear_errors_and_exit_codes(tmp_path, command):
    if command == "noise":
        pytest.importorskip("numpy")
    out = {"info": [], "export": ["-o", tmp_path / "out.csv"], "plot": ["-o", tmp_path / "out.png"],
           "noise": ["-o", tmp_path / "out.png"]}[command]
    missing = tmp_path / "missing.bin"
    done = vorn(command, missing, *out)
    assert (done.returncode, done.stderr) == (1, f"vorn {command}: {missing}: No such file or directory\n")

    noise = tmp_path / "noise.bin"
    noise.write_bytes(bytes(range(0x76, 0xFF)) * 3)
    done = vorn(command, noise, *out)
    assert done.returncode == 1
    assert done.stderr.endswith(f"vorn {command}: {noise}: no packets in 411 bytes\n")
    assert not list(tmp_path.glob("out.*"))  # nothing half-made left behind

    done = vorn(command, SAMPLE, *out, "--no-such-option")
    assert done.returncode == 2 and "usage: vorn" in done.stderr


@pytest.mark.parametrize("args, complaint", [
    (["record", "/dev/null", "-o", "x.bin", "--baud", "0"], "argument --baud: must be between 1 and 4294967295: '0'"),
    (["record", "/dev/null", "-o", "x.bin", "--seconds", "abc"], "argument --seconds: not a number: 'abc'"),
    (["plot", SAMPLE, "-o", "x.png", "--rate", "inf"], "argument --rate: must be a finite number above 0: 'inf'"),
    (["export", SAMPLE, "-o", ".csv"],
     "argument -o/--output: name it NAME.csv, NAME.parquet, NAME.npz or NAME.mcap, or give --format: '.csv'"),
])
def test_usage_errors_name_the_argument(tmp_path, args, complaint):
    done = vorn(*args, cwd=tmp_path)
    assert done.returncode == 2 and done.stderr.endswith(f": error: {complaint}\n")
    assert not list(tmp_path.iterdir())


def test_version_and_help():
    done = vorn("--version")
    assert (done.returncode, done.stdout) == (0, "vorn 0.2.0\n")
    for command in ("record", "info", "export", "plot", "noise"):
        text = vorn(command, "--help").stdout
        assert re.search(r"^  (FILE|PORT) +\S", text, re.M), text
        # Before 3.13 argparse writes "-o FILE, --output FILE" and may put the help on the next line.
        assert command == "info" or re.search(r"^  -o(?: \S+)?, --output \S+\s+\w", text, re.M), text


# -- export -----------------------------------------------------------------


def flat_records(records: list[dict]) -> list[tuple]:
    """Each record as (packet_type, the names it flags, each value component's
    single-precision bits or None where absent or NaN), in column order."""
    from vorn.recording import VALUE_FIELDS, value_columns

    out = []
    for rec in records:
        parts = []
        for field in VALUE_FIELDS:
            v = rec[field]
            for x in [None] * len(value_columns(field)) if v is None else v if isinstance(v, list) else [v]:
                parts.append(None if x is None or x != x else struct.pack(">f", x))
        names = frozenset((rec["invalid_fields"] or "").split(",")) - {""}
        out.append((rec["packet_type"], names, tuple(parts)))
    return out


def flat_columns(table) -> list[tuple]:
    """The rows of a table of columns (by name: arrays, or lists of CSV texts)
    as flat_records gives them."""
    from vorn._native import FIELDS
    from vorn.recording import FLAG_FIELDS, KINDS, VALUE_FIELDS, flag_column, value_columns

    def value(x):
        x = None if x == "" else float(x)
        return None if x is None or x != x else struct.pack(">f", x)

    def flagged(x):
        return x in ("true", True, 1)

    kinds = [k if isinstance(k, str) else KINDS[k] for k in list(table["packet_type"])]
    components = [c for f in VALUE_FIELDS for c in value_columns(f)]
    columns = [list(table[c]) if c in table else [None] * len(kinds) for c in components]
    flags = {FIELDS[f]["invalid_name"]: list(table[flag_column(f)]) for f in FLAG_FIELDS if flag_column(f) in table}
    out = []
    for i, kind in enumerate(kinds):
        names = frozenset(name for name, col in flags.items() if flagged(col[i]))
        out.append((kind, names, tuple(None if col[i] is None else value(col[i]) for col in columns)))
    return out


def test_export_tables_hold_the_packets_mockparser_delivers(faulty, tmp_path):
    path, data, records = faulty
    want = flat_records(raw_records(path))
    out = tmp_path / "faulty.csv"
    assert vorn("export", path, "-o", out).returncode == 0
    with open(out, newline="") as f:
        header, *rows = list(csv.reader(f))
    from vorn.recording import column_names

    assert tuple(header) == column_names() and len(header) == 42  # no arrival times beside this recording
    assert flat_columns(dict(zip(header, zip(*rows)))) == want
    # Without pyarrow the same table comes from rows.
    code = ("import sys; sys.modules['pyarrow'] = None; from vorn.cli import main; "
            f"sys.exit(main(['export', {str(path)!r}, '-o', {str(tmp_path / 'rows.csv')!r}]))")
    assert subprocess.run([sys.executable, "-c", code], timeout=120).returncode == 0
    with open(tmp_path / "rows.csv", newline="") as f:
        header, *rows = list(csv.reader(f))
    assert flat_columns(dict(zip(header, zip(*rows)))) == want

    # The other formats and vorn.read hold the same table.
    np = pytest.importorskip("numpy")
    from vorn import read

    assert flat_columns(read(path)) == want
    assert vorn("export", path, "-o", tmp_path / "faulty.npz").returncode == 0
    with np.load(tmp_path / "faulty.npz") as arrays:
        assert tuple(arrays.files) == column_names()
        assert flat_columns(arrays) == want
        size = sum(arrays[name].nbytes for name in arrays.files)
    assert (tmp_path / "faulty.npz").stat().st_size <= 1.2 * size
    pq = pytest.importorskip("pyarrow.parquet")
    assert vorn("export", path, "-o", tmp_path / "faulty.parquet").returncode == 0
    table = pq.read_table(tmp_path / "faulty.parquet")
    assert table.column_names == list(column_names()) and table.num_rows == len(rows)
    assert flat_columns({name: table.column(name).to_pylist() for name in table.column_names}) == want
    assert table.schema.field("scaled_accel_x").metadata[b"unit"] == b"g"
    assert b"scalar" in table.schema.field("est_orient_quaternion_w").metadata[b"description"]
    assert read(path).to_arrow().column("packet_type").to_pylist() == [r[0] for r in want]


def test_columns_carry_the_time_of_the_read_that_completed_each_packet(faulty, tmp_path):
    """Reads of every size, some within a packet, and a times file that ends
    before the recording: each packet has the time the one-read-at-a-time
    row path gives it (-1 after the times end), and a range or a kind picks
    exactly the packets it names."""
    np = pytest.importorskip("numpy")
    import random

    from vorn import read
    from vorn.recording import Recording, Stamp, TimesWriter

    path, data, records = faulty
    rec = tmp_path / "timed.bin"
    rec.write_bytes(data)
    rng = random.Random(4)
    writer = TimesWriter(rec, force=True)
    pos, wall, mono = 0, 1_700_000_000 * 10**9, 5 * 10**9
    while pos < 0.8 * len(data):
        n = rng.choice([0, 1, 7, 60, 500, 3000])
        pos += n
        wall, mono = wall + 10**6, mono + 10**6 + rng.randrange(1000)
        writer.add(n, Stamp(wall, mono))
    writer.close()
    want = [-1 if row[0] is None else row[0] for rows in Recording(rec, rows=True).batches("x") for row in rows]
    full = read(rec)
    assert full["host_time_ns"].tolist() == want and want[-1] == -1
    assert flat_columns(full) == flat_records(raw_records(path))

    first = 1_700_000_000 * 10**9 + 10**6  # the first read's wall clock; the monotonic one drifts apart slowly
    part = read(rec, kind="raw", start=0.1, end=0.2)
    t = full["host_time_ns"]
    approx = (t >= first + 0.1e9 - 1e7) & (t < first + 0.2e9 + 1e7) & (full["packet_type"] == 0)
    assert 0 < part.num_rows <= approx.sum() and set(part["host_time_ns"]) <= set(t[approx])
    assert "est_pressure_alt" not in part and "est_pressure_alt_invalid" not in part

    untimed = read(path, kind="estimated", start=10, end=400)
    whole = read(path)
    pick = (np.arange(whole.num_rows) >= 10) & (np.arange(whole.num_rows) < 400) & (whole["packet_type"] == 1)
    for name in untimed:
        np.testing.assert_array_equal(untimed[name], whole[name][pick])
    assert vorn("export", path, "-o", tmp_path / "x.csv", "--start", "1.5").stderr == (
        "vorn export: the recording has no arrival times: --start and --end count packets, and 1.5 is not a whole "
        "number\n")
    assert vorn("export", path, "-o", tmp_path / "x.mcap", "--kind", "raw").returncode == 1


@pytest.mark.parametrize("fmt, sig", [("npz", signal.SIGTERM), ("csv", signal.SIGHUP)])
def test_export_stopped_by_a_signal_leaves_nothing_behind(tmp_path, fmt, sig):
    if fmt == "npz":
        pytest.importorskip("numpy")
    # A pipe held open: the export waits in the middle of its work until the
    # signal has come (to any of its threads), then reads on to the end.
    long = tmp_path / "long.bin"
    os.mkfifo(long)
    made = tmp_path / "out"
    made.mkdir()
    proc = subprocess.Popen([VORN, "export", long, "-o", made / f"long.{fmt}"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    with open(long, "wb") as feed:
        feed.write(SAMPLE.read_bytes())
        give_up = time.monotonic() + 10
        while not any(made.iterdir()):  # the writer has begun
            assert proc.poll() is None and time.monotonic() < give_up, proc.communicate()
            time.sleep(0.01)
        proc.send_signal(sig)
        time.sleep(0.2)
    stdout, stderr = proc.communicate(timeout=30)
    assert (proc.returncode, stdout, stderr) == (1, "", f"vorn export: stopped by {sig.name}\n")
    assert not list(made.iterdir())


@pytest.mark.parametrize("fmt", ["npz", "parquet"])
def test_export_on_a_full_disk_says_so_in_one_line(tmp_path, fmt):
    pytest.importorskip({"npz": "numpy", "parquet": "pyarrow"}[fmt])
    if not shutil.which("unshare"):
        pytest.skip("needs unshare for a small file system of its own")
    full = tmp_path / "full"
    full.mkdir()
    out = full / f"sample.{fmt}"
    # A 100 kB file system, mounted in a private namespace; what the export left
    # there is listed on stdout before the namespace goes.
    script = 'mount -t tmpfs -o size=100k tmpfs "$0" || exit 99; "$@"; status=$?; ls -A "$0"; exit $status'
    done = subprocess.run(["unshare", "--user", "--map-root-user", "--mount", "sh", "-c", script, str(full), VORN,
                           "export", str(SAMPLE), "-o", str(out)], capture_output=True, text=True, timeout=120)
    if done.returncode == 99 or done.stderr.startswith("unshare:"):
        pytest.skip(f"no private mounts here: {done.stderr.strip()}")
    assert (done.returncode, done.stdout, done.stderr) == (1, "", f"vorn export: {out}: No space left on device\n")


# -- plot -------------------------------------------------------------------


def test_plot_draws_a_png(tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "sample.png"
    done = vorn("plot", SAMPLE, "-o", out, "--rate", "1500")
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
    from matplotlib.image import imread

    height, width, _ = imread(out).shape
    assert width == 1000 and height > 600  # four panels of a 10-inch figure at 100 dpi
    done = vorn("plot", SAMPLE, "-o", out, "--kind", "raw", "--start", "4000")
    assert (done.returncode, done.stderr) == (0, "")
    assert imread(out).shape[0] < height  # acceleration, angular rate and pressure


def test_plot_refuses_what_it_cannot_draw(tmp_path):
    pytest.importorskip("matplotlib")
    missing = tmp_path / "missing.bin"
    for name in ("noext", "sample.bogus", ".png"):  # checked before the recording is read
        done = vorn("plot", missing, "-o", tmp_path / name)
        assert done.returncode == 1
        assert done.stderr.startswith(f"vorn plot: {tmp_path / name}: name the image NAME.png, NAME.svg, ")

    empty = tmp_path / "empty.bin"
    empty.write_bytes(bytes.fromhex("75 65 80 00 5a 03"))  # one good raw packet without fields
    done = vorn("plot", empty, "-o", tmp_path / "empty.png")
    assert (done.returncode, done.stderr) == (1, f"vorn plot: {empty}: nothing to plot: its packet carries no "
                                                 "acceleration, angular rate, orientation, pressure or altitude\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["empty.bin"]


def test_plot_takes_any_file_name(tmp_path):
    pytest.importorskip("matplotlib")
    data = SAMPLE.read_bytes()[:20000]
    for name in ("run$\\x$.bin", "bad\udcff.bin"):  # mathtext, and bytes that are not UTF-8
        path = os.fsencode(tmp_path / name)
        Path(os.fsdecode(path)).write_bytes(data)
        done = subprocess.run([VORN.encode(), b"plot", path, b"-o", path + b".png"], capture_output=True, timeout=120)
        assert (done.returncode, done.stderr) == (0, b""), name
        assert os.path.exists(path + b".png")


def test_plot_shades_the_share_flagged_at_any_length():
    """1 in 12 filter packets flagged, evenly spread: about 1/12 of the panel is
    shaded, in a short recording and in one 300 times as long."""
    from vorn.plot import Flags, bucket_of

    for total in (1200, 360_000):
        flags = Flags("est_pressure_alt")
        for x in range(0, total, 3):  # two raw packets, then a filter packet
            flags.add(bucket_of(x + 2, total), "estPressureAlt" if x % 36 == 0 else "estAngularRate")
        shares = flags.shares()
        assert abs(sum(shares) / len(shares) - 1 / 12) < 0.01, total


def test_plot_without_matplotlib_says_how_to_install(tmp_path):
    code = ("import sys; sys.modules['matplotlib'] = None; from vorn.cli import main; "
            f"sys.exit(main(['plot', {str(SAMPLE)!r}, '-o', {str(tmp_path / 'x.png')!r}]))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 1
    assert done.stderr == "vorn plot: plot needs matplotlib: pip install --prefer-binary 'vorn_rs[plot]'\n"


# -- arrival times, MCAP and rosbag2 -------------------------------------------


def test_record_keeps_arrival_times_on_a_known_schedule(tmp_path):
    """Packets written into the line at known moments come out of every tool
    stamped at their arrival (a few milliseconds after the write on an idle
    machine; the bounds here only tell an arrival from a flush or a guess)."""
    from vorn.recording import COLUMNS, times_path

    unit = vm.UnitSimulator(seed=8)
    bursts = [unit.stream(0.01)[0] for _ in range(12)]
    out = tmp_path / "run.bin"
    pty = Pty()
    sent = []  # (wall ns, packets completed) per burst
    try:
        proc = start_recording(pty, out)
        for i, burst in enumerate(bursts):
            time.sleep(0.05 if i != 6 else 0.3)  # one long gap for info to find
            sent.append((time.time_ns(), len(vm.decode_stream(burst))))
            os.write(pty.master, burst)
        give_up = time.monotonic() + 10
        while out.stat().st_size < sum(map(len, bursts)) and time.monotonic() < give_up:
            time.sleep(0.02)
        proc.send_signal(signal.SIGINT)
        proc.communicate(timeout=10)
    finally:
        pty.close_master()
    assert times_path(out).stat().st_size < 0.05 * out.stat().st_size + 64
    want = [t for t, n in sent for _ in range(n)]
    assert vorn("export", out, "-o", tmp_path / "run.csv").returncode == 0
    with open(tmp_path / "run.csv", newline="") as f:
        got = [int(r[COLUMNS.index("host_time_ns")]) for r in list(csv.reader(f))[1:]]
    assert len(got) == len(want)
    lags = sorted(g - w for g, w in zip(got, want))  # ns from the write to the read's stamp
    # Well inside the 50 ms between bursts, even when a loaded machine wakes
    # the reader late; the tool's flush comes once a second.
    assert 0 <= lags[0] and lags[len(lags) // 2] < 40e6 and lags[-1] < 250e6
    info = json.loads(vorn("info", out, "--json").stdout)["arrival_times"]
    assert 0.2 <= info["longest_gap_s"] < 0.6
    assert abs(info["seconds"] - (sent[-1][0] - sent[0][0]) / 1e9) < 0.25


# Reads an MCAP file or rosbag2 directory with rosbags (its own reader and CDR
# code) and prints every message as [topic, log time, stamp ns, frame, values].
READER = """
import json, sys
from pathlib import Path
from rosbags.highlevel import AnyReader

def flat(m):
    if isinstance(m, (float, int, str)):
        return [m]
    if isinstance(m, list):
        return m
    if hasattr(m, "tolist"):
        return m.tolist()
    return [v for k in m.__dataclass_fields__ if k not in ("header", "__msgtype__") for v in flat(getattr(m, k))]

out = []
with AnyReader([Path(sys.argv[1])]) as reader:
    for conn, t, raw in reader.messages():
        m = reader.deserialize(raw, conn.msgtype)
        out.append([conn.topic, t, m.header.stamp.sec * 10**9 + m.header.stamp.nanosec, m.header.frame_id, flat(m)])
print(json.dumps(out))
"""


def expected_messages(records: list[dict], times: list[int], prefix: str) -> list[list]:
    """What each packet must become, in the order written, from the values of
    the records (ROS units, x y z w quaternions, -1 covariance flags)."""
    g = 9.80665
    zero9, flag9 = [0.0] * 9, [-1.0] + [0.0] * 8

    def xyzw(q):
        return [q[1], q[2], q[3], q[0]]

    out = []
    for r, t in zip(records, times):
        msgs = []
        if r["packet_type"] == "raw":
            acc, gyro = r["scaled_accel"], r["scaled_gyro"]
            msgs.append(("imu/data_raw", [0.0, 0.0, 0.0, 1.0] + flag9 + (gyro or [0.0] * 3) + (zero9 if gyro else flag9)
                         + ([v * g for v in acc] if acc else [0.0] * 3) + (zero9 if acc else flag9)))
            if r["scaled_ambient_pressure"] is not None:
                msgs.append(("imu/pressure", [r["scaled_ambient_pressure"], 0.0]))
            for topic, name, scale in (("imu/delta_theta", "delta_theta", 1.0), ("imu/delta_vel", "delta_vel", g)):
                if r[name]:
                    msgs.append((topic, [v * scale for v in r[name]]))
        else:
            bad = (r["invalid_fields"] or "").split(",")
            q, rate, acc = r["est_orient_quaternion"], r["est_angular_rate"], r["est_compensated_accel"]
            msgs.append(("imu/data", (xyzw(q) if q else [0.0, 0.0, 0.0, 1.0])
                         + (zero9 if q and "estOrientQuaternion" not in bad else flag9)
                         + (rate or [0.0] * 3) + (zero9 if rate and "estAngularRate" not in bad else flag9)
                         + (acc or [0.0] * 3) + (zero9 if acc and "estCompensatedAccel" not in bad else flag9)))
            for topic, name in (("imu/linear_accel", "est_linear_accel"), ("imu/gravity", "est_gravity_vector")):
                if r[name]:
                    msgs.append((topic, list(r[name])))
            if r["est_attitude_uncert_quaternion"]:
                msgs.append(("imu/attitude_uncertainty", xyzw(r["est_attitude_uncert_quaternion"])))
            if r["est_pressure_alt"] is not None:
                msgs.append(("imu/pressure_altitude", [r["est_pressure_alt"]]))
            msgs.append(("imu/invalid_fields", [n for n in bad if n]))
        out += [[f"{prefix}/{topic}", t, t, values] for topic, values in msgs]
    return out


def test_mcap_and_rosbag2_read_back_by_an_independent_reader(faulty, tmp_path):
    """Every message, value and time of both exports, as rosbags reads them,
    against MockParser's records and the arrival times of the reads."""
    pytest.importorskip("rosbags")
    from vorn.recording import Stamp, TimesWriter

    path, data, _ = faulty
    rec = tmp_path / "faulty.bin"
    rec.write_bytes(data)
    # Reads of uneven sizes at uneven moments; each packet takes the time of
    # the read that completed it, as the stream model frames the reads.
    rng = __import__("random").Random(5)
    writer, decoder = TimesWriter(rec, force=False), vm.StreamDecoder()
    times, pos, wall = [], 0, 1_765_000_000_123_456_789
    while pos < len(data):
        piece = data[pos : pos + rng.randint(1, 400)]
        pos += len(piece)
        wall += rng.randint(0, 3_000_000)
        writer.add(len(piece), Stamp(wall, wall // 7))
        times += [wall] * len(decoder.feed(piece))
    writer.close()
    import vorn_rs
    from conftest import wait_ended

    with vorn_rs.MockParser(rec) as parser:
        wait_ended(parser)
        records = [{k: getattr(p, k) for k in vm.RECORD_KEYS} for p in parser.get_data_packets()]
    assert len(records) == len(times)

    for out, extra, prefix in ((tmp_path / "faulty.mcap", [], ""),
                               (tmp_path / "bag", ["--format", "rosbag2", "--topic-prefix", "left/"], "/left")):
        done = vorn("export", rec, "-o", out, "--frame-id", "imu_left", *extra)
        assert done.returncode == 0, done.stderr
        read = subprocess.run([sys.executable, "-c", READER, out], capture_output=True, text=True, timeout=120)
        assert read.returncode == 0, read.stderr
        got = json.loads(read.stdout)
        assert {m.pop(3) for m in got} == {"imu_left"}
        assert out.suffix == ".mcap" or sorted(os.listdir(out)) == ["bag_0.mcap", "metadata.yaml"]
        want = expected_messages(records, times, prefix)
        key = lambda m: (m[1], m[0])  # noqa: E731  (the reader orders by time; ties may come in any order)
        assert sorted(got, key=key) == sorted(want, key=key)


def test_mcap_without_zstd_or_arrival_times_says_what_to_do(faulty, tmp_path):
    path, _, _ = faulty
    code = ("import sys; sys.modules['backports'] = sys.modules['compression'] = None; from vorn.cli import main; "
            f"sys.exit(main(['export', {str(path)!r}, '-o', {str(tmp_path / 'x.mcap')!r}, '--rate', '1']))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stderr) == (1, "vorn export: MCAP export needs zstd: pip install 'vorn_rs[mcap]'\n")
    done = vorn("export", path, "-o", tmp_path / "x.mcap")
    assert done.returncode == 1 and "no arrival times" in done.stderr and done.stderr.count("\n") == 1
    assert not list(tmp_path.iterdir())
    assert vorn("export", path, "-o", tmp_path / "x.mcap", "--rate", "1000").returncode == 0
    assert b"synthetic: counted at 1000 packets/s" in (tmp_path / "x.mcap").read_bytes()


# -- doctor -------------------------------------------------------------------


def judged(rc: int, out: str) -> tuple[int, dict, dict]:
    """Exit status, the report, and its problems by topic."""
    report = json.loads(out)
    return rc, report, {f["topic"]: f for f in report["findings"] if f["level"] == "problem"}


def doctor_json(*args) -> tuple[int, dict, dict]:
    done = vorn("doctor", *args, "--json")
    return judged(done.returncode, done.stdout)


def listen(pty, feed, baud: int = 921600, seconds: float = 1.5) -> tuple[int, dict, dict]:
    """vorn doctor --listen on the pty, fed by `feed(master)` once the port is
    raw (SerialParser's open; the baud check before it leaves the line cooked)."""
    proc = subprocess.Popen([VORN, "doctor", pty.path, "--baud", str(baud), "--listen", str(seconds), "--json"],
                            stdout=subprocess.PIPE, text=True)
    give_up = time.monotonic() + 10
    while pty.line()["lflag"] & termios.ICANON:
        assert proc.poll() is None and time.monotonic() < give_up, proc.communicate()
        time.sleep(0.01)
    feed(pty.master)
    out, _ = proc.communicate(timeout=60)
    return judged(proc.returncode, out)


def write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view[:4096]) :]


def at_wrong_rate(data: bytes, sent: int, heard: int) -> bytes:
    """What a UART at `heard` baud receives of 8N1 bytes sent at `sent` baud:
    a start edge, 8 bits sampled at their middles, and the byte dropped when
    its stop bit is not there (a framing error; SerialParser sets IGNPAR)."""
    bits = []
    for b in data:
        bits += [0, *((b >> i) & 1 for i in range(8)), 1]
    step, out, t = sent / heard, bytearray(), 0.0  # the sender's bits per bit heard
    while t < len(bits):
        if bits[int(t)]:
            t += step / 2
            continue
        sample = [bits[int(p)] if p < len(bits) else 1 for p in (t + (i + 0.5) * step for i in range(1, 10))]
        if sample[8]:
            out.append(sum(bit << i for i, bit in enumerate(sample[:8])))
        t += 9.5 * step
    return bytes(out)


@pytest.mark.serial_ioctls
@pytest.mark.parametrize("case", ["silence", "wrong rate", "checksums", "gap"])
def test_doctor_listen_verdicts(pty, case):
    unit = vm.UnitSimulator(seed=8, damage=0.05 if case == "checksums" else 0.0)
    data, records = unit.stream(0.5)

    def feed(master):
        if case == "wrong rate":  # the unit at 921600, the doctor at its default 115200
            write_all(master, at_wrong_rate(data, 921600, 115200))
        elif case == "gap":
            write_all(master, data[: len(data) // 2])
            time.sleep(0.6)
            write_all(master, data[len(data) // 2 :])
        elif case == "checksums":
            write_all(master, data)

    rc, report, problems = listen(pty, feed, baud=115200 if case == "wrong rate" else 921600)
    heard = report["listen"]
    assert rc == 1 and not report["ok"]
    if case == "silence":
        assert set(problems) == {"silent"} and heard["bytes"] == 0
    elif case == "wrong rate":
        assert set(problems) == {"noise"} and heard["bytes"] > 0
        assert "921600" in problems["noise"]["fix"] and "115200" in problems["noise"]["text"]
    elif case == "checksums":
        failed = vm.stream_counts(data)["bad_checksums"]
        assert failed > 0 and heard["checksum_failures"] == failed
        assert "checksums" in problems and f"{failed} packets failed" in problems["checksums"]["text"]
        assert heard["packets_per_s"]["raw"] * heard["seconds"] == pytest.approx(
            sum(r["packet_type"] == "raw" for r in records), abs=1)
    else:
        assert heard["bytes"] == len(data) and heard["checksum_failures"] == 0 and heard["noise_bytes"] == 0
        assert 550 <= heard["largest_gap_ms"] < 1500  # the reads around the pause land a little inside it
        assert "gaps" in problems and "the unit paused" in problems["gaps"]["text"]


@pytest.mark.serial_ioctls
def test_doctor_listen_to_a_stream_already_flowing(pty):
    """The unit streams before the doctor opens the port: what the line held
    then (cooked, mangled) and the packet cut by the open are not judged."""
    data = vm.UnitSimulator(seed=9).stream(1.0)[0]
    stop = threading.Event()

    def unit():  # about the unit's pace, taking what the line echoes back while it is cooked
        os.set_blocking(pty.master, False)
        view = memoryview(data)
        while not stop.is_set():  # until the doctor is done, however long it takes to start
            with contextlib.suppress(OSError):  # EIO while nobody has the port open
                os.read(pty.master, 65536)
            with contextlib.suppress(BlockingIOError):
                view = view[os.write(pty.master, view[: len(data) // 100]) :] or memoryview(data)
            time.sleep(0.01)

    writer = threading.Thread(target=unit, daemon=True)
    writer.start()
    try:
        time.sleep(0.1)  # under way before the doctor opens the port
        rc, report, problems = doctor_json(pty.path, "--baud", "921600", "--listen", "1")
    finally:
        stop.set()
        writer.join()
    heard = report["listen"]
    assert (rc, problems) == (0, {}), problems
    assert heard["bytes"] > 0 and heard["checksum_failures"] == 0 and heard["noise_bytes"] == 0


@pytest.mark.serial_ioctls
def test_doctor_names_the_holder_its_claim_and_the_speed(pty):
    rc, report, problems = doctor_json(pty.path, "--baud", "921600")
    assert rc == 0 and report["ok"] and report["baud"] == {"requested": 921600, "input": 921600, "output": 921600,
                                                          "taken": True}
    assert pty.line()["ospeed"] != 921600  # the settings it found are put back
    holder = subprocess.Popen([sys.executable, "-c", "import sys, vorn_rs; p = vorn_rs.SerialParser(sys.argv[1]); "
                               "print(flush=True); sys.stdin.read()", pty.path],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        holder.stdout.readline()
        rc, report, problems = doctor_json(pty.path)
    finally:
        holder.communicate("")
    assert rc == 1 and set(problems) == {"held", "exclusive", "lock"}
    assert f"pid {holder.pid} (" in problems["held"]["text"] and f"kill {holder.pid}" in problems["held"]["fix"]
    assert "baud" not in report  # not tried under the program that uses it


def test_doctor_on_what_is_no_port(tmp_path):
    rc, report, problems = doctor_json(tmp_path / "ttyUSB9")
    assert rc == 1 and set(problems) == {"exists"}
    text = vorn("doctor", tmp_path / "ttyUSB9").stdout.splitlines()
    assert text[0].startswith(f"PROBLEM exists: {tmp_path / 'ttyUSB9'} does not exist") and text[1:] == ["1 problem found"]
    (tmp_path / "file").write_text("")
    rc, report, problems = doctor_json(tmp_path / "file")
    assert rc == 1 and set(problems) == {"terminal"}
    rc, report, problems = doctor_json()  # the machine's ports, whatever they are
    assert rc == (0 if report["ok"] else 1) and isinstance(report["ports"], list)
    assert vorn("doctor", "--listen", "1").returncode == 2


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to make a port of its own another user's")
def test_doctor_tells_who_may_not_use_the_port_which_group(pty):
    import grp

    from vorn.doctor import doctor

    dialout = grp.getgrnam("dialout").gr_gid
    os.chown(pty.path, 0, dialout)  # the test's own pty, as udev leaves a USB adapter
    os.chmod(pty.path, 0o660)
    rc, report, problems = judged(*as_nobody(lambda: doctor(pty.path, 115200, None, True)))
    assert rc == 1 and set(problems) == {"access"}
    problem = problems["access"]
    assert "group dialout may use it" in problem["text"] and problem["fix"].startswith("sudo usermod -aG dialout $USER")

    # Allowed in, but not allowed to see root's descriptors: any of root's
    # programs may use the port, so its line is not touched.
    os.chmod(pty.path, 0o666)
    rc, report, problems = judged(*as_nobody(lambda: doctor(pty.path, 921600, 1.0, True)))
    notes = {f["topic"]: f["text"] for f in report["findings"] if f["level"] == "note"}
    assert rc == 0 and "baud" not in report and "listen" not in report
    assert "could not be looked at" in notes["held"] and "921600 baud not tried" in notes["baud"]
    assert not any(f["topic"] == "held" and f["level"] == "ok" for f in report["findings"])
