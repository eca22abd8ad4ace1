"""vorn record on the lab's real drivers (make test-drivers): the recording
ends by its time limit or by the device vanishing, with the file holding every
byte read, and replays to the packets in those bytes."""

import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest
from lab_lines import BOARD_UART, line_settings, wait_for
from lab_lines import record as measured
from test_drivers import SETTINGS, wait_stopped
from test_serial import as_records
from test_serial import expected as decoded

import vorn_rs

VORN = str(Path(sys.executable).parent / "vorn")
# The system call the tool waits in at its first read, by its number here.
PPOLL = {"x86_64": "271", "aarch64": "73"}[os.uname().machine]
START_LIMIT = 60.0  # the guest's interpreter starts slowly
END_LIMIT = 120.0


def start(line, out: Path, *extra) -> subprocess.Popen:
    proc = subprocess.Popen(
        [VORN, "record", line.path, "-o", str(out), "--baud", str(line.fast), *extra],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )

    # Nothing may be sent before the port is set up: a closed UART drops
    # what arrives, a half-set-up line may cook it.
    def reading() -> bool:
        assert proc.poll() is None, proc.communicate()
        try:
            fds = [os.readlink(f"/proc/{proc.pid}/fd/{n}") for n in os.listdir(f"/proc/{proc.pid}/fd")]
            return line.path in fds and Path(f"/proc/{proc.pid}/syscall").read_text().split()[0] == PPOLL
        except FileNotFoundError:  # a descriptor closed while looked at
            return False

    wait_for(reading, START_LIMIT, "vorn record never started reading")
    return proc


def replayed(path: Path) -> list[dict]:
    with vorn_rs.MockParser(str(path)) as parser:
        wait_stopped(parser)
        return as_records(parser.get_data_packets())


def summary_bytes(stdout: str, out: Path) -> int:
    assert len(stdout.splitlines()) == 1, stdout
    head = f"{out}: "
    assert stdout.startswith(head), stdout
    return int(stdout[len(head) :].split(" bytes", 1)[0].replace(",", ""))


def test_record_with_a_time_limit(line, tmp_path):
    # Small enough for the 16550 (~20 kB/s here) to carry well within the limit.
    stream = line.make(0.2 if line.name in ("uart", "pl011") else 1.0, seed=41, noise=0.01, damage=0.005)
    seconds = 6
    out = tmp_path / "run.bin"
    proc = start(line, out, "--seconds", str(seconds))
    line.send(stream)
    assert line.sent().get("complete"), "the far end could not send the whole stream"
    stdout, stderr = proc.communicate(timeout=END_LIMIT)
    assert (proc.returncode, stderr) == (0, "")
    assert stdout.endswith("; time limit reached\n")
    assert float(stdout.split(" bytes in ", 1)[1].split(" s,", 1)[0]) >= seconds
    data = out.read_bytes()
    assert summary_bytes(stdout, out) == len(data)
    assert data == stream.data
    assert replayed(out) == stream.expected
    measured(
        line.name,
        "vorn record --seconds",
        f"{len(stream.expected)} packets, {len(data)} bytes, the file equal to the bytes sent",
    )


def test_record_ends_at_an_unplug(pluggable, tmp_path):
    line = pluggable
    stream = line.make(1.0, seed=42)
    out = tmp_path / "run.bin"
    proc = start(line, out)  # only the unplug may end it
    line.send(stream, unplug_after=len(stream.data) // 2)
    fed = line.sent()
    assert fed.get("unplugged"), fed
    stdout, stderr = proc.communicate(timeout=END_LIMIT)
    why = next((w for w in ("the port hung up (Broken pipe)", "the port hung up (I/O error)") if w in stdout), None)
    assert why and stdout.endswith(f"; {why}\n"), stdout
    assert (proc.returncode, stderr) == (1, f"vorn record: {line.path}: {why}\n")
    data = out.read_bytes()
    assert summary_bytes(stdout, out) == len(data)  # complete up to the last byte read
    assert 0 < len(data) <= fed["sent"]
    assert data == stream.data[: len(data)]
    want = decoded(data)
    assert want and replayed(out) == want
    measured(
        line.name,
        "vorn record unplugged",
        f"{len(data)} of {len(stream.data)} bytes, {len(want)} of {len(stream.expected)} packets",
    )


# A speed beyond each board UART's clock (the PL011's here is 24 MHz / 16).
BEYOND = {"uart": 921600, "pl011": 3000000}


@pytest.mark.parametrize("line", [BOARD_UART.name], indirect=True)
def test_record_refuses_a_speed_the_uart_cannot_make(line, tmp_path):
    out = tmp_path / "run.bin"
    done = subprocess.run(
        [VORN, "record", line.path, "-o", str(out), "--baud", str(BEYOND[line.name])],
        capture_output=True,
        text=True,
        timeout=END_LIMIT,
    )
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == f"vorn record: {line.path}: {SETTINGS}\n"
    assert not out.exists()
    assert line_settings(line.path)["exclusive"] == 0  # given up like any failed open


def test_record_reconnect_through_unplug_and_replug(pluggable, tmp_path):
    """vorn record --reconnect: one file through an unplug, holding every byte
    sent while the device was there; info lists the gap."""
    from vorn.live import recorded_gaps

    line = pluggable
    bursts = [line.make(0.3, seed=seed) for seed in (43, 44)]
    out = tmp_path / "run.bin"
    proc = start(line, out, "--reconnect")
    line.send(bursts[0])
    line.sent()
    wait_for(lambda: out.exists() and out.stat().st_size >= len(bursts[0].data), END_LIMIT, "burst 1 not recorded")
    line.unplug()
    wait_for(lambda: not os.path.exists(line.path), END_LIMIT, "the device never went")
    line.plug()
    wait_for(lambda: recorded_gaps(out), END_LIMIT, "vorn record never opened the device again")
    line.send(bursts[1])
    line.sent()
    total = len(bursts[0].data) + len(bursts[1].data)
    wait_for(lambda: out.stat().st_size >= total, END_LIMIT, "burst 2 not recorded")
    proc.send_signal(signal.SIGINT)
    stdout, stderr = proc.communicate(timeout=END_LIMIT)
    assert (proc.returncode, stderr) == (0, "")
    assert "; stopped by Ctrl-C; 1 gap without the device" in stdout
    assert out.read_bytes() == bursts[0].data + bursts[1].data
    assert replayed(out) == bursts[0].expected + bursts[1].expected
    [gap] = recorded_gaps(out)
    info = subprocess.run([VORN, "info", str(out)], capture_output=True, text=True, timeout=END_LIMIT).stdout
    assert f"unplugged:         {gap.seconds:,.3f} s from " in info
    measured(
        line.name,
        "vorn record --reconnect",
        f"{gap.seconds:.2f} s without the device, {total} bytes, the file equal to the bytes sent",
    )
