"""The extension against the pure-Python stream model: random streams of good,
damaged and foreign packets, noise and false sync pairs, replayed from a file
(and fed live through a FIFO) must yield exactly the model's records, in order,
with the model's text form and plausible timestamps."""

import itertools
import os
import random
import struct
import threading
import time
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vorn_model as vm
import vorn_rs

# HYPOTHESIS_PROFILE=long for a thorough run; the default keeps the file quick.
# Applied to this file's tests only, so other files keep their own settings.
EXAMPLES = {"long": 3000}.get(os.environ.get("HYPOTHESIS_PROFILE", ""), 150)

READ_CHUNK = 2048  # the engine's read window; file reads end on its multiples
REPLAY_LIMIT = 20.0  # seconds; a replay that takes longer has hung

_names = itertools.count()


@pytest.fixture(scope="module")
def scratch(tmp_path_factory) -> Path:
    return tmp_path_factory.mktemp("streams")


def packet_dict(pkt) -> dict:
    return {k: getattr(pkt, k) for k in vm.RECORD_KEYS}


def replay_file(data: bytes, directory: Path):
    """Every packet MockParser finds in data, with the wall-clock window of the replay."""
    path = directory / f"stream-{next(_names)}.bin"
    path.write_bytes(data)
    try:
        t0 = time.time_ns()
        with vorn_rs.MockParser(path) as parser:
            limit = time.monotonic() + REPLAY_LIMIT
            while parser.is_running():
                assert time.monotonic() < limit, "replay did not reach the end of the file"
                time.sleep(0.0005)
        packets = parser.get_data_packets()
        t1 = time.time_ns()
        assert parser.get_data_packets() == []
    finally:
        path.unlink()
    return packets, t0, t1


def check_against_model(packets, expected, t0, t1):
    assert [p.packet_type for p in packets] == [r["packet_type"] for r in expected]
    assert [p.invalid_fields for p in packets] == [r["invalid_fields"] for r in expected]
    assert [vm.comparable(packet_dict(p)) for p in packets] == [vm.comparable(r) for r in expected]
    previous = t0
    for i, (pkt, rec) in enumerate(zip(packets, expected)):
        ts = pkt.timestamp
        assert previous <= ts <= t1, f"packet {i}: timestamp {ts} outside [{previous}, {t1}]"
        previous = ts
        assert str(pkt) == vm.text_form(rec, ts), f"packet {i}"


# ---------------------------------------------------------------------------
# Stream strategies


def _bits(x: float) -> int:
    return struct.unpack(">I", struct.pack(">f", x))[0]


# NaNs (quiet, signalling, negative), infinities, signed zeros, subnormals, the
# extremes, and the neighbours of the bounds where the text form turns scientific.
SPECIAL_BITS = [
    0x7FC00000, 0xFFC00000, 0x7F800001, 0x7FBFFFFF, 0x7F800000, 0xFF800000,
    0x00000000, 0x80000000, 0x00000001, 0x807FFFFF, 0x00800000, 0x7F7FFFFF, 0xFF7FFFFF,
    _bits(0.1), _bits(-1.0), _bits(9.80665), _bits(1e15),
    _bits(1e-4) - 1, _bits(1e-4), _bits(1e-4) + 1,
    _bits(1e16) - 1, _bits(1e16), _bits(1e16) + 1,
]  # fmt: skip

f32_bits = st.one_of(
    st.sampled_from(SPECIAL_BITS),
    st.integers(0, 0xFFFFFFFF),
    st.floats(width=32, allow_nan=False).map(_bits),
)


@st.composite
def float_data(draw, count: int) -> bytes:
    return b"".join(struct.pack(">I", draw(f32_bits)) for _ in range(count))


@st.composite
def fields(draw) -> bytes:
    """One field: a listed one of either set (so also one listed only in the other
    set) at the right or a wrong length, an unlisted descriptor, or one whose length
    byte is damaged."""
    kind = draw(st.sampled_from(["listed", "listed", "listed", "wrong_length", "unlisted", "bad_length"]))
    if kind in ("listed", "wrong_length"):
        spec = draw(st.sampled_from(vm.FIELDS))
        data = draw(float_data(spec.floats))
        if spec.invalid_name:
            data += struct.pack(">H", draw(st.integers(0, 0xFFFF)))
        if kind == "wrong_length":
            delta = draw(st.integers(-len(data), 6).filter(lambda d: d != 0))
            data = data[:delta] if delta < 0 else data + draw(st.binary(min_size=delta, max_size=delta))
        return vm.field(spec.descriptor, data)
    if kind == "unlisted":
        return vm.field(draw(st.integers(0, 255)), draw(st.binary(max_size=20)))
    length = draw(st.one_of(st.sampled_from([0, 1, 0xFF]), st.integers(0, 255)))
    return bytes((length, draw(st.integers(0, 255)))) + draw(st.binary(max_size=12))


@st.composite
def payloads(draw) -> bytes:
    payload = b"".join(draw(st.lists(fields(), max_size=12)))
    payload += draw(st.binary(max_size=2))  # a stray byte after the last field
    return payload[: draw(st.sampled_from([255, 255, 255, draw(st.integers(0, 255))]))]


OUR_SETS = st.sampled_from([vm.SET_RAW, vm.SET_EST])
OTHER_SETS = st.one_of(st.sampled_from([0x81, 0x0C, 0x00, 0xFF]), st.integers(0, 255)).filter(
    lambda s: s not in (vm.SET_RAW, vm.SET_EST)
)


def _mod255_checksum(head: bytes) -> bytes:
    s1 = s2 = 0
    for b in head:
        s1 = (s1 + b) % 255
        s2 = (s2 + s1) % 255
    return bytes((s1, s2))


@st.composite
def pieces(draw) -> bytes:
    kind = draw(st.sampled_from(["good"] * 8 + ["noise", "false_sync", "foreign", "bad_checksum", "mod255", "damaged"]))
    if kind == "noise":
        return draw(st.binary(min_size=1, max_size=40))
    if kind == "false_sync":
        length = draw(st.one_of(st.just(0xFF), st.integers(0, 255)))
        return vm.SYNC + bytes((draw(st.integers(0, 255)), length)) + draw(st.binary(max_size=10))
    if kind == "foreign":
        # Framed like ours; a sync pair inside its payload must not be looked at.
        inner = vm.packet(draw(OUR_SETS), draw(payloads()))
        return vm.packet(draw(OTHER_SETS), vm.field(0x01, inner[:253]))
    wire = vm.packet(draw(OUR_SETS), draw(payloads()))
    if kind == "bad_checksum":
        which = draw(st.sampled_from([[-2], [-1], [-2, -1]]))
        damaged = bytearray(wire)
        for i in which:
            damaged[i] ^= draw(st.integers(1, 255))
        return bytes(damaged)
    if kind == "mod255":
        return wire[:-2] + _mod255_checksum(wire[:-2])
    if kind == "damaged":
        damaged = bytearray(wire)
        damaged[draw(st.integers(0, len(wire) - 1))] ^= draw(st.integers(1, 255))
        return bytes(damaged)
    return wire


@st.composite
def streams(draw) -> bytes:
    body = b"".join(draw(st.lists(pieces(), min_size=1, max_size=30)))
    # Repeating the body up to a few read windows and shifting it by a sync-free
    # lead-in puts its packets across the 2048-byte read boundaries at many offsets.
    lead_in = bytes(draw(st.sampled_from([0, 1, 2, 3, draw(st.integers(0, 2 * READ_CHUNK))])))
    size = draw(st.sampled_from([0, 3 * READ_CHUNK, draw(st.integers(READ_CHUNK, 6 * READ_CHUNK))]))
    repeat = max(1, -(-size // len(body)))
    # Enough sync-free bytes at the end let a false sync pair with a large length
    # byte fail its checksum instead of holding back everything after it.
    flush = bytes(draw(st.sampled_from([0, vm.MAX_PACKET_LEN])))
    return lead_in + body * repeat + flush


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(streams())
def test_random_streams_match_model(scratch, data):
    expected = vm.decode_stream(data)
    packets, t0, t1 = replay_file(data, scratch)
    check_against_model(packets, expected, t0, t1)


# ---------------------------------------------------------------------------
# Deterministic streams


def _full_packet(descriptor_set: int, rng: random.Random) -> bytes:
    """A packet of every field of the set, padded with an unlisted field to the
    largest payload, so it is 261 bytes long."""
    payload = b""
    for spec in vm.FIELDS:
        if spec.set != descriptor_set:
            continue
        values = [rng.uniform(-100, 100) for _ in range(spec.floats)]
        if spec.invalid_name:
            payload += vm.est_field(spec.name, values, valid=rng.random() < 0.7)
        else:
            payload += vm.raw_field(spec.name, values)
    payload += vm.field(0x7E, bytes(255 - len(payload) - 2))
    return vm.packet(descriptor_set, payload)


def test_packets_straddling_every_read_boundary_offset(tmp_path):
    # One file where the k-th read boundary falls k bytes into a packet, for every
    # k a packet of the largest size allows: splits inside the sync pair, the
    # header, the payload and the checksum.
    rng = random.Random(5)
    data = bytearray()
    for descriptor_set in (vm.SET_RAW, vm.SET_EST):
        for k in range(1, vm.MAX_PACKET_LEN):
            wire = _full_packet(descriptor_set, rng)
            boundary = (len(data) // READ_CHUNK + 1) * READ_CHUNK
            if boundary - k < len(data):
                boundary += READ_CHUNK
            data += bytes(boundary - k - len(data))  # sync-free filler
            data += wire
            assert (len(data) - len(wire) + k) % READ_CHUNK == 0
    data = bytes(data)
    expected = vm.decode_stream(data)
    assert len(expected) == 2 * (vm.MAX_PACKET_LEN - 1)
    packets, t0, t1 = replay_file(data, tmp_path)
    check_against_model(packets, expected, t0, t1)


def _faulty_unit(seed: int) -> vm.UnitSimulator:
    return vm.UnitSimulator(
        seed=seed,
        noise=0.05,
        damage=0.02,
        invalid_rate=0.05,
        startup=0.25,
        false_sync=0.02,
        foreign=0.02,
        wrong_length=0.01,
    )


def test_simulated_unit_with_faults_matches_model(tmp_path):
    data, records = _faulty_unit(11).stream(3.0)
    expected = vm.decode_stream(data)
    assert [vm.comparable(r) for r in expected] == [vm.comparable(r) for r in records]
    assert len(expected) > 4000
    packets, t0, t1 = replay_file(data, tmp_path)
    check_against_model(packets, expected, t0, t1)


def test_live_stream_through_fifo_in_random_chunks(tmp_path):
    # A FIFO hands the reader whatever has been written so far, so packets are
    # split at arbitrary points rather than at multiples of the read window.
    data, _ = _faulty_unit(23).stream(0.6)
    expected = vm.decode_stream(data)
    fifo = tmp_path / "live"
    os.mkfifo(fifo)
    wfd = os.open(fifo, os.O_RDWR)  # a writer exists, so the parser's open does not block
    rng = random.Random(3)
    writer_error = []

    def write_all():
        try:
            pos = 0
            while pos < len(data):
                n = rng.choice([1, 2, 3, 5, 17, 200, 261, 700, 2047, 2048, 2049, 5000])
                pos += os.write(wfd, data[pos : pos + n])
                if rng.random() < 0.3:
                    time.sleep(0.0005)
        except BaseException as e:  # reported by the test thread
            writer_error.append(e)
        finally:
            os.close(wfd)  # the reader sees the end of the stream

    packets = []
    t0 = time.time_ns()
    parser = vorn_rs.MockParser(fifo, timeout=2.0)
    writer = threading.Thread(target=write_all, daemon=True)
    writer.start()
    try:
        parser.start()
        limit = time.monotonic() + REPLAY_LIMIT
        while parser.is_running():
            assert time.monotonic() < limit, "live replay did not end"
            packets += parser.get_data_packets()
            time.sleep(0.002)
        packets += parser.get_data_packets()
        t1 = time.time_ns()
    finally:
        writer.join(REPLAY_LIMIT)
        parser.stop()
    assert not writer.is_alive()
    assert not writer_error
    check_against_model(packets, expected, t0, t1)
