"""SerialParser on real pseudo-terminals. The parser opens the slave side, as it
would a serial device; the test plays the unit on the master side and inspects
the line through it. The test's own slave descriptor is closed at once, so the
parser is the device's only user, as with a real port."""

import contextlib
import ctypes
import errno
import fcntl
import gc
import math
import os
import pathlib
import platform
import random
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import termios
import threading
import time
import warnings

import pytest
from privileges import as_nobody

import vorn_model as vm
import vorn_rs

TCGETS2 = 0x802C542A
TIOCGEXCL = 0x80045440
BOTHER = 0o010000
SYS_TGKILL = {"x86_64": 234, "aarch64": 131}.get(platform.machine())  # by this machine's number

TIMED_OUT = "Operation timed out"
LOCK_HELD = "Unable to acquire exclusive lock on serial port"
CHANNEL_TIMED_OUT = "timed out waiting on channel"


class Pty:
    """A pseudo-terminal whose master is the unit's end of the line."""

    def __init__(self) -> None:
        self.master, slave = os.openpty()
        self.path = os.ttyname(slave)
        os.close(slave)

    def close_master(self) -> None:
        if self.master >= 0:
            os.close(self.master)
            self.master = -1

    def line(self) -> dict:
        """The slave's extended settings, read through the master."""
        raw = fcntl.ioctl(self.master, TCGETS2, bytes(44))
        iflag, oflag, cflag, lflag = struct.unpack_from("4I", raw)
        ispeed, ospeed = struct.unpack_from("2I", raw, 36)
        return dict(iflag=iflag, oflag=oflag, cflag=cflag, lflag=lflag, ispeed=ispeed, ospeed=ospeed)

    def exclusive(self) -> bool:
        """Whether the slave is in exclusive mode, asked through a short-lived
        second descriptor (the master has a mode of its own)."""
        try:
            probe = os.open(self.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        except OSError as e:
            if e.errno == errno.EBUSY:  # an unprivileged prober is turned away
                return True
            raise
        try:
            return struct.unpack("i", fcntl.ioctl(probe, TIOCGEXCL, bytes(4)))[0] != 0
        finally:
            os.close(probe)


@pytest.fixture
def pty():
    p = Pty()
    yield p
    p.close_master()


class UnitSide(threading.Thread):
    """Writes `data` into the master from its own thread, in random pieces with
    short pauses, as a unit's bursts would arrive. Gives up (and says so) if the
    line stops taking bytes, so a dead reader cannot hang the test."""

    def __init__(self, master: int, data: bytes, seed: int = 0, max_piece: int = 400) -> None:
        super().__init__(daemon=True)
        self.master, self.data, self.rng, self.max_piece = master, data, random.Random(seed), max_piece
        self.failure = None
        self.cancelled = threading.Event()

    def run(self) -> None:
        poller = select.poll()
        poller.register(self.master, select.POLLOUT)
        view = memoryview(self.data)
        give_up = time.monotonic() + 20
        os.set_blocking(self.master, False)
        try:
            while view and time.monotonic() < give_up and not self.cancelled.is_set():
                if not poller.poll(50):
                    continue
                piece = view[: self.rng.randint(1, self.max_piece)]
                try:
                    view = view[os.write(self.master, piece) :]
                except BlockingIOError:
                    continue
                if self.rng.random() < 0.3:
                    time.sleep(self.rng.random() * 0.0005)
        finally:
            os.set_blocking(self.master, True)
        if view:
            self.failure = f"{len(view)} bytes never taken by the line"

    def cancel(self) -> None:
        self.cancelled.set()
        self.join(30)

    def finish(self) -> None:
        self.join(30)
        assert not self.is_alive() and self.failure is None, self.failure


def as_records(packets) -> list[dict]:
    return [vm.comparable({k: getattr(p, k) for k in vm.RECORD_KEYS}) for p in packets]


def expected(data: bytes) -> list[dict]:
    return [vm.comparable(r) for r in vm.decode_stream(data)]


def collect(parser, count: int, limit: float = 15.0) -> list:
    """Drains with waiting until `count` packets have come; a read failure
    propagates, a quiet spell of one time-out does not."""
    got = []
    give_up = time.monotonic() + limit
    while len(got) < count and time.monotonic() < give_up:
        try:
            got += parser.get_data_packets(block=True)
        except OSError as e:
            if str(e) != CHANNEL_TIMED_OUT:
                raise
    return got


def wait_stopped(parser, limit: float = 5.0) -> float:
    """Seconds until the reader ended by itself."""
    start = time.monotonic()
    while parser.is_running() and time.monotonic() - start < limit:
        time.sleep(0.001)
    assert not parser.is_running()
    return time.monotonic() - start


def settle_after_stop(parser) -> None:
    """A stop ends the read in progress at once, with nothing to report; only a
    read that had timed out before it queued its text for the next drain.
    Nothing else may be left."""
    try:
        rest = parser.get_data_packets()
    except OSError as e:
        assert str(e) == TIMED_OUT
        rest = parser.get_data_packets()
    assert rest == []


# Cases that stream through a pty give the reader a time-out of 5 s: the line
# never waits that long for the writer, even on a loaded machine, and a read
# that gets input returns at once, so the cases are no slower for it.


# A test that keeps a pytest.raises result keeps its own frame alive in a
# cycle; it deletes its parser itself, so that the parser goes on this thread
# and not whenever (and wherever) the cycle is collected.
def assert_os_error(info, text: str) -> None:
    e = info.value
    assert type(e) is OSError and e.args == (text,) and e.errno is None


def some_packets(seconds: float, seed: int = 5) -> bytes:
    return vm.UnitSimulator(seed=seed).stream(seconds)[0]


# -- line settings ----------------------------------------------------------


@pytest.mark.parametrize(
    "baudrate, speed", [(None, 115200), (921600, 921600), (0, 0), (1, 1), (4294967295, 4294967295), (True, 1)]
)
@pytest.mark.serial_ioctls
def test_line_is_raw_8n1_at_the_requested_speed(pty, baudrate, speed):
    parser = vorn_rs.SerialParser(pty.path, baudrate, timeout=0.5)
    line = pty.line()
    assert (line["ispeed"], line["ospeed"]) == (speed, speed)
    cflag, iflag = line["cflag"], line["iflag"]
    assert cflag & termios.CBAUD == BOTHER
    assert cflag & termios.CSIZE == termios.CS8
    assert cflag & (termios.PARENB | termios.PARODD | termios.CSTOPB | termios.CRTSCTS) == 0
    assert cflag & (termios.CREAD | termios.CLOCAL) == termios.CREAD | termios.CLOCAL
    assert iflag & (termios.IXON | termios.IXOFF | termios.INPCK | termios.ICRNL | termios.ISTRIP) == 0
    assert iflag & termios.IGNPAR
    assert line["oflag"] & termios.OPOST == 0
    assert line["lflag"] & (termios.ICANON | termios.ECHO | termios.ISIG | termios.IEXTEN) == 0

    # Whatever the speed, bytes that a cooked line would act on (CR, LF, ^C,
    # ^D, XON, XOFF, DEL, NUL) pass through untouched.
    controls = [struct.unpack(">f", b)[0] for b in (b"\r\n\x03\x04", b"\x11\x13\x7f\x00")]
    data = (
        vm.packet(0x80, vm.raw_field("scaled_ambient_pressure", controls[0]))
        + vm.packet(0x82, vm.est_field("est_pressure_alt", controls[1]))
        + some_packets(0.01)
    )
    parser.start()
    os.write(pty.master, data)
    assert as_records(collect(parser, len(expected(data)))) == expected(data)
    parser.stop()


# -- exclusive use ----------------------------------------------------------


def open_as_nobody(path: str) -> str:
    """What an unprivileged SerialParser on `path` reports."""

    def work() -> int:
        try:
            vorn_rs.SerialParser(path)
            print("(opened)", end="")
        except OSError as e:
            print(e, end="")
        return 0

    return as_nobody(work)[1]


@pytest.mark.serial_ioctls
def test_exclusive_while_open_and_released_when_gone(pty):
    assert not pty.exclusive()
    first = vorn_rs.SerialParser(pty.path, 921600, timeout=5.0)
    assert pty.exclusive()

    if os.geteuid() == 0:
        # The kernel's exclusive mode stops unprivileged openers; root gets past it
        # and is stopped by the advisory lock instead.
        os.chmod(pty.path, 0o666)
        assert open_as_nobody(pty.path) == "Device or resource busy"
        refused_text = LOCK_HELD
    else:
        refused_text = "Device or resource busy"
    with pytest.raises(OSError) as info:
        vorn_rs.SerialParser(pty.path)
    assert_os_error(info, refused_text)

    # The refused opener must not have taken the first one's claim away.
    assert pty.exclusive()
    first.start()
    data = some_packets(0.05)
    os.write(pty.master, data)
    assert as_records(collect(first, len(expected(data)))) == expected(data)
    assert first.is_running()
    first.stop()

    del first
    gc.collect()
    assert not pty.exclusive()
    again = vorn_rs.SerialParser(pty.path)
    assert pty.exclusive()
    del again


def in_forked_child(work) -> int:
    """work()'s return value, run in a forked child that ends without the
    interpreter's own clean-up (what work() drops, it drops itself)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork beside other threads
        child = os.fork()
    if child == 0:
        rc = 99
        try:
            rc = work()
        finally:
            os._exit(rc)
    return os.waitstatus_to_exitcode(os.waitpid(child, 0)[1])


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to act as another user")
@pytest.mark.parametrize("before_fork", ["fresh", "stopped"])
@pytest.mark.serial_ioctls
def test_a_forked_child_leaves_the_port_to_its_parent(pty, before_fork):
    """A child with an inherited parser that had no reader at the fork neither
    reads the port nor gives up its parent's claim when it drops the parser."""
    parser = vorn_rs.SerialParser(pty.path, 921600, timeout=0.5)
    if before_fork == "stopped":
        parser.start()
        parser.stop()
    os.chmod(pty.path, 0o666)
    line = pty.line()
    holder = [parser]
    del parser

    def child() -> int:
        parser = holder.pop()
        try:
            parser.start()
            return 1  # it reads the parent's port
        except OSError as e:
            if "forked" not in str(e) or parser.is_running():
                return 2
        finally:
            del parser
            gc.collect()
        return 0

    started = in_forked_child(child)
    # Another user is still turned away, and the line is as the parent set it.
    assert open_as_nobody(pty.path) == "Device or resource busy"
    assert pty.exclusive() and pty.line() == line
    with pytest.raises(OSError) as info:
        vorn_rs.SerialParser(pty.path)
    assert_os_error(info, LOCK_HELD)
    assert started == 0  # refused, and said why

    parser = holder.pop()
    parser.start()
    data = some_packets(0.05)
    os.write(pty.master, data)
    assert as_records(collect(parser, len(expected(data)))) == expected(data)
    parser.stop()


# -- streaming --------------------------------------------------------------


@pytest.mark.serial_ioctls
def test_live_stream_in_random_pieces_matches_the_model(pty):
    unit = vm.UnitSimulator(
        seed=11, noise=0.03, damage=0.01, false_sync=0.01, foreign=0.01, wrong_length=0.005, startup=0.1
    )
    data = unit.stream(1.0)[0]
    want = expected(data)
    with vorn_rs.SerialParser(pty.path, 921600, timeout=5.0) as parser:
        side = UnitSide(pty.master, data, seed=3)
        side.start()
        try:
            got = collect(parser, len(want))
        except BaseException:
            side.cancel()
            raise
        side.finish()
        assert parser.is_running()
    assert len(got) == len(want)
    assert as_records(got) == want
    stamps = [p.timestamp for p in got]
    assert stamps == sorted(stamps)


def tgkill(tid: int, sig: int) -> None:
    libc = ctypes.CDLL(None, use_errno=True)
    libc.syscall(SYS_TGKILL, os.getpid(), tid, sig)


def tasks() -> set[int]:
    return {int(t) for t in os.listdir("/proc/self/task")}


@pytest.mark.skipif(SYS_TGKILL is None, reason=f"tgkill's system call number on {platform.machine()} is not known here")
@pytest.mark.serial_ioctls
def test_signals_for_python_never_interrupt_a_read(pty):
    hits = 0

    def on_usr1(signum, frame):
        nonlocal hits
        hits += 1

    previous = signal.signal(signal.SIGUSR1, on_usr1)
    try:
        data = some_packets(1.0, seed=9)
        want = expected(data)
        parser = vorn_rs.SerialParser(pty.path, 921600, timeout=5.0)
        before = tasks()
        parser.start()
        (reader,) = tasks() - before

        done = threading.Event()

        def pester():
            # To the process (any thread that does not block it may take it)
            # and straight at the reader, which must keep it blocked.
            while not done.is_set():
                os.kill(os.getpid(), signal.SIGUSR1)
                tgkill(reader, signal.SIGUSR1)
                time.sleep(0.0005)

        sender = threading.Thread(target=pester, daemon=True)
        sender.start()
        side = UnitSide(pty.master, data, seed=4, max_piece=200)
        side.start()
        try:
            got = collect(parser, len(want))
        except BaseException:
            side.cancel()
            raise
        finally:
            done.set()
            sender.join()
        side.finish()
        assert hits > 0
        assert parser.is_running()
        assert as_records(got) == want
        parser.stop()
        settle_after_stop(parser)
    finally:
        signal.signal(signal.SIGUSR1, previous)


# 1e12 s lies beyond the clock's range, as an infinite time-out does: the read
# waits without a deadline (and a blocking drain can still wait for it).
@pytest.mark.parametrize("timeout", [0.5, 1e12])
@pytest.mark.serial_ioctls
def test_stop_and_restart_reuse_the_open_port(pty, timeout):
    """A stop on a quiet line returns at once, whatever the read time-out, and the
    packet it cut (its head read, the rest still on its way) arrives whole after
    the restart."""
    first, second = some_packets(0.02, seed=1), some_packets(0.02, seed=2)
    cut = 10
    parser = vorn_rs.SerialParser(pty.path, timeout=timeout)
    # Should the stop wait for the line after all, a byte comes after 6 s, so
    # that the test fails instead of hanging.
    watchdog = threading.Timer(6.0, os.write, (pty.master, b"\0"))
    parser.start()
    os.write(pty.master, first + second[:cut])
    assert as_records(collect(parser, len(expected(first)))) == expected(first)
    time.sleep(0.05)  # the reader holds the head of the next packet
    watchdog.start()
    t0 = time.monotonic()
    parser.stop()
    assert time.monotonic() - t0 < 2.0
    watchdog.cancel()
    assert not parser.is_running()

    settle_after_stop(parser)

    os.write(pty.master, second[cut:])  # nobody reads now; the line keeps it
    time.sleep(0.05)
    assert parser.get_data_packets() == []
    parser.start()
    assert as_records(collect(parser, len(expected(second)))) == expected(second)
    parser.stop()


# -- read failures ----------------------------------------------------------


@pytest.mark.parametrize("timeout, at_once", [(0.05, False), (0, True), (None, True)])
@pytest.mark.serial_ioctls
def test_silent_line_ends_the_reader(pty, timeout, at_once):
    parser = vorn_rs.SerialParser(pty.path, timeout=timeout)
    # The reader's first read may begin before start() returns: the read
    # time-out counts from before start(), the quick end from after it.
    begun = time.monotonic()
    parser.start()
    started = time.monotonic()
    wait_stopped(parser)
    if at_once:
        assert time.monotonic() - started < 0.1  # shorter than the default time-out would allow
    else:
        assert time.monotonic() - begun >= 0.05
    with pytest.raises(OSError) as info:
        parser.get_data_packets()
    assert_os_error(info, TIMED_OUT)
    assert not parser.is_running()
    assert parser.get_data_packets() == []
    del parser


@pytest.mark.serial_ioctls
def test_read_failure_is_raised_before_the_packets_it_overtook(pty):
    data = some_packets(0.02)
    parser = vorn_rs.SerialParser(pty.path, timeout=0.1)
    os.write(pty.master, data)  # waits in the line until the reader runs
    parser.start()
    wait_stopped(parser)  # read everything, then the line went silent
    with pytest.raises(OSError) as info:
        parser.get_data_packets(block=True)
    assert_os_error(info, TIMED_OUT)
    assert as_records(parser.get_data_packets()) == expected(data)
    assert parser.get_data_packets() == []
    del parser


@pytest.mark.serial_ioctls
def test_hang_up_of_the_far_side(pty):
    data = some_packets(0.02)
    parser = vorn_rs.SerialParser(pty.path, timeout=10.0)
    parser.start()
    os.write(pty.master, data)
    assert as_records(collect(parser, len(expected(data)))) == expected(data)
    pty.close_master()
    wait_stopped(parser)  # long before the read time-out
    with pytest.raises(OSError) as info:
        parser.get_data_packets()
    assert type(info.value) is OSError and str(info.value) in ("Broken pipe", "I/O error")
    del parser


# -- open failures and arguments -------------------------------------------


@pytest.mark.serial_ioctls
def test_open_failures(pty, tmp_path):
    regular = tmp_path / "not-a-tty"
    regular.write_bytes(b"")
    cases = [
        ("/nonexistent/vorn/ttyUSB0", "No such file or directory"),
        (str(regular), "Not a typewriter"),
        ("/dev/null", "Not a typewriter"),
        # Cut at the NUL this would name a real, free terminal.
        (pty.path + "\0junk", "Invalid argument"),
    ]
    descriptors = len(os.listdir("/proc/self/fd"))
    for path, text in cases:
        with pytest.raises(OSError) as info:
            vorn_rs.SerialParser(path)
        assert_os_error(info, text)
    assert len(os.listdir("/proc/self/fd")) == descriptors
    assert not pty.exclusive()
    vorn_rs.SerialParser(pathlib.Path(pty.path))  # still free, and a path object will do


def test_port_path_that_is_not_utf8_is_fatal():
    path = os.fsdecode(b"/tmp/\xff")
    assert path == "/tmp/\udcff"
    with pytest.raises(BaseException) as info:
        vorn_rs.SerialParser(path)
    fatal = type(info.value)
    assert (fatal.__module__, fatal.__name__) == ("vorn_rs", "FatalError")
    assert not isinstance(info.value, Exception)


@pytest.mark.serial_ioctls
def test_argument_errors(pty):
    with pytest.raises(TypeError) as info:
        vorn_rs.SerialParser(pty.path.encode())
    assert str(info.value) == "argument 'port': 'bytes' object cannot be cast as 'str'"

    with pytest.raises(TypeError) as info:
        vorn_rs.SerialParser(pty.path, "115200")
    assert str(info.value).startswith("argument 'baudrate': ")
    assert type(info.value.__cause__) is TypeError

    for baudrate in (-1, 2**32):
        with pytest.raises(OverflowError) as info:
            vorn_rs.SerialParser(pty.path, baudrate)
        assert str(info.value) == "out of range integral type conversion attempted"
    assert not pty.exclusive()  # refused before the device was touched


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to act as another user")
def test_opener_without_permission(pty):
    os.chmod(pty.path, 0o600)
    assert open_as_nobody(pty.path) == "Permission denied"


# -- failures a pseudo-terminal never shows ----------------------------------
#
# A pty takes every setting and speed and only ever reports a hang-up, so these
# paths are reached by interposing the C library calls in a child interpreter.

FAULT_SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

static const char* fault(void) {
  const char* f = getenv("VORN_FAULT");
  return f ? f : "";
}
static int configured_fd = -1;

int tcsetattr(int fd, int action, const struct termios* t) {
  int (*real)(int, int, const struct termios*) = dlsym(RTLD_NEXT, "tcsetattr");
  configured_fd = fd;
  return real(fd, action, t);
}

/* The read-back after a tcsetattr shows a driver that kept two stop bits. */
int tcgetattr(int fd, struct termios* t) {
  int (*real)(int, struct termios*) = dlsym(RTLD_NEXT, "tcgetattr");
  int r = real(fd, t);
  if (r == 0 && fd == configured_fd && strcmp(fault(), "settings") == 0) t->c_cflag |= CSTOPB;
  return r;
}

/* A driver that refuses the speed, or takes the call and keeps 9600 (the
   read-back after TCSETS2 shows B9600, as ftdi_sio's fall-back does). */
static int speed_written = 0;
int ioctl(int fd, unsigned long request, ...) {
  int (*real)(int, unsigned long, void*) = dlsym(RTLD_NEXT, "ioctl");
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  if (request == 0x402C542BUL && strcmp(fault(), "speed") == 0) {
    errno = EINVAL;
    return -1;
  }
  int r = real(fd, request, arg);
  if (r == 0 && request == 0x402C542BUL) speed_written = 1;
  if (r == 0 && request == 0x802C542AUL && speed_written && strcmp(fault(), "kept-speed") == 0) {
    unsigned* cflag = (unsigned*)arg + 2;
    *cflag = (*cflag & ~(0010017u | (0010017u << 16))) | 0000015u;
  }
  return r;
}

/* A wait that ends with the events given, or fails with EINTR; or a device
   hung up between a wait that saw input and the read (which then gives 0). */
int ppoll(struct pollfd* fds, nfds_t n, const struct timespec* limit, const sigset_t* mask) {
  int (*real)(struct pollfd*, nfds_t, const struct timespec*, const sigset_t*) = dlsym(RTLD_NEXT, "ppoll");
  if (strcmp(fault(), "hung-up") == 0) {
    fds[0].revents = POLLIN;
    return 1;
  }
  if (strncmp(fault(), "revents=", 8) == 0) {
    fds[0].revents = (short)strtol(fault() + 8, NULL, 0);
    return 1;
  }
  if (strcmp(fault(), "eintr") == 0) {
    errno = EINTR;
    return -1;
  }
  return real(fds, n, limit, mask);
}

ssize_t read(int fd, void* buf, size_t n) {
  ssize_t (*real)(int, void*, size_t) = dlsym(RTLD_NEXT, "read");
  if (fd == configured_fd && strcmp(fault(), "hung-up") == 0) return 0;
  return real(fd, buf, n);
}
"""

# Reports the open's or the first read's failure, then whether the device was
# left in exclusive mode and how many descriptors were left open.
FAULT_CHILD = (
    """
import fcntl, os, struct, sys, time
import vorn_rs
path = sys.argv[1]
watcher = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
before = len(os.listdir("/proc/self/fd"))
try:
    parser = vorn_rs.SerialParser(path, timeout=5.0)
except OSError as e:
    text = str(e)
else:
    parser.start()
    give_up = time.monotonic() + 5
    while parser.is_running() and time.monotonic() < give_up:
        time.sleep(0.001)
    try:
        parser.get_data_packets()
        text = "(no failure)"
    except OSError as e:
        text = str(e)
    del parser
exclusive = struct.unpack("i", fcntl.ioctl(watcher, %d, bytes(4)))[0]
print(text, exclusive, len(os.listdir("/proc/self/fd")) - before, sep="|")
"""
    % TIOCGEXCL
)


@pytest.fixture(scope="module")
def fault_shim(tmp_path_factory):
    if os.environ.get("VORN_FAULT_SHIM"):  # built beforehand, where no compiler runs
        return pathlib.Path(os.environ["VORN_FAULT_SHIM"])
    cc = shutil.which("cc")
    if cc is None:
        pytest.skip("no C compiler for the fault shim")
    where = tmp_path_factory.mktemp("shim")
    (where / "shim.c").write_text(FAULT_SHIM)
    subprocess.run([cc, "-shared", "-fPIC", "-o", str(where / "shim.so"), str(where / "shim.c"), "-ldl"], check=True)
    return where / "shim.so"


@pytest.mark.parametrize(
    "fault, text",
    [
        ("settings", "Settings did not apply correctly"),
        ("speed", "Invalid argument"),
        ("kept-speed", "Settings did not apply correctly"),
        (f"revents={select.POLLERR}", "I/O error"),
        (f"revents={select.POLLIN | select.POLLERR}", "I/O error"),
        (f"revents={select.POLLIN | select.POLLRDHUP}", "I/O error"),  # a bit we do not know
        (f"revents={select.POLLNVAL}", "Broken pipe"),
        ("eintr", "Interrupted system call"),
        ("hung-up", "Broken pipe"),  # not a quiet end: the lab's FTDI unplug showed it
    ],
)
@pytest.mark.serial_ioctls
@pytest.mark.child_interpreter
def test_failures_a_pty_never_shows(pty, fault_shim, fault, text):
    # After whatever is preloaded already (a sanitizer's runtime must stay first).
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(fault_shim)]))
    env = dict(os.environ, LD_PRELOAD=preload, VORN_FAULT=fault)
    done = subprocess.run(
        [sys.executable, "-c", FAULT_CHILD, pty.path], env=env, capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
    # Claimed and then released: exclusive mode off, nothing left open.
    assert done.stdout.strip() == f"{text}|0|0"


# -- vorn.open: the same port as a stream of column batches -------------------


def repoint(link: pathlib.Path, target: str) -> None:
    """Points link at target in one step, as udev swaps a by-id name."""
    staged = link.with_name(link.name + ".new")
    staged.unlink(missing_ok=True)
    os.symlink(target, staged)
    os.replace(staged, link)


def write_all(fd: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view[:4096]) :]


def stream_rows(stream, count: int, limit: float = 15.0) -> list:
    """Batches until `count` packets have come (a failure propagates)."""
    batches = []
    give_up = time.monotonic() + limit
    while sum(b.num_rows for b in batches) < count and time.monotonic() < give_up:
        batch = stream.read(timeout=0.2)
        if batch.num_rows:
            batches.append(batch)
    return batches


def assert_same_packets(batches, data: bytes, tmp_path) -> None:
    """The batches hold exactly the packets vorn.read finds in data, in order,
    and sample times that rise strictly per kind, never after the arrival."""
    np = pytest.importorskip("numpy")
    import vorn

    path = tmp_path / f"want-{len(data)}.bin"
    path.write_bytes(data)
    want = vorn.read(path)
    assert want.num_rows > 0
    for name in want:
        np.testing.assert_array_equal(np.concatenate([b[name] for b in batches]), want[name], err_msg=name)
    for b in batches:
        assert list(b)[:3] == ["host_time_ns", "time_ns", "packet_type"] and set(want) < set(b)
        assert (b["time_ns"] <= b["host_time_ns"]).all()
    kinds = np.concatenate([b["packet_type"] for b in batches])
    times = np.concatenate([b["time_ns"] for b in batches])
    for k in (0, 1):
        assert (np.diff(times[kinds == k]) > 0).all()


@pytest.mark.serial_ioctls
def test_stream_sync_iteration_timeout_and_selectors(pty, tmp_path):
    np = pytest.importorskip("numpy")
    import selectors

    import vorn

    data = some_packets(0.1)
    threads = len(os.listdir("/proc/self/task"))
    with vorn.open(pty.path, 921600, lookahead=0.064) as stream:
        assert pty.exclusive() and pty.line()["ospeed"] == 921600  # claimed and set as SerialParser does
        started = time.monotonic()
        empty = stream.read(timeout=0.05)
        assert time.monotonic() - started >= 0.05 and empty.num_rows == 0 and "time_ns" in empty
        with selectors.DefaultSelector() as sel:
            sel.register(stream, selectors.EVENT_READ)
            assert sel.select(0) == []  # nothing arrived: nothing to wake for
            before = time.time_ns()
            write_all(pty.master, data[:2000])
            assert sel.select(5)
            # Held until the look-ahead has passed; the descriptor says when.
            assert stream.read(timeout=0).num_rows == 0
            assert sel.select(5)
            first = stream.read(timeout=0)
            assert first.num_rows and (first["host_time_ns"] >= before).all()
            assert time.time_ns() - before >= stream.lookahead * 1e9
        writer = UnitSide(pty.master, data[2000:])
        writer.start()
        batches = [first]
        for batch in stream:
            batches.append(batch)
            if sum(b.num_rows for b in batches) == len(expected(data)):
                break
        writer.finish()
        assert len(os.listdir("/proc/self/task")) == threads + 1  # the stream's reading thread
    assert stream.closed and not pty.exclusive()
    assert len(os.listdir("/proc/self/task")) == threads  # ended with the stream
    assert_same_packets(batches, data, tmp_path)


@pytest.mark.serial_ioctls
def test_stream_async_iteration(pty, tmp_path):
    import asyncio

    import vorn

    data = some_packets(0.1)
    want = len(expected(data))

    async def main():
        loop = asyncio.get_running_loop()
        async with vorn.open(pty.path, lookahead=0) as stream:  # each packet at once
            assert (await stream.aread(timeout=0.02)).num_rows == 0
            # Written from the loop in pieces; the stream wakes the loop, no thread does.
            for i, k in enumerate(range(0, len(data), 700)):
                loop.call_later(0.002 * i, write_all, pty.master, data[k : k + 700])
            batches = []
            async for batch in stream:
                batches.append(batch)
                if sum(b.num_rows for b in batches) == want:
                    break
            # The loop watches the port from batch to batch, and stops at a
            # wake-up with no one waiting, at a wait given up, at the close.
            fd = stream._waitable()
            write_all(pty.master, some_packets(0.01, 2))
            await asyncio.sleep(0.05)
            assert not loop.remove_reader(fd)
            assert (await stream.aread(timeout=5)).num_rows
            waiting = asyncio.create_task(stream.aread())
            await asyncio.sleep(0.01)
            waiting.cancel()
            with contextlib.suppress(asyncio.CancelledError):
                await waiting
            assert not loop.remove_reader(fd)
            assert (await stream.aread(timeout=0.01)).num_rows == 0
            waiting = asyncio.create_task(stream.aread())
            await asyncio.sleep(0.01)
        assert not loop.remove_reader(fd)
        with pytest.raises(ValueError, match="closed"):  # closed under a waiting task: the wait ends
            await asyncio.wait_for(waiting, 5)
        return batches

    threads = threading.active_count()
    batches = asyncio.run(asyncio.wait_for(main(), 15))
    assert threading.active_count() == threads
    assert len(batches) > 1  # delivered as they came, not at the end
    assert_same_packets(batches, data, tmp_path)


@pytest.mark.serial_ioctls
def test_stream_hang_up_ends_with_the_errno(pty, tmp_path):
    import vorn

    data = some_packets(0.02)
    stream = vorn.open(pty.path, lookahead=10)
    write_all(pty.master, data)
    select.select([stream], [], [], 5)
    while select.select([stream], [], [], 0.1)[0]:  # until the line has been quiet a while
        assert stream.read(timeout=0).num_rows == 0  # read, held for the look-ahead
    pty.close_master()
    closed = time.monotonic()
    held = []
    with pytest.raises(OSError) as info:
        for batch in stream:  # what was held comes out at once, before the failure
            held.append(batch)
    assert time.monotonic() - closed < 5
    assert_same_packets(held, data, tmp_path)
    e = info.value
    assert (e.errno, e.strerror) in ((errno.EPIPE, "Broken pipe"), (errno.EIO, "I/O error"))
    assert e.filename == pty.path
    with pytest.raises(OSError):  # and again, until closed
        stream.read(timeout=0)
    stream.close()
    with pytest.raises(ValueError):
        stream.read()
    with pytest.raises(FileNotFoundError):
        vorn.open(tmp_path / "no-such-port")
    with pytest.raises(ValueError, match="lookahead"):
        vorn.open(pty.path, lookahead=-1)


@pytest.mark.serial_ioctls
def test_stream_reconnects_through_a_repointed_name(tmp_path):
    """A by-id name re-pointed at a new pty stands for the unit unplugged and
    plugged in again: every packet sent while it was there arrives, once, in
    order; the gap shows on the stream and on the next batch. Recorded as it
    goes: flushed while the line is quiet, the gap in its times."""
    import vorn
    from vorn.live import recorded_gaps
    from vorn.times import load_times

    bursts = [some_packets(0.05, seed) for seed in (1, 2, 3)]
    link = tmp_path / "usb-unit-if00"
    ptys = [Pty(), Pty()]
    repoint(link, ptys[0].path)
    batches = []
    try:
        rec = tmp_path / "rec.bin"
        with vorn.open(link, 921600, reconnect=True, record=rec) as stream:
            write_all(ptys[0].master, bursts[0])
            batches += stream_rows(stream, len(expected(bursts[0])))
            assert stream.read(timeout=0.6).num_rows == 0  # quiet: the flush falls due meanwhile
            assert rec.read_bytes() == bursts[0] and load_times(rec).untimed == 0
            lost = time.time_ns()
            ptys[0].close_master()
            link.unlink()  # gone for a while: a few attempts find nothing
            assert stream.read(timeout=0.15).num_rows == 0 and not stream.gaps
            repoint(link, ptys[1].path)
            give_up = time.monotonic() + 10
            while not stream.gaps and time.monotonic() < give_up:
                waited = stream.read(timeout=0.05)  # the batch handed out next carries the gap, empty or not
                assert waited.num_rows == 0
            assert ptys[1].exclusive() and ptys[1].line()["ospeed"] == 921600  # set up again
            writer = UnitSide(ptys[1].master, bursts[1] + bursts[2])
            writer.start()
            after = stream_rows(stream, len(expected(bursts[1] + bursts[2])))
            writer.finish()
            batches += after
    finally:
        for p in ptys:
            p.close_master()
    [gap] = stream.gaps
    assert waited.gap == gap and all(b.gap is None for b in batches)
    assert gap.lost_ns >= lost and gap.seconds >= 0.15
    assert_same_packets(batches, b"".join(bursts), tmp_path)
    assert batches[-1]["time_ns"][-1] > gap.back_ns
    assert rec.read_bytes() == b"".join(bursts) and load_times(rec).untimed == 0
    assert recorded_gaps(rec) == [gap]


def write_unread(fd: int, data: bytes, limit: float = 20.0) -> float:
    """Writes data into the line as fast as it takes it; the seconds that took.
    Fails, rather than hangs, when the line stops taking bytes for `limit` s."""
    os.set_blocking(fd, False)
    view = memoryview(data)
    started = time.monotonic()
    try:
        while view:
            if not select.select([], [fd], [], limit)[1]:
                pytest.fail(f"the writer waited {limit:g} s with {len(view):,} bytes left: nobody reads the line")
            view = view[os.write(fd, view[:65536]) :]
    finally:
        os.set_blocking(fd, True)
    return time.monotonic() - started


def read_all(stream, quiet: float = 0.5) -> list:
    """The batches until the stream has had nothing for `quiet` s."""
    batches = []
    while (batch := stream.read(timeout=quiet)).num_rows or batch.losses:
        batches.append(batch)
    return batches


def wait_for_size(path, size: int, limit: float = 20.0) -> None:
    give_up = time.monotonic() + limit
    while os.path.getsize(path) < size and time.monotonic() < give_up:
        time.sleep(0.01)
    assert os.path.getsize(path) == size


@pytest.mark.serial_ioctls
def test_stream_loses_nothing_while_its_caller_is_busy(pty, tmp_path):
    """A caller that reads nothing for a while (a slow batch, a plot, a
    blocked event loop): the unit's writer never waits, and every byte comes
    out afterwards, in order, and into the recording."""
    import vorn
    from vorn.times import load_times

    data = some_packets(5.0)  # 5 s of the unit, written at once: far past what a pty holds
    rec = tmp_path / "busy.bin"
    with vorn.open(pty.path, record=rec) as stream:
        took = write_unread(pty.master, data)
        wait_for_size(rec, len(data))
        time.sleep(0.2)  # busy a little longer
        batches = read_all(stream)
        assert stream.lost_bytes == 0 and not any(b.losses for b in batches)
    assert took < 10  # sanity: the reader took it as it came
    assert_same_packets(batches, data, tmp_path)
    assert rec.read_bytes() == data
    times = load_times(rec)
    assert times.untimed == 0 and times.losses == [] and times.note is None


@pytest.mark.serial_ioctls
def test_stream_past_its_ring_loses_the_oldest_bytes_and_says_so(pty, tmp_path):
    """A caller further behind than the ring holds: the oldest bytes go, the
    loss counted exactly on the next batch and the stream, framing begins
    afresh after it; the recording keeps every byte and marks what the
    stream missed, and vorn info shows it."""
    import vorn
    from vorn.times import load_times

    ring = 1 << 16
    data = some_packets(1.5)
    rec = tmp_path / "behind.bin"
    with vorn.open(pty.path, ring=ring, record=rec) as stream:
        write_unread(pty.master, data)
        wait_for_size(rec, len(data))
        batches = read_all(stream)
        lost = len(data) - ring
        assert stream.lost == {"ring": lost, "overrun": 0, "buffer": 0} and stream.lost_bytes == lost
        assert [b.lost_bytes for b in batches if b.losses] == [lost]
        assert batches[0].losses[0].cause == "ring"
        # Afterwards the stream goes on whole.
        more = some_packets(0.2, seed=9)
        write_unread(pty.master, more)
        batches += read_all(stream)
        assert stream.lost_bytes == lost
    kept = data[lost:]
    # The packets of the ring's bytes: from the first whole one on.
    assert sum(b.num_rows for b in batches) == len(expected(kept + more))
    assert rec.read_bytes() == data + more
    times = load_times(rec)
    assert times.untimed == 0
    assert [(x.at, x.bytes, x.cause) for x in times.losses] == [(0, lost, "ring")]
    shown = subprocess.run(
        [sys.executable, "-m", "vorn", "info", str(rec)], capture_output=True, text=True, check=True
    ).stdout
    assert f"lost:              {lost:,} bytes" in shown and "the recording has them" in shown


@pytest.mark.serial_ioctls
def test_stream_close_from_another_thread_and_a_dropped_stream(pty):
    """close() from another thread wakes a read() waiting in the first, which
    raises ValueError; a stream dropped unclosed warns as a file does and
    leaves no descriptor and no thread behind."""
    pytest.importorskip("numpy")  # its threads, started on import, are not the stream's
    import vorn

    gc.collect()  # what earlier tests left closes now, not while counted
    fds = len(os.listdir("/proc/self/fd"))
    tasks = len(os.listdir("/proc/self/task"))
    stream = vorn.open(pty.path)
    outcome = []

    def reader() -> None:
        try:
            stream.read()
        except ValueError as e:
            outcome.append(e)

    waiting = threading.Thread(target=reader, daemon=True)
    waiting.start()
    time.sleep(0.2)
    stream.close()
    waiting.join(10)
    assert not waiting.is_alive() and len(outcome) == 1
    assert stream.closed and not pty.exclusive()
    assert len(os.listdir("/proc/self/fd")) == fds
    for timeout in (None, math.inf, 0):
        with pytest.raises(ValueError):
            stream.read(timeout)

    dropped = vorn.open(pty.path)
    assert pty.exclusive()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        del dropped
        gc.collect()
    assert any(issubclass(w.category, ResourceWarning) and "unclosed" in str(w.message) for w in caught)
    assert not pty.exclusive()
    assert len(os.listdir("/proc/self/fd")) == fds
    # A joined Python thread's task may linger a moment after join() returns.
    give_up = time.monotonic() + 5
    while len(os.listdir("/proc/self/task")) > tasks and time.monotonic() < give_up:
        time.sleep(0.01)
    assert len(os.listdir("/proc/self/task")) == tasks


@pytest.mark.serial_ioctls
def test_stream_forked_while_recording(pty, tmp_path):
    """A child forked while the stream records: whether it exits dropping the
    stream or closes it, it writes nothing into the recording and does not
    disturb the parent's stream, whose close() is clean."""
    import vorn
    from vorn.times import load_times

    gc.collect()  # what earlier tests left closes now, not while counted
    fds = len(os.listdir("/proc/self/fd"))
    parts = [some_packets(0.1, seed) for seed in (1, 2, 3)]
    rec = tmp_path / "forked.bin"
    stream = vorn.open(pty.path, record=rec)
    batches = []
    for how, part in zip(("dropped", "closed"), parts):
        write_unread(pty.master, part)
        batches += stream_rows(stream, len(expected(part)))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # the child does nothing a thread could hold up
            pid = os.fork()
        if pid == 0:  # the child: leaves at once, never through pytest
            code = 0
            try:
                with contextlib.suppress(ValueError):  # not the child's to read
                    stream.read(timeout=0)
                    code = 2
                if how == "closed":
                    stream.close()
                else:
                    with warnings.catch_warnings():
                        warnings.simplefilter("ignore")
                        globals()["_dropped"] = stream
                        del globals()["_dropped"]
                gc.collect()
            except BaseException:
                code = 1
            os._exit(code)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
    write_unread(pty.master, parts[2])
    wait_for_size(rec, len(b"".join(parts)))
    batches += read_all(stream)
    assert pty.exclusive()  # still the parent's
    stream.close()
    assert not pty.exclusive()
    assert len(os.listdir("/proc/self/fd")) == fds
    assert_same_packets(batches, b"".join(parts), tmp_path)
    assert rec.read_bytes() == b"".join(parts)
    times = load_times(rec)
    assert times.note is None and times.untimed == 0


@pytest.mark.serial_ioctls
def test_stream_recording_left_open_at_exit(pty, tmp_path):
    """A program that records and exits without close(): its recording's
    times vouch for every byte all the same (the last ones written at exit)."""
    data = some_packets(0.3)
    rec = tmp_path / "left.bin"
    script = (
        "import os, sys, time, vorn\n"
        "stream = vorn.open(sys.argv[1], record=sys.argv[2])\n"
        "print('ready', flush=True)\n"
        "give_up = time.monotonic() + 20\n"
        "while os.path.getsize(sys.argv[2]) < int(sys.argv[3]) and time.monotonic() < give_up:\n"
        "    time.sleep(0.01)\n"
    )
    child = subprocess.Popen(
        [sys.executable, "-c", script, pty.path, str(rec), str(len(data))], stdout=subprocess.PIPE, text=True
    )
    try:
        assert child.stdout.readline() == "ready\n"
        write_unread(pty.master, data)
        assert child.wait(30) == 0
    finally:
        child.kill()
        child.wait()
        child.stdout.close()
    from vorn.times import load_times

    assert rec.read_bytes() == data
    times = load_times(rec)
    assert times.untimed == 0 and times.note is None
    assert not pty.exclusive()


def test_driver_overruns_are_marked_where_they_happened(tmp_path):
    """vorn record's writer given the driver's counts around each read (as
    Port.counters() reads them): every rise is marked before that read's
    bytes, by cause, and read back; counts that stay or a driver without them
    mark nothing."""
    from vorn.recorder import Recorder
    from vorn.times import Stamp, load_times

    data = some_packets(0.1)
    out = tmp_path / "overrun.bin"
    rec = Recorder(str(out), force=False, durable=False)
    rec.start(921600)
    third = len(data) // 3
    assert rec.overran(None, None, Stamp(1, 1)) == 0
    rec.add(data[:third], Stamp(10**18, 10**9))
    assert rec.overran((5, 7), (5, 7), Stamp(2, 2)) == 0
    rec.add(data[third : 2 * third], Stamp(10**18 + 10**6, 10**9 + 10**6))
    assert rec.overran((5, 7), (8, 9), Stamp(10**18 + 2 * 10**6, 10**9 + 2 * 10**6)) == 5
    rec.add(data[2 * third :], Stamp(10**18 + 3 * 10**6, 10**9 + 3 * 10**6))
    rec.close()
    times = load_times(out)
    assert times.note is None
    assert [(x.at, x.bytes, x.cause) for x in times.losses] == [(2 * third, 3, "overrun"), (2 * third, 2, "buffer")]
    assert times.losses[0].seen == Stamp(10**18 + 2 * 10**6, 10**9 + 2 * 10**6)


def test_stream_timeouts_and_damaged_gaps(tmp_path):
    """read() and aread() take and refuse the same timeouts; a replay whose
    arrival times jump by centuries is refused as damaged, not waited out."""
    import asyncio

    import vorn
    from vorn.times import Stamp, TimesWriter

    data = some_packets(0.05)
    path = tmp_path / "run.bin"
    path.write_bytes(data)
    half = len(data) // 2
    with contextlib.closing(TimesWriter(path, force=False)) as times:
        times.add(data[:half], Stamp(1_000_000_000, 1_000_000_000))
        times.add(data[half:], Stamp(1_000_000_000 + 1_000_000, 1_000_000_000 + 1_000_000))
    for timeout in (math.inf, 5, 0, -1, None):
        with vorn.open(path, pace=False) as stream:
            assert stream.read(timeout).num_rows
        with vorn.open(path, pace=False) as stream:
            assert asyncio.run(stream.aread(timeout)).num_rows
    with vorn.open(path, pace=False) as stream:
        for bad in (math.nan, "soon"):
            with pytest.raises((ValueError, TypeError)) as sync:
                stream.read(bad)
            with pytest.raises(sync.type):
                asyncio.run(stream.aread(bad))

    far = tmp_path / "far.bin"
    far.write_bytes(data)
    with contextlib.closing(TimesWriter(far, force=False)) as times:
        times.add(data[:half], Stamp(1_000_000_000, 1_000_000_000))
        times.add(data[half:], Stamp(1_000_000_000 + 2**62, 1_000_000_000 + 2**62))
    for pace in (0.1, 1, False):
        with pytest.raises(ValueError, match="damaged arrival times"):
            vorn.open(far, pace=pace)


@pytest.mark.serial_ioctls
def test_stream_sample_times_against_a_simulated_adapter(pty):
    """A simulated unit behind a USB adapter (16 ms bursts, its clock 60 ppm
    fast) played into the pty on its schedule: after the clock's 2 s warm-up
    the live sample times follow when the unit really sent each packet."""
    np = pytest.importorskip("numpy")
    import vorn

    link = vm.AdapterLink(drift_ppm=60.0, seed=3)
    data, reads, kinds, sent = link.recording(2.6)
    ends = np.array([end for end, _ in reads])
    due = np.array([mono for _, mono in reads]) - reads[0][1]  # each read's place in the schedule

    def play(start_ns: int) -> None:
        pos = 0
        for end, at in zip(ends.tolist(), due.tolist()):
            delay = start_ns + at - time.monotonic_ns()
            if delay > 0:
                time.sleep(delay / 1e9)
            write_all(pty.master, data[pos:end])
            pos = end

    with vorn.open(pty.path, link.baud) as stream:
        start = time.monotonic_ns() + 20_000_000
        wall_minus_mono = time.time_ns() - time.monotonic_ns()
        writer = threading.Thread(target=play, args=(start,), daemon=True)
        writer.start()
        batches = stream_rows(stream, len(sent), limit=20)
        writer.join(10)
    got = {c: np.concatenate([b[c] for b in batches]) for c in ("time_ns", "host_time_ns", "packet_type")}
    assert (got["packet_type"] == kinds).all()
    assert (got["time_ns"] <= got["host_time_ns"]).all()
    for k in (0, 1):
        assert (np.diff(got["time_ns"][kinds == k]) > 0).all()
    shift = start + wall_minus_mono - reads[0][1]  # the simulator's clock onto the host's wall clock
    truth = sent + shift
    err = np.abs(got["time_ns"] - truth)
    arrival_err = got["host_time_ns"] - truth
    # What the host added to the adapter's own delay (a loaded machine wakes
    # the writer and the reader late): no clock can see through that.
    framer = vorn._native.Framer()
    framer.columns(data, b"")
    offsets, lengths, _ = framer.places()
    last = np.frombuffer(offsets, np.uint64).astype(np.int64) + np.frombuffer(lengths, np.uint32) - 1
    scheduled = due[np.searchsorted(ends, last, side="right")] + start + wall_minus_mono
    warm = truth >= truth[0] + 2e9
    added = np.maximum(got["host_time_ns"] - scheduled, 0)[warm]
    goal = 3e6  # the online goal, met on an idle machine (bench/bench_stream.py)
    assert np.percentile(err[warm], 99) <= goal + np.percentile(added, 99), (
        np.percentile(err[warm], 99),
        np.percentile(added, 99),
    )
    assert np.median(err[warm]) < np.median(arrival_err[warm]) / 2


def test_stream_replays_a_recording_at_its_pace(tmp_path):
    np = pytest.importorskip("numpy")
    import vorn
    from vorn.live import recorded_gaps
    from vorn.times import Stamp, TimesWriter

    data = some_packets(0.2)
    path = tmp_path / "run.bin"
    path.write_bytes(data)
    cuts = np.linspace(0, len(data), 21, dtype=int)  # 20 reads 10 ms apart, 1 s unplugged after the 10th
    with contextlib.closing(TimesWriter(path, force=False)) as times:
        t0 = time.time_ns()
        for i, size in enumerate(np.diff(cuts)):
            at = t0 + i * 10_000_000 + (1_000_000_000 if i >= 10 else 0)
            if i == 10:
                times.gap(Stamp(t0 + 95_000_000, t0 + 95_000_000), Stamp(at - 5_000_000, at - 5_000_000))
            times.add(int(size), Stamp(at, at))
    want = vorn.read(path)
    [gap] = recorded_gaps(path)
    for pace, least in ((False, 0.0), (20.0, 1.19 / 20)):
        started = time.monotonic()
        with vorn.open(path, pace=pace) as stream:
            batches = list(stream)
            assert stream.ended and stream.gaps == [gap] and stream.read(timeout=None).num_rows == 0
        assert time.monotonic() - started >= least
        got = {name: np.concatenate([b[name] for b in batches]) for name in want}
        for name in want:
            np.testing.assert_array_equal(got[name], want[name], err_msg=name)
        assert [b.gap for b in batches].count(gap) == 1
    # A backlog comes out in pieces: a batch takes reads until it holds
    # BATCH_BYTES (and a packet begun in the batch before may end in it).
    from vorn.live import BATCH_BYTES

    big = tmp_path / "big.bin"
    data = some_packets(1.5)
    big.write_bytes(data)
    with contextlib.closing(TimesWriter(big, force=False)) as times:
        sizes = np.diff(np.linspace(0, len(data), 41, dtype=int))
        for size in sizes:
            times.add(int(size), Stamp(t0, t0))
    framer = vorn._native.Framer()
    framer.columns(data, b"")
    lengths = np.frombuffer(framer.places()[1], np.uint32)
    with vorn.open(big, pace=False) as stream:
        rows = np.cumsum([0] + [b.num_rows for b in stream])
    assert len(data) > 2 * BATCH_BYTES and rows[-1] == len(lengths)
    assert max(lengths[a:b].sum() for a, b in zip(rows, rows[1:])) < BATCH_BYTES + sizes.max() + lengths.max()
    with pytest.raises(ValueError):
        vorn.open(path, pace=-1)
    plain = tmp_path / "plain.bin"
    plain.write_bytes(data)
    with pytest.raises(ValueError, match="no arrival times"):
        vorn.open(plain)


def test_a_port_session_looks_again_ever_later_and_marks_each_gap_once_back():
    """The one reconnect loop of record, vorn.open and doctor: a failed look
    doubles the wait up to LAST_RETRY, a look that opens the port marks the
    gap (a failed mark lets the port go again), and the port's failures are
    named as Python names a file's."""
    from vorn.port_session import FIRST_RETRY, LAST_RETRY, PortSession

    failures: list[BaseException] = []
    opened, released, marked = [], [], []
    fd = os.open("/dev/null", os.O_RDONLY)

    def connect(path: str) -> int:
        opened.append(path)
        if failures:
            raise failures.pop(0)
        return fd

    def mark(lost, back) -> None:
        marked.append((lost, back))
        if len(marked) == 1:
            raise OSError(errno.ENOSPC, "No space left on device", "run.bin")

    session = PortSession("/dev/ttyQ9", 115200, reconnect=True, connect=connect, release=lambda: released.append(1))
    session._mark = mark
    try:
        session.open()
        lost = session.lost()
        assert released == [1] and session.delay == FIRST_RETRY
        failures += [OSError(errno.ENOENT, "No such file or directory")] * 7
        delays = []
        for _ in range(7):
            assert session.reopen() is None
            delays.append(session.delay)
        assert delays == [min(FIRST_RETRY * 2**k, LAST_RETRY) for k in range(1, 8)] and delays[-1] == LAST_RETRY
        with pytest.raises(OSError, match="No space left"):
            session.reopen()  # back, but the gap not on record: let go again
        assert len(released) == 2 and not session.gaps
        gap = session.reopen()
        assert gap is not None and session.gaps == [gap] and gap.lost_ns == lost.wall_ns <= gap.back_ns
        assert marked[-1][0] == lost and len(opened) == 10
    finally:
        os.close(fd)

    # Failures to open, in Python's words with the path; a pause in the blocking form.
    for error, kind, text in [
        (OSError(errno.ENOTTY, "Inappropriate ioctl for device"), OSError, "not a serial port (not a terminal device)"),
        (OSError(errno.EACCES, "Permission denied"), PermissionError, "Permission denied"),
        (UnicodeEncodeError("utf-8", "\udcff", 0, 1, "surrogates not allowed"), ValueError, "not valid UTF-8"),
    ]:
        failures[:] = [error]
        with pytest.raises(kind, match=re.escape(text)) as refused:
            PortSession("/dev/ttyQ9", 115200, connect=connect).open()
        assert "/dev/ttyQ9" in str(refused.value)
    session = PortSession("/dev/ttyQ9", 115200, reconnect=True, connect=connect, release=lambda: None)
    session.lost()
    failures[:] = [OSError(errno.ENOENT, "No such file or directory")] * 100
    assert session.wait(lambda: False, time.monotonic() + 0.3) is None
    assert session.wait(lambda: True, math.inf) is None
