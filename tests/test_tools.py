"""The vorn command, end to end: each subcommand run as a user runs it, its
results checked against the stream model and against MockParser."""

import csv
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import vorn_model as vm
from test_serial import Pty

ROOT = Path(__file__).resolve().parents[1]
VORN = str(Path(sys.executable).parent / "vorn")
SAMPLE = ROOT / "examples" / "sample.bin"

pytestmark = pytest.mark.child_interpreter  # every case runs the command in a child process


def vorn(*args, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run([VORN, *map(str, args)], capture_output=True, text=True, timeout=120, **kwargs)


def replayed(path) -> list[dict]:
    """Every packet MockParser finds in the file, as comparable records."""
    import vorn_rs
    from conftest import wait_ended

    with vorn_rs.MockParser(path) as parser:
        wait_ended(parser)
        packets = parser.get_data_packets()
    return [vm.comparable({k: getattr(p, k) for k in vm.RECORD_KEYS}) for p in packets]


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


@pytest.mark.parametrize("command", ["info", "export", "plot"])
def test_clear_errors_and_exit_codes(tmp_path, command):
    out = {"info": [], "export": ["-o", tmp_path / "out.csv"], "plot": ["-o", tmp_path / "out.png"]}[command]
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
    (["export", SAMPLE, "-o", ".csv"], "argument -o/--output: name it NAME.csv, NAME.parquet or NAME.npz: '.csv'"),
])
def test_usage_errors_name_the_argument(tmp_path, args, complaint):
    done = vorn(*args, cwd=tmp_path)
    assert done.returncode == 2 and done.stderr.endswith(f": error: {complaint}\n")
    assert not list(tmp_path.iterdir())


def test_version_and_help():
    done = vorn("--version")
    assert (done.returncode, done.stdout) == (0, "vorn 0.2.0\n")
    for command in ("record", "info", "export", "plot"):
        text = vorn(command, "--help").stdout
        assert re.search(r"^  (FILE|PORT) +\S", text, re.M), text
        # argparse before 3.13 repeats the metavar ("-o FILE, --output FILE"),
        # then the help text starts on the next line.
        assert command == "info" or re.search(r"^  -o(?: \S+)?, --output \S+\s+\S", text, re.M), text


# -- export -----------------------------------------------------------------


def test_export_rows_are_the_packets_mockparser_delivers(faulty, tmp_path):
    path, data, records = faulty
    want = replayed(path)
    out = tmp_path / "faulty.csv"
    assert vorn("export", path, "-o", out).returncode == 0
    with open(out, newline="") as f:
        header, *rows = list(csv.reader(f))
    from vorn.recording import COLUMNS

    assert tuple(header) == COLUMNS and len(header) == 36
    assert len(rows) == len(want)

    def as_record(row: dict) -> dict:
        rec = vm.empty_record(row["packet_type"])
        rec["invalid_fields"] = row["invalid_fields"] or None
        for spec in vm.FIELDS:
            parts = [row[c] for c in COLUMNS if c == spec.name or c.rpartition("_")[0] == spec.name]
            if parts[0] != "":
                values = [float(v) for v in parts]
                rec[spec.name] = values[0] if spec.floats == 1 else values
        rec.pop("timestamp")
        return vm.comparable(rec)

    assert [as_record(dict(zip(header, r))) for r in rows] == want

    # The other formats hold the same table.
    np = pytest.importorskip("numpy")
    assert vorn("export", path, "-o", tmp_path / "faulty.npz").returncode == 0
    with np.load(tmp_path / "faulty.npz") as arrays:
        assert tuple(arrays.files) == COLUMNS
        assert list(arrays["invalid_fields"]) == [r[1] for r in rows]
        accel = np.array([float(r[2]) if r[2] else np.nan for r in rows], dtype=np.float32)
        np.testing.assert_array_equal(arrays["scaled_accel_x"], accel)
    pq = pytest.importorskip("pyarrow.parquet")
    assert vorn("export", path, "-o", tmp_path / "faulty.parquet").returncode == 0
    table = pq.read_table(tmp_path / "faulty.parquet")
    assert table.column_names == list(COLUMNS) and table.num_rows == len(rows)
    assert table.column("packet_type").to_pylist() == [r[0] for r in rows]


@pytest.mark.parametrize("fmt, sig", [("npz", signal.SIGTERM), ("csv", signal.SIGHUP)])
def test_export_stopped_by_a_signal_leaves_nothing_behind(tmp_path, fmt, sig):
    if fmt == "npz":
        pytest.importorskip("numpy")
    long = tmp_path / "long.bin"
    long.write_bytes(SAMPLE.read_bytes() * 40)
    made = tmp_path / "out"
    made.mkdir()
    proc = subprocess.Popen([VORN, "export", long, "-o", made / f"long.{fmt}"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    give_up = time.monotonic() + 10
    while not any(made.iterdir()):  # the writer has begun
        assert proc.poll() is None and time.monotonic() < give_up, proc.communicate()
        time.sleep(0.01)
    proc.send_signal(sig)
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
