"""IMUPacket as Python code sees it: a read-only, non-instantiable class whose
fifteen properties build fresh Python values on every read, its text form, and
the reuse of released packet objects."""

import array
import gc
import math
import re
import struct
import sys
import types
import weakref

import pytest
from conftest import wait_ended

import vorn_model as vm
from vorn_rs import IMUPacket, MockParser

RAW_KEYS = ("scaled_accel", "scaled_gyro", "delta_vel", "delta_theta", "scaled_ambient_pressure")
EST_KEYS = tuple(k for k in vm.RECORD_KEYS if k.startswith("est_"))
VECTOR_KEYS = {"est_orient_quaternion": 4, "est_attitude_uncert_quaternion": 4}

FULL_RAW = vm.packet(
    vm.SET_RAW,
    vm.raw_field("scaled_accel", (0.1, -0.2, -1.0))
    + vm.raw_field("scaled_gyro", (1.0, 2.0, 3.0))
    + vm.raw_field("delta_theta", (0.001, 0.002, 0.003))
    + vm.raw_field("delta_vel", (-4.0, 5.5, 6.25))
    + vm.raw_field("scaled_ambient_pressure", 101325.0),
)
FULL_EST = vm.packet(
    vm.SET_EST,
    vm.est_field("est_orient_quaternion", (0.5, -0.25, 0.125, 1.0))
    + vm.est_field("est_linear_accel", (0.01, 0.02, 0.03))
    + vm.est_field("est_angular_rate", (-1.0, 0.0, 1.0))
    + vm.est_field("est_attitude_uncert_quaternion", (0.004, 0.003, 0.002, 0.001))
    + vm.est_field("est_gravity_vector", (0.0, 0.0, -9.80665))
    + vm.est_field("est_compensated_accel", (0.5, 0.25, -9.5))
    + vm.est_field("est_pressure_alt", 12.5, other_bits=0xFFFE),
)


def record(pkt) -> dict:
    return {k: getattr(pkt, k) for k in vm.RECORD_KEYS}


def one(replay, wire: bytes):
    (pkt,) = replay(wire)
    return pkt


def accel(replay, *values) -> IMUPacket:
    return one(replay, vm.packet(vm.SET_RAW, vm.raw_field("scaled_accel", values)))


def raw_bits(*bits: int) -> bytes:
    return struct.pack(f">{len(bits)}I", *bits)


# ---------------------------------------------------------------------------
# The class


def test_class_shape():
    assert IMUPacket.__module__ == "builtins"
    assert IMUPacket.__qualname__ == "IMUPacket"
    assert IMUPacket.__bases__ == (object,)
    assert "get_data_packets()" in IMUPacket.__doc__
    properties = [k for k, v in vars(IMUPacket).items() if isinstance(v, types.GetSetDescriptorType)]
    assert properties == list(vm.RECORD_KEYS)
    # help() says what each value is and when it is None.
    for name in properties:
        doc = vars(IMUPacket)[name].__doc__
        assert ("never None" in doc) == (name in ("packet_type", "timestamp")), name
        assert "None" in doc, name
    # __str__ is the only special method of its own.
    assert IMUPacket.__repr__ is object.__repr__
    assert IMUPacket.__eq__ is object.__eq__ and IMUPacket.__hash__ is object.__hash__
    assert IMUPacket.__str__ is not object.__str__
    for call in (lambda: IMUPacket(), lambda: IMUPacket(1, x=2), lambda: IMUPacket.__new__(IMUPacket)):
        with pytest.raises(TypeError):
            call()
    with pytest.raises(TypeError):
        type("Sub", (IMUPacket,), {})


def test_packet_objects_are_read_only(replay):
    a, b = replay(FULL_RAW * 2)
    stamp = a.timestamp
    for name in vm.RECORD_KEYS:
        with pytest.raises(AttributeError):
            setattr(a, name, 1)
        with pytest.raises(AttributeError):
            delattr(a, name)
    with pytest.raises(AttributeError):
        a.extra = 1
    with pytest.raises(AttributeError):
        a.__dict__
    with pytest.raises(TypeError):
        weakref.ref(a)
    assert a.timestamp == stamp and a.packet_type == "raw"
    assert not gc.is_tracked(a)
    # Identity semantics and the base object's repr, not the text form.
    assert repr(a) == object.__repr__(a)
    assert re.fullmatch(r"<builtins\.IMUPacket object at 0x[0-9a-f]+>", repr(a))
    assert a == a and a != b and str(a) != repr(a)
    assert hash(a) == object.__hash__(a)


# ---------------------------------------------------------------------------
# Properties


def test_raw_packet_properties(replay):
    pkt = one(replay, FULL_RAW)
    assert pkt.packet_type == "raw"
    assert type(pkt.timestamp) is int and pkt.timestamp > 0
    assert pkt.invalid_fields is None
    for name in EST_KEYS:
        assert getattr(pkt, name) is None, name
    for name in RAW_KEYS[:4]:
        value = getattr(pkt, name)
        assert type(value) is list and len(value) == 3 and all(type(x) is float for x in value)
    assert pkt.scaled_accel == [vm.f32(0.1), vm.f32(-0.2), -1.0]
    assert pkt.scaled_gyro == [1.0, 2.0, 3.0]
    assert pkt.delta_theta == [vm.f32(0.001), vm.f32(0.002), vm.f32(0.003)]
    assert pkt.delta_vel == [-4.0, 5.5, 6.25]
    assert type(pkt.scaled_ambient_pressure) is float and pkt.scaled_ambient_pressure == 101325.0


def test_estimated_packet_properties(replay):
    pkt = one(replay, FULL_EST)
    assert pkt.packet_type == "estimated"
    assert pkt.invalid_fields is None  # every field valid; other flag bits mean nothing
    for name in RAW_KEYS:
        assert getattr(pkt, name) is None, name
    for name in EST_KEYS[1:]:
        value = getattr(pkt, name)
        assert type(value) is list and len(value) == VECTOR_KEYS.get(name, 3), name
        assert all(type(x) is float for x in value)
    # Quaternions come in wire order, nothing reordered.
    assert pkt.est_orient_quaternion == [0.5, -0.25, 0.125, 1.0]
    assert pkt.est_attitude_uncert_quaternion == [vm.f32(x) for x in (0.004, 0.003, 0.002, 0.001)]
    assert pkt.est_angular_rate == [-1.0, 0.0, 1.0]
    assert pkt.est_gravity_vector == [0.0, 0.0, vm.f32(-9.80665)]
    assert pkt.est_compensated_accel == [0.5, 0.25, -9.5]
    assert pkt.est_linear_accel == [vm.f32(x) for x in (0.01, 0.02, 0.03)]
    assert type(pkt.est_pressure_alt) is float and pkt.est_pressure_alt == 12.5


def test_packets_without_fields(replay):
    raw, est = replay(vm.packet(vm.SET_RAW, b"") + vm.packet(vm.SET_EST, b""))
    assert (raw.packet_type, est.packet_type) == ("raw", "estimated")
    for pkt in (raw, est):
        assert all(getattr(pkt, k) is None for k in vm.RECORD_KEYS[2:])


def test_every_read_builds_new_values(replay):
    pkt = one(replay, FULL_EST)
    first = pkt.est_orient_quaternion
    second = pkt.est_orient_quaternion
    assert first == second and first is not second
    first.append(9.0)
    first[0] = 7.0
    assert pkt.est_orient_quaternion == [0.5, -0.25, 0.125, 1.0]
    raw = one(replay, FULL_RAW)
    values = raw.scaled_accel
    values.append(1.0)
    assert raw.scaled_accel == [vm.f32(0.1), vm.f32(-0.2), -1.0]
    assert pkt.invalid_fields is None
    est = one(replay, vm.packet(vm.SET_EST, vm.est_field("est_pressure_alt", 1.0, valid=False)))
    assert est.invalid_fields == "estPressureAlt" and est.invalid_fields is not est.invalid_fields


def test_float_values_are_exact_widenings(replay):
    pkt = accel(replay, 0.1, -0.0, 1e-45)
    assert pkt.scaled_accel[0] == 0.10000000149011612
    assert math.copysign(1.0, pkt.scaled_accel[1]) == -1.0
    assert pkt.scaled_accel[2] == 1.401298464324817e-45  # the smallest subnormal
    wire = vm.packet(
        vm.SET_RAW,
        vm.field(0x04, raw_bits(0x7FC00000, 0xFFC00001, 0x7F800001))  # NaNs: quiet, negative, signalling
        + vm.field(0x05, raw_bits(0x7F800000, 0xFF800000, 0x7F7FFFFF)),  # inf, -inf, the largest float
    )
    pkt = one(replay, wire)
    assert all(math.isnan(x) for x in pkt.scaled_accel)
    assert pkt.scaled_gyro == [math.inf, -math.inf, 3.4028234663852886e38]


def test_invalid_fields_in_wire_order_with_repeats(replay):
    cases = [
        # (fields, expected invalid_fields)
        ([("est_pressure_alt", 1.0, True)], None),
        ([("est_pressure_alt", 1.0, False)], "estPressureAlt"),
        (
            [("est_pressure_alt", 1.0, False), ("est_orient_quaternion", (1, 0, 0, 0), False)],
            "estPressureAlt,estOrientQuaternion",
        ),
        (
            [
                ("est_gravity_vector", (0, 0, 1), False),
                ("est_linear_accel", (1, 1, 1), True),
                ("est_angular_rate", (2, 2, 2), False),
            ],
            "estGravityVector,estAngularRate",
        ),
        # Repeats: each invalid occurrence adds the name; the last values win.
        ([("est_pressure_alt", 1.0, False), ("est_pressure_alt", 2.0, False)], "estPressureAlt,estPressureAlt"),
        ([("est_pressure_alt", 1.0, False), ("est_pressure_alt", 2.0, True)], "estPressureAlt"),
        # Longer lists than any unit sends: a packet's records keep up to seven
        # names in place and more elsewhere; both must read the same.
        (
            [
                ("est_gravity_vector", (0, 0, 1), False),
                ("est_pressure_alt", 1.0, False),
                ("est_orient_quaternion", (1, 0, 0, 0), False),
                ("est_pressure_alt", 2.0, False),
                ("est_linear_accel", (1, 1, 1), True),
                ("est_angular_rate", (2, 2, 2), False),
                ("est_compensated_accel", (3, 3, 3), False),
                ("est_attitude_uncert_quaternion", (1, 2, 3, 4), False),
                ("est_gravity_vector", (0, 0, 2), False),
            ]
            + [("est_pressure_alt", 3.0, False)] * 3,
            "estGravityVector,estPressureAlt,estOrientQuaternion,estPressureAlt,estAngularRate,estCompensatedAccel,"
            "estAttitudeUncertQuaternion,estGravityVector,estPressureAlt,estPressureAlt,estPressureAlt",
        ),
        # The most a 255-byte payload holds: 31 of the shortest flaggable field.
        ([("est_pressure_alt", float(i), False) for i in range(31)], ",".join(["estPressureAlt"] * 31)),
    ]
    wire = b"".join(
        vm.packet(vm.SET_EST, b"".join(vm.est_field(n, v, ok) for n, v, ok in fields)) for fields, _ in cases
    )
    packets = replay(wire)
    assert [p.invalid_fields for p in packets] == [expected for _, expected in cases]
    assert [p.est_pressure_alt for p in packets[-4:-2]] == [2.0, 2.0]
    assert all(type(p.invalid_fields) is str for p in packets[1:])
    assert [vm.comparable(record(p)) for p in packets] == [vm.comparable(r) for r in vm.decode_stream(wire)]
    assert [str(p) for p in packets] == [vm.text_form(record(p)) for p in packets]


def test_packets_outlive_their_parser(stream_file):
    parser = MockParser(stream_file(FULL_RAW + FULL_EST))
    parser.start()
    wait_ended(parser)
    packets = parser.get_data_packets()
    del parser
    gc.collect()
    assert [p.packet_type for p in packets] == ["raw", "estimated"]
    assert packets[1].est_orient_quaternion == [0.5, -0.25, 0.125, 1.0]
    assert str(packets[0]).startswith('IMUPacket(packet_type="raw", ')


# ---------------------------------------------------------------------------
# Text form


WORKED_RAW = (
    'IMUPacket(packet_type="raw", timestamp=1733490000123456789, invalid_fields=None, '
    "scaled_accel=Some([0.0, 0.0, -1.0]), scaled_gyro=None, delta_vel=None, delta_theta=None, "
    "scaled_ambient_pressure=None, est_pressure_alt=None, est_orient_quaternion=None, "
    "est_attitude_uncert_quaternion=None, est_angular_rate=None, est_compensated_accel=None, "
    "est_linear_accel=None, est_gravity_vector=None )"
)
WORKED_EST = (
    'IMUPacket(packet_type="estimated", timestamp=1733490000123456789, invalid_fields=Some("estPressureAlt"), '
    "scaled_accel=None, scaled_gyro=None, delta_vel=None, delta_theta=None, scaled_ambient_pressure=None, "
    "est_pressure_alt=Some(10.0), est_orient_quaternion=None, est_attitude_uncert_quaternion=None, "
    "est_angular_rate=None, est_compensated_accel=None, est_linear_accel=None, est_gravity_vector=None )"
)


def test_text_form_of_the_worked_examples(replay):
    raw, est = replay(
        vm.packet(vm.SET_RAW, vm.raw_field("scaled_accel", (0.0, 0.0, -1.0)))
        + vm.packet(vm.SET_EST, vm.est_field("est_pressure_alt", 10.0, valid=False))
    )
    for pkt, text in ((raw, WORKED_RAW), (est, WORKED_EST)):
        assert str(pkt) == text.replace("1733490000123456789", str(pkt.timestamp))
        assert str(pkt) == vm.text_form(record(pkt))
        assert str(pkt) is not str(pkt)


@pytest.mark.parametrize(
    "value, form",
    [
        (1e-5, "1e-5"),
        (1.5e-5, "1.5e-5"),
        (0.0001, "0.0001"),
        (1e16, "1e16"),
        (1e15, "1000000000000000.0"),
        (12.5, "12.5"),
        (3.0, "3.0"),
        (-0.0, "-0.0"),
        (0.0, "0.0"),
        (math.nan, "NaN"),
        (-math.inf, "-inf"),
        (math.inf, "inf"),
        (0.1, "0.1"),
        (-1.0, "-1.0"),
        (9.80665, "9.80665"),
        (3.4028235e38, "3.4028235e38"),
        (1e-45, "1e-45"),
        (16777216.0, "16777216.0"),
        (123456.79, "123456.79"),
    ],
)
def test_float_forms(replay, value, form):
    pkt = accel(replay, value, 0.5, value)
    assert f"scaled_accel=Some([{form}, 0.5, {form}])" in str(pkt)


def test_text_form_matches_the_model(replay):
    specials = [0.1, -0.0, 1e-5, 9.999999e15, 1e16, 0.00009999999, 2.5e-38, 1e-40, -123.456, math.nan]
    wire = b"".join(
        vm.packet(vm.SET_RAW, vm.raw_field("scaled_gyro", (x, -x, x * 3)) + vm.raw_field("scaled_ambient_pressure", x))
        for x in specials
    )
    wire += vm.packet(
        vm.SET_EST,
        vm.est_field("est_angular_rate", (1.0, 2.0, 3.0), False)
        + vm.est_field("est_angular_rate", (4.0, 5.0, 6.0), False),
    )
    simulated, _ = vm.UnitSimulator(seed=11, invalid_rate=0.3).stream(0.03)
    packets = replay(FULL_RAW + FULL_EST + wire + simulated)
    assert len(packets) == 2 + len(specials) + 1 + 45
    for pkt in packets:
        text = str(pkt)
        assert text == vm.text_form(record(pkt)), text
        assert text.startswith("IMUPacket(packet_type=") and text.endswith(" )")
        assert [m.group(1) for m in re.finditer(r"(\w+)=", text)] == list(vm.RECORD_KEYS)


# ---------------------------------------------------------------------------
# Reuse of released packet objects


def ended_parser(stream_file, count: int):
    wire = b"".join(vm.packet(vm.SET_EST, vm.est_field("est_pressure_alt", i, valid=i % 2 == 0)) for i in range(count))
    parser = MockParser(stream_file(wire))
    parser.start()
    wait_ended(parser)
    return parser


def test_released_packets_are_reused(stream_file):
    fill, twenty, thirty = (ended_parser(stream_file, n) for n in (30, 20, 30))
    blocks = array.array("q", bytes(8 * 4))  # preallocated: storing counts allocates nothing
    gc.collect()
    gc.disable()
    try:
        packets = fill.get_data_packets()
        assert len(packets) == 30
        del packets  # 30 released: the free list is full now
        blocks[0] = sys.getallocatedblocks()
        held = twenty.get_data_packets()
        blocks[1] = sys.getallocatedblocks()
        del held
        blocks[2] = sys.getallocatedblocks()
        more = thirty.get_data_packets()
        blocks[3] = sys.getallocatedblocks()
    finally:
        gc.enable()
    twenty_cost = blocks[1] - blocks[0]
    thirty_cost = blocks[3] - blocks[2]
    # Twenty packets fit the free list: only the list itself is new memory.
    assert twenty_cost <= 5, list(blocks)
    # Thirty do not: ten come from the allocator.
    assert thirty_cost - twenty_cost >= 7, list(blocks)
    assert [p.est_pressure_alt for p in more] == [float(i) for i in range(30)]
    assert [p.invalid_fields for p in more[:2]] == [None, "estPressureAlt"]


def test_drain_and_release_cycles_do_not_grow_memory(stream_file):
    wire = FULL_RAW * 15 + FULL_EST * 15
    path = stream_file(wire)
    cycles = 10
    blocks = array.array("q", bytes(8 * cycles))
    for i in range(cycles):
        parser = MockParser(path)
        parser.start()
        wait_ended(parser)
        packets = parser.get_data_packets()
        assert len(packets) == 30
        for pkt in packets:
            for name in vm.RECORD_KEYS:
                getattr(pkt, name)
            str(pkt)
        del packets, parser, pkt
        gc.collect()
        blocks[i] = sys.getallocatedblocks()
    # A leak of anything per packet would add at least 30 blocks a cycle.
    assert blocks[-1] - blocks[2] <= 5, list(blocks)
