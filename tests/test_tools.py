"""The vorn command, end to end: each subcommand run as a user runs it, its
results checked against the stream model and against MockParser."""

import contextlib
import csv
import errno
import functools
import importlib.util
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
from types import SimpleNamespace

import pytest
from privileges import as_nobody
from test_serial import Pty, pty  # noqa: F401 (a fixture)

import vorn_model as vm

ROOT = Path(__file__).resolve().parents[1]
VORN = str(Path(sys.executable).parent / "vorn")
SAMPLE = ROOT / "examples" / "sample.bin"

pytestmark = pytest.mark.child_interpreter  # every case runs the command in a child process


def vorn(*args, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([VORN, *map(str, args)], capture_output=True, text=True, timeout=120, **kwargs)


def raw_records(path) -> list[dict]:
    """Every packet MockParser finds in the file, as plain records."""
    from conftest import wait_ended

    import vorn_rs

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
    unit = vm.UnitSimulator(
        seed=21, noise=0.02, damage=0.01, false_sync=0.01, foreign=0.01, wrong_length=0.01, startup=0.05
    )
    data, records = unit.stream(0.6)
    data += vm.packet(0x82, vm.est_field("est_pressure_alt", 1.0))[:-1]  # cut off by the end
    path = tmp_path_factory.mktemp("rec") / "faulty.bin"
    path.write_bytes(data)
    return path, data, records


# -- record -----------------------------------------------------------------


def start_recording(pty, out, *extra, stderr=subprocess.PIPE):
    proc = subprocess.Popen(
        [VORN, "record", pty.path, "-o", str(out), "--baud", "921600", *extra],
        stdout=subprocess.PIPE,
        stderr=stderr,
        text=True,
    )
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
    summary = {
        "ctrl-c": "stopped by Ctrl-C",
        "SIGHUP": "stopped by SIGHUP",
        "time limit": "time limit reached",
        "hang-up": "the port hung up",
    }[end]
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
    # A device that is not a terminal is refused alike by every opener of ports.
    done = vorn("record", "/dev/null", "-o", tmp_path / "x.bin")
    assert done.stderr == "vorn record: /dev/null: not a serial port (not a terminal device)\n"
    if importlib.util.find_spec("numpy"):
        import vorn as package

        with pytest.raises(OSError, match=re.escape("not a serial port (not a terminal device)")) as refused:
            package.open("/dev/null")
        assert refused.value.errno == errno.ENOTTY and refused.value.filename == "/dev/null"

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
    out = {
        "info": [],
        "export": ["-o", tmp_path / "out.csv"],
        "plot": ["-o", tmp_path / "out.png"],
        "noise": ["-o", tmp_path / "out.png"],
    }[command]
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


@pytest.mark.parametrize(
    "args, complaint",
    [
        (
            ["record", "/dev/null", "-o", "x.bin", "--baud", "0"],
            "argument --baud: must be between 1 and 4294967295: '0'",
        ),
        (["record", "/dev/null", "-o", "x.bin", "--seconds", "abc"], "argument --seconds: not a number: 'abc'"),
        (["plot", SAMPLE, "-o", "x.png", "--rate", "inf"], "argument --rate: must be a finite number above 0: 'inf'"),
        (
            ["export", SAMPLE, "-o", ".csv"],
            "argument -o/--output: name it NAME.csv, NAME.parquet, NAME.npz or NAME.mcap, or give --format: '.csv'",
        ),
    ],
)
def test_usage_errors_name_the_argument(tmp_path, args, complaint):
    done = vorn(*args, cwd=tmp_path)
    assert done.returncode == 2 and done.stderr.endswith(f": error: {complaint}\n")
    assert not list(tmp_path.iterdir())


def test_version_and_help():
    import vorn as package

    done = vorn("--version")
    assert (done.returncode, done.stdout) == (0, f"vorn {package.__version__}\n") and package.__version__ == "0.2.0"
    for command in ("record", "info", "export", "plot", "noise"):
        text = vorn(command, "--help").stdout
        assert re.search(r"^  (FILE|PORT) +\S", text, re.M), text
        # Before 3.13 argparse writes "-o FILE, --output FILE" and may put the help on the next line.
        assert command == "info" or re.search(r"^  -o(?: \S+)?, --output \S+\s+\w", text, re.M), text


def test_a_command_loads_only_the_modules_it_uses():
    """`vorn info` on a recording without times loads neither the live
    stream nor NumPy; the package's names are there when asked for."""
    code = (
        "import sys, contextlib, io\n"
        "from vorn.cli import main\n"
        "with contextlib.redirect_stdout(io.StringIO()):\n"
        f"    assert main(['info', {str(SAMPLE)!r}]) == 0\n"
        "print(' '.join(sorted(m for m in sys.modules if m.split('.')[0] in ('vorn', 'numpy'))))\n"
        "import vorn\n"
        "print(vorn.open.__module__, vorn.read.__module__, sorted(set(vorn.__all__) - set(dir(vorn))))\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    loaded, names = done.stdout.splitlines()
    assert "numpy" not in loaded.split() and "vorn.live" not in loaded.split() and "vorn.columns" not in loaded.split()
    assert names == "vorn.live vorn.columns []"


# -- export -----------------------------------------------------------------


def flat_records(records: list[dict]) -> list[tuple]:
    """Each record as (packet_type, the names it flags, each value component's
    single-precision bits or None where absent or NaN), in column order."""
    from vorn.fields import VALUE_FIELDS, value_columns

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
    from vorn.fields import FLAG_FIELDS, KINDS, VALUE_FIELDS, flag_column, value_columns

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
    from vorn.fields import column_names

    assert tuple(header) == column_names() and len(header) == 42  # no arrival times beside this recording
    assert flat_columns(dict(zip(header, zip(*rows)))) == want
    # Without pyarrow the same table comes from rows.
    code = (
        "import sys; sys.modules['pyarrow'] = None; from vorn.cli import main; "
        f"sys.exit(main(['export', {str(path)!r}, '-o', {str(tmp_path / 'rows.csv')!r}]))"
    )
    assert subprocess.run([sys.executable, "-c", code], timeout=120).returncode == 0
    with open(tmp_path / "rows.csv", newline="") as f:
        header, *rows = list(csv.reader(f))
    assert flat_columns(dict(zip(header, zip(*rows)))) == want

    # The other formats and vorn.read hold the same table.
    np = pytest.importorskip("numpy")
    from vorn import read

    assert flat_columns(read(path)) == want
    # Read in many small pieces, where a stretch of noise leaves the packets framed so far
    # a poor guess at the whole recording's: too few, then too many.
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr("vorn.recording.COLUMN_CHUNK", 4099)
        for name, parts in (("late", (bytes(200_000), data)), ("early", (data, bytes(400_000)))):
            (tmp_path / name).write_bytes(b"".join(parts))
            assert flat_columns(read(tmp_path / name)) == flat_records(raw_records(tmp_path / name)), name
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
    # Row groups gathered from many pieces hold the same table, in order.
    from vorn.export import export

    with pytest.MonkeyPatch.context() as mp:
        mp.setattr("vorn.export.parquet.ROW_GROUP", len(want) // 6)
        mp.setattr("vorn.recording.COLUMN_CHUNK", 4099)
        export(path, tmp_path / "groups.parquet", "parquet")
    assert pq.ParquetFile(tmp_path / "groups.parquet").metadata.num_row_groups > 3
    table = pq.read_table(tmp_path / "groups.parquet")
    assert flat_columns({name: table.column(name).to_pylist() for name in table.column_names}) == want


@pytest.mark.filterwarnings("ignore::vorn.UntimedWarning")  # its times end early on purpose
def test_columns_carry_the_time_of_the_read_that_completed_each_packet(faulty, tmp_path):
    """Reads of every size, some within a packet, and a times file that ends
    before the recording: each packet has the time the one-read-at-a-time
    row path gives it (-1 after the times end), and a range or a kind picks
    exactly the packets it names."""
    np = pytest.importorskip("numpy")
    import random

    from vorn import read
    from vorn.recording import Recording
    from vorn.times import Stamp, TimesWriter

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
    want = [-1 if row[0] is None else row[0] for rows in Recording(rec, rows=True).batches() for row in rows]
    full = read(rec)
    assert full["host_time_ns"].tolist() == want and want[-1] == -1
    assert flat_columns(full) == flat_records(raw_records(path))

    first = 1_700_000_000 * 10**9 + 10**6  # the first read's wall clock; the monotonic one drifts apart slowly
    part = read(rec, kind="raw", start=0.1, end=0.2)
    t = full["host_time_ns"]
    approx = (t >= first + 0.1e9 - 1e7) & (t < first + 0.2e9 + 1e7) & (full["packet_type"] == 0)
    got = part["host_time_ns"]
    assert 0 < (got >= 0).sum() <= approx.sum() and set(got[got >= 0]) <= set(t[approx])
    # The untimed tail (about 20 ms on at the times' rate) is kept by the range, without a time.
    assert (got == -1).sum() == ((t == -1) & (full["packet_type"] == 0)).sum() > 0
    assert "est_pressure_alt" not in part and "est_pressure_alt_invalid" not in part

    untimed = read(path, kind="estimated", start=10, end=400)
    whole = read(path)
    pick = (np.arange(whole.num_rows) >= 10) & (np.arange(whole.num_rows) < 400) & (whole["packet_type"] == 1)
    for name in untimed:
        np.testing.assert_array_equal(untimed[name], whole[name][pick])
    assert vorn("export", path, "-o", tmp_path / "x.csv", "--start", "1.5").stderr == (
        "vorn export: the recording has no arrival times: --start and --end count packets, and 1.5 is not a whole "
        "number\n"
    )
    assert vorn("export", path, "-o", tmp_path / "x.mcap", "--kind", "raw").returncode == 1


def test_the_library_raises_standard_exceptions_and_checks_its_arguments(tmp_path, monkeypatch):
    """What a program using vorn catches: OSError with the path and errno,
    ValueError and TypeError for arguments, at the call rather than later,
    and an ImportError naming the extra."""
    import errno

    import vorn as package
    from vorn.recording import Recording

    pytest.importorskip("numpy")
    missing = tmp_path / "missing.bin"
    for call in (package.read, package.chunks):
        with pytest.raises(FileNotFoundError) as caught:
            call(missing)  # chunks too, before the first piece is asked for
        assert (caught.value.errno, caught.value.filename) == (errno.ENOENT, str(missing))
        for kwargs, error, text in [
            (dict(start=20, end=10), ValueError, "start (20) is after end (10)"),
            (dict(start=float("nan")), ValueError, "start must be a finite number"),
            (dict(end=float("inf")), ValueError, "end must be a finite number"),
            (dict(start="10"), TypeError, "start must be a number or None, not str"),
            (dict(end=True), TypeError, "end must be a number or None, not bool"),
            (dict(kind=1), TypeError, "kind must be a str or None, not int"),
            (dict(kind="filter"), ValueError, "kind must be one of 'raw', 'estimated' or None, not 'filter'"),
            (dict(baud="921600"), TypeError, "baud must be an int or None, not str"),
            (dict(baud=0), ValueError, "baud must be above 0, not 0"),
        ]:
            with pytest.raises(error, match=re.escape(text)):
                call(SAMPLE, **kwargs)
    assert package.read(SAMPLE, start=5, end=5).num_rows == 0  # an empty range is a range
    from vorn.export import export

    # The library names its arguments; the command its options, for the same refusal.
    for fmt, kwargs, text in [
        ("csv", dict(frame="rep103"), "stamps, frame and noise are for mcap and rosbag2"),
        ("csv", dict(rate=100.0), "rate is for mcap and rosbag2"),
        ("mcap", dict(kind="raw"), "kind, start and end are for csv, parquet, npz; mcap holds every packet"),
        ("mcap", dict(stamps="header"), "stamps must be one of sample, arrival"),
        ("rosbag2", dict(frame="enu"), "frame must be one of unit, rep103"),
    ]:
        with pytest.raises(ValueError, match=re.escape(text)) as refused:
            export(SAMPLE, tmp_path / f"x.{fmt}", fmt, **kwargs)
        assert "--" not in str(refused.value)
    assert not list(tmp_path.iterdir())  # refused before anything was written
    done = vorn("export", SAMPLE, "-o", tmp_path / "x.csv", "--frame", "rep103")
    assert done.returncode == 2 and done.stderr.startswith("vorn export: --stamps, --frame and --noise are for mcap")
    done = vorn("export", SAMPLE, "-o", tmp_path / "x.mcap", "--kind", "raw")
    assert done.returncode == 1 and done.stderr.startswith("vorn export: --kind, --start and --end are for csv")
    with pytest.raises(IsADirectoryError):
        Recording(tmp_path)
    noise = tmp_path / "noise.bin"
    noise.write_bytes(b"\x00" * 100)
    rec = Recording(noise)
    assert not list(rec.columns())
    with pytest.raises(ValueError, match="no packets in 100 bytes"):
        rec.require_packets()
    monkeypatch.setitem(sys.modules, "numpy", None)
    with pytest.raises(ImportError, match=re.escape("pip install 'vorn_rs[columns]'")) as caught:
        package.read(SAMPLE)
    assert caught.value.name == "numpy"


def test_chunks_are_columns_and_arrow_tables_carry_units(tmp_path):
    np = pytest.importorskip("numpy")
    import vorn as package

    seen = []
    whole = package.read(SAMPLE, progress=lambda done, total: seen.append((done, total)))
    assert seen[-1] == (SAMPLE.stat().st_size,) * 2 and seen == sorted(seen)
    pieces = list(package.chunks(SAMPLE, kind="estimated"))
    assert len(pieces) > 1 and all(isinstance(p, package.Columns) for p in pieces)
    estimated = package.read(SAMPLE, kind="estimated")
    for name in estimated:
        np.testing.assert_array_equal(np.concatenate([p[name] for p in pieces]), estimated[name])
    pa = pytest.importorskip("pyarrow")
    table = whole.to_arrow()
    assert isinstance(table, pa.Table) and table.num_rows == whole.num_rows
    meta = {f.name: f.metadata for f in table.schema}
    assert meta["scaled_accel_x"][b"unit"] == b"g" and meta["est_compensated_accel_z"][b"unit"] == "m/s²".encode()
    assert meta["est_orient_quaternion_w"][b"description"].startswith(b"Estimated orientation quaternion, component w")
    assert (
        meta["est_pressure_alt_invalid"][b"unit"] == b""
        and b"estPressureAlt" in meta["est_pressure_alt_invalid"][b"description"]
    )
    assert pieces[0].to_arrow().schema.field("est_pressure_alt").metadata[b"unit"] == b"m"
    pytest.importorskip("pandas")
    assert pieces[0].to_pandas()["packet_type"].unique().tolist() == ["estimated"]


def test_quaternion_parts_are_w_x_y_z_everywhere():
    """The field table names the parts; columns, rows, plot labels and the
    MCAP exporter's reordering for ROS (x, y, z, w) follow it."""
    from vorn._native import COLUMNS, FIELDS
    from vorn.fields import QUATERNION_PARTS, UNITS, value_columns
    from vorn.plot import Series

    quaternions = [f for f, info in FIELDS.items() if len(info["columns"]) == 4]
    assert QUATERNION_PARTS == ("w", "x", "y", "z") and len(quaternions) == 2
    for field in quaternions:
        assert FIELDS[field]["components"] == QUATERNION_PARTS
        names = tuple(f"{field}_{part}" for part in QUATERNION_PARTS)
        assert value_columns(field) == names and set(names) <= set(COLUMNS)
        assert Series(field).labels == list(QUATERNION_PARTS)
    # The packer's messages: x, y, z, w, in the unit's frame as sent.
    msgs = one_packet(
        "estimated", "unit", est_orient_quaternion=(0.5, 0.25, 0.125, 2.0), est_attitude_uncert_quaternion=(1, 2, 3, 4)
    )
    assert imu_of(msgs[1][0])[0:4] == (0.25, 0.125, 2.0, 0.5)
    assert struct.unpack_from("<4d", msgs[7][0], len(msgs[7][0]) - 32) == (2.0, 3.0, 4.0, 1.0)
    for field, info in FIELDS.items():  # a vector's parts are its axes; every field has its unit and words
        assert info["components"] == {1: (), 3: ("x", "y", "z"), 4: QUATERNION_PARTS}[len(info["columns"])]
        assert UNITS[field] == info["unit"] and info["description"]


def test_library_modules_never_import_the_command_and_import_no_circle():
    """Every import of every module of the package, at the top or inside a
    function: nothing below the command imports it, and no chain of imports
    comes back to where it started."""
    import ast

    import vorn as package

    root = Path(package.__file__).parent
    modules = {
        ".".join(("vorn", *p.relative_to(root).with_suffix("").parts)).removesuffix(".__init__"): p
        for p in root.rglob("*.py")
    }
    native = {f"vorn.{p.name.split('.')[0]}" for p in root.glob("*.so")}  # leaves: they import nothing here
    graph = {}
    for name, path in modules.items():
        base = name if path.name == "__init__.py" else name.rpartition(".")[0]
        edges = set()
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.Import):
                edges |= {a.name for a in node.names}
            elif isinstance(node, ast.ImportFrom):
                start = base.rsplit(".", node.level - 1)[0] if node.level else node.module
                target = f"{start}.{node.module}" if node.level and node.module else start
                edges |= {
                    f"{target}.{a.name}" if f"{target}.{a.name}" in modules.keys() | native else target
                    for a in node.names
                }
        graph[name] = {e for e in edges if e in modules and e != name}
    command = {"vorn.cli", "vorn.__main__", "vorn.progress"}
    for name in set(graph) - command:
        assert not graph[name] & command, name

    def circle(node, path):
        for nxt in sorted(graph[node]):
            if nxt in path:
                return path[path.index(nxt) :] + [nxt]
            found = circle(nxt, path + [nxt])
            if found:
                return found
        return None

    for name in graph:
        assert circle(name, [name]) is None


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
    proc = subprocess.Popen(
        [VORN, "export", long, "-o", made / f"long.{fmt}"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
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
    done = subprocess.run(
        [
            "unshare",
            "--user",
            "--map-root-user",
            "--mount",
            "sh",
            "-c",
            script,
            str(full),
            VORN,
            "export",
            str(SAMPLE),
            "-o",
            str(out),
        ],
        capture_output=True,
        text=True,
        timeout=120,
    )
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

    # Against arrival times that end half way: the packets after them are drawn at times extrapolated
    # for them, and said so.
    from vorn.times import Stamp, TimesWriter

    data = SAMPLE.read_bytes()
    rec = tmp_path / "timed.bin"
    rec.write_bytes(data)
    writer, decoder, timed = TimesWriter(rec, force=False), vm.StreamDecoder(), 0
    for pos in range(0, len(data) // 2, 500):
        writer.add(len(data[pos : pos + 500]), Stamp(10**18 + pos * 10**4, pos * 10**4))
        timed += len(decoder.feed(data[pos : pos + 500]))
    writer.close()
    done = vorn("plot", rec, "-o", out)
    assert 0 < timed < len(vm.decode_stream(data))
    untimed = len(data) - len(range(0, len(data) // 2, 500)) * 500
    assert (done.returncode, done.stderr) == (
        0,
        f"vorn plot: {rec}: {untimed:,} of {len(data):,} bytes have no arrival time (the times end "
        f"{untimed:,} bytes before the recording does)\n",
    )
    assert imread(out).shape[0] == height


def test_plot_panels_keep_their_texts_apart_and_inside():
    """The panels' own layout: every tick label, axis label, title and legend
    inside the figure, each panel's texts clear of the next panel's and of the
    figure's title, with four panels and with five (pressure's wide labels)."""
    pytest.importorskip("matplotlib")
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    from vorn.plot import draw_recording

    for kind in ("estimated", None):
        fig = draw_recording(Figure, SAMPLE, 1500.0, kind, 0, 1000 if kind else None)
        renderer = FigureCanvasAgg(fig).get_renderer()
        boxes = [ax.get_tightbbox(renderer) for ax in fig.axes]
        title = fig._suptitle.get_window_extent(renderer)
        assert len(boxes) == (4 if kind else 5)
        for box in [*boxes, title]:
            assert 0 <= box.x0 and box.x1 <= fig.bbox.x1 and 0 <= box.y0 and box.y1 <= fig.bbox.y1, (kind, box)
        for upper, lower in zip([title, *boxes], boxes):
            assert upper.y0 >= lower.y1, (kind, upper, lower)


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
    assert (done.returncode, done.stderr) == (
        1,
        f"vorn plot: {empty}: nothing to plot: its packet carries no "
        "acceleration, angular rate, orientation, pressure or altitude\n",
    )
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
    code = (
        "import sys; sys.modules['matplotlib'] = None; from vorn.cli import main; "
        f"sys.exit(main(['plot', {str(SAMPLE)!r}, '-o', {str(tmp_path / 'x.png')!r}]))"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 1
    assert done.stderr == "vorn plot: plot needs matplotlib: pip install --prefer-binary 'vorn_rs[plot]'\n"


# -- arrival times, MCAP and rosbag2 -------------------------------------------


def test_record_keeps_arrival_times_on_a_known_schedule(tmp_path):
    """Packets written into the line at known moments come out of every tool
    stamped at their arrival (a few milliseconds after the write on an idle
    machine; the bounds here only tell an arrival from a flush or a guess)."""
    from vorn.fields import TIMED_ROW_COLUMNS as COLUMNS
    from vorn.sidecars import times_path

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
def flat(m):
    """A message's values after its header, flattened."""
    if isinstance(m, (float, int, str)):
        return [m]
    if isinstance(m, list):
        return m
    if hasattr(m, "tolist"):
        return m.tolist()
    return [v for k in m.__dataclass_fields__ if k not in ("header", "__msgtype__") for v in flat(getattr(m, k))]


READER = f"""
import json, sys
from pathlib import Path
from types import SimpleNamespace
from rosbags.highlevel import AnyReader

{__import__("inspect").getsource(flat)}
out = []
with AnyReader([Path(sys.argv[1])]) as reader:
    for conn, t, raw in reader.messages():
        m = reader.deserialize(raw, conn.msgtype)
        out.append([conn.topic, t, m.header.stamp.sec * 10**9 + m.header.stamp.nanosec, m.header.frame_id, flat(m)])
print(json.dumps(out))
"""


def orientation_covariance(q, s, bad) -> list[float]:
    """An Imu's orientation_covariance from the orientation q and its
    uncertainty s (both w, x, y, z as sent), about the reference frame's axes:
    4 M^T diag(s^2) M, where M(q) moves q by half a small rotation."""
    if not q or "estOrientQuaternion" in bad or "estAttitudeUncertQuaternion" in bad:
        return [-1.0] + [0.0] * 8
    if not s:
        return [0.0] * 9
    w, x, y, z = q
    m = [(-x, -y, -z), (w, z, -y), (-z, w, x), (y, -x, w)]
    return [4 * sum(m[k][a] * m[k][b] * s[k] * s[k] for k in range(4)) for a in range(3) for b in range(3)]


def assert_same_messages(got: list[list], want: list[list]) -> None:
    """Messages as expected_messages gives them: all the same, the values to
    the last bits of a double (a sum of products may round either way)."""
    assert [m[:-1] for m in got] == [m[:-1] for m in want]
    for g, w in zip(got, want):
        assert g[-1] == pytest.approx(w[-1], rel=1e-12, abs=1e-300), g[:-1]


def expected_messages(records: list[dict], times: list[int], prefix: str, stamps=None) -> list[list]:
    """What each packet must become, in the order written, from the values of
    the records (ROS units, x y z w quaternions, -1 covariance flags), logged
    at its time and stamped with its stamp (the time when None)."""
    g = 9.80665
    zero9, flag9 = [0.0] * 9, [-1.0] + [0.0] * 8

    def xyzw(q):
        return [q[1], q[2], q[3], q[0]]

    out = []
    for r, t, stamp in zip(records, times, stamps if stamps is not None else times):
        msgs = []
        if r["packet_type"] == "raw":
            acc, gyro = r["scaled_accel"], r["scaled_gyro"]
            msgs.append(
                (
                    "imu/data_raw",
                    [0.0, 0.0, 0.0, 1.0]
                    + flag9
                    + (gyro or [0.0] * 3)
                    + (zero9 if gyro else flag9)
                    + ([v * g for v in acc] if acc else [0.0] * 3)
                    + (zero9 if acc else flag9),
                )
            )
            if r["scaled_ambient_pressure"] is not None:
                msgs.append(("imu/pressure", [r["scaled_ambient_pressure"], 0.0]))
            for topic, name, scale in (("imu/delta_theta", "delta_theta", 1.0), ("imu/delta_vel", "delta_vel", g)):
                if r[name]:
                    msgs.append((topic, [v * scale for v in r[name]]))
        else:
            bad = (r["invalid_fields"] or "").split(",")
            q, rate, acc = r["est_orient_quaternion"], r["est_angular_rate"], r["est_compensated_accel"]
            msgs.append(
                (
                    "imu/data",
                    (xyzw(q) if q else [0.0, 0.0, 0.0, 1.0])
                    + orientation_covariance(q, r["est_attitude_uncert_quaternion"], bad)
                    + (rate or [0.0] * 3)
                    + (zero9 if rate and "estAngularRate" not in bad else flag9)
                    + (acc or [0.0] * 3)
                    + (zero9 if acc and "estCompensatedAccel" not in bad else flag9),
                )
            )
            for topic, name in (("imu/linear_accel", "est_linear_accel"), ("imu/gravity", "est_gravity_vector")):
                if r[name]:
                    msgs.append((topic, list(r[name])))
            if r["est_attitude_uncert_quaternion"]:
                msgs.append(("imu/attitude_uncertainty", xyzw(r["est_attitude_uncert_quaternion"])))
            if r["est_pressure_alt"] is not None:
                msgs.append(("imu/pressure_altitude", [r["est_pressure_alt"]]))
            msgs.append(("imu/invalid_fields", [n for n in bad if n]))
        out += [[f"{prefix}/{topic}", t, int(stamp), values] for topic, values in msgs]
    return out


def test_mcap_and_rosbag2_read_back_by_an_independent_reader(faulty, tmp_path):
    """Every message, value and time of both exports, as rosbags reads them,
    against MockParser's records and the arrival times of the reads."""
    pytest.importorskip("rosbags")
    from vorn.times import Stamp, TimesWriter

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
    from conftest import wait_ended

    import vorn_rs

    with vorn_rs.MockParser(rec) as parser:
        wait_ended(parser)
        records = [{k: getattr(p, k) for k in vm.RECORD_KEYS} for p in parser.get_data_packets()]
    assert len(records) == len(times)

    from vorn.sample_clock import sample_times

    sampled, _ = sample_times(rec)
    for out, extra, prefix, stamps in (
        (tmp_path / "faulty.mcap", [], "", sampled),
        (tmp_path / "bag", ["--format", "rosbag2", "--topic-prefix", "left/", "--stamps", "arrival"], "/left", None),
    ):
        done = vorn("export", rec, "-o", out, "--frame-id", "imu_left", "--frame", "unit", *extra)
        assert done.returncode == 0, done.stderr
        read = subprocess.run([sys.executable, "-c", READER, out], capture_output=True, text=True, timeout=120)
        assert read.returncode == 0, read.stderr
        got = json.loads(read.stdout)
        assert {m.pop(3) for m in got} == {"imu_left"}
        assert out.suffix == ".mcap" or sorted(os.listdir(out)) == ["bag_0.mcap", "metadata.yaml"]
        want = expected_messages(records, times, prefix, stamps)
        key = lambda m: (m[1], m[0])  # noqa: E731  (the reader orders by time; ties may come in any order)
        assert_same_messages(sorted(got, key=key), sorted(want, key=key))


@pytest.mark.filterwarnings("ignore::vorn.UntimedWarning")
def test_mcap_in_many_chunks_from_columns_and_from_rows(faulty, tmp_path):
    """Small chunks (compressed while the next are packed), arrival times cut
    short and replaced by --rate's: the same file with and without NumPy
    (rows), every message where rosbags expects it."""
    pytest.importorskip("rosbags")
    from vorn.times import Stamp, TimesWriter

    _, data, _ = faulty
    rec = tmp_path / "cut.bin"
    rec.write_bytes(data)
    writer, decoder = TimesWriter(rec, force=False), vm.StreamDecoder()
    times, pos, wall = [], 0, 1_765_000_000_000_000_000
    while pos < 0.6 * len(data):
        piece = data[pos : pos + 300]
        pos += len(piece)
        wall += 1_000_000
        writer.add(len(piece), Stamp(wall, wall // 3))
        times += [wall] * len(decoder.feed(piece))
    writer.close()
    records = vm.decode_stream(data)
    # At --rate 1000: raw packet k at k ms, filter packets between the raw packets around them.
    times, raws, since = [], 0, 0
    for r in records:
        if r["packet_type"] == "raw":
            times.append(raws * 1_000_000)
            raws, since = raws + 1, 0
        else:
            since += 1
            times.append(round((raws - 0.5**since) * 1_000_000) if raws else 0)
    outs = []
    for blocked in ("", "sys.modules['numpy'] = None; "):
        out = tmp_path / f"{len(outs)}.mcap"
        code = (
            # One chunk at most in the compressors' hands: the packing thread compresses the others.
            f"import sys; {blocked}import vorn.export.mcap as m; m.CHUNK_SIZE = 20000; m.PENDING = 1; "
            f"from vorn.cli import main; sys.exit(main(['export', {str(rec)!r}, '-o', {str(out)!r}, '--rate', '1000', "
            "'--frame', 'unit']))"
        )
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        outs.append(out.read_bytes())
    assert outs[0] == outs[1] and outs[0].count(b"zstd") > 2 * 10
    read = subprocess.run(
        [sys.executable, "-c", READER, tmp_path / "0.mcap"], capture_output=True, text=True, timeout=120
    )
    assert read.returncode == 0, read.stderr
    got = [m[:3] + m[4:] for m in json.loads(read.stdout)]
    key = lambda m: (m[1], m[0], m[3])  # noqa: E731  (several packets complete in one read)
    assert_same_messages(sorted(got, key=key), sorted(expected_messages(records, times, ""), key=key))

    # In REP 103's frame with covariances: the messages vorn live serves for
    # the recording at the same times are the export's, whole, on every
    # channel, byte for byte, and as rosbags reads them with the schemas each
    # advertises.
    from vorn import _native
    from vorn.columns import chunks
    from vorn.export import mcap
    from vorn.foxglove import FoxgloveServer
    from vorn.rate_clock import RateClock
    from vorn.recording import Recording
    from vorn.ros_messages import CHANNELS

    (tmp_path / "imu.yaml").write_text(
        "accelerometer_noise_density: 0.002\ngyroscope_noise_density: 3e-4\nupdate_rate: 400\n"
    )
    out = tmp_path / "body.mcap"
    done = vorn("export", rec, "-o", out, "--rate", "1000", "--frame", "rep103", "--noise", tmp_path / "imu.yaml")
    assert done.returncode == 0, done.stderr
    server = FoxgloveServer(frame="rep103", noise=tmp_path / "imu.yaml")
    clock, sizes, live = RateClock(1000.0), iter(__import__("itertools").cycle((1, 2, 7, 1, 40))), []
    for chunk in chunks(rec):
        times = clock.times(chunk["packet_type"])
        at = 0
        while at < len(times):  # batches of a few packets, as a port gives them
            cut = slice(at, at + next(sizes))
            batch = {k: v[cut] for k, v in chunk.items() if k != "time_ns"}
            batch["host_time_ns"] = times[cut]
            live += server.messages_of(batch, tf=False)
            at = cut.stop
    written = written_messages(out.read_bytes())
    assert {cid for cid, _, _ in written} == {ch.id for ch in CHANNELS} and len(written) > 2 * len(records)
    for ch in CHANNELS:
        assert [m for m in live if m[0] == ch.id] == [m for m in written if m[0] == ch.id], ch.topic
    from rosbags.typesys import Stores, get_types_from_msg, get_typestore

    store = get_typestore(Stores.EMPTY)
    for c in server.channels[: len(CHANNELS)]:
        store.register(get_types_from_msg(c["schema"], c["schemaName"]))
    topic = {c["id"]: (c["topic"], c["schemaName"]) for c in server.channels}
    served = []
    for cid, t, body in live:
        m = store.deserialize_cdr(body, topic[cid][1])
        served.append(
            [topic[cid][0], t, m.header.stamp.sec * 10**9 + m.header.stamp.nanosec, m.header.frame_id, flat(m)]
        )
    read = subprocess.run([sys.executable, "-c", READER, out], capture_output=True, text=True, timeout=120)
    assert read.returncode == 0, read.stderr
    key = lambda m: (m[0], m[1])  # noqa: E731  (per topic in packet order; the reader orders by time)
    assert sorted(served, key=key) == sorted(json.loads(read.stdout), key=key)
    # A ROS 2 publisher's batches: the same bytes, topic by topic.
    from vorn.noise import covariances, read_noise

    cov = covariances(read_noise(tmp_path / "imu.yaml"))
    packer = _native.RosPacker("imu_link", body_frame=True, covariances=cov)
    by_topic = [[] for _ in CHANNELS]
    for kinds, values, flags, stamp, _ in mcap.columns(Recording(rec), 1000.0, "sample", None, {}):
        for got, more in zip(by_topic, packer.pack(kinds, values, flags, stamp)):
            got += more
    for cid, got in enumerate(by_topic, 1):
        assert got == [body for c, _, body in written if c == cid], cid


def written_messages(data: bytes) -> list[tuple[int, int, bytes]]:
    """(channel id, log time, message body) of every message in an MCAP file's chunks, in order."""
    try:
        from compression import zstd
    except ImportError:
        from backports import zstd
    out, pos = [], 8
    while pos < len(data) - 8:
        op, n = struct.unpack_from("<BQ", data, pos)
        body = data[pos + 9 : pos + 9 + n]
        pos += 9 + n
        if op == 6:  # a chunk: its records after the compression's name
            (name,) = struct.unpack_from("<I", body, 28)
            (size,) = struct.unpack_from("<Q", body, 32 + name)
            raw, at = zstd.decompress(body[40 + name : 40 + name + size]), 0
            while at < len(raw):
                (m,) = struct.unpack_from("<Q", raw, at + 1)
                cid, _, t = struct.unpack_from("<HIQ", raw, at + 9)
                out.append((cid, t, raw[at + 31 : at + 9 + m]))
                at += 9 + m
        elif op == 15:  # data end
            break
    return out


def test_mcap_writer_hands_out_chunks_that_stay_whole_while_held(faulty):
    """The native writer hands each chunk out where it packed it, not a copy:
    a chunk held after it was written keeps its bytes however much is packed
    after it (its storage is not lent again while read), and cannot be
    written to."""
    pytest.importorskip("numpy")
    from vorn import _native
    from vorn.export import mcap
    from vorn.recording import Recording
    from vorn.ros_messages import CHANNELS

    path, _, _ = faulty
    w = _native.McapWriter("ros2", "test", "imu_link", 3000)
    for ch in CHANNELS:
        w.schema(ch.id, ch.type, "ros2msg", ch.schema)
        w.channel(ch.id, ch.id, ch.topic, "cdr", {})
    held = []
    for kinds, values, flags, stamps, times in mcap.columns(Recording(path), 1000.0, "arrival", None, {}):
        for at in range(0, len(kinds), 40):  # a chunk closes every few calls
            cut = slice(at, at + 40)
            chunks = w.pack(kinds[cut], [v[cut] for v in values], [f[cut] for f in flags], stamps[cut], times[cut])
            held += [(chunk, bytes(chunk)) for chunk in chunks]
            for chunk in chunks:
                w.write_chunk("", chunk, w.crc32(chunk))
                w.take()
            if len(held) % 2:
                held.pop()  # some let go, their storage free to be lent again
    assert len(held) > 20
    assert all(bytes(chunk) == copy for chunk, copy in held)
    with pytest.raises(TypeError):
        held[0][0][0] = 0
    assert _native.McapWriter.crc32(b"123456789") == 0xCBF43926  # the CRC-32 check value


def test_mcap_without_zstd_or_arrival_times_says_what_to_do(faulty, tmp_path):
    path, _, _ = faulty
    code = (
        "import sys; sys.modules['backports'] = sys.modules['compression'] = None; from vorn.cli import main; "
        f"sys.exit(main(['export', {str(path)!r}, '-o', {str(tmp_path / 'x.mcap')!r}, '--rate', '1']))"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stderr) == (1, "vorn export: MCAP export needs zstd: pip install 'vorn_rs[mcap]'\n")
    done = vorn("export", path, "-o", tmp_path / "x.mcap")  # a usage error, as documented
    assert done.returncode == 2 and "no arrival times" in done.stderr and done.stderr.count("\n") == 1
    assert not list(tmp_path.iterdir())
    assert vorn("export", path, "-o", tmp_path / "x.mcap", "--rate", "1000").returncode == 0
    written = (tmp_path / "x.mcap").read_bytes()
    assert b"synthetic: raw packets counted at 1000/s" in written and b"vorn 0.2.0" in written  # the header's library

    # Arrival times past 2038 do not fit ROS's Time (int32 seconds): refused, nothing left behind.
    from vorn.times import Stamp, TimesWriter

    late = tmp_path / "late" / "late.bin"
    late.parent.mkdir()
    late.write_bytes(path.read_bytes())
    writer = TimesWriter(late, force=False)
    # A day past the last second int32 holds: the sample times before the arrival are past it too.
    writer.add(late.stat().st_size, Stamp((2**31 + 86_400) * 10**9, 0))
    writer.close()
    done = vorn("export", late, "-o", late.with_suffix(".mcap"))
    assert done.returncode == 1 and "ROS's Time holds seconds as int32" in done.stderr
    assert done.stderr.count("\n") == 1 and sorted(os.listdir(late.parent)) == ["late.bin", "late.bin.times"]


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
    proc = subprocess.Popen(
        [VORN, "doctor", pty.path, "--baud", str(baud), "--listen", str(seconds), "--json"],
        stdout=subprocess.PIPE,
        text=True,
    )
    give_up = time.monotonic() + 10
    while pty.line()["lflag"] & termios.ICANON:
        assert proc.poll() is None and time.monotonic() < give_up, proc.communicate()
        time.sleep(0.01)
    feed(pty.master)
    out, _ = proc.communicate(timeout=60)
    return judged(proc.returncode, out)


class Trickle(threading.Thread):
    """A unit that sends `data` over and over in pieces every few ms, whoever
    listens: what the line cannot take is left out (no reader blocks it)."""

    def __init__(self, master: int, data: bytes, piece: int = 200) -> None:
        super().__init__(daemon=True)
        self.master, self.data, self.piece = master, data, piece
        self.done = threading.Event()
        self.start()

    def run(self) -> None:
        os.set_blocking(self.master, False)
        at = 0
        while not self.done.wait(0.005):
            with contextlib.suppress(BlockingIOError, OSError):
                at += os.write(self.master, self.data[at : at + self.piece])
            at %= len(self.data)

    def stop(self) -> None:
        self.done.set()
        self.join(10)
        os.set_blocking(self.master, True)


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
            # The unit resumes at its own pace: no backlog after the pause, however
            # late a loaded machine reads.
            rest = data[len(data) // 2 :]
            for i in range(10):
                write_all(master, rest[i * len(rest) // 10 : (i + 1) * len(rest) // 10])
                time.sleep(0.025)
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
            sum(r["packet_type"] == "raw" for r in records), abs=1
        )
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
    assert (
        rc == 0
        and report["ok"]
        and report["baud"] == {"requested": 921600, "input": 921600, "output": 921600, "taken": True}
    )
    assert pty.line()["ospeed"] != 921600  # the settings it found are put back
    holder = subprocess.Popen(
        [
            sys.executable,
            "-c",
            "import sys, vorn_rs; p = vorn_rs.SerialParser(sys.argv[1]); print(flush=True); sys.stdin.read()",
            pty.path,
        ],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
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
    assert text[0].startswith(f"PROBLEM exists: {tmp_path / 'ttyUSB9'} does not exist")
    assert text[1:] == ["1 problem found"]
    (tmp_path / "file").write_text("")
    rc, report, problems = doctor_json(tmp_path / "file")
    assert rc == 1 and set(problems) == {"terminal"}
    rc, report, problems = doctor_json()  # the machine's ports, whatever they are
    assert rc == (0 if report["ok"] else 1) and isinstance(report["ports"], list)
    assert vorn("doctor", "--listen", "1").returncode == 2


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to make a port of its own another user's")
def test_doctor_tells_who_may_not_use_the_port_which_group(pty):
    import grp

    from vorn.cli import main

    dialout = grp.getgrnam("dialout").gr_gid
    os.chown(pty.path, 0, dialout)  # the test's own pty, as udev leaves a USB adapter
    os.chmod(pty.path, 0o660)
    rc, report, problems = judged(*as_nobody(lambda: main(["doctor", pty.path, "--json"])))
    assert rc == 1 and set(problems) == {"access"}
    problem = problems["access"]
    assert "group dialout may use it" in problem["text"] and problem["fix"].startswith("sudo usermod -aG dialout $USER")

    # Allowed in, but not allowed to see root's descriptors: the speed is
    # tried and the stream listened to all the same, the user told what was
    # not ruled out and how to, and the line left as it was found.
    os.chmod(pty.path, 0o666)
    termios.tcsetattr(
        pty.master,
        termios.TCSANOW,
        [*termios.tcgetattr(pty.master)[:4], termios.B9600, termios.B9600, termios.tcgetattr(pty.master)[6]],
    )
    found = pty.line()
    unit = Trickle(pty.master, vm.UnitSimulator(seed=8).stream(0.2)[0])
    try:
        argv = ["doctor", pty.path, "--baud", "921600", "--listen", "1", "--json"]
        rc, report, problems = judged(*as_nobody(lambda: main(argv)))
    finally:
        unit.stop()
    notes = {f["topic"]: f for f in report["findings"] if f["level"] == "note"}
    assert report["access"]["user"] == "nobody"
    assert report["baud"]["taken"] and report["listen"]["packets_per_s"]["raw"] > 0
    assert not {"silent", "noise", "baud", "listen"} & set(problems)
    assert "not ruled out" in notes["held"]["text"] and f"sudo vorn doctor {pty.path}" in notes["held"]["fix"]
    assert not any(f["topic"] == "held" and f["level"] == "ok" for f in report["findings"])
    assert pty.line() == found and found["ospeed"] == 9600


def one_packet(kind: str, frame: str = "rep103", **values) -> tuple:
    """The native packer's messages (one list per channel) of one packet
    holding values (field name: its components as sent), the rest absent."""
    import numpy as np

    from vorn import _native
    from vorn.fields import KINDS, value_columns
    from vorn.ros_messages import FLAG_COLUMNS, VALUE_COLUMNS

    given = {c: v for f, parts in values.items() for c, v in zip(value_columns(f), parts)}
    cols = [np.array([given.get(c, np.nan)], np.float32) for c in VALUE_COLUMNS]
    flags = [np.zeros(1, np.uint8) for _ in FLAG_COLUMNS]
    packer = _native.RosPacker("imu_link", body_frame=frame == "rep103")
    return packer.pack(np.array([KINDS.index(kind)], np.uint8), cols, flags, np.array([10**18], np.int64))


def imu_of(message: bytes) -> tuple:
    """An Imu's 37 doubles after its header: orientation x, y, z, w, its
    covariance, angular velocity, its covariance, linear acceleration, its
    covariance."""
    return struct.unpack_from("<37d", message, len(message) - 37 * 8)


def test_rep103_frame_on_gravity_and_known_rotations():
    """The unit's x forward, y right, z down against north, east, down, as ROS's
    x forward, y left, z up against east, north, up, in the packer's messages."""
    import math

    from rep103 import qmul

    def raw(**values):  # imu/data_raw's angular velocity and linear acceleration
        v = imu_of(one_packet("raw", **values)[0][0])
        return v[13:16], v[25:28]

    def orientation(q_xyzw, frame="rep103"):  # imu/data's orientation of one sent as x, y, z, w
        x, y, z, w = q_xyzw
        return imu_of(one_packet("estimated", frame, est_orient_quaternion=(w, x, y, z))[1][0])[0:4]

    def into_body(q_wxyz, v):  # a world vector in the body frame of orientation q
        w, x, y, z = q_wxyz
        conj = (w, -x, -y, -z)
        return qmul(qmul(conj, (0.0, *v)), q_wxyz)[1:]

    g = 9.80665
    # Lying level and still: the unit reads -1 g on its z (down); ROS's body frame +1 g on z (up).
    # A right turn is positive about the unit's z (down), negative about ROS's z (up).
    rate, accel = raw(scaled_accel=(0.0, 0.0, -1.0), scaled_gyro=(0.0, 0.0, 0.4))
    assert accel == (0.0, -0.0, g) and rate == pytest.approx((0.0, 0.0, -0.4))
    assert (
        one_packet("raw", "unit", scaled_accel=(0.0, 0.0, -1.0))[0][0]
        != one_packet("raw", scaled_accel=(0.0, 0.0, -1.0))[0][0]
    )
    s = math.sqrt(0.5)
    # Level, facing north: the identity for the unit; a quarter turn left of east for ROS.
    assert orientation((0.0, 0.0, 0.0, 1.0)) == pytest.approx((0.0, 0.0, s, s))
    assert orientation((0.0, 0.0, 0.0, 1.0), "unit") == (0.0, 0.0, 0.0, 1.0)
    # Turned right a quarter, facing east: ROS's identity.
    assert orientation((0.0, 0.0, s, s)) == pytest.approx((0.0, 0.0, 0.0, 1.0), abs=1e-7)
    # Facing north, nose up 30 degrees: positive about the unit's y (right), negative about ROS's y (left).
    h = math.radians(15)
    q = orientation((0.0, math.sin(h), 0.0, math.cos(h)))
    want = qmul((s, 0.0, 0.0, s), (math.cos(h), 0.0, -math.sin(h), 0.0))
    assert q == pytest.approx((*want[1:], want[0]), abs=1e-7)
    # Any attitude: gravity seen in ROS's body frame through the converted
    # orientation is the unit's own view of it, converted as a vector.
    for q_unit in ((0.3, -0.2, 0.9, 0.25), (-0.6, 0.1, 0.3, 0.7)):
        n = math.sqrt(sum(c * c for c in q_unit))
        x, y, z, w = (c / n for c in q_unit)
        up_unit = into_body((w, x, y, z), (0.0, 0.0, -1.0))  # NED: up is -z
        rx, ry, rz, rw = orientation((x, y, z, w))
        assert rw >= 0  # w kept non-negative
        up_ros = into_body((rw, rx, ry, rz), (0.0, 0.0, 1.0))  # ENU: up is +z
        assert up_ros == pytest.approx((up_unit[0], -up_unit[1], -up_unit[2]), abs=1e-6)


def test_record_reconnect_keeps_one_file_through_an_unplug(tmp_path):
    """A by-id name re-pointed at a new pty stands for the unit plugged in
    again: the recording goes on in the same file, and info lists the gap."""
    from test_serial import repoint

    from vorn.live import recorded_gaps

    bursts = [vm.UnitSimulator(seed=s).stream(0.1)[0] for s in (6, 7)]
    link = tmp_path / "usb-unit-if00"
    out = tmp_path / "run.bin"
    ptys = [Pty(), Pty()]
    try:
        repoint(link, ptys[0].path)
        unit = Pty.__new__(Pty)  # the first pty, under the stable name
        unit.master, unit.path = ptys[0].master, str(link)
        proc = start_recording(unit, out, "--reconnect")
        play(ptys[0], bursts[0], out)
        ptys[0].close_master()
        link.unlink()  # away for a few attempts
        time.sleep(0.2)
        repoint(link, ptys[1].path)
        give_up = time.monotonic() + 10
        while not recorded_gaps(out) and time.monotonic() < give_up:  # marked once it is back
            time.sleep(0.02)
        assert ptys[1].line()["ospeed"] == 921600 and ptys[1].exclusive()
        play(ptys[1], bursts[1], out)
        give_up = time.monotonic() + 10
        while out.stat().st_size < len(b"".join(bursts)) and time.monotonic() < give_up:
            time.sleep(0.02)
        proc.send_signal(signal.SIGINT)
        stdout, stderr = proc.communicate(timeout=10)
    finally:
        for p in ptys:
            p.close_master()
    assert (proc.returncode, stderr) == (0, "")
    assert "stopped by Ctrl-C; 1 gap without the device" in stdout
    assert out.read_bytes() == b"".join(bursts)
    assert replayed(out) == [vm.comparable(r) for b in bursts for r in vm.decode_stream(b)]
    [gap] = recorded_gaps(out)
    assert gap.seconds >= 0.2
    [line] = [ln for ln in vorn("info", out).stdout.splitlines() if ln.startswith("unplugged:")]
    assert line.startswith(f"unplugged:         {gap.seconds:,.3f} s from ")
    [listed] = json.loads(vorn("info", out, "--json").stdout)["arrival_times"]["unplugged"]
    assert listed["seconds"] == gap.seconds


def binned_by_rows(path, total, rate, kind, start, end, arrival):
    """The drawing's buckets as the row path bins them, a packet at a time: the
    truth the NumPy binning is held to."""
    import math

    from vorn.fields import FIELDS, ROW_COLUMNS
    from vorn.plot import BUCKETS, PANELS, bucket_of, invalid_name
    from vorn.recording import Recording

    fields = [f for _, fs in PANELS for f in fs]
    cols = {f: [ROW_COLUMNS.index(c) for c in FIELDS[f]["columns"]] for f in fields}
    xs = {f: [None] * BUCKETS for f in fields}
    lo = {f: [[math.inf] * BUCKETS for _ in cols[f]] for f in fields}
    hi = {f: [[-math.inf] * BUCKETS for _ in cols[f]] for f in fields}
    named = {f: invalid_name(f) for f in fields if invalid_name(f)}
    seen, flagged = [0] * BUCKETS, {f: [0] * BUCKETS for f in named}
    starts = [None] * BUCKETS
    timed, ranged = rate is None and arrival, start is not None or end is not None
    n = m = raws = since = 0
    rec = Recording(path, rows=True)
    first = rec.times.origin()
    for stamp, rows in rec.reads():
        if arrival and (timed or ranged):
            x = (stamp.mono_ns - first) / 1e9
            if end is not None and x >= end:
                break
            if start is not None and x < start:
                n += len(rows)
                continue
        for row in rows:
            number, n = n, n + 1
            if rate:
                if row[0] == "raw":
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
            starts[bucket] = x if starts[bucket] is None else starts[bucket]
            for f in fields:
                if row[cols[f][0]] is None:
                    continue
                xs[f][bucket] = x if xs[f][bucket] is None else xs[f][bucket]
                for k, i in enumerate(cols[f]):
                    lo[f][k][bucket] = min(lo[f][k][bucket], row[i])
                    hi[f][k][bucket] = max(hi[f][k][bucket], row[i])
            if row[0] != "raw":
                seen[bucket] += 1
                for f, name in named.items():
                    flagged[f][bucket] += name in (row[1] or "").split(",")
    return xs, lo, hi, starts, seen, flagged


@pytest.mark.filterwarnings("ignore::vorn.times.UntimedWarning")  # half.bin: its untimed half is the point
def test_plot_bins_columns_as_the_rows_would(tmp_path, monkeypatch):
    """The drawing's buckets from columns hold the values, first positions and
    flag counts that binning the rows one by one gives: untimed at a rate, by
    packet number, timed, with a range, and with times that end half way
    (there the extrapolated positions may differ by a piece of a read); a
    bucket a packet, and many packets a bucket."""
    np = pytest.importorskip("numpy")
    import vorn
    from vorn.plot import bin_recording
    from vorn.times import Stamp, TimesWriter

    data = SAMPLE.read_bytes()  # more packets than buckets
    plain, whole, half = tmp_path / "plain.bin", tmp_path / "whole.bin", tmp_path / "half.bin"
    for path, timed_part in ((plain, 0), (whole, len(data)), (half, len(data) // 2)):
        path.write_bytes(data)
        if timed_part:
            writer = TimesWriter(path, force=False)
            for pos in range(0, timed_part, 500):
                writer.add(len(data[pos : pos + 500]), Stamp(10**18 + pos * 10**4 + 7, pos * 10**4))
            writer.close()
    cases = [
        (plain, 1500.0, None, None, None),
        (plain, 1500.0, "raw", 100, 2000),
        (plain, None, "estimated", 50, 900),
        (plain, None, None, None, None),
        (whole, None, None, None, None),
        (whole, None, "raw", 0.1, 0.5),
        (whole, 800.0, None, 0.2, None),
        (half, None, None, None, None),
        (half, 1000.0, "estimated", None, None),
    ]
    for buckets, (path, rate, kind, start, end) in [(97, c) for c in cases] + [(4000, cases[0]), (4000, cases[7])]:
        monkeypatch.setattr("vorn.plot.BUCKETS", buckets)
        monkeypatch.setattr("vorn.recording.COLUMN_CHUNK", 4099 if buckets < 4000 else 1 << 18)  # carried over pieces
        monkeypatch.setattr("vorn.plot.GATHER", 1 if buckets < 4000 else 1 << 16)  # binned piece by piece
        arrival = path is not plain
        total = vorn.read(path, kind, start, end).num_rows
        xs, lo, hi, starts, seen, flagged = binned_by_rows(path, total, rate, kind, start, end, arrival)
        series, flags, got_starts, _ = bin_recording(path, total, rate, kind, start, end, arrival)
        near = 0.01 if path is half and rate is None else 0  # seconds: extrapolated from a piece or a packet
        case = (buckets, path.name, rate, kind, start, end)
        none = lambda v: np.nan if v is None else v  # noqa: E731
        assert np.allclose(got_starts, [none(v) for v in starts], rtol=0, atol=near, equal_nan=True), case
        for f, s in series.items():
            assert np.allclose(s.x, [none(v) for v in xs[f]], rtol=0, atol=near, equal_nan=True), (case, f)
            assert s.lo.tolist() == lo[f] and s.hi.tolist() == hi[f], (case, f)
        for fl in flags:
            assert fl.seen.tolist() == seen, case
            assert fl.flagged.tolist() == next(v for f, v in flagged.items() if fl.column == f + "_invalid"), case


# -- one default speed, exit statuses, outputs, devices --------------------------


def test_one_default_baud_and_a_word_when_nothing_frames(tmp_path):
    """vorn.open, every command that opens a port and SerialParser open it at
    the same speed; a recording that frames nothing at it is told so, once,
    with where to look."""
    import vorn
    import vorn_rs
    from vorn.cli import parser

    opened = []
    for open_it in (lambda p: vorn_rs.SerialParser(p), lambda p: vorn.open(p)):
        p = Pty()
        try:
            with open_it(p.path):
                opened.append(p.line()["ospeed"])
        finally:
            p.close_master()
    assert opened[0] == opened[1]
    for command in (["record", "P", "-o", "x"], ["doctor", "P"], ["live", "P"]):
        assert parser().parse_args(command).baud == opened[0], command

    pty = Pty()
    try:
        proc = subprocess.Popen(
            [VORN, "record", pty.path, "-o", str(tmp_path / "run.bin"), "--seconds", "4.5"],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        give_up = time.monotonic() + 10
        while pty.line()["lflag"] & termios.ICANON:
            assert proc.poll() is None and time.monotonic() < give_up, proc.communicate()
            time.sleep(0.01)
        # The unit at 921600, heard at the default speed: bytes, no packet.
        unit = Trickle(pty.master, at_wrong_rate(vm.UnitSimulator(seed=3).stream(0.2)[0], 921600, opened[0]))
        try:
            stdout, stderr = proc.communicate(timeout=30)
        finally:
            unit.stop()
    finally:
        pty.close_master()
    assert proc.returncode == 0 and "0 raw and 0 estimated packets" in stdout
    [line] = stderr.splitlines()
    assert f"bytes and not one packet in 3 s at {opened[0]} baud" in line
    assert line.endswith(f"`vorn doctor {pty.path} --listen 5` says why")


def test_exit_statuses_as_documented(tmp_path):
    """Every case the documentation names, with the status it names."""
    import fcntl

    from vorn.cli import __doc__ as documented

    assert "2 for a usage" in documented
    untimed = tmp_path / "untimed.bin"
    shutil.copy(SAMPLE, untimed)
    noise = tmp_path / "noise.bin"
    noise.write_bytes(bytes(range(256)) * 4)
    held = tmp_path / "held.bin"
    lock = os.open(held, os.O_CREAT | os.O_WRONLY)
    fcntl.flock(lock, fcntl.LOCK_EX)
    fifo = tmp_path / "fifo.bin"
    os.mkfifo(fifo)
    silent = Pty()
    hung = Pty()
    try:
        proc = start_recording(hung, tmp_path / "hung.bin")
        hung.close_master()
        hung_up = proc.communicate(timeout=30)[1]
        assert proc.returncode == 1 and "the port hung up" in hung_up
        stopped = subprocess.Popen(
            [VORN, "export", fifo, "-o", tmp_path / "out.csv"], stderr=subprocess.PIPE, text=True
        )
        give_up = time.monotonic() + 5  # where the kernel does not say, long enough on a loaded machine
        while "partner" not in Path(f"/proc/{stopped.pid}/wchan").read_text() and time.monotonic() < give_up:
            time.sleep(0.05)  # until it waits to open the FIFO, which nobody writes
        stopped.send_signal(signal.SIGTERM)
        assert stopped.communicate(timeout=30)[1] == "vorn export: stopped by SIGTERM\n" and stopped.returncode == 1
        cases = [
            (0, ["info", untimed]),
            (0, ["--version"]),
            (1, ["info", tmp_path / "missing.bin"]),  # a missing file
            (1, ["record", tmp_path / "no-port", "-o", tmp_path / "a.bin"]),  # a port that cannot be opened
            (1, ["record", silent.path, "-o", tmp_path / "b.bin", "--seconds", "0.3", "--baud", "921600"]),  # no byte
            (1, ["record", silent.path, "-o", held]),  # a file another record is writing
            (1, ["info", noise]),  # no packets
            (1, ["doctor", tmp_path / "no-port"]),  # the doctor found a problem
            (2, ["record", silent.path]),  # an argument missing
            (2, ["info", untimed, "--no-such-option"]),
            (2, ["export", untimed, "-o", untimed, "--format", "csv"]),  # an output the command reads
            (2, ["export", untimed, "-o", tmp_path / "x.csv", "--rate", "100"]),  # --rate where it does not apply
            (2, ["live", silent.path, "--rate", "100"]),
            (2, ["export", untimed, "-o", tmp_path / "x.mcap"]),  # --rate needed
            (2, ["noise", untimed]),
            (2, ["live", "--replay", untimed]),
        ]
        for status, argv in cases:
            done = vorn(*argv)
            assert done.returncode == status, (argv, done.stderr)
            said = len(done.stderr.splitlines()) == 1 or "usage:" in done.stderr or argv[0] == "doctor"
            assert status == 0 or said, (argv, done.stderr)
    finally:
        silent.close_master()
        hung.close_master()
        os.close(lock)


@pytest.mark.parametrize("what", ["FIFO", "character device", "FIFO times"])
def test_record_refuses_an_output_that_is_no_file(tmp_path, pty, what):
    """Refused before anything is opened (the port untouched), naming the
    path, nothing left beside it: a FIFO would block the open past every
    signal, a device would swallow the recording."""
    out = tmp_path / "run.bin"
    if what == "FIFO":
        os.mkfifo(out)
        bad = out
    elif what == "character device":
        out.symlink_to(os.devnull)
        bad = out
    else:
        bad = tmp_path / "run.bin.times"
        os.mkfifo(bad)
    before = sorted(os.listdir(tmp_path))
    line = pty.line()
    done = vorn("record", pty.path, "-o", out, "--force", "--seconds", "1")
    assert done.returncode == 1
    kind = "FIFO" if what == "FIFO times" else what
    assert done.stderr == f"vorn record: {bad}: is a {kind}, not a file: a recording is written to a regular file\n"
    assert sorted(os.listdir(tmp_path)) == before and pty.line() == line


@functools.cache
def cannot_mount_privately() -> str | None:
    """Why a mount namespace of its own cannot be made here, or None."""
    if shutil.which("unshare") is None:
        return "no unshare command"
    done = subprocess.run(
        ["unshare", "--mount", "--fork", "sh", "-c", "mount -t tmpfs -o size=4k tmpfs /mnt"],
        capture_output=True,
        text=True,
    )
    return None if done.returncode == 0 else f"no private mount namespace here: {done.stderr.strip()}"


@pytest.mark.parametrize("room", [0, 4096])
def test_record_on_a_full_disk_leaves_nothing(tmp_path, pty, room):
    """A disk full from the start (no room at all, or room for the speed but
    not the bytes): the failure names the file, and nothing is left that a
    rerun would stumble on."""
    if reason := cannot_mount_privately():
        pytest.skip(reason)
    disk = tmp_path / "disk"
    disk.mkdir()
    script = (
        f'mount -t tmpfs -o size=16k tmpfs "{disk}" && head -c {room} /dev/zero > "{disk}/room" && '
        f'{{ cat /dev/zero > "{disk}/filler"; }} 2>/dev/null; rm "{disk}/room"; '
        f'"{VORN}" record {pty.path} -o "{disk}/run.bin" --seconds 2 --baud 921600; echo "status $?"; ls -A "{disk}"'
    )
    unit = Trickle(pty.master, vm.UnitSimulator(seed=5).stream(0.2)[0])
    try:
        done = subprocess.run(
            ["unshare", "--mount", "--fork", "sh", "-c", script], capture_output=True, text=True, timeout=60
        )
    finally:
        unit.stop()
    assert done.stdout.split() == ["status", "1", "filler"], done
    full = f"{disk}/run.bin.baud" if room == 0 else f"{disk}/run.bin"
    assert done.stderr == f"vorn record: {full}: No space left on device\n"


def fake_usb_sysfs(root: Path, devices: dict) -> None:
    """A sysfs tree in which each pty of `devices` (its path: vendor,
    product, serial) is a USB serial adapter's terminal."""
    for i, (path, (vendor, product, serial)) in enumerate(devices.items()):
        usb = root / "devices" / f"usb{i}" / "1-1"
        interface = usb / "1-1:1.0" / f"ttyUSB{i}"
        tty = interface / "tty" / f"ttyUSB{i}"
        tty.mkdir(parents=True)
        for name, value in (("idVendor", vendor), ("idProduct", product), ("serial", serial)):
            (usb / name).write_text(value + "\n")
        (tty / "device").symlink_to(interface)
        (root / "class" / "tty").mkdir(parents=True, exist_ok=True)
        (root / "class" / "tty" / f"ttyUSB{i}").symlink_to(tty)
        (root / "dev" / "char").mkdir(parents=True, exist_ok=True)
        rdev = os.stat(path).st_rdev
        (root / "dev" / "char" / f"{os.major(rdev)}:{os.minor(rdev)}").symlink_to(tty)


@pytest.mark.serial_ioctls
def test_reconnect_takes_only_the_same_adapter_back(tmp_path, monkeypatch):
    """A USB adapter is known again by vendor, product and serial number:
    another one at the same name is let go, said once, and the recording
    waits on for its own."""
    from test_serial import repoint

    from vorn import ports
    from vorn.live import recorded_gaps
    from vorn.record import record

    bursts = [vm.UnitSimulator(seed=s).stream(0.1)[0] for s in (11, 12)]
    ptys = [Pty(), Pty(), Pty()]  # the unit, another adapter, the unit plugged in again
    serials = ["A1", "B2", "A1"]
    fake_usb_sysfs(tmp_path / "sys", {p.path: ("0403", "6001", s) for p, s in zip(ptys, serials)})
    monkeypatch.setattr(ports, "SYS_TTY", tmp_path / "sys" / "class" / "tty")
    monkeypatch.setattr(ports, "SYS_DEV_CHAR", tmp_path / "sys" / "dev" / "char")
    link, out = tmp_path / "usb-unit", tmp_path / "run.bin"
    stop, told, got = threading.Event(), [], []

    def until(ready, what):
        give_up = time.monotonic() + 10
        while not ready():
            assert time.monotonic() < give_up, what
            time.sleep(0.02)

    def run():
        got.append(record(str(link), str(out), 921600, reconnect=True, stopped=stop.is_set, told=told.append))

    repoint(link, ptys[0].path)
    recorder = threading.Thread(target=run)
    recorder.start()
    try:
        until(lambda: ptys[0].line()["ospeed"] == 921600, "the unit's port set up")
        play(ptys[0], bursts[0], out)
        ptys[0].close_master()
        repoint(link, ptys[1].path)
        until(lambda: told, "the other adapter told of")
        time.sleep(0.5)  # looked at again, and again let go
        # Let go between looks (a look holds it for a moment to read who it is).
        until(lambda: not ptys[1].exclusive(), "the other adapter let go")
        assert not recorded_gaps(out)
        repoint(link, ptys[2].path)
        until(lambda: recorded_gaps(out), "the unit's adapter taken back")
        write_all(ptys[2].master, bursts[1])
        until(lambda: out.stat().st_size == len(b"".join(bursts)), "the unit's bytes recorded")
    finally:
        stop.set()
        recorder.join(30)
        for p in ptys:
            p.close_master()
    assert told == [
        f"{link}: USB 0403:6001 serial B2 appeared, not the USB 0403:6001 serial A1 recorded; not taken, still waiting"
    ]
    assert got[0].gaps == 1 and out.read_bytes() == b"".join(bursts)

    # A live stream, likewise: a warning for the other adapter, once.
    pytest.importorskip("numpy")
    import warnings

    import vorn

    ptys = [Pty(), Pty(), Pty()]
    fake_usb_sysfs(tmp_path / "sys2", {p.path: ("0403", "6001", s) for p, s in zip(ptys, serials)})
    monkeypatch.setattr(ports, "SYS_TTY", tmp_path / "sys2" / "class" / "tty")
    monkeypatch.setattr(ports, "SYS_DEV_CHAR", tmp_path / "sys2" / "dev" / "char")
    repoint(link, ptys[0].path)
    try:
        with warnings.catch_warnings(record=True) as caught, vorn.open(link, 921600, reconnect=True) as stream:
            warnings.simplefilter("default", ports.OtherDeviceWarning)
            ptys[0].close_master()
            repoint(link, ptys[1].path)
            until(lambda: stream.read(timeout=0.05) is not None and caught, "the other adapter warned of")
            for _ in range(10):
                assert stream.read(timeout=0.05).num_rows == 0
            until(lambda: not ptys[1].exclusive(), "the other adapter let go")
            assert not stream.gaps
            repoint(link, ptys[2].path)
            until(lambda: stream.read(timeout=0.05) is not None and stream.gaps, "the unit's adapter taken back")
            assert ptys[2].exclusive()
    finally:
        for p in ptys:
            p.close_master()
    assert [str(w.message) for w in caught if w.category is ports.OtherDeviceWarning] == [
        f"{link}: USB 0403:6001 serial B2 appeared, not the USB 0403:6001 serial A1 opened first; not taken"
    ]


@functools.cache
def cannot_hold_private_ptys() -> str | None:
    """Why pseudo-terminals of a devpts instance of its own cannot be made
    here, or None."""
    if reason := cannot_mount_privately():
        return reason
    done = subprocess.run(
        ["unshare", "--mount", "--fork", "sh", "-c", "mount -t devpts -o newinstance devpts /dev/pts"],
        capture_output=True,
        text=True,
    )
    return None if done.returncode == 0 else f"no devpts instance of its own here: {done.stderr.strip()}"


@pytest.mark.serial_ioctls
def test_doctor_tells_our_pty_from_another_instances_of_the_same_number(pty):
    """A program in a mount namespace of its own holds pseudo-terminals of its
    own devpts instance, one of them numbered as ours: not a holder of ours."""
    if reason := cannot_hold_private_ptys():
        pytest.skip(reason)
    number = int(pty.path.rsplit("/", 1)[1])
    holder = f"""
import os, sys
fds = [os.openpty() for _ in range({number + 1})]
print(os.ttyname(fds[-1][1]), os.fstat(fds[-1][1]).st_rdev, flush=True)
sys.stdin.read()
"""
    private = (
        "mount -t devpts -o newinstance,ptmxmode=0666 devpts /dev/pts && mount --bind /dev/pts/ptmx /dev/ptmx && "
        f'exec "{sys.executable}" -c "$0"'
    )
    proc = subprocess.Popen(
        ["unshare", "--mount", "--fork", "sh", "-c", private, holder],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        name, rdev = proc.stdout.readline().split()
        assert name == pty.path and int(rdev) == os.stat(pty.path).st_rdev  # the same name and number
        rc, report, problems = doctor_json(pty.path, "--baud", "921600")
    finally:
        proc.stdin.close()
        proc.wait(30)
    assert rc == 0 and not problems, report["findings"]
    assert report["baud"]["taken"] and any(f["topic"] == "held" and f["level"] == "ok" for f in report["findings"])


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to switch to another user")
def test_work_as_nobody_from_a_checkout_nobody_can_read(tmp_path, pty):
    """The package loaded from a directory only root may enter, as from a
    checkout under a 0700 home: the doctor run as nobody still reports."""
    import vorn

    private = tmp_path / "private"
    shutil.copytree(Path(vorn.__file__).parent, private / "vorn")
    private.chmod(0o700)
    os.chmod(pty.path, 0o666)
    script = f"""
import json, sys
sys.path[:0] = [{str(private)!r}, {str(ROOT / "tests")!r}]
import vorn
assert vorn.__file__.startswith({str(private)!r}), vorn.__file__
from privileges import as_nobody
from vorn.cli import main
print(json.dumps(as_nobody(lambda: main(["doctor", {pty.path!r}, "--json"]))))
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    rc, out = json.loads(done.stdout)
    report = json.loads(out)
    assert report["access"]["user"] == "nobody" and rc == (0 if report["ok"] else 1)


def test_a_stop_signal_repeated_stops_a_command_that_lost_the_first(tmp_path):
    """A stop signal can be lost inside a C extension's import (its error
    cleared there); the command then waits on, here to open a FIFO nobody
    writes: the signal sent again stops it, as the first should have."""
    fifo = tmp_path / "in.bin"
    os.mkfifo(fifo)
    script = f"""
import os, signal, time
from vorn import cli
cli.catch_stops()
try:
    os.kill(os.getpid(), signal.SIGTERM)
    time.sleep(5)
except BaseException:
    pass
print("lost", flush=True)
try:
    open({str(fifo)!r}).close()
except cli.Stopped as e:
    print("stopped by", e, flush=True)
"""
    proc = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "lost\n"
        time.sleep(1.2)  # past the clean-up's time
        proc.send_signal(signal.SIGTERM)
        out, _ = proc.communicate(timeout=20)
    finally:
        proc.kill()
        proc.wait()
    assert out == "stopped by SIGTERM\n"


# -- a dataset of many recordings ------------------------------------------------

DAY_NS = 86_400 * 10**9


def timed_unit_recording(path, start_ns: int, seconds: float, seed: int) -> Path:
    """seconds of the unit at path, its reads 5 ms apart from start_ns on the wall clock."""
    from vorn.times import Stamp, TimesWriter

    data = vm.UnitSimulator(seed=seed, noise=0.01).stream(seconds)[0]
    path.write_bytes(data)
    writer = TimesWriter(path, force=True)
    for i, pos in enumerate(range(0, len(data), 460)):
        writer.add(len(data[pos : pos + 460]), Stamp(start_ns + i * 5_000_000, 10**9 + i * 5_000_000))
    writer.close()
    return path


@pytest.fixture(scope="module")
def fleet(tmp_path_factory):
    """A dataset of three recordings of two units, one of them running past
    midnight, written by the command; and the recordings."""
    pytest.importorskip("pyarrow")
    base = tmp_path_factory.mktemp("fleet")
    night = 20_000 * DAY_NS + DAY_NS - 700_000_000  # 0.7 s before midnight
    recs = {
        "night": timed_unit_recording(base / "night.bin", night, 1.5, 1),
        "noon": timed_unit_recording(base / "noon.bin", 20_001 * DAY_NS + DAY_NS // 2, 1.0, 2),
        "other": timed_unit_recording(base / "other.bin", 20_001 * DAY_NS + 3600 * 10**9, 1.0, 3),
    }
    root = base / "set"
    for unit, names in (("left", ["night", "noon"]), ("right", ["other"])):
        done = vorn("export", *(recs[n] for n in names), "--dataset", root, "--unit", unit)
        assert (done.returncode, done.stdout, done.stderr) == (0, "", ""), done.stderr
    return SimpleNamespace(root=root, recs=recs, days=("2024-10-04", "2024-10-05"))


@contextlib.contextmanager
def spoiled(fleet, keep: str):
    """Every data file but those under keep unreadable for a while: a reader
    that opens one has not pruned the partitions."""
    for f in fleet.root.rglob("*.parquet"):
        if keep not in str(f.relative_to(fleet.root)):
            f.rename(f.with_suffix(".good"))
            f.write_bytes(b"PAR1 not a file PAR1")
    try:
        yield
    finally:
        for f in fleet.root.rglob("*.good"):
            f.rename(f.with_suffix(".parquet"))


def test_dataset_holds_every_packet_by_unit_and_day(fleet, tmp_path):
    import pyarrow as pa
    import pyarrow.dataset as ds
    import pyarrow.parquet as pq

    import vorn

    files = sorted(str(f.relative_to(fleet.root)) for f in fleet.root.rglob("*") if f.is_file())
    assert files == [
        "_common_metadata",
        "unit=left/date=2024-10-04/part-night.parquet",
        "unit=left/date=2024-10-05/part-night.parquet",
        "unit=left/date=2024-10-05/part-noon.parquet",
        "unit=right/date=2024-10-05/part-other.parquet",
    ]
    common = pq.read_schema(fleet.root / "_common_metadata")
    assert common.field("scaled_accel_x").metadata[b"unit"] == b"g"
    assert common.field("host_time_ns").metadata[b"unit"] == b"ns"
    parts = ds.partitioning(pa.schema([("unit", pa.string()), ("date", pa.date32())]), flavor="hive")
    data = ds.dataset(fleet.root, format="parquet", partitioning=parts)
    table = data.to_table()
    types = {f.name: f.type for f in table.schema}
    assert (types["host_time_ns"], types["time_ns"], types["recording"]) == (pa.int64(), pa.int64(), pa.string())
    assert types["scaled_gyro_z"] == pa.float32() and types["date"] == pa.date32()
    for name, path in fleet.recs.items():
        want = vorn.read(path)
        got = table.filter(ds.field("recording") == name).sort_by("host_time_ns")
        assert got.num_rows == want.num_rows, name
        for column in ("host_time_ns", "time_ns", "scaled_accel_x", "est_orient_quaternion_w"):
            assert got[column].to_numpy(zero_copy_only=False).tolist() == pytest.approx(
                want[column].tolist(), nan_ok=True
            ), (name, column)
        days = (got["host_time_ns"].to_numpy() // DAY_NS).astype("datetime64[D]").astype(str)
        assert days.tolist() == [str(d) for d in got["date"].to_pylist()], name
    # Partition pruning: one unit's day is read from its files alone.
    with spoiled(fleet, "unit=right/"):
        one = ds.dataset(fleet.root, format="parquet", partitioning=parts)
        assert one.to_table(filter=ds.field("unit") == "right").num_rows == vorn.read(fleet.recs["other"]).num_rows
        with pytest.raises(pa.ArrowInvalid):
            one.to_table()


def test_dataset_appends_without_rewriting_and_replaces_only_when_told(fleet, tmp_path):
    import pyarrow.parquet as pq

    root = tmp_path / "set"
    shutil.copytree(fleet.root, root)
    before = {f: (f.stat().st_ino, f.stat().st_mtime_ns) for f in root.rglob("*") if f.is_file()}
    later = timed_unit_recording(tmp_path / "later.bin", 20_002 * DAY_NS, 0.5, 4)
    assert vorn("export", later, "--dataset", root, "--unit", "left").returncode == 0
    after = {f: (f.stat().st_ino, f.stat().st_mtime_ns) for f in root.rglob("*") if f.is_file()}
    assert {f: after[f] for f in before} == before  # the others untouched, _common_metadata too
    assert set(after) - set(before) == {root / "unit=left/date=2024-10-06/part-later.parquet"}
    # Again: refused, nothing written; the same name under another unit is another recording.
    done = vorn("export", later, fleet.recs["noon"], "--dataset", root, "--unit", "left")
    assert done.returncode == 1
    assert done.stderr == (
        f"vorn export: {root}/unit=left/date=2024-10-06/part-later.parquet: recording 'later' of unit 'left' "
        "is already in the dataset; --replace writes it anew\n"
    )
    assert {f: f.stat().st_mtime_ns for f in root.rglob("*") if f.is_file()} == {f: t for f, (_, t) in after.items()}
    # Replaced by a recording of the same name from another day: its old day goes.
    (tmp_path / "elsewhere").mkdir()
    moved = timed_unit_recording(tmp_path / "elsewhere" / "later.bin", 20_003 * DAY_NS, 0.5, 5)
    assert vorn("export", moved, "--dataset", root, "--unit", "left", "--replace").returncode == 0
    assert not (root / "unit=left/date=2024-10-06").exists()
    assert pq.read_table(root / "unit=left/date=2024-10-07/part-later.parquet").num_rows > 0
    assert not list(root.rglob(".*.part"))
    # A directory that holds a dataset of other columns is refused.
    (tmp_path / "odd").mkdir()
    pq.write_metadata(pq.read_schema(root / "_common_metadata").remove(1), tmp_path / "odd" / "_common_metadata")
    done = vorn("export", later, "--dataset", tmp_path / "odd")
    assert (done.returncode, done.stderr) == (
        1,
        f"vorn export: {tmp_path / 'odd'}: a dataset of other columns; write this one to another directory\n",
    )


def test_dataset_read_by_duckdb_with_types_and_pruning(fleet):
    duckdb = pytest.importorskip("duckdb", reason="DuckDB has no build for this interpreter (free-threaded 3.13)")
    from datetime import date

    import vorn

    glob = f"{fleet.root}/**/*.parquet"
    con = duckdb.connect()
    rows = con.execute(
        f"SELECT unit, date, recording, count(*), min(host_time_ns), any_value(typeof(host_time_ns)), "
        f"any_value(typeof(scaled_accel_x)), any_value(typeof(date)) "
        f"FROM read_parquet('{glob}', hive_partitioning = true) GROUP BY ALL ORDER BY ALL"
    ).fetchall()
    assert [r[:3] for r in rows] == [
        ("left", date(2024, 10, 4), "night"),
        ("left", date(2024, 10, 5), "night"),
        ("left", date(2024, 10, 5), "noon"),
        ("right", date(2024, 10, 5), "other"),
    ]
    assert {r[5:] for r in rows} == {("BIGINT", "FLOAT", "DATE")}
    assert sum(r[3] for r in rows if r[2] == "night") == vorn.read(fleet.recs["night"]).num_rows
    query = (
        f"SELECT count(*) FROM read_parquet('{glob}', hive_partitioning = true) "
        "WHERE unit = 'left' AND date = DATE '2024-10-04'"
    )
    with spoiled(fleet, "unit=left/date=2024-10-04/"):
        assert con.execute(query).fetchone()[0] == rows[0][3]
        with pytest.raises(duckdb.Error):
            con.execute(f"SELECT count(*) FROM read_parquet('{glob}', hive_partitioning = true)").fetchall()


def test_dataset_read_by_polars_with_types_and_pruning(fleet):
    pl = pytest.importorskip("polars", reason="Polars has no build for this interpreter (free-threaded 3.13)")

    import vorn

    frame = pl.scan_parquet(f"{fleet.root}/**/*.parquet", hive_partitioning=True)
    schema = frame.collect_schema()
    assert (schema["host_time_ns"], schema["scaled_gyro_z"], schema["recording"]) == (pl.Int64, pl.Float32, pl.String)
    counts = dict(frame.group_by("recording").len().collect().iter_rows())
    assert counts == {n: vorn.read(p).num_rows for n, p in fleet.recs.items()}
    # Given the schemas (the first file found need not be one of those read).
    file_schema = pl.read_parquet_schema(next(fleet.root.rglob("*.parquet")))
    with spoiled(fleet, "unit=right/"):
        frame = pl.scan_parquet(
            f"{fleet.root}/**/*.parquet",
            hive_partitioning=True,
            schema=file_schema,
            hive_schema={"unit": pl.String, "date": pl.Date},
        )
        got = frame.filter(pl.col("unit") == "right").select(pl.len(), pl.col("scaled_accel_x").sum()).collect()
        assert got.row(0)[0] == counts["other"]
        with pytest.raises(Exception):  # noqa: B017 (Polars' error classes vary by release)
            frame.select(pl.col("scaled_accel_x").sum()).collect()


# -- how an output is put in place -----------------------------------------------


def test_export_output_is_synced_written_through_links_and_cleared_of_dead_parts(tmp_path, monkeypatch):
    from vorn.export import export

    # Parts that writers killed mid-way left; one of a process still running stays.
    dead = subprocess.Popen(["true"])
    dead.wait()
    living = subprocess.Popen(["sleep", "60"])
    try:
        stale, held = tmp_path / f".out.csv.{dead.pid}.part", tmp_path / f".out.csv.{living.pid}.part"
        stale.write_text("half")
        held.write_text("half")
        events = []
        real_fsync, real_replace = os.fsync, os.replace
        monkeypatch.setattr(os, "fsync", lambda fd: events.append(("fsync", os.readlink(f"/proc/self/fd/{fd}"))))
        monkeypatch.setattr(os, "replace", lambda a, b: (events.append(("replace", str(a))), real_replace(a, b)))
        export(SAMPLE, tmp_path / "out.csv", "csv")
        monkeypatch.setattr(os, "fsync", real_fsync)
        part = str(tmp_path / f".out.csv.{os.getpid()}.part")
        assert events == [("fsync", part), ("replace", part), ("fsync", str(tmp_path))]
        assert not stale.exists() and held.exists()
    finally:
        living.kill()
        living.wait()
    # Through a symlink, a dangling one too: the file it names is written, the link kept.
    (tmp_path / "elsewhere").mkdir()
    for target in (tmp_path / "elsewhere" / "kept.csv", tmp_path / "elsewhere" / "new.csv"):
        if target.name == "kept.csv":
            target.write_text("old")
        link = tmp_path / f"link-{target.name}"
        link.symlink_to(target)
        assert vorn("export", SAMPLE, "-o", link).returncode == 0
        assert link.is_symlink()
        assert target.read_text() == (tmp_path / "out.csv").read_text()
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(".")) == [held.name]


@pytest.mark.parametrize("when", ["renaming", "renamed"])
def test_export_stopped_once_its_output_is_whole_exits_0(tmp_path, when):
    # SIGTERM as the output is renamed into place, or just after: the output is
    # whole, and the command says it succeeded.
    code = f"""
import os, signal, sys
from vorn import overwrite
from vorn.cli import main
real = overwrite.sync_directory if {when!r} == "renaming" else overwrite.commit
def stopped(*args, **kwargs):
    real(*args, **kwargs)
    os.kill(os.getpid(), signal.SIGTERM)
setattr(overwrite, real.__name__, stopped)
import vorn.export
vorn.export.commit = overwrite.commit
sys.exit(main(["export", {str(SAMPLE)!r}, "-o", {str(tmp_path / "out.npz")!r}]))
"""
    pytest.importorskip("numpy")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stderr) == (0, "")
    assert [p.name for p in tmp_path.iterdir()] == ["out.npz"]
