import fcntl
import functools
import os
import signal
import subprocess
import sys

import pytest

# --- What the system under the interpreter offers ---
# Under user-mode emulation (an aarch64 interpreter on qemu-user) some kernel
# interfaces are missing. Tests that need one carry its marker and are skipped,
# with the reason found, when a probe shows it missing.

TCGETS2 = 0x802C542A
TIOCGEXCL = 0x80045440


@functools.cache
def missing_serial_ioctls() -> str | None:
    """Why no serial port can be opened here, or None: SerialParser sets the
    line with TCGETS2/TCSETS2 and checks exclusive mode with TIOCGEXCL."""
    master, slave = os.openpty()
    try:
        for name, request, size in (("TCGETS2", TCGETS2, 44), ("TIOCGEXCL", TIOCGEXCL, 4)):
            try:
                fcntl.ioctl(slave, request, bytes(size))
            except OSError as e:
                return f"the {name} ioctl is not available here ({os.strerror(e.errno)})"
    finally:
        os.close(master)
        os.close(slave)
    return None


@functools.cache
def cannot_start_interpreter() -> str | None:
    """Why this interpreter cannot start another copy of itself, or None."""
    try:
        done = subprocess.run([sys.executable, "-c", ""], capture_output=True, timeout=120)
    except OSError as e:
        return f"cannot start {sys.executable} in a child process ({e.strerror})"
    if done.returncode != 0:  # 127: the child could not exec it
        return f"cannot start {sys.executable} in a child process (exit status {done.returncode})"
    return None


PROBES = {
    "serial_ioctls": (missing_serial_ioctls, "opens a serial port, which needs the extended termios ioctls"),
    "child_interpreter": (cannot_start_interpreter, "starts the interpreter in a child process"),
}


# --- Signals, whatever started the suite ---
# A background job (`make test &`, nohup) starts with SIGINT ignored, and nohup
# with SIGHUP ignored too; children inherit that through exec. Cases send these
# signals to this process (Ctrl-C as KeyboardInterrupt) and to the commands they
# start, so the suite sets them up as a terminal would: SIGINT raises
# KeyboardInterrupt here, and the others get a handler that does nothing here
# (a handler, unlike SIG_IGN, is reset to the default by exec in a child).

STOP_SIGNALS = (signal.SIGINT, signal.SIGHUP, signal.SIGTERM)
_ignored_at_start: list[signal.Signals] = []


def _ignore_here(signum, frame):
    pass


def pytest_configure(config):
    for marker, (_, what) in PROBES.items():
        config.addinivalue_line("markers", f"{marker}: {what}")
    for s in STOP_SIGNALS:
        if signal.getsignal(s) is signal.SIG_IGN:
            _ignored_at_start.append(s)
            signal.signal(s, signal.default_int_handler if s == signal.SIGINT else _ignore_here)


def pytest_unconfigure(config):
    while _ignored_at_start:
        signal.signal(_ignored_at_start.pop(), signal.SIG_IGN)


def pytest_collection_modifyitems(config, items):
    for marker, (probe, _) in PROBES.items():
        marked = [item for item in items if item.get_closest_marker(marker)]
        reason = probe() if marked else None
        for item in marked if reason else ():
            item.add_marker(pytest.mark.skip(reason=reason))


# --- Replaying byte streams through MockParser (module and packet tests) ---

import itertools
import time

REPLAY_LIMIT = 10.0  # seconds; a reader that has not reached the end by then has hung


def wait_ended(parser, limit: float = REPLAY_LIMIT) -> None:
    """Polls until the parser's reader has stopped by itself."""
    deadline = time.monotonic() + limit
    while parser.is_running():
        assert time.monotonic() < deadline, "the reader did not stop by itself"
        time.sleep(0.001)


@pytest.fixture
def stream_file(tmp_path):
    """stream_file(data) -> path of a new file under tmp_path holding data."""
    names = itertools.count()

    def write(data: bytes):
        path = tmp_path / f"stream-{next(names)}.bin"
        path.write_bytes(data)
        return path

    return write


@pytest.fixture
def replay(stream_file):
    """replay(data, timeout=0.1) -> every IMUPacket a MockParser finds in data,
    after its reader has reached the end of the file."""
    import vorn_rs

    def run(data: bytes, timeout: float | None = 0.1) -> list:
        parser = vorn_rs.MockParser(stream_file(data), timeout)
        parser.start()
        wait_ended(parser)
        packets = parser.get_data_packets()
        assert parser.get_data_packets() == []
        return packets

    return run


# --- end of the MockParser replay helpers ---
