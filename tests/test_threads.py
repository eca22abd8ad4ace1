"""Parsers and packets under real threads on the free-threaded interpreter: waits
that leave the other threads (and the garbage collector) running, the owner-thread
rule, packets shared between threads, signals during a waiting drain."""

import contextlib
import gc
import os
import re
import signal
import subprocess
import sys
import sysconfig
import threading
import time

import pytest

import vorn_model as vm
import vorn_rs

JOIN = 10.0  # seconds; a thread still alive after this has hung
THREADS = 8
PACKET = vm.packet(vm.SET_RAW, vm.raw_field("scaled_accel", (0.0, 0.0, -1.0)))
FOREIGN_TEXT = "vorn_rs::MockParser is unsendable, but sent to another thread"
DROPPED_TEXT = "vorn_rs::MockParser is unsendable, but is being dropped on another thread"


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="a build with the GIL")
def test_interpreter_runs_without_the_gil():
    assert sys._is_gil_enabled() is False
    import vorn._native  # noqa: F401  (the vorn command's helper declares the same)

    assert sys._is_gil_enabled() is False


@pytest.fixture(scope="module")
def stream(tmp_path_factory):
    """A recorded stream with faults and the records a correct decoder finds in it."""
    unit = vm.UnitSimulator(
        seed=31, noise=0.05, damage=0.02, invalid_rate=0.05, false_sync=0.02, foreign=0.02,
        wrong_length=0.01,
    )  # fmt: skip
    data, _ = unit.stream(0.3)
    path = tmp_path_factory.mktemp("threads") / "stream.bin"
    path.write_bytes(data)
    return path, vm.decode_stream(data)


def run_to_end(parser, limit=JOIN):
    """Starts parser, waits for its reader to reach the end of the file, drains."""
    parser.start()
    deadline = time.monotonic() + limit
    while parser.is_running():
        assert time.monotonic() < deadline, "the reader did not reach the end of the file"
        time.sleep(0.001)
    return parser.get_data_packets()


def without_timestamp(pkt):
    """What a packet shows apart from its timestamp: values with float bits, and the text form."""
    values = vm.comparable({k: getattr(pkt, k) for k in vm.RECORD_KEYS})
    return values, re.sub(r"timestamp=\d+", "timestamp=", str(pkt), count=1)


def expected_views(records):
    return [(vm.comparable(r), re.sub(r"timestamp=\d+", "timestamp=", vm.text_form(r, 0), count=1)) for r in records]


def run_threads(target, count, *args):
    """Runs target(i, *args) on count threads started together; re-raises the first failure."""
    errors = []
    barrier = threading.Barrier(count)

    def body(i):
        try:
            barrier.wait(JOIN)
            target(i, *args)
        except BaseException as e:
            errors.append(e)

    threads = [threading.Thread(target=body, args=(i,), daemon=True) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(JOIN)
    assert not any(t.is_alive() for t in threads), "a thread hung"
    if errors:
        raise errors[0]


class Fifo:
    """A FIFO with a write end held open, so a parser over it opens at once and its
    reader blocks until bytes are written; closing gives the reader its end of stream."""

    def __init__(self, path):
        os.mkfifo(path)
        self.path = path
        self.fd = os.open(path, os.O_RDWR)

    def write(self, data: bytes):
        os.write(self.fd, data)

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


@contextlib.contextmanager
def live_parser(tmp_path, timeout):
    fifo = Fifo(tmp_path / "live")
    parser = vorn_rs.MockParser(fifo.path, timeout=timeout)
    try:
        yield parser, fifo
    finally:
        fifo.close()  # before the parser goes: a reader blocked in its read needs the end of stream
        parser.stop()


def busy_work(seconds: float) -> int:
    """Collects garbage (which must stop every attached thread) and spins; returns the spin count."""
    for _ in range(3):
        gc.collect()
    spins = 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        spins += 1
    return spins


# ---------------------------------------------------------------------------
# Waiting without holding up the interpreter


def test_waiting_drain_lets_other_threads_collect_and_run(tmp_path):
    # Parsers earlier tests left in garbage cycles go here, on the thread that
    # made them, not in the other thread's collection (where an unsendable
    # one refuses to be dropped).
    gc.collect()
    with live_parser(tmp_path, timeout=5.0) as (parser, fifo):
        parser.start()
        seen = {}

        def other():
            time.sleep(0.2)  # the owner is in its wait by now
            seen["spins"] = busy_work(0.1)
            seen["done"] = time.monotonic()
            fifo.write(PACKET)  # only now may the owner's wait end

        helper = threading.Thread(target=other, daemon=True)
        t0 = time.monotonic()
        helper.start()
        try:
            packets = parser.get_data_packets(block=True)
            t1 = time.monotonic()
        finally:
            helper.join(JOIN)
        assert not helper.is_alive()
    # If the wait held the interpreter, the collection could only finish after the
    # owner's 5 s time-out, and the drain would have raised instead.
    assert seen["done"] - t0 < 2.0
    assert seen["done"] <= t1 < t0 + 2.5
    assert seen["spins"] > 1000
    assert [(p.packet_type, p.scaled_accel) for p in packets] == [("raw", [0.0, 0.0, -1.0])]


def _stop(parser):
    parser.stop()


def _exit(parser):
    assert parser.__exit__(None, None, None) is None


@pytest.mark.parametrize("finish", [_stop, _exit, None], ids=["stop", "__exit__", "destruction"])
def test_stop_ends_a_read_that_waits_at_once(tmp_path, finish):
    """A quiet writer holds up neither stop(), __exit__ nor destruction, and the
    packet whose head the reader held when stopped comes whole from the next run."""
    fifo = Fifo(tmp_path / "live")
    box = [vorn_rs.MockParser(fifo.path, timeout=5.0)]  # the only reference, for the destruction case
    # Should the stop wait for the read after all, a process outside the interpreter
    # writes a byte after 6 s, so that the test fails instead of hanging.
    watchdog = subprocess.Popen(["sh", "-c", f"sleep 6; printf x > '{fifo.path}'"])
    try:
        box[0].start()
        fifo.write(PACKET[:10])
        time.sleep(0.05)  # the reader has the head of the packet and waits for the rest
        t0 = time.monotonic()
        if finish is None:
            box.pop()
        else:
            finish(box[0])
        assert time.monotonic() - t0 < 2.0
        if box:
            parser = box[0]
            assert parser.is_running() is False
            assert parser.get_data_packets() == []  # a wait cut short is no failure
            parser.start()
            fifo.write(PACKET[10:])
            assert [p.scaled_accel for p in parser.get_data_packets(block=True)] == [[0.0, 0.0, -1.0]]
    finally:
        watchdog.kill()
        watchdog.wait()
        fifo.close()
        box.clear()


FORK_SCRIPT = r"""
import os, sys, threading, time
import vorn_rs

path, packet, flood = sys.argv[1], bytes.fromhex(sys.argv[2]), sys.argv[3]

def fds():
    return set(os.listdir("/proc/self/fd"))

def reap(pid):
    give_up = time.monotonic() + 20
    while time.monotonic() < give_up:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            assert os.waitstatus_to_exitcode(status) == 0, status
            return
        time.sleep(0.01)
    os.kill(pid, 9)
    raise AssertionError("the child hung")

writer = os.open(path, os.O_RDWR)
before = fds()
parser = vorn_rs.MockParser(path, timeout=2.0)
parser.start()
mine = fds() - before  # the FIFO and whatever else the reader needs
os.write(writer, packet * 3)
time.sleep(0.2)  # queued, not drained

pid = os.fork()
if pid == 0:
    # A thread of the child's own, which may be given the reader's old thread id.
    other = threading.Thread(target=time.sleep, args=(0.2,))
    other.start()
    assert parser.is_running() is False
    try:
        parser.get_data_packets()
        raise AssertionError("the lost reader was not reported")
    except OSError as e:
        assert "fork" in str(e), str(e)
    assert len(parser.get_data_packets()) == 3
    assert parser.get_data_packets() == []
    parser.stop()
    parser.start()
    assert parser.is_running() is False
    for fd in mine:
        try:
            os.fstat(int(fd))
            raise AssertionError(f"descriptor {fd} is still open in the child")
        except OSError:
            pass
    del parser
    other.join()
    sys.exit(0)  # an ordinary exit, with the interpreter's threads running

# The parent's reader reads on; its queue is its own.
os.write(writer, packet)
got = []
while len(got) < 4:
    got += parser.get_data_packets(block=True)
reap(pid)
parser.stop()

# Forks while a reader is busy queueing: no child may find a lock taken for ever.
with open(flood, "wb") as f:
    f.write(packet * 200_000)
busy = vorn_rs.MockParser(flood)
busy.start()
for _ in range(40):
    pid = os.fork()
    if pid == 0:
        try:
            busy.get_data_packets()
        except OSError:
            pass
        busy.get_data_packets()
        os._exit(0)
    reap(pid)
busy.stop()
print("ok")
"""


@pytest.mark.child_interpreter
def test_a_forked_child_keeps_the_queue_but_not_the_reader(tmp_path):
    fifo = tmp_path / "live"
    os.mkfifo(fifo)
    done = subprocess.run(
        [sys.executable, "-c", FORK_SCRIPT, str(fifo), PACKET.hex(), str(tmp_path / "flood")],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (done.returncode, done.stdout) == (0, "ok\n"), done.stderr


# ---------------------------------------------------------------------------
# Packets and parsers on many threads


def test_packets_read_and_released_on_many_threads(stream):
    path, records = stream
    with vorn_rs.MockParser(path) as parser:
        shared = run_to_end(parser)
    expected = [(p.timestamp, *without_timestamp(p)) for p in shared]
    assert [e[1:] for e in expected] == expected_views(records)
    # Each thread also gets packets that only it holds, to release them there.
    owned = []
    for _ in range(THREADS):
        with vorn_rs.MockParser(path) as parser:
            owned.append(run_to_end(parser))

    def work(i):
        for _ in range(3):
            assert [(p.timestamp, *without_timestamp(p)) for p in shared] == expected
        mine = owned[i]
        assert [without_timestamp(p) for p in mine] == [e[1:] for e in expected]
        while mine:
            mine.pop()  # the last reference goes on this thread

    run_threads(work, THREADS)
    assert all(not mine for mine in owned)
    assert [(p.timestamp, *without_timestamp(p)) for p in shared] == expected


def test_parsers_on_many_threads_each_get_the_whole_stream(stream):
    path, records = stream
    want = expected_views(records)

    def work(i):
        for _ in range(3):
            t0 = time.time_ns()
            with vorn_rs.MockParser(path) as parser:
                packets = run_to_end(parser)
            assert [without_timestamp(p) for p in packets] == want
            stamps = [p.timestamp for p in packets]
            assert stamps == sorted(stamps)
            assert t0 <= stamps[0] and stamps[-1] <= time.time_ns()
            del packets, parser  # released here while the other threads allocate

    run_threads(work, THREADS)


# ---------------------------------------------------------------------------
# The owner-thread rule


def _with_block(parser):
    with parser:
        raise AssertionError("entered a foreign parser")


FOREIGN_CALLS = {
    "start": lambda p: p.start(),
    "stop": lambda p: p.stop(),
    "is_running": lambda p: p.is_running(),
    "get_data_packets": lambda p: p.get_data_packets(),
    "get_data_packets(block=True)": lambda p: p.get_data_packets(block=True),
    "__enter__": lambda p: p.__enter__(),
    "__exit__": lambda p: p.__exit__(None, None, None),
    "with": _with_block,
}


def call_on_other_thread(parser):
    """Each foreign call's outcome: what it raised, and whether `except Exception` caught it."""
    outcomes = {}

    def body():
        for name, call in FOREIGN_CALLS.items():
            try:
                call(parser)
                outcomes[name] = ("returned", None)
            except Exception as e:
                outcomes[name] = ("Exception", e)
            except BaseException as e:
                outcomes[name] = ("BaseException", e)

    t = threading.Thread(target=body, daemon=True)
    t.start()
    t.join(JOIN)
    assert not t.is_alive()
    return outcomes


def assert_all_refused(outcomes):
    assert set(outcomes) == set(FOREIGN_CALLS)
    for name, (how, e) in outcomes.items():
        assert how == "BaseException", f"{name}: {how} {e!r}"
        cls = type(e)
        assert (cls.__module__, cls.__name__) == ("vorn_rs", "FatalError"), name
        assert issubclass(cls, BaseException) and not issubclass(cls, Exception)
        assert FOREIGN_TEXT in str(e), f"{name}: {e}"


def test_calls_from_another_thread_are_fatal_and_leave_the_parser_usable(stream):
    path, records = stream
    parser = vorn_rs.MockParser(path, timeout=1.0)
    assert_all_refused(call_on_other_thread(parser))
    # Nothing was started, stopped or left borrowed by the refused calls.
    assert parser.is_running() is False
    assert parser.get_data_packets() == []
    assert [without_timestamp(p) for p in run_to_end(parser)] == expected_views(records)
    parser.stop()


def test_calls_from_another_thread_while_the_owner_waits(tmp_path):
    # The owner holds the object borrowed while it waits; a foreign call must be
    # refused by the owner check, not as a borrow conflict, and must not give the
    # owner's borrow back.
    with live_parser(tmp_path, timeout=5.0) as (parser, fifo):
        parser.start()
        outcomes = {}

        def other():
            time.sleep(0.1)
            outcomes.update(call_on_other_thread(parser))
            fifo.write(PACKET)

        helper = threading.Thread(target=other, daemon=True)
        helper.start()
        try:
            packets = parser.get_data_packets(block=True)
        finally:
            helper.join(JOIN)
        assert not helper.is_alive()
        assert_all_refused(outcomes)
        assert [p.scaled_accel for p in packets] == [[0.0, 0.0, -1.0]]
        assert parser.is_running() is True
        fifo.write(PACKET)
        assert len(parser.get_data_packets(block=True)) == 1


@pytest.mark.parametrize("started", [False, True], ids=["idle", "run-to-end"])
def test_dropping_on_another_thread_is_reported_not_raised(stream, monkeypatch, started):
    path, records = stream
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    box = []
    open_fds = len(os.listdir("/proc/self/fd"))

    def make():
        parser = vorn_rs.MockParser(path)
        if started:
            assert len(run_to_end(parser)) == len(records)
        box.append(parser)

    # The owner thread has ended by the time the last reference goes here, so the
    # interpreter releases the object on this thread rather than handing it back.
    owner = threading.Thread(target=make, daemon=True)
    owner.start()
    owner.join(JOIN)
    assert not owner.is_alive() and len(box) == 1
    box.pop()
    assert len(reports) == 1
    report = reports[0]
    assert report.exc_type is RuntimeError
    assert str(report.exc_value) == DROPPED_TEXT
    # Reported, but not leaked: the recording is closed again.
    assert len(os.listdir("/proc/self/fd")) == open_fds
    # The interpreter is still fine, and so are new parsers.
    with vorn_rs.MockParser(path) as parser:
        assert len(run_to_end(parser)) == len(records)
    assert len(reports) == 1


# ---------------------------------------------------------------------------
# Signals during a waiting drain (these run on the main thread, where Python
# runs signal handlers)


class Interrupted(Exception):
    pass


@contextlib.contextmanager
def handler(signum, func):
    assert threading.current_thread() is threading.main_thread()
    previous = signal.signal(signum, func)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signum, previous)


def _raise_interrupted(signum, frame):
    raise Interrupted


def _alarm_in(seconds):
    signal.setitimer(signal.ITIMER_REAL, seconds)


def _sigint_from_other_thread(seconds):
    main = threading.main_thread().ident
    threading.Timer(seconds, signal.pthread_kill, (main, signal.SIGINT)).start()


# Ctrl-C arrives as SIGINT; its handler raises an exception of the test's own
# rather than KeyboardInterrupt, which would end the whole session if a wait
# failed to run it in time.
@pytest.mark.parametrize(
    "signum, send",
    [(signal.SIGALRM, _alarm_in), (signal.SIGINT, _sigint_from_other_thread)],
    ids=["timer", "ctrl-c-from-another-thread"],
)
def test_signal_handler_interrupts_a_waiting_drain(stream, signum, send):
    path, records = stream
    parser = vorn_rs.MockParser(path, timeout=5.0)  # never started: the wait gets nothing
    with handler(signum, _raise_interrupted):
        send(0.2)
        t0 = time.monotonic()
        with pytest.raises(Interrupted):
            parser.get_data_packets(block=True)
        elapsed = time.monotonic() - t0
    assert 0.15 < elapsed < 1.0
    # The borrow was given back on the way out.
    assert parser.get_data_packets() == []
    assert [without_timestamp(p) for p in run_to_end(parser)] == expected_views(records)


def test_signal_handler_reentering_the_waiting_parser_finds_it_borrowed(stream):
    path, records = stream
    parser = vorn_rs.MockParser(path, timeout=5.0)
    outcomes = {}
    reentrant = {
        "get_data_packets": lambda: parser.get_data_packets(),
        "start": lambda: parser.start(),
        "stop": lambda: parser.stop(),
        "is_running": lambda: parser.is_running(),
        "__enter__": lambda: parser.__enter__(),
        "__exit__": lambda: parser.__exit__(None, None, None),
    }

    def reenter(signum, frame):
        for name, call in reentrant.items():
            try:
                call()
                outcomes[name] = None
            except BaseException as e:
                outcomes[name] = e
        raise Interrupted  # ends the wait

    with handler(signal.SIGALRM, reenter):
        _alarm_in(0.2)
        t0 = time.monotonic()
        with pytest.raises(Interrupted):
            parser.get_data_packets(block=True)
        assert time.monotonic() - t0 < 1.0

    shown = {name: (type(e).__name__, str(e)) for name, e in outcomes.items()}
    for name in ("get_data_packets", "start", "stop"):
        assert shown[name] == ("RuntimeError", "Already borrowed"), name
    assert shown["is_running"] == ("RuntimeError", "Already mutably borrowed")
    for name in ("__enter__", "__exit__"):
        assert shown[name][0] == "FatalError" and shown[name][1].startswith("Already borrowed"), name
    # None of the refused calls started the reader or kept the object borrowed.
    assert parser.is_running() is False
    assert [without_timestamp(p) for p in run_to_end(parser)] == expected_views(records)
