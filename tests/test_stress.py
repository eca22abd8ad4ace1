"""Many threads at once on the free-threaded interpreter: parsers created, started,
drained, stopped and destroyed in storms on their owners' threads, calls and
drops from foreign threads meanwhile, packets shared and released everywhere.
Nothing may crash, hang (every join has a limit) or go missing.

The storms replay recordings of 256-byte packets that carry their own number: a
2048-byte read then ends on a packet boundary, so even a stop in the middle of a
run loses nothing, and every run of a storm must deliver exactly the packets
0, 1, 2, ... in order."""

import os
import queue
import random
import re
import sys
import threading
import time

import pytest

import vorn_model as vm
import vorn_rs

JOIN = 30.0  # seconds; a thread still alive after this has hung
THREADS = 8
# Shrinks the storms for slow runs (under valgrind, say).
SCALE = float(os.environ.get("VORN_STRESS_SCALE", "1"))


def scaled(n: int) -> int:
    return max(1, round(n * SCALE))


FOREIGN_TEXT = "is unsendable, but sent to another thread"
DROPPED_TEXT = re.compile(r"^vorn_rs::MockParser is unsendable, but is being dropped on another thread$")


def numbered(n: int) -> bytes:
    """A raw packet of 256 bytes carrying n, padded by a field no decoder reads."""
    return vm.packet(vm.SET_RAW, vm.raw_field("scaled_accel", (float(n), 0.0, 0.0)) + vm.field(0x7F, bytes(234)))


def recording(first: int, count: int) -> bytes:
    return b"".join(numbered(i) for i in range(first, first + count))


def numbers(packets) -> list[int]:
    return [int(p.scaled_accel[0]) for p in packets]


def run_threads(target, count, *args, limit=JOIN):
    """Runs target(i, *args) on count threads started together; fails on the first
    error or on a thread that does not finish in time."""
    errors = []
    barrier = threading.Barrier(count)

    def body(i):
        try:
            barrier.wait(limit)
            target(i, *args)
        except BaseException as e:  # noqa: B036 - the fatal-error class too
            errors.append(e)

    threads = [threading.Thread(target=body, args=(i,), daemon=True) for i in range(count)]
    for t in threads:
        t.start()
    deadline = time.monotonic() + limit
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    assert not any(t.is_alive() for t in threads), "a thread hung"
    if errors:
        raise errors[0]


def wait_ended(parser, limit=JOIN):
    deadline = time.monotonic() + limit
    while parser.is_running():
        assert time.monotonic() < deadline, "the reader did not stop by itself"
        time.sleep(0.0005)


def drain_into(parser, got, block=False):
    try:
        got += numbers(parser.get_data_packets(block))
    except OSError as e:
        assert str(e) == "timed out waiting on channel"


def storm_step(parser, rng, got):
    """One random call of the owner's; collects what drains return."""
    op = rng.randrange(8)
    if op in (0, 1):
        parser.start()
    elif op in (2, 3):
        parser.stop()
    elif op == 4:
        drain_into(parser, got, block=True)
    elif op == 5:
        with parser:
            drain_into(parser, got)
    elif op == 6:
        assert parser.is_running() in (True, False)
    else:
        drain_into(parser, got)


def finish(parser, got):
    """Runs the parser on to the end of its stream and drains the rest."""
    parser.stop()
    parser.start()
    wait_ended(parser)
    parser.stop()
    drain_into(parser, got)
    assert parser.get_data_packets() == []


@pytest.fixture(scope="module")
def numbered_file(tmp_path_factory):
    count = 512
    path = tmp_path_factory.mktemp("stress") / "numbered.bin"
    path.write_bytes(recording(0, count))
    return path, count


# ---------------------------------------------------------------------------
# Owners


def test_parser_lifecycles_on_many_owner_threads(numbered_file):
    path, count = numbered_file
    fds = len(os.listdir("/proc/self/fd"))

    def owner(i):
        rng = random.Random(i)
        for round_ in range(scaled(40)):
            parser = vorn_rs.MockParser(path, timeout=0.01)
            got = []
            for _ in range(rng.randrange(1, 12)):
                storm_step(parser, rng, got)
            if round_ % 4 == 3:
                del parser  # destroyed in whatever state the storm left it
                continue
            finish(parser, got)
            assert got == list(range(count))

    run_threads(owner, THREADS)
    assert len(os.listdir("/proc/self/fd")) == fds  # every recording closed again


class Fifo:
    """A FIFO that a writer thread fills with numbered packets, in pieces of whole
    packets at an uneven pace, and then closes: the reader's end of stream."""

    def __init__(self, path, count, seed):
        os.mkfifo(path)
        self.path = path
        self.count = count
        self.fd = os.open(path, os.O_RDWR)  # the parser's open returns at once
        self.rng = random.Random(seed)
        self.lock = threading.Lock()
        self.thread = threading.Thread(target=self._write, daemon=True)

    def _write(self):
        n = 0
        try:
            while n < self.count:
                k = min(self.rng.randrange(1, 9), self.count - n)
                os.write(self.fd, recording(n, k))  # at most 2048 bytes: one atomic write
                n += k
                if self.rng.random() < 0.3:
                    time.sleep(self.rng.random() * 0.002)
        finally:
            self.close()

    def close(self):
        with self.lock:  # the writer and the owner may both close it
            fd, self.fd = self.fd, -1
        if fd >= 0:
            os.close(fd)


def fatal_error_class(e) -> bool:
    cls = type(e)
    return (cls.__module__, cls.__name__) == ("vorn_rs", "FatalError") and not isinstance(e, Exception)


FOREIGN_CALLS = [
    lambda p: p.start(),
    lambda p: p.stop(),
    lambda p: p.is_running(),
    lambda p: p.get_data_packets(),
    lambda p: p.get_data_packets(block=True),
    lambda p: p.__enter__(),
    lambda p: p.__exit__(None, None, None),
]


def test_start_stop_storms_while_readers_are_mid_read(tmp_path):
    # Each owner storms a parser whose reader waits in a read of a FIFO that is
    # filled slowly; meddling threads call the same parsers meanwhile, and are
    # refused every time without disturbing the owners.
    owners, meddlers = 4, 2
    count = scaled(6000)
    parsers = [None] * owners
    storming = [owners]
    lock = threading.Lock()
    refused = [0]
    # Owners drop their parsers only once no meddler can hold one any more: a
    # parser's last reference must go on its owner's thread.
    all_done = threading.Barrier(owners + meddlers)

    def owner(i):
        fifo = Fifo(tmp_path / f"fifo-{i}", count, seed=i)
        parser = vorn_rs.MockParser(fifo.path, timeout=0.005)
        parsers[i] = parser
        rng = random.Random(100 + i)
        got = []
        fifo.thread.start()
        try:
            while fifo.thread.is_alive():
                storm_step(parser, rng, got)
            fifo.thread.join(JOIN)
            assert not fifo.thread.is_alive()
            finish(parser, got)
            assert got == list(range(count))
        finally:
            fifo.close()  # a reader still in its read gets its end of stream
            parsers[i] = None
            with lock:
                storming[0] -= 1
            all_done.wait(JOIN)

    def meddler(j):
        rng = random.Random(200 + j)
        try:
            while storming[0] > 0:
                target = parsers[rng.randrange(owners)]
                if target is None:
                    time.sleep(0.0005)
                    continue
                try:
                    rng.choice(FOREIGN_CALLS)(target)
                    raise AssertionError("a foreign call went through")
                except BaseException as e:
                    if not fatal_error_class(e):
                        raise
                    assert FOREIGN_TEXT in str(e)
                    with lock:
                        refused[0] += 1
                finally:
                    del target
        finally:
            all_done.wait(JOIN)

    run_threads(lambda i: owner(i) if i < owners else meddler(i), owners + meddlers)
    assert refused[0] > 0


def test_drops_on_foreign_threads_are_reported_and_harmless(numbered_file, monkeypatch):
    path, count = numbered_file
    # No lock in the hook: a release may run on any thread, whatever it holds.
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    handed = queue.Queue()
    go = threading.Event()
    dropped = []

    def owner(k):
        parser = vorn_rs.MockParser(path)
        if k % 2:
            parser.start()
        handed.put(parser)

    def dropper():
        go.wait(JOIN)
        while True:
            try:
                parser = handed.get_nowait()
            except queue.Empty:
                return
            del parser  # the last reference
            dropped.append(1)

    # The droppers exist before the owners and no thread starts after them: the
    # interpreter hands a last reference to the thread that now runs where the
    # object's creator ran, and here there is none, so each release happens at
    # once on the dropping thread.
    droppers = [threading.Thread(target=dropper, daemon=True) for _ in range(THREADS)]
    for t in droppers:
        t.start()
    owners = [threading.Thread(target=owner, args=(k,), daemon=True) for k in range(4 * THREADS)]
    for t in owners:
        t.start()
    for t in owners + [None] + droppers:
        if t is None:
            time.sleep(0.05)  # until the owners' thread states are gone too
            go.set()
            continue
        t.join(JOIN)
        assert not t.is_alive(), "a thread hung"
    assert len(dropped) == 4 * THREADS and handed.empty()
    assert len(reports) == len(dropped)
    for report in reports:
        assert report.exc_type is RuntimeError and DROPPED_TEXT.match(str(report.exc_value))
    # Parsers made afterwards are unaffected.
    with vorn_rs.MockParser(path) as parser:
        wait_ended(parser)
        assert numbers(parser.get_data_packets()) == list(range(count))


# ---------------------------------------------------------------------------
# Packets


@pytest.fixture(scope="module")
def mixed_stream(tmp_path_factory):
    unit = vm.UnitSimulator(seed=5, noise=0.02, damage=0.01, invalid_rate=0.2, false_sync=0.01, foreign=0.01)
    data, _ = unit.stream(0.2)
    path = tmp_path_factory.mktemp("stress") / "mixed.bin"
    path.write_bytes(data)
    expected = [vm.comparable(r) for r in vm.decode_stream(data)]
    return path, expected


def view(p) -> dict:
    return vm.comparable({k: getattr(p, k) for k in vm.RECORD_KEYS if k != "timestamp"})


def test_packets_made_and_released_on_different_threads(mixed_stream):
    # Producers replay the stream and hand every packet on; consumers check and
    # release them; a shared list is read by all meanwhile. Packet memory goes
    # back and forth through the free list from every thread.
    path, expected = mixed_stream
    want = [{k: v for k, v in r.items() if k != "timestamp"} for r in expected]
    with vorn_rs.MockParser(path) as parser:
        wait_ended(parser)
        shared = parser.get_data_packets()
    assert [view(p) for p in shared] == want
    shared_text = [str(p) for p in shared]

    producers = THREADS // 2
    rounds = scaled(8)
    handed = queue.Queue()
    consumed = [0] * THREADS
    done = threading.Event()
    finished_producers = [0]
    lock = threading.Lock()

    def producer(i):
        try:
            for _ in range(rounds):
                with vorn_rs.MockParser(path) as parser:
                    wait_ended(parser)
                    packets = parser.get_data_packets()
                assert len(packets) == len(want)
                for k in range(0, len(packets), 50):
                    handed.put(packets[k : k + 50])
                del packets
                assert [str(p) for p in shared[i::7]] == shared_text[i::7]
        finally:
            with lock:
                finished_producers[0] += 1
                if finished_producers[0] == producers:
                    done.set()

    def consumer(i):
        rng = random.Random(i)
        while True:
            try:
                batch = handed.get(timeout=0.01)
            except queue.Empty:
                if done.is_set() and handed.empty():
                    return
                continue
            for p in batch:
                assert p.packet_type in ("raw", "estimated")
                str(p)
            consumed[i] += len(batch)
            del batch  # the packets die here, on another thread than they were made on
            k = rng.randrange(len(shared))
            assert view(shared[k]) == want[k]

    def body(i):
        (producer if i < producers else consumer)(i)

    run_threads(body, THREADS)
    assert sum(consumed) == producers * rounds * len(want)
    assert [str(p) for p in shared] == shared_text
