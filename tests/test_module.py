"""What Python code sees of the module and the parser classes: attributes,
argument binding and conversion, failures, the borrow rules, and the reader
engine's life cycle driven through MockParser."""

import importlib
import inspect
import math
import os
import pty
import pydoc
import re
import select
import signal
import sys
import termios
import threading
import time
import traceback
import tty
import weakref
from fcntl import ioctl

import pytest
from conftest import wait_ended

import vorn_model as vm
import vorn_rs
from vorn_rs import IMUPacket, MockParser, SerialParser

NO_PORT = "/nonexistent/ttyVORN0"  # argument checks run before the open
TIMED_OUT = "timed out waiting on channel"
NEGATIVE = "cannot convert float seconds to Duration: value is negative"
TOO_BIG = "cannot convert float seconds to Duration: value is either too big or NaN"


def accel_packets(count: int) -> bytes:
    return b"".join(vm.packet(vm.SET_RAW, vm.raw_field("scaled_accel", (i, 0.0, 0.0))) for i in range(count))


def indices(packets) -> list[int]:
    return [int(p.scaled_accel[0]) for p in packets]


def assert_plain_os_error(exc: BaseException, text: str) -> None:
    assert type(exc) is OSError
    assert exc.args == (text,)
    assert exc.errno is None and exc.strerror is None
    assert str(exc) == text


def assert_fatal(exc: BaseException, text: str) -> None:
    assert not isinstance(exc, Exception)
    assert type(exc).__bases__ == (BaseException,)
    assert "native code" in type(exc).__doc__
    assert str(exc) == text


def assert_prefixed(exc: BaseException, name: str, inner: str) -> None:
    assert type(exc) is TypeError
    assert str(exc) == f"argument '{name}': {inner}"
    assert type(exc.__cause__) is TypeError
    assert str(exc.__cause__) == inner


@pytest.fixture
def empty_path(stream_file):
    return stream_file(b"")


@pytest.fixture
def ended(stream_file):
    """ended(data, timeout=0.1) -> a MockParser whose reader has read all of data."""

    def make(data: bytes, timeout=0.1):
        parser = MockParser(stream_file(data), timeout)
        parser.start()
        wait_ended(parser)
        return parser

    return make


class FakeNumpyBool:
    """Looks like numpy's bool scalar to the module, and runs `hook` when its
    truth value is taken, i.e. in the middle of get_data_packets."""

    __module__ = "numpy"

    def __init__(self, hook, value=False):
        self.hook = hook
        self.value = value

    def __bool__(self):
        self.hook()
        return self.value


FakeNumpyBool.__name__ = FakeNumpyBool.__qualname__ = "bool_"


@pytest.fixture
def alarm():
    """alarm(seconds, handler): SIGALRM once, handled in Python; undone afterwards."""
    previous = signal.getsignal(signal.SIGALRM)

    def arm(seconds: float, handler) -> None:
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, seconds)

    yield arm
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


# ---------------------------------------------------------------------------
# The module and its classes


def test_module_attributes_in_order():
    public = [k for k in vars(vorn_rs) if not k.startswith("__")]
    assert public == ["SerialParser", "MockParser", "IMUPacket", "VERSION", "RELEASE_BUILD"]
    assert vorn_rs.__all__ == public
    assert vorn_rs.VERSION == "0.2.0" and type(vorn_rs.VERSION) is str
    assert vorn_rs.RELEASE_BUILD is True


def test_help_describes_the_module_and_every_method():
    assert "SerialParser" in vorn_rs.__doc__ and "MockParser" in vorn_rs.__doc__
    signatures = {
        "start": "(self, /)",
        "stop": "(self, /)",
        "is_running": "(self, /)",
        "get_data_packets": "(self, /, block=False)",
        "__enter__": "(self, /)",
        "__exit__": "(self, /, _exc_type, _exc_value, _traceback)",
    }
    for cls, argument in ((SerialParser, "port"), (MockParser, "path")):
        # The text signature is split off; what remains is the description.
        assert not cls.__doc__.startswith(cls.__name__ + "(") and argument in cls.__doc__
        assert f"{argument}, " in str(inspect.signature(cls))
        for name, text in signatures.items():
            method = getattr(cls, name)
            assert str(inspect.signature(method)) == text, (cls, name)
            assert len(method.__doc__) > 40 and "--" not in method.__doc__, (cls, name)
        page = pydoc.render_doc(cls, renderer=pydoc.plaintext)
        assert "get_data_packets(self, /, block=False)" in page and "IMUPacket" in page


def test_reimport_after_removal_gives_the_same_module():
    saved = sys.modules.pop("vorn_rs")
    try:
        again = importlib.import_module("vorn_rs")
    finally:
        sys.modules["vorn_rs"] = saved
    assert again is saved
    assert again.MockParser is MockParser


def test_import_in_a_subinterpreter_is_refused():
    interpreters = None
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            interpreters = importlib.import_module(name)
            break
        except ImportError:
            pass
    if interpreters is None or not hasattr(interpreters, "run_string"):
        pytest.skip("no low-level subinterpreter interface")
    interp = interpreters.create()
    try:
        try:
            failure = interpreters.run_string(interp, "import vorn_rs")
        except Exception as exc:  # older interfaces raise instead of returning the failure
            assert "ImportError" in str(exc)
        else:
            assert failure is not None, "the import succeeded in a subinterpreter"
            assert failure.type.__name__ == "ImportError"
            assert "subinterpreters" in failure.msg
    finally:
        interpreters.destroy(interp)
    # The first interpreter is not affected.
    assert vorn_rs.MockParser is MockParser


@pytest.mark.parametrize(
    "cls, signature",
    [(SerialParser, "(port, baudrate=None, timeout=0.1)"), (MockParser, "(path, timeout=0.1)")],
)
def test_parser_class_shape(cls, signature, empty_path):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert cls.__bases__ == (object,)
    assert cls.__text_signature__ == signature
    methods = {
        "start": "($self)",
        "stop": "($self)",
        "is_running": "($self)",
        "get_data_packets": "($self, block=False)",
        "__enter__": "($self)",
        "__exit__": "($self, _exc_type, _exc_value, _traceback)",
    }
    for name, text in methods.items():
        assert getattr(cls, name).__text_signature__ == text
    assert str(inspect.signature(cls.get_data_packets)) == "(self, /, block=False)"
    assert cls.__init__ is object.__init__
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})

    if cls is MockParser:
        parser = cls(empty_path)
        with pytest.raises(AttributeError):
            parser.anything = 1
        with pytest.raises(AttributeError):
            parser.__dict__
        with pytest.raises(TypeError):
            weakref.ref(parser)
        assert re.fullmatch(r"<builtins\.MockParser object at 0x[0-9a-f]+>", repr(parser))
        assert parser == parser and parser != cls(empty_path)
        assert hash(parser) == object.__hash__(parser)


# ---------------------------------------------------------------------------
# Argument binding


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: MockParser(), "MockParser.__new__() missing 1 required positional argument: 'path'"),
        (lambda: MockParser("a", 1, 2), "MockParser.__new__() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: MockParser("a", x=1), "MockParser.__new__() got an unexpected keyword argument 'x'"),
        (lambda: MockParser("a", path="b"), "MockParser.__new__() got multiple values for argument 'path'"),
        (lambda: MockParser(timeout=1), "MockParser.__new__() missing 1 required positional argument: 'path'"),
        (lambda: SerialParser(), "SerialParser.__new__() missing 1 required positional argument: 'port'"),
        (
            lambda: SerialParser("a", 1, 2, 3),
            "SerialParser.__new__() takes from 1 to 3 positional arguments but 4 were given",
        ),
        (lambda: SerialParser("a", 9600, port="b"), "SerialParser.__new__() got multiple values for argument 'port'"),
        (lambda: SerialParser(NO_PORT, baud=9600), "SerialParser.__new__() got an unexpected keyword argument 'baud'"),
    ],
)
def test_constructor_binding_errors(call, text):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    assert str(info.value) == text


def test_method_binding_errors(empty_path):
    parser = MockParser(empty_path)
    cases = [
        (
            lambda: parser.get_data_packets(True, True),
            "MockParser.get_data_packets() takes from 0 to 1 positional arguments but 2 were given",
        ),
        (
            lambda: parser.get_data_packets(True, block=True),
            "MockParser.get_data_packets() got multiple values for argument 'block'",
        ),
        (
            lambda: parser.get_data_packets(wait=True),
            "MockParser.get_data_packets() got an unexpected keyword argument 'wait'",
        ),
        (
            lambda: parser.__exit__(),
            "MockParser.__exit__() missing 3 required positional arguments: "
            "'_exc_type', '_exc_value', and '_traceback'",
        ),
        (
            lambda: parser.__exit__(None),
            "MockParser.__exit__() missing 2 required positional arguments: '_exc_value' and '_traceback'",
        ),
        (
            lambda: parser.__exit__(None, _traceback=None),
            "MockParser.__exit__() missing 1 required positional argument: '_exc_value'",
        ),
        (
            lambda: parser.__exit__(None, None, None, None),
            "MockParser.__exit__() takes 3 positional arguments but 4 were given",
        ),
    ]
    for call, text in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == text
    for call in (
        lambda: parser.start(1),
        lambda: parser.stop(x=1),
        lambda: parser.is_running(None),
        lambda: parser.__enter__(1),
        lambda: MockParser.start(5),
        lambda: SerialParser.start(5),
        lambda: MockParser.get_data_packets(5),
    ):
        with pytest.raises(TypeError):
            call()
    # Keywords bind as well as positions, and a failed call leaves the object usable.
    assert parser.get_data_packets(block=False) == []
    assert parser.__exit__(_exc_type=None, _exc_value=None, _traceback=None) is None
    assert parser.is_running() is False


# ---------------------------------------------------------------------------
# Argument conversion


class BytesPath:
    def __fspath__(self):
        return b"/tmp"


class BrokenPath:
    def __init__(self, exc):
        self.exc = exc

    def __fspath__(self):
        raise self.exc


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Float:
    def __float__(self):
        return 0.0


def test_path_conversion(tmp_path):
    for bad in (b"/tmp", bytearray(b"/tmp"), BytesPath()):
        with pytest.raises(TypeError) as info:
            MockParser(bad)
        if isinstance(bad, bytearray):
            assert str(info.value).startswith("argument 'path': ")
        else:
            assert_prefixed(info.value, "path", "'bytes' object cannot be cast as 'str'")
    with pytest.raises(TypeError) as info:
        MockParser(5)
    assert_prefixed(info.value, "path", str(info.value.__cause__))
    assert "int" in str(info.value)
    with pytest.raises(TypeError) as info:
        SerialParser(b"/dev/ttyS0")
    assert_prefixed(info.value, "port", "'bytes' object cannot be cast as 'str'")

    # Only exactly TypeError gets the prefix; anything else passes unchanged.
    error = ValueError("no path here")
    with pytest.raises(ValueError) as info:
        MockParser(BrokenPath(error))
    assert info.value is error

    class OtherTypeError(TypeError):
        pass

    with pytest.raises(OtherTypeError, match=r"^odd$"):
        MockParser(BrokenPath(OtherTypeError("odd")))

    # str and os.PathLike returning str are accepted, in the filesystem encoding.
    target = tmp_path / "stream.bin"
    target.write_bytes(b"")
    for ok in (target, str(target)):
        assert MockParser(ok).get_data_packets() == []
    undecodable = os.fsencode(tmp_path) + b"/\xff.bin"
    with open(undecodable, "wb"):
        pass
    assert MockParser(os.fsdecode(undecodable)).get_data_packets() == []


def test_path_open_failures(tmp_path):
    with pytest.raises(OSError) as info:
        MockParser(tmp_path / "missing.bin")
    assert type(info.value) is OSError and info.value.errno is None
    assert str(info.value).endswith(" (os error 2)")
    assert info.value.args == (str(info.value),)
    with pytest.raises(OSError) as info:
        MockParser(str(tmp_path) + "/a\0b")
    assert_plain_os_error(info.value, "file name contained an unexpected NUL byte")


def test_baudrate_conversion():
    for bad in (-1, 2**32, Index(-1)):
        with pytest.raises(OverflowError) as info:
            SerialParser(NO_PORT, bad)
        assert type(info.value) is OverflowError
        assert str(info.value) == "out of range integral type conversion attempted"
        assert info.value.__cause__ is None
    with pytest.raises(OverflowError) as info:  # beyond 64 bits: the interpreter's own text
        SerialParser(NO_PORT, 2**64)
    assert not str(info.value).startswith("argument")
    for bad in ("9600", 9600.0):
        with pytest.raises(TypeError) as info:
            SerialParser(NO_PORT, bad)
        assert_prefixed(info.value, "baudrate", str(info.value.__cause__))
    # Accepted values reach the open, which fails on the missing device.
    for ok in (None, 0, 2**32 - 1, True, Index(9600)):
        with pytest.raises(OSError) as info:
            SerialParser(NO_PORT, ok)
        assert type(info.value) is OSError
        with pytest.raises(OSError):
            SerialParser(NO_PORT, baudrate=ok, timeout=None)
    # Arguments are checked in order: port, then baud rate, then timeout.
    with pytest.raises(TypeError, match=r"^argument 'port'"):
        SerialParser(b"x", -1, "t")
    with pytest.raises(OverflowError):
        SerialParser(NO_PORT, -1, "t")
    with pytest.raises(TypeError, match=r"^argument 'timeout'"):
        SerialParser(NO_PORT, 9600, "t")


def test_timeout_conversion(empty_path):
    for bad in ("0.1", [0.1], b"1"):
        with pytest.raises(TypeError) as info:
            MockParser(empty_path, bad)
        assert_prefixed(info.value, "timeout", str(info.value.__cause__))
    with pytest.raises(OverflowError) as info:
        MockParser(empty_path, timeout=10**400)
    assert not str(info.value).startswith("argument")
    # Every accepted form of zero makes a waiting drain give up at once (the
    # quickest of three tries, so that a busy machine does not matter).
    for zero in (None, 0, 0.0, -0.0, False, Float(), Index(0)):
        parser = MockParser(empty_path, timeout=zero)
        quickest = math.inf
        for _ in range(3):
            t0 = time.monotonic()
            with pytest.raises(OSError) as info:
                parser.get_data_packets(True)
            quickest = min(quickest, time.monotonic() - t0)
            assert_plain_os_error(info.value, TIMED_OUT)
        assert quickest < 0.05, zero


def test_block_conversion(empty_path):
    parser = MockParser(empty_path, timeout=None)
    for bad, name in ((1, "int"), (0, "int"), (None, "NoneType"), ("yes", "str"), (1.0, "float")):
        with pytest.raises(TypeError) as info:
            parser.get_data_packets(bad)
        assert_prefixed(info.value, "block", f"'{name}' object cannot be cast as 'bool'")
        with pytest.raises(TypeError):
            parser.get_data_packets(block=bad)
    assert parser.get_data_packets(False) == []
    with pytest.raises(OSError, match=TIMED_OUT):
        parser.get_data_packets(True)


def test_numpy_bool_is_accepted_for_block(empty_path):
    np = pytest.importorskip("numpy")
    parser = MockParser(empty_path, timeout=None)
    assert parser.get_data_packets(np.False_) == []
    assert parser.get_data_packets(block=np.bool_(False)) == []
    with pytest.raises(OSError, match=TIMED_OUT):
        parser.get_data_packets(np.True_)
    with pytest.raises(TypeError) as info:
        parser.get_data_packets(np.int64(1))
    assert_prefixed(info.value, "block", "'int64' object cannot be cast as 'bool'")


def test_truth_failure_of_a_numpy_bool(empty_path):
    parser = MockParser(empty_path)
    error = ValueError("no truth")

    def fail():
        raise error

    with pytest.raises(ValueError) as info:
        parser.get_data_packets(FakeNumpyBool(fail))
    assert info.value is error

    def fail_type():
        raise TypeError("bad truth")

    with pytest.raises(TypeError) as info:
        parser.get_data_packets(FakeNumpyBool(fail_type))
    assert_prefixed(info.value, "block", "bad truth")
    # The original error keeps the traceback of the code that raised it (the
    # interpreters before 3.12 hold it apart from the exception object).
    frames = traceback.extract_tb(info.value.__cause__.__traceback__)
    assert frames and frames[-1].name == "fail_type"
    assert parser.get_data_packets(FakeNumpyBool(lambda: None)) == []


def test_only_numpy_by_its_module_name_passes_for_a_bool(empty_path):
    parser = MockParser(empty_path)

    class Impostor:
        def __bool__(self):
            raise AssertionError("the truth value of a non-NumPy type was taken")

    Impostor.__name__, Impostor.__qualname__ = "bool_", "Impostor"
    for module in (5, None, b"numpy", "numpy.core"):  # a class can set anything there
        Impostor.__module__ = module
        with pytest.raises(TypeError) as info:
            parser.get_data_packets(Impostor())
        assert_prefixed(info.value, "block", "'Impostor' object cannot be cast as 'bool'")


# ---------------------------------------------------------------------------
# Borrow rules: a call that re-enters the object while one of its methods runs


def test_reentrant_calls_are_refused_and_the_borrow_is_given_back(ended):
    parser = ended(accel_packets(3))
    seen = []

    def probe(call):
        def hook():
            try:
                call()
            except BaseException as exc:
                seen.append(exc)
                raise

        return hook

    with pytest.raises(RuntimeError, match=r"^Already mutably borrowed$"):
        parser.get_data_packets(FakeNumpyBool(probe(parser.is_running)))
    for call in (parser.get_data_packets, parser.start, parser.stop):
        with pytest.raises(RuntimeError, match=r"^Already borrowed$"):
            parser.get_data_packets(FakeNumpyBool(probe(call)))
    for call in (parser.__enter__, lambda: parser.__exit__(None, None, None)):
        with pytest.raises(BaseException) as info:
            parser.get_data_packets(FakeNumpyBool(probe(call)))
        assert not isinstance(info.value, Exception)
        assert str(info.value).startswith("Already borrowed")
    assert len(seen) == 6

    # Every refused call left nothing behind: the records are all still there.
    assert parser.is_running() is False
    assert indices(parser.get_data_packets()) == [0, 1, 2]


def test_signal_handler_during_a_waiting_drain(empty_path, alarm):
    parser = MockParser(empty_path, timeout=30.0)
    outcome = []

    def reenter(signum, frame):
        try:
            parser.is_running()
        except RuntimeError as exc:
            outcome.append(str(exc))
        raise KeyboardInterrupt

    alarm(0.2, reenter)
    t0 = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        parser.get_data_packets(True)
    assert time.monotonic() - t0 < 10.0
    assert outcome == ["Already mutably borrowed"]
    assert parser.get_data_packets() == []
    assert parser.is_running() is False


# ---------------------------------------------------------------------------
# Waiting drains and their time-out


def test_waiting_drain_times_out(empty_path):
    parser = MockParser(empty_path, timeout=0.15)
    assert parser.is_running() is False
    assert parser.get_data_packets() == []
    t0 = time.monotonic()
    with pytest.raises(OSError) as info:
        parser.get_data_packets(block=True)
    elapsed = time.monotonic() - t0
    assert_plain_os_error(info.value, TIMED_OUT)
    assert 0.14 <= elapsed < 5.0
    assert parser.get_data_packets() == []


def test_waiting_drain_returns_at_once_when_records_are_queued(ended):
    parser = ended(accel_packets(40), timeout=60.0)
    t0 = time.monotonic()
    packets = parser.get_data_packets(True)
    assert time.monotonic() - t0 < 5.0
    assert indices(packets) == list(range(40))


@pytest.mark.parametrize(
    "timeout, text",
    [
        (-1, NEGATIVE),
        (-1e-12, NEGATIVE),
        (-math.inf, NEGATIVE),
        (math.nan, TOO_BIG),
        (math.inf, TOO_BIG),
        (float(2**64), TOO_BIG),
        (1e300, TOO_BIG),
    ],
)
def test_invalid_waiting_time_is_fatal_and_leaves_the_object_usable(ended, timeout, text):
    parser = ended(accel_packets(2), timeout=timeout)
    with pytest.raises(BaseException) as info:
        parser.get_data_packets(True)
    assert_fatal(info.value, text)
    # Nothing was drained, and the object works on.
    assert parser.is_running() is False
    assert indices(parser.get_data_packets()) == [0, 1]
    parser.stop()
    parser.start()
    wait_ended(parser)
    assert parser.get_data_packets() == []


def test_waiting_time_beyond_the_clock_waits_without_deadline(ended, empty_path, alarm):
    # Below 2**64 seconds, so valid, but no deadline can be computed for it.
    parser = ended(accel_packets(2), timeout=1e19)
    assert indices(parser.get_data_packets(True)) == [0, 1]

    class Woken(Exception):
        pass

    def wake(signum, frame):
        raise Woken

    idle = MockParser(empty_path, timeout=1e19)
    alarm(0.3, wake)
    t0 = time.monotonic()
    with pytest.raises(Woken):
        idle.get_data_packets(True)
    assert time.monotonic() - t0 >= 0.25


# ---------------------------------------------------------------------------
# The reader's life cycle over recorded files


def test_replay_reads_every_packet_in_file_order(stream_file):
    data, expected = vm.UnitSimulator(seed=3, noise=0.05).stream(0.2)
    parser = MockParser(stream_file(data))
    assert parser.is_running() is False
    t0 = time.time_ns()
    parser.start()
    wait_ended(parser)
    t1 = time.time_ns()
    packets = parser.get_data_packets()
    assert [vm.comparable({k: getattr(p, k) for k in vm.RECORD_KEYS}) for p in packets] == [
        vm.comparable(r) for r in expected
    ]
    stamps = [p.timestamp for p in packets]
    assert stamps == sorted(stamps)
    assert t0 <= stamps[0] and stamps[-1] <= t1
    assert parser.get_data_packets() == []


def test_end_of_file_ends_quietly(ended):
    for data in (b"", b"\x75\x65\x80", b"noise" * 1000):
        parser = ended(data, timeout=0)
        assert parser.is_running() is False
        # No failure text was queued: a waiting drain just times out.
        with pytest.raises(OSError, match=TIMED_OUT):
            parser.get_data_packets(True)
        assert parser.get_data_packets() == []


def test_directory_fails_at_the_first_read(tmp_path):
    parser = MockParser(tmp_path, timeout=60.0)  # opening a directory read-only succeeds
    parser.start()
    wait_ended(parser)
    t0 = time.monotonic()
    with pytest.raises(OSError) as info:
        parser.get_data_packets(True)  # the queued text is raised before any wait
    assert time.monotonic() - t0 < 5.0
    assert_plain_os_error(info.value, "Is a directory (os error 21)")
    assert parser.get_data_packets() == []
    # Each run queues its own text; each drain raises one of them.
    parser.stop()
    parser.start()
    wait_ended(parser)
    parser.stop()
    parser.start()
    wait_ended(parser)
    for _ in range(2):
        with pytest.raises(OSError, match=r"^Is a directory \(os error 21\)$"):
            parser.get_data_packets()
    assert parser.get_data_packets() == []


def test_read_failure_overtakes_queued_records():
    # A terminal's slave side fails its reads with EIO once the master side is gone.
    master, slave = pty.openpty()
    try:
        tty.setraw(slave)
        # Echo tells when the bytes have reached the slave's input queue; only
        # then does an empty queue mean that the reader took them.
        attrs = termios.tcgetattr(slave)
        attrs[3] = (attrs[3] | termios.ECHO) & ~termios.ECHOCTL
        termios.tcsetattr(slave, termios.TCSANOW, attrs)
        parser = MockParser(os.ttyname(slave))
        parser.start()
        data = accel_packets(5)
        os.write(master, data)
        deadline = time.monotonic() + 10.0
        echoed = 0
        while echoed < len(data):
            assert time.monotonic() < deadline, "the bytes did not arrive"
            if select.select([master], [], [], 0.1)[0]:
                echoed += len(os.read(master, 4096))
        while ioctl(slave, termios.FIONREAD, b"\0\0\0\0") != b"\0\0\0\0":
            assert time.monotonic() < deadline, "the reader did not take the bytes"
            time.sleep(0.002)
        # Let the reader frame the chunk and block in its next read: a read
        # that starts after the hang-up sees end of file instead of EIO.
        time.sleep(0.05)
        os.close(master)
        master = -1
        wait_ended(parser)
        with pytest.raises(OSError) as info:
            parser.get_data_packets(True)
        assert_plain_os_error(info.value, "Input/output error (os error 5)")
        assert indices(parser.get_data_packets()) == [0, 1, 2, 3, 4]
        assert parser.get_data_packets() == []
    finally:
        if master >= 0:
            os.close(master)
        os.close(slave)


def test_start_and_stop_transitions(stream_file):
    path = stream_file(accel_packets(4))
    parser = MockParser(path)
    # Stop before any start only clears the flag; the source is untouched.
    parser.stop()
    parser.stop()
    assert parser.is_running() is False
    parser.start()
    parser.start()  # no second reader
    wait_ended(parser)
    # Ended: start does nothing until stop.
    parser.start()
    assert parser.is_running() is False
    parser.stop()
    # Records queued before the stop stay available after it.
    assert indices(parser.get_data_packets()) == [0, 1, 2, 3]
    # A restart reads on where the file stood: at its end.
    parser.start()
    wait_ended(parser)
    parser.stop()
    assert parser.get_data_packets() == []
    # Replaying the file takes a new parser.
    again = MockParser(path)
    again.start()
    wait_ended(again)
    assert indices(again.get_data_packets()) == [0, 1, 2, 3]


def test_stop_mid_read_and_restart_on_a_fifo(tmp_path):
    fifo = tmp_path / "live"
    os.mkfifo(fifo)
    writer = os.open(fifo, os.O_RDWR)  # a writer exists, so the parser's open does not wait
    try:
        parser = MockParser(fifo, timeout=10.0)
        parser.start()
        assert parser.is_running() is True
        os.write(writer, accel_packets(1))
        assert indices(parser.get_data_packets(True)) == [0]
        # The reader waits for input; stop ends the wait at once, with nothing read.
        time.sleep(0.05)  # time to get back into that wait
        t0 = time.monotonic()
        parser.stop()
        assert time.monotonic() - t0 < 1.0
        assert parser.is_running() is False
        # Bytes written while stopped wait in the FIFO for the next run.
        for n in (1.0, 2.0):
            os.write(writer, vm.packet(vm.SET_RAW, vm.raw_field("scaled_accel", (n, 0.0, 0.0))))
        assert parser.get_data_packets() == []
        parser.start()
        assert parser.is_running() is True
        got = []
        while len(got) < 2:
            got += parser.get_data_packets(True)
        assert indices(got) == [1, 2]
        os.close(writer)
        writer = -1
        wait_ended(parser)
        assert parser.get_data_packets() == []
    finally:
        if writer >= 0:
            os.close(writer)


def test_ctrl_c_ends_an_open_that_waits_for_a_writer(tmp_path, alarm):
    fifo = tmp_path / "no-writer"
    os.mkfifo(fifo)
    handled = []
    alarm(0.1, lambda signum, frame: handled.append(signum))  # returns: the open goes on
    main = threading.get_ident()
    ctrl_c = threading.Timer(0.4, signal.pthread_kill, (main, signal.SIGINT))
    # Should the open not end, a writer appears later so the test fails instead of hanging.
    rescue = threading.Timer(5.0, lambda: os.close(os.open(fifo, os.O_WRONLY)))
    before = sorted(os.listdir("/proc/self/fd"))
    t0 = time.monotonic()
    ctrl_c.start()
    rescue.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            MockParser(fifo)
        elapsed = time.monotonic() - t0
    finally:
        ctrl_c.cancel()
        rescue.cancel()
        rescue.join()
    assert handled == [signal.SIGALRM]
    assert 0.4 <= elapsed < 1.4
    assert sorted(os.listdir("/proc/self/fd")) == before


def test_context_manager(stream_file):
    parser = MockParser(stream_file(accel_packets(3)))
    with parser as bound:
        assert bound is parser
        wait_ended(parser)
    assert parser.is_running() is False
    assert indices(parser.get_data_packets()) == [0, 1, 2]

    error = KeyError("inside")
    with pytest.raises(KeyError) as info:
        with MockParser(stream_file(accel_packets(1))) as other:
            raise error
    assert info.value is error
    assert other.is_running() is False
    assert indices(other.get_data_packets()) in ([], [0])  # stopped wherever the reader was

    assert parser.__enter__() is parser
    assert parser.__exit__(KeyError, error, None) is None
    assert parser.__exit__("anything", 1, object()) is None


def test_destroying_a_running_parser(stream_file):
    path = stream_file(accel_packets(2000))
    for _ in range(5):
        parser = MockParser(path)
        parser.start()
        del parser  # stops and joins its reader, drops the queue
    survivor = MockParser(path)
    with survivor:
        wait_ended(survivor)
    assert len(survivor.get_data_packets()) == 2000


def test_packets_are_instances_of_the_exported_class(ended):
    packets = ended(accel_packets(2)).get_data_packets()
    assert type(packets) is list
    assert all(type(p) is IMUPacket for p in packets)
