"""Faults of the byte source while a parser reads it: a recording that shrinks or
disappears under the reader, one it may not read, a terminal whose far side
hangs up, a reader that ends while a drain waits. Each ends in its documented
error or a quiet end, and every packet decoded before the fault is delivered.

The recordings here are made of 256-byte packets, so each 2048-byte read of a
file holds whole packets only and a stop never cuts one: the packets delivered
are then exactly those of the bytes read."""

import json
import os
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import pytest
from conftest import wait_ended

import vorn_model as vm
import vorn_rs

PACKET_SIZE = 256
READ = 2048
TIMED_OUT = "timed out waiting on channel"
HANG_UP_TEXTS = ("Broken pipe", "I/O error")


def numbered(n: int) -> bytes:
    """A raw packet of PACKET_SIZE bytes carrying n, padded by a field no decoder reads."""
    return vm.packet(vm.SET_RAW, vm.raw_field("scaled_accel", (float(n), 0.0, 0.0)) + vm.field(0x7F, bytes(234)))


def recording(count: int) -> bytes:
    return b"".join(numbered(i) for i in range(count))


def numbers(packets) -> list[int]:
    assert all(p.packet_type == "raw" and p.scaled_accel[1:] == [0.0, 0.0] for p in packets)
    return [int(p.scaled_accel[0]) for p in packets]


def assert_os_error(info, texts):
    e = info.value
    assert type(e) is OSError and e.errno is None and e.args == (str(e),)
    assert str(e) in texts, str(e)


def descriptors_of(path) -> set[int]:
    found = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == str(path):
                found.add(int(fd))
        except FileNotFoundError:
            pass  # the listing's own descriptor, closed by now
    return found


def open_parser(path):
    """A MockParser over path and the descriptor it holds."""
    before = descriptors_of(path)
    parser = vorn_rs.MockParser(path)
    opened = descriptors_of(path) - before
    assert len(opened) == 1
    return parser, opened.pop()


def file_position(fd: int) -> int:
    with open(f"/proc/self/fdinfo/{fd}") as info:
        return int(next(line for line in info if line.startswith("pos:")).split()[1])


def stopped_mid_file(path, data: bytes):
    """A parser over path, holding data, whose reader stopped part-way through it:
    the parser, the file position, and the packets it delivered. (The reader runs
    to the end of the first half, which is all there is at first; then the rest
    is appended.)"""
    half = len(data) // 2 // READ * READ
    path.write_bytes(data[:half])
    parser, fd = open_parser(path)
    parser.start()
    wait_ended(parser)
    parser.stop()
    with open(path, "ab") as f:
        f.write(data[half:])
    assert file_position(fd) == half
    return parser, half, numbers(parser.get_data_packets())


# ---------------------------------------------------------------------------
# A recording that changes under the reader


@pytest.mark.parametrize("where", ["ahead", "behind"])
def test_file_shrinks_between_runs(tmp_path, where):
    count = 4096  # 1 MiB
    path = tmp_path / "shrinking.bin"
    parser, pos, got = stopped_mid_file(path, recording(count))
    assert pos % READ == 0 and got == list(range(pos // PACKET_SIZE))

    # Cut mid-packet, either in the part not yet read or in the part behind the reader.
    new_size = (pos + (count * PACKET_SIZE - pos) // 2 if where == "ahead" else pos // 2) + 100
    os.truncate(path, new_size)
    parser.start()
    wait_ended(parser)
    # The reader goes on from its position: up to the new end, where the packet
    # cut in two is dropped quietly, or, when the end now lies behind it, nowhere.
    more = numbers(parser.get_data_packets())
    if where == "ahead":
        assert more == list(range(pos // PACKET_SIZE, new_size // PACKET_SIZE))
    else:
        assert more == []
    assert parser.get_data_packets() == []  # no failure text either
    parser.stop()
    # A new replay sees the shorter file.
    with vorn_rs.MockParser(path) as fresh:
        wait_ended(fresh)
        assert numbers(fresh.get_data_packets()) == list(range(new_size // PACKET_SIZE))


def test_file_shrinks_while_the_reader_runs(tmp_path):
    count = 8192
    path = tmp_path / "shrinking.bin"
    path.write_bytes(recording(count))
    new_size = count * PACKET_SIZE // 2 + 100
    parser = vorn_rs.MockParser(path)
    parser.start()
    os.truncate(path, new_size)
    wait_ended(parser)
    # However far the reader had got when the file shrank: an unbroken run of the
    # packets from the first, at least all of those still in the file, no error.
    got = numbers(parser.get_data_packets())
    assert got == list(range(len(got)))
    assert new_size // PACKET_SIZE <= len(got) <= count
    assert parser.get_data_packets() == []


@pytest.mark.parametrize("stop_first", [False, True], ids=["while-running", "between-runs"])
def test_file_unlinked_while_replayed(tmp_path, stop_first):
    count = 4096
    path = tmp_path / "vanishing.bin"
    if stop_first:
        parser, _, got = stopped_mid_file(path, recording(count))
        path.unlink()
        parser.start()
    else:
        path.write_bytes(recording(count))
        parser = vorn_rs.MockParser(path)
        parser.start()
        path.unlink()
        got = []
    # The open descriptor keeps the data: the replay reads on to its end.
    wait_ended(parser)
    got += numbers(parser.get_data_packets())
    assert got == list(range(count))
    assert parser.get_data_packets() == []
    # Only a new parser finds the name gone.
    with pytest.raises(OSError) as info:
        vorn_rs.MockParser(path)
    assert str(info.value) == "No such file or directory (os error 2)"


# ---------------------------------------------------------------------------
# Recordings that cannot be read


def test_directory_is_opened_but_not_read(tmp_path):
    parser = vorn_rs.MockParser(tmp_path)
    parser.start()
    wait_ended(parser)
    with pytest.raises(OSError) as info:
        parser.get_data_packets()
    assert_os_error(info, ["Is a directory (os error 21)"])
    assert parser.get_data_packets() == []


def test_start_without_a_descriptor_to_spare(tmp_path):
    """Out of descriptors is an ordinary OSError, errno set, and the parser
    starts once some are free again."""
    import errno
    import resource

    path = tmp_path / "three.bin"
    path.write_bytes(recording(3))
    parser = vorn_rs.MockParser(path)
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    fillers = []
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(map(int, os.listdir("/proc/self/fd"))) + 8, hard))
        with pytest.raises(OSError) as exhausted:
            while True:
                fillers.append(os.open(os.devnull, os.O_RDONLY))
        assert exhausted.value.errno == errno.EMFILE
        for _ in range(2):
            with pytest.raises(OSError) as info:
                parser.start()
            e = info.value
            assert type(e) is OSError and e.errno == errno.EMFILE and e.args == (str(e),)
            text = f"{os.strerror(errno.EMFILE)} (os error {errno.EMFILE})"
            assert str(e) == f"failed to create the reader's stop signal: {text}"
            assert not parser.is_running()
    finally:
        for fd in fillers:
            os.close(fd)
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    parser.start()
    wait_ended(parser)
    assert numbers(parser.get_data_packets()) == [0, 1, 2]


NO_PERMISSION_CHILD = r"""
import json, os, sys, time
import vorn_rs
if os.geteuid() == 0:
    os.setgroups([])
    os.setgid(65534)
    os.setuid(65534)
result = {"uid": os.geteuid()}
try:
    vorn_rs.MockParser(sys.argv[1])
    result["secret"] = "opened"
except OSError as e:
    result["secret"] = [type(e).__name__, str(e), e.errno]
with vorn_rs.MockParser(sys.argv[2]) as parser:  # the readable sibling, to show the rest works
    deadline = time.monotonic() + 10
    while parser.is_running() and time.monotonic() < deadline:
        time.sleep(0.001)
    result["sibling"] = len(parser.get_data_packets())
print(json.dumps(result))
"""


@pytest.mark.child_interpreter
def test_file_without_read_permission():
    # Not under pytest's own temporary directory, which only its owner may enter.
    where = Path(tempfile.mkdtemp(prefix="vorn-faults-"))
    try:
        where.chmod(0o755)
        secret, sibling = where / "secret.bin", where / "sibling.bin"
        for path, mode in ((secret, 0o200), (sibling, 0o644)):
            path.write_bytes(recording(3))
            path.chmod(mode)
        done = subprocess.run(
            [sys.executable, "-c", NO_PERMISSION_CHILD, str(secret), str(sibling)],
            capture_output=True,
            text=True,
            timeout=60,
        )
        assert done.returncode == 0, done.stderr
        result = json.loads(done.stdout)
        assert result["uid"] != 0
        assert result["secret"] == ["OSError", "Permission denied (os error 13)", None]
        assert result["sibling"] == 3
    finally:
        for path in where.iterdir():
            path.unlink()
        where.rmdir()


# ---------------------------------------------------------------------------
# A terminal whose far side hangs up


def collect(parser, count, limit=10.0):
    got = []
    deadline = time.monotonic() + limit
    while len(got) < count:
        assert time.monotonic() < deadline, f"only {len(got)} of {count} packets arrived"
        got += parser.get_data_packets(block=True)
    return got


@pytest.mark.serial_ioctls
def test_far_side_hangs_up_mid_packet():
    master, slave = os.openpty()
    path = os.ttyname(slave)
    os.close(slave)
    try:
        parser = vorn_rs.SerialParser(path, timeout=10.0)
        parser.start()
        tail = numbered(5)
        os.write(master, recording(5) + tail[: len(tail) // 2])
        assert numbers(collect(parser, 5)) == list(range(5))
        os.close(master)
        master = -1
        t0 = time.monotonic()
        wait_ended(parser)
        assert time.monotonic() - t0 < 5.0  # the hang-up, not the read time-out, ended it
        with pytest.raises(OSError) as info:
            parser.get_data_packets()
        assert_os_error(info, HANG_UP_TEXTS)
        # The half packet never turns up, and the text was reported once.
        assert parser.get_data_packets() == []
        parser.stop()
        assert parser.get_data_packets() == []
    finally:
        if master >= 0:
            os.close(master)


# ---------------------------------------------------------------------------
# A reader that ends while a drain waits


class Fifo:
    """A FIFO whose write end the test holds; closing it is the reader's end of stream."""

    def __init__(self, path):
        os.mkfifo(path)
        self.path = path
        self.fd = os.open(path, os.O_RDWR)  # never blocks, and lets the parser's open return

    def close(self):
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


def asleep(tid: int) -> bool:
    """Whether the thread `tid` of this process is blocked (state S)."""
    with open(f"/proc/self/task/{tid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[0] == "S"


def later(delay, action):
    t = threading.Timer(delay, action)
    t.daemon = True
    t.start()
    return t


@pytest.mark.parametrize("sent", [0, 3])
def test_stream_ends_while_a_drain_waits(tmp_path, sent):
    fifo = Fifo(tmp_path / "live")
    parser = vorn_rs.MockParser(fifo.path, timeout=0.5)
    try:
        parser.start()

        def finish():
            os.write(fifo.fd, recording(sent) + numbered(sent)[:100])
            fifo.close()

        timer = later(0.1, finish)
        t0 = time.monotonic()
        if sent:
            # Woken by the first packet; the rest follow in later drains.
            got = numbers(parser.get_data_packets(block=True))
            assert time.monotonic() - t0 < 0.5
            wait_ended(parser)
            got += numbers(parser.get_data_packets())
            assert got == list(range(sent))
        else:
            # The end of the stream queues nothing, so the wait runs its full time.
            with pytest.raises(OSError) as info:
                parser.get_data_packets(block=True)
            assert_os_error(info, [TIMED_OUT])
            assert 0.5 <= time.monotonic() - t0 < 5.0
        timer.join(10)
        wait_ended(parser)
        assert parser.get_data_packets() == []  # the cut packet is never delivered
    finally:
        fifo.close()
        parser.stop()


@pytest.mark.serial_ioctls
def test_far_side_hangs_up_while_a_drain_waits():
    master, slave = os.openpty()
    path = os.ttyname(slave)
    os.close(slave)
    # The time-out is the port's read time-out as well as the drain's wait: long
    # enough that the line's silence before the hang-up does not end the reader.
    parser = vorn_rs.SerialParser(path, timeout=1.0)
    hung_up = threading.Event()
    try:
        parser.start()
        os.write(master, recording(2))
        assert numbers(collect(parser, 2)) == [0, 1]

        main = threading.get_native_id()
        about_to_wait = threading.Event()

        def hang_up():
            # Once the drain waits (the main thread asleep after saying it is
            # about to), however late a loaded machine gets it there.
            about_to_wait.wait(10)
            give_up = time.monotonic() + 10
            while not asleep(main) and time.monotonic() < give_up:
                time.sleep(0.005)
            time.sleep(0.1)
            os.write(master, numbered(2)[:50])
            os.close(master)
            hung_up.set()

        timer = later(0, hang_up)
        t0 = time.monotonic()
        about_to_wait.set()
        # The failure text does not cut the wait short: the wait is for packets.
        with pytest.raises(OSError) as info:
            parser.get_data_packets(block=True)
        waited = time.monotonic() - t0
        assert_os_error(info, [TIMED_OUT])
        assert 1.0 <= waited < 5.0
        timer.join(10)
        assert parser.is_running() is False
        with pytest.raises(OSError) as info:
            parser.get_data_packets(block=True)  # raised before any wait
        assert_os_error(info, HANG_UP_TEXTS)
        assert parser.get_data_packets() == []
    finally:
        parser.stop()
        if not hung_up.is_set():
            os.close(master)
