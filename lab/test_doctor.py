"""vorn doctor on the lab's real drivers (make test-drivers): what a
pseudo-terminal cannot show, the FTDI adapter's latency timer, a 16550 that
keeps another speed, and the holder and the access of a real device node.
Whatever a case changes in the guest it puts back."""

import os
import subprocess
import sys
from pathlib import Path

import pytest
from lab_lines import BOARD_UART
from lab_lines import record as measured
from test_record import END_LIMIT, VORN
from test_serial import as_nobody
from test_tools import judged

ftdi = pytest.mark.parametrize("line", ["ftdi"], indirect=True)
uart = pytest.mark.parametrize("line", ["uart"], indirect=True)
board_uart = pytest.mark.parametrize("line", [BOARD_UART.name], indirect=True)  # the 16550 or the PL011


def doctor(*args) -> tuple[int, dict, dict]:
    done = subprocess.run([VORN, "doctor", *args, "--json"], capture_output=True, text=True, timeout=END_LIMIT)
    assert done.stderr == ""
    return judged(done.returncode, done.stdout)


@ftdi
def test_ftdi_latency_timer_read_and_reported(line):
    timer = Path(f"/sys/bus/usb-serial/devices/{os.path.basename(line.path)}/latency_timer")
    emulated = timer.read_text()  # QEMU's adapter starts at 0; a real chip at 16, as set here (in the guest only)
    try:
        timer.write_text("16")
        rc, report, problems = doctor()
        listed = next(p for p in report["ports"] if p["path"] == line.path)
        assert (listed["driver"], listed["usb"]["vendor"], listed["usb"]["product"]) == ("ftdi_sio", "0403", "6001")
        assert listed["latency_timer_ms"] == 16 and listed["latency_timer_path"] == str(timer)

        rc, report, problems = doctor(line.path, "--baud", str(line.fast))
        assert rc == 1 and report["latency_timer_ms"] == 16 and set(problems) == {"latency"}
        assert f"bursts every {62 * 10 * 1000 / line.fast:.1f} ms" in problems["latency"]["text"]
        assert problems["latency"]["fix"].startswith(f"echo 1 | sudo tee {timer}")
        timer.write_text("2")
        rc, report, problems = doctor(line.path, "--baud", str(line.fast))
        assert rc == 1 and report["latency_timer_ms"] == 2 and "latency timer 2 ms" in problems["latency"]["text"]
        timer.write_text("1")
        rc, report, problems = doctor(line.path, "--baud", str(line.fast))
        assert (rc, report["latency_timer_ms"], problems) == (0, 1, {})
    finally:
        timer.write_text(emulated)
    measured(line.name, "vorn doctor latency timer", "16 ms reported as a problem, 2 ms too, 1 ms as fine")


@board_uart
def test_second_process_holding_the_port_named_with_its_pid(line):
    holder = subprocess.Popen(
        [
            sys.executable,
            "-c",
            "import os, sys; fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY); print(flush=True); sys.stdin.read()",
            line.path,
        ],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        holder.stdout.readline()
        rc, report, problems = doctor(line.path)
    finally:
        holder.communicate("")
    assert rc == 1 and set(problems) == {"held"}
    assert f"is open in pid {holder.pid} ({sys.executable} -c" in problems["held"]["text"]
    assert "baud" not in report  # not tried under the program using it
    measured(line.name, "vorn doctor holder", problems["held"]["text"])


@board_uart
def test_user_without_access_told_which_group(line):
    import grp

    from vorn.cli import main

    st = os.stat(line.path)
    os.chown(line.path, 0, grp.getgrnam("dialout").gr_gid)  # as udev leaves a serial port, inside the guest
    os.chmod(line.path, 0o660)
    try:
        rc, report, problems = judged(*as_nobody(lambda: main(["doctor", line.path, "--json"])))
    finally:
        os.chown(line.path, st.st_uid, st.st_gid)
        os.chmod(line.path, st.st_mode & 0o7777)
    assert rc == 1 and set(problems) == {"access"}
    assert "group dialout may use it and you are not in it" in problems["access"]["text"]
    assert problems["access"]["fix"] == "sudo usermod -aG dialout $USER, then log out and back in"


@uart
def test_16550_told_921600_is_not_taken_and_the_speed_it_kept(line):
    rc, report, problems = doctor(line.path, "--baud", "115200")
    assert rc == 0 and report["baud"]["taken"]
    rc, report, problems = doctor(line.path, "--baud", "921600")
    baud = report["baud"]
    assert rc == 1 and set(problems) == {"baud"} and not baud["taken"]
    assert baud["output"] != 921600 and baud["input"] == baud["output"]
    text = problems["baud"]["text"]
    assert text.startswith(f"921600 baud is not taken: the driver kept {baud['output']}; its clock makes 115200 baud")
    measured(line.name, "vorn doctor 921600", text)
