"""The stream model is the reference the extension is checked against, so it is
checked here against the wire format's worked examples and edge cases."""

import math
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vorn_model as vm

EMPTY_RAW = bytes.fromhex("75 65 80 00 5A 03")
ACCEL = bytes.fromhex("75 65 80 0E 0E 04 00000000 00000000 BF800000 B9 35")
ALT_INVALID = bytes.fromhex("75 65 82 08 08 21 41200000 0000 EE 7C")
ALT_VALID = bytes.fromhex("75 65 82 08 08 21 41200000 0001 EF 7D")
TS = 1733490000123456789


def raw(**values):
    return {**vm.empty_record("raw"), **values}


def est(**values):
    return {**vm.empty_record("estimated"), **values}


def test_worked_packets_build_and_decode():
    assert vm.checksum(EMPTY_RAW[:4]) == EMPTY_RAW[4:]
    assert vm.packet(0x80, b"") == EMPTY_RAW
    assert vm.packet(0x80, vm.raw_field("scaled_accel", (0, 0, -1))) == ACCEL
    assert vm.packet(0x82, vm.est_field("est_pressure_alt", 10.0, valid=False)) == ALT_INVALID
    assert vm.packet(0x82, vm.est_field("est_pressure_alt", 10.0)) == ALT_VALID

    got = vm.decode_stream(EMPTY_RAW + ACCEL + ALT_INVALID + ALT_VALID)
    assert got == [
        raw(),
        raw(scaled_accel=[0.0, 0.0, -1.0]),
        est(est_pressure_alt=10.0, invalid_fields="estPressureAlt"),
        est(est_pressure_alt=10.0),
    ]
    assert all(list(r) == list(vm.RECORD_KEYS) for r in got)


def test_worked_text_forms():
    accel, alt = vm.decode_stream(ACCEL + ALT_INVALID)
    assert vm.text_form(accel, TS) == (
        'IMUPacket(packet_type="raw", timestamp=1733490000123456789, invalid_fields=None, '
        "scaled_accel=Some([0.0, 0.0, -1.0]), scaled_gyro=None, delta_vel=None, delta_theta=None, "
        "scaled_ambient_pressure=None, est_pressure_alt=None, est_orient_quaternion=None, "
        "est_attitude_uncert_quaternion=None, est_angular_rate=None, est_compensated_accel=None, "
        "est_linear_accel=None, est_gravity_vector=None )"
    )
    assert vm.text_form(alt, TS) == (
        'IMUPacket(packet_type="estimated", timestamp=1733490000123456789, '
        'invalid_fields=Some("estPressureAlt"), scaled_accel=None, scaled_gyro=None, delta_vel=None, '
        "delta_theta=None, scaled_ambient_pressure=None, est_pressure_alt=Some(10.0), "
        "est_orient_quaternion=None, est_attitude_uncert_quaternion=None, est_angular_rate=None, "
        "est_compensated_accel=None, est_linear_accel=None, est_gravity_vector=None )"
    )


@pytest.mark.parametrize(
    "value, form",
    [
        (1e-5, "1e-5"),
        (1.5e-5, "1.5e-5"),
        (1e-4, "0.0001"),
        (9.9e-5, "9.9e-5"),
        (0.1, "0.1"),
        (0.0, "0.0"),
        (-0.0, "-0.0"),
        (3.0, "3.0"),
        (-1.0, "-1.0"),
        (12.5, "12.5"),
        (9.80665, "9.80665"),
        (123456789.0, "123456790.0"),
        (1e15, "1000000000000000.0"),
        (9.999999e15, "9999999000000000.0"),
        (1e16, "1e16"),
        (3.4028235e38, "3.4028235e38"),
        (2.0**-149, "1e-45"),
        (2.0**-126, "1.1754944e-38"),
        # Just above a power of two the nearest 8-digit string misses; its neighbour reads back.
        (2.0**-96, "1.2621775e-29"),
        (2.0**87, "1.5474251e26"),
        (math.inf, "inf"),
        (-math.inf, "-inf"),
        (math.nan, "NaN"),
        (-math.nan, "NaN"),
    ],
)
def test_float_form(value, form):
    assert vm.float_form(vm.f32(value)) == form


@settings(max_examples=3000, deadline=None)
@given(st.integers(0, 0x7F7FFFFF))
def test_float_digits_agree_with_numpy(bits):
    np = pytest.importorskip("numpy")
    x = struct.unpack(">f", struct.pack(">I", bits))[0]
    if x == 0:
        return
    mantissa, exp = np.format_float_scientific(np.float32(x), unique=True, trim="-").split("e")
    assert vm._shortest_digits(x) == (mantissa.replace(".", ""), int(exp))


def chunked(stream, cuts):
    cuts = sorted(c for c in cuts if c <= len(stream))
    return [stream[a:b] for a, b in zip([0, *cuts], [*cuts, len(stream)])]


def feed_all(chunks):
    dec = vm.StreamDecoder()
    out = [r for c in chunks for r in dec.feed(c)]
    return out, dec.pending


def test_incremental_framing_edges():
    # Lone trailing 0x75, incomplete header, incomplete packet: kept, completed later.
    assert feed_all([b"\x01\x02\x75"]) == ([], b"\x75")
    assert feed_all([b"\x01\x75", EMPTY_RAW[1:]]) == ([raw()], b"")
    assert feed_all([b"\x00" + ACCEL[:3]]) == ([], ACCEL[:3])
    assert feed_all([ACCEL[:9], ACCEL[9:-1], ACCEL[-1:]]) == ([raw(scaled_accel=[0.0, 0.0, -1.0])], b"")
    assert feed_all([b"\x11\x22\x33"]) == ([], b"")

    # A false sync pair with length 0xFF holds everything until 261 bytes from it are in.
    false = b"\x75\x65\x80\xff"
    dec = vm.StreamDecoder()
    assert dec.feed(false + EMPTY_RAW) == []
    assert dec.feed(b"\x00" * (vm.MAX_PACKET_LEN - len(false) - len(EMPTY_RAW) - 1)) == []
    assert dec.feed(b"\x00") == [raw()]
    assert dec.pending == b""


def test_framing_rejects_and_skips():
    # Either checksum byte wrong: nothing, and nothing kept.
    for i in (4, 5):
        bad = bytearray(EMPTY_RAW)
        bad[i] ^= 0x40
        assert feed_all([bytes(bad)]) == ([], b"")
    # Sums wrapped modulo 255 instead of 256.
    head = ACCEL[:-2]
    s1 = s2 = 0
    for b in head:
        s1 = (s1 + b) % 255
        s2 = (s2 + s1) % 255
    assert bytes((s1, s2)) != ACCEL[-2:]
    assert vm.decode_stream(head + bytes((s1, s2))) == []
    # A rejected candidate whose bytes hold a good packet: found one byte later.
    assert vm.decode_stream(b"\x75\x65\x82\x06" + ACCEL) == [raw(scaled_accel=[0.0, 0.0, -1.0])]
    # Other sets are consumed whole, a good packet inside their payload included.
    assert vm.decode_stream(vm.packet(0x81, EMPTY_RAW) + vm.packet(0x0C, b"") + ALT_VALID) == [
        est(est_pressure_alt=10.0)
    ]


Q1, Q2 = (1.0, 0.0, 0.0, 0.0), (0.5, 0.5, 0.5, 0.5)


@pytest.mark.parametrize(
    "set_, payload, expected",
    [
        (0x82, b"", est()),
        (0x80, b"\x00\x04" + vm.raw_field("scaled_gyro", (1, 2, 3)), raw()),
        (0x80, b"\x01\x04" + vm.raw_field("scaled_gyro", (1, 2, 3)), raw()),
        (
            0x80,
            vm.field(0x04, vm.f32be(1, 2, 3)[:-1]) + vm.raw_field("scaled_gyro", (1, 2, 3)),
            raw(scaled_gyro=[1.0, 2.0, 3.0]),
        ),
        (0x80, vm.raw_field("scaled_ambient_pressure", 1.5) + b"\x0e\x04\x00", raw(scaled_ambient_pressure=1.5)),
        (0x80, vm.raw_field("delta_vel", (1, 2, 3)) + b"\x07", raw(delta_vel=[1.0, 2.0, 3.0])),
        (
            0x80,
            vm.raw_field("scaled_accel", (1, 2, 3)) + vm.raw_field("scaled_accel", (4, 5, 6)),
            raw(scaled_accel=[4.0, 5.0, 6.0]),
        ),
        (0x80, vm.field(0x17, vm.f32be(1.5) + b"\x00\x01"), raw()),
        (
            0x80,
            vm.field(0x03, vm.f32be(*Q1) + b"\x00\x01") + vm.field(0x04, vm.f32be(1, 2, 3)),
            raw(scaled_accel=[1.0, 2.0, 3.0]),
        ),
        (0x82, vm.field(0x21, vm.f32be(10.0)) + vm.field(0x04, vm.f32be(1, 2, 3) + b"\x00\x00"), est()),
        (
            0x82,
            vm.est_field("est_orient_quaternion", Q1, False) + vm.est_field("est_orient_quaternion", Q2),
            est(est_orient_quaternion=[0.5] * 4, invalid_fields="estOrientQuaternion"),
        ),
        (
            0x82,
            vm.est_field("est_angular_rate", (1, 2, 3), False, 0xFFFE)
            + vm.est_field("est_gravity_vector", (0, 0, -9.80665), True, 0xFFFE)
            + vm.est_field("est_orient_quaternion", Q1, False)
            + vm.est_field("est_angular_rate", (4, 5, 6), False),
            est(
                est_angular_rate=[4.0, 5.0, 6.0],
                est_gravity_vector=[0.0, 0.0, vm.f32(-9.80665)],
                est_orient_quaternion=[1.0, 0.0, 0.0, 0.0],
                invalid_fields="estAngularRate,estOrientQuaternion,estAngularRate",
            ),
        ),
    ],
)
def test_field_walk(set_, payload, expected):
    assert vm.decode_stream(vm.packet(set_, payload)) == [expected]


def test_float_bits_pass_through():
    nan = struct.unpack(">f", bytes.fromhex("7FC00123"))[0]
    (rec,) = vm.decode_stream(vm.packet(0x80, vm.raw_field("scaled_gyro", (nan, -0.0, math.inf))))
    assert vm.comparable(rec)["scaled_gyro"] == ["NaN", b"\x80\x00\x00\x00", b"\x7f\x80\x00\x00"]
    assert vm.f32(0.1) == 0.10000000149011612


FAULTY = dict(
    noise=0.05, damage=0.02, invalid_rate=0.05, startup=0.05, false_sync=0.02, foreign=0.02, wrong_length=0.01
)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_simulator_expectations_match_decoder(seed):
    pieces = vm.UnitSimulator(seed=seed, **FAULTY).packets(0.5)
    data, expected = vm.UnitSimulator(seed=seed, **FAULTY).stream(0.5)
    assert data == b"".join(w for _, w, _ in pieces)
    assert vm.decode_stream(data) == expected
    # The faults happened: lost packets, wrong-length fields, invalid names.
    assert 500 < len(expected) < 750
    assert any(r["packet_type"] == "raw" and r["delta_vel"] is None for r in expected)
    estimated = [(t, r) for t, _, r in pieces if r and r["packet_type"] == "estimated"]
    for t, r in estimated:
        present = [f.invalid_name for f in vm.FIELDS if f.invalid_name and r[f.name] is not None]
        if t < FAULTY["startup"]:
            assert r["invalid_fields"] == ",".join(present)
    assert any(r["invalid_fields"] for t, r in estimated if t > FAULTY["startup"])


SPLIT_STREAM = vm.UnitSimulator(seed=9, **FAULTY).stream(0.1)


@settings(max_examples=60, deadline=None)
@given(st.data())
def test_incremental_equals_one_shot(data):
    stream, expected = SPLIT_STREAM
    cuts = data.draw(st.lists(st.integers(0, len(stream)), max_size=60))
    assert feed_all(chunked(stream, cuts))[0] == expected


JUNK = [
    EMPTY_RAW,
    ACCEL,
    ALT_INVALID,
    vm.packet(0x81, ACCEL),
    b"\x00",
    b"\x75",
    b"\x75\x65",
    b"\x75\x65\x80\x10",
    b"\x75\x65\x82\xff",
]


@settings(max_examples=200, deadline=None)
@given(st.lists(st.sampled_from(JUNK) | st.binary(max_size=8), max_size=40), st.lists(st.integers(0, 400), max_size=10))
def test_incremental_equals_one_shot_on_junk(pieces, cuts):
    stream = b"".join(pieces)
    assert feed_all(chunked(stream, cuts))[0] == vm.decode_stream(stream)
