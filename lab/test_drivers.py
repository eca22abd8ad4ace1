"""SerialParser on real kernel serial drivers: a 16550 UART (a PL011 on
aarch64), an FTDI USB adapter and a CDC-ACM port, in the lab's guest (make test-drivers). What a
pseudo-terminal never shows is the point here: speeds a driver re-encodes or
will not make, and devices that vanish mid-read."""

import gc
import os
import time

import pytest
from lab_lines import BOTHER, CBAUD, line_settings, record
from test_serial import as_records, open_as_nobody
from test_serial import collect as collect_for
from test_serial import wait_stopped as wait_stopped_for

import vorn_rs

TIMED_OUT = "Operation timed out"
LOCK_HELD = "Unable to acquire exclusive lock on serial port"
SETTINGS = "Settings did not apply correctly"
# The guest is slow: generous limits, which only a hang would reach.
COLLECT_LIMIT = 300.0
STOP_LIMIT = 30.0


def collect(parser, count: int) -> list:
    return collect_for(parser, count, COLLECT_LIMIT)


def wait_stopped(parser) -> None:
    wait_stopped_for(parser, STOP_LIMIT)


def descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


def tasks() -> int:
    return len(os.listdir("/proc/self/task"))


def speed_form(settings: dict) -> str:
    code = settings["cflag"] & CBAUD
    return "BOTHER" if code == BOTHER else f"B-code {code:#o}"


# -- open, raw 8N1, exclusive use -------------------------------------------


def test_raw_8n1_exclusive_and_released(line):
    first = vorn_rs.SerialParser(line.path, line.fast, timeout=1.0)
    s = line_settings(line.path)
    assert s["exclusive"] == 1
    cflag, iflag = s["cflag"], s["iflag"]
    assert cflag & 0o60 == 0o60  # CS8
    assert cflag & (0o400 | 0o1000 | 0o100 | 0o20000000000) == 0  # PARENB PARODD CSTOPB CRTSCTS
    assert cflag & (0o200 | 0o4000) == 0o200 | 0o4000  # CREAD CLOCAL
    assert iflag & (0o2000 | 0o10000 | 0o20 | 0o400 | 0o40) == 0  # IXON IXOFF INPCK ICRNL ISTRIP
    assert iflag & 0o4  # IGNPAR
    assert s["oflag"] & 0o1 == 0  # OPOST
    assert s["lflag"] & (0o2 | 0o10 | 0o1 | 0o100000) == 0  # ICANON ECHO ISIG IEXTEN

    # Root gets past exclusive mode and meets the advisory lock; anyone else
    # is turned away by the kernel.
    with pytest.raises(OSError) as info:
        vorn_rs.SerialParser(line.path)
    assert info.value.args == (LOCK_HELD,)
    del info
    mode = os.stat(line.path).st_mode
    os.chmod(line.path, 0o666)
    try:
        assert open_as_nobody(line.path) == "Device or resource busy"
    finally:
        os.chmod(line.path, mode & 0o7777)
    assert line_settings(line.path)["exclusive"] == 1  # the refused openers took nothing away

    del first
    gc.collect()
    assert line_settings(line.path)["exclusive"] == 0
    again = vorn_rs.SerialParser(line.path)
    assert line_settings(line.path)["exclusive"] == 1
    del again


# -- speeds -----------------------------------------------------------------

# What each driver does with a speed, as measured here: "takes" means the speed
# reads back (in whichever form the driver chose), "keeps another" means the
# call succeeded but the line runs at some other speed, which the open reports.
SPEEDS = {
    "uart": [
        (9600, "takes"),
        (115200, "takes"),
        (28800, "takes"),  # baud_base 115200 / 4
        (921600, "keeps another"),
        (1000000, "keeps another"),
        (0, "opens"),
    ],
    # Its clock here is 24 MHz, divided by 16 at the fastest.
    "pl011": [
        (9600, "takes"),
        (115200, "takes"),
        (921600, "takes"),
        (1500000, "takes"),
        (3000000, "keeps another"),
        (4000000, "keeps another"),
        (0, "opens"),
    ],
    "ftdi": [
        (9600, "takes"),
        (921600, "takes"),
        (250000, "takes"),
        (3000000, "takes"),
        (4000000, "keeps another"),
        (12000000, "keeps another"),
        (0, "opens"),
    ],
    "acm": [
        (9600, "takes"),
        (921600, "takes"),
        (250000, "takes"),
        (12000000, "takes"),
        (4294967295, "takes"),
        (0, "opens"),
    ],
}


def test_speeds_take_or_the_open_says_so(line):
    before = descriptors()
    forms = []
    for rate, outcome in SPEEDS[line.name]:
        if outcome == "keeps another":
            with pytest.raises(OSError) as info:
                vorn_rs.SerialParser(line.path, rate)
            text = info.value.args
            del info
            assert text == (SETTINGS,), rate
            # Given up as any failed open is: nothing open, exclusive mode off.
            assert descriptors() == before
            assert line_settings(line.path)["exclusive"] == 0
            forms.append(f"{rate}: refused")
            continue
        parser = vorn_rs.SerialParser(line.path, rate)
        s = line_settings(line.path)
        if outcome == "takes":
            assert (s["ispeed"], s["ospeed"]) == (rate, rate), rate
        # Rate 0 is the driver's business: it opens, whatever the driver made of it.
        forms.append(f"{rate}: {speed_form(s)} {s['ospeed']}")
        del parser
    assert descriptors() == before
    record(line.name, "speeds", "; ".join(forms))
    # A refused speed left the device usable.
    vorn_rs.SerialParser(line.path, 115200)


# -- streaming --------------------------------------------------------------


def test_long_stream_arrives_whole_and_in_order(line):
    stream = line.make(line.stream_seconds, seed=21, noise=0.01, damage=0.005)
    with vorn_rs.SerialParser(line.path, line.fast, timeout=5.0) as parser:
        start = time.monotonic()
        line.send(stream)
        got = collect(parser, len(stream.expected))
        took = time.monotonic() - start
        assert line.sent().get("complete"), "the far end could not send the whole stream"
        assert parser.is_running()
    assert len(got) == len(stream.expected)
    assert as_records(got) == stream.expected
    stamps = [p.timestamp for p in got]
    assert stamps == sorted(stamps)
    record(
        line.name, "stream", f"{len(got)} packets, {stream.size} bytes, none lost, {stream.size / took / 1000:.0f} kB/s"
    )


def test_stop_and_restart_on_a_real_port(line):
    first, second = line.make(0.1, seed=1), line.make(0.1, seed=2)
    parser = vorn_rs.SerialParser(line.path, line.fast, timeout=2.0)
    parser.start()
    line.send(first)
    assert as_records(collect(parser, len(first.expected))) == first.expected
    line.sent()
    parser.stop()
    assert not parser.is_running()
    # The read in progress at the stop may have timed out and said so.
    try:
        assert parser.get_data_packets() == []
    except OSError as e:
        assert e.args == (TIMED_OUT,)

    line.send(second)  # nobody reads now; the driver keeps it
    time.sleep(0.5)
    assert parser.get_data_packets() == []
    parser.start()
    assert as_records(collect(parser, len(second.expected))) == second.expected
    line.sent()
    parser.stop()


def test_silent_line_times_out(line):
    parser = vorn_rs.SerialParser(line.path, line.fast, timeout=0.2)
    parser.start()
    wait_stopped(parser)
    with pytest.raises(OSError) as info:
        parser.get_data_packets()
    assert info.value.args == (TIMED_OUT,)
    del info
    assert parser.get_data_packets() == []


# -- unplugging -------------------------------------------------------------


def drain_after_failure(parser) -> tuple[str, list]:
    """The one failure text, then every packet it overtook; then nothing more."""
    with pytest.raises(OSError) as info:
        parser.get_data_packets()
    text = str(info.value)
    del info
    got = []
    while True:
        more = parser.get_data_packets()  # a second failure would raise here
        if not more:
            break
        got += more
    return text, got


@pytest.mark.parametrize("when", ["waiting", "flowing"])
def test_unplug(pluggable, when):
    line = pluggable
    fds, threads = descriptors(), tasks()
    stream = line.make(1.0, seed=31)
    parser = vorn_rs.SerialParser(line.path, line.fast, timeout=60.0)  # only the unplug may end it
    parser.start()
    if when == "waiting":
        line.send(stream)
        got = collect(parser, len(stream.expected))
        line.sent()
        assert parser.is_running()
        line.unplug()
    else:
        got = []
        line.send(stream, unplug_after=len(stream.data) // 2)
        assert line.sent().get("unplugged")
    wait_stopped(parser)
    text, rest = drain_after_failure(parser)
    got += rest
    assert text in ("Broken pipe", "I/O error")
    record(line.name, f"unplug while {when}", f"{text} ({line.unplug_means[when]})")
    # Every packet framed before the plug went arrived, in order.
    assert len(got) > 0
    assert as_records(got) == stream.expected[: len(got)]
    if when == "waiting":
        assert len(got) == len(stream.expected)
    else:
        record(line.name, "packets before an unplug mid-stream", f"{len(got)} of {len(stream.expected)}")
    assert not parser.is_running()

    with pytest.raises(OSError) as info:
        vorn_rs.SerialParser(line.path)
    assert info.value.args == ("No such file or directory",)
    del info
    del parser
    gc.collect()
    assert descriptors() == fds
    assert tasks() == threads

    line.plug()
    line.path = line.wait_node()
    again = line.make(0.2, seed=32)
    with vorn_rs.SerialParser(line.path, line.fast, timeout=5.0) as parser:
        line.send(again)
        assert as_records(collect(parser, len(again.expected))) == again.expected
        line.sent()


def stream_batches(stream, count: int) -> list:
    """vorn.open's batches until `count` packets have come (a failure propagates)."""
    from test_serial import stream_rows

    return stream_rows(stream, count, COLLECT_LIMIT)


def test_stream_reconnects_after_unplug_and_replug(pluggable, tmp_path):
    """vorn.open(reconnect=True) through a real unplug and replug: every packet
    sent while the device was there arrives, once, in order; one gap."""
    from test_serial import assert_same_packets

    import vorn

    line = pluggable
    fds = descriptors()
    bursts = [line.make(0.3, seed=seed) for seed in (33, 34)]
    with vorn.open(line.path, line.fast, reconnect=True) as stream:
        line.send(bursts[0])
        batches = stream_batches(stream, len(bursts[0].expected))
        line.sent()
        line.unplug()
        give_up = time.monotonic() + STOP_LIMIT
        while os.path.exists(line.path) and time.monotonic() < give_up:
            assert stream.read(timeout=0.05).num_rows == 0
        assert stream.read(timeout=0.2).num_rows == 0 and not stream.gaps
        line.plug()
        give_up = time.monotonic() + COLLECT_LIMIT
        while not stream.gaps and time.monotonic() < give_up:
            waited = stream.read(timeout=0.1)  # the batch handed out next carries the gap, empty or not
            assert waited.num_rows == 0
        assert line_settings(line.path)["exclusive"] == 1  # claimed and set up again
        line.send(bursts[1])
        after = stream_batches(stream, len(bursts[1].expected))
        line.sent()
    [gap] = stream.gaps
    assert waited.gap == gap and all(b.gap is None for b in batches + after)
    assert_same_packets(batches + after, bursts[0].data + bursts[1].data, tmp_path)
    assert descriptors() == fds
    waiting = line.unplug_means["waiting"]
    record(
        line.name,
        "vorn.open reconnect",
        f"{gap.seconds:.2f} s without the device ({waiting}), "
        f"{len(bursts[0].expected)} + {len(bursts[1].expected)} packets, each once, in order",
    )


CALLER_ASLEEP = 20.0  # s: past what the kernel holds for a reader that reads nothing (its flip buffers)


def test_stream_loses_nothing_while_its_caller_sleeps(line, tmp_path):
    """vorn.open(record=) with a caller asleep for 20 s while the unit streams
    at the line's speed: nothing is lost, not by the stream's ring, not by the
    driver (its overrun counts, where it keeps them), and the recording holds
    every byte."""
    from test_serial import assert_same_packets

    import vorn

    fds = descriptors()
    # 20 s of the unit on every line: far more than the kernel holds for a
    # reader that reads nothing (the line discipline's buffer, the driver's
    # flip buffers), at whatever speed the line runs.
    stream_data = line.make(20.0, seed=45)
    rec = tmp_path / "asleep.bin"
    with vorn.open(line.path, line.fast, record=rec) as stream:
        line.send(stream_data)
        time.sleep(CALLER_ASLEEP)
        batches = stream_batches(stream, len(stream_data.expected))
        assert line.sent().get("complete"), "the far end could not send the whole stream"
        lost = dict(stream.lost)
    assert lost == {"ring": 0, "overrun": 0, "buffer": 0}
    assert_same_packets(batches, stream_data.data, tmp_path)
    assert rec.read_bytes() == stream_data.data
    assert descriptors() == fds
    record(
        line.name,
        "vorn.open, caller asleep",
        f"{len(stream_data.data):,} bytes at {line.fast} baud, caller asleep {CALLER_ASLEEP:g} s: none lost",
    )
