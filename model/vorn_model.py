"""Pure-Python model of the unit's byte stream.

Builders for packets and fields, a reference decoder (one-shot and incremental),
the text form of a packet, and a simulator of a unit's stream with the records a
correct decoder must produce. Standard library only, so it runs on any CPython
3.11+, free-threaded builds included; only the still unit for noise figures
(StillUnit) needs NumPy, imported when it is used. It is a reference for tests and benchmarks:
clarity first, then speed where the benchmarks need it.
"""

from __future__ import annotations

import functools
import math
import operator
import random
import struct
from collections import Counter
from fractions import Fraction
from typing import NamedTuple

SYNC = b"\x75\x65"
SET_RAW = 0x80
SET_EST = 0x82
HEADER_LEN = 4
CHECKSUM_LEN = 2
MAX_PACKET_LEN = HEADER_LEN + 255 + CHECKSUM_LEN


class FieldSpec(NamedTuple):
    set: int
    descriptor: int
    length: int  # whole field, header bytes included
    floats: int  # 1 means a scalar float
    name: str  # record field filled
    invalid_name: str | None  # name put on the invalid list; None for raw fields


# Mirrors the wire format's field table.
FIELDS: tuple[FieldSpec, ...] = (
    FieldSpec(0x80, 0x04, 14, 3, "scaled_accel", None),
    FieldSpec(0x80, 0x05, 14, 3, "scaled_gyro", None),
    FieldSpec(0x80, 0x07, 14, 3, "delta_theta", None),
    FieldSpec(0x80, 0x08, 14, 3, "delta_vel", None),
    FieldSpec(0x80, 0x17, 6, 1, "scaled_ambient_pressure", None),
    FieldSpec(0x82, 0x03, 20, 4, "est_orient_quaternion", "estOrientQuaternion"),
    FieldSpec(0x82, 0x0D, 16, 3, "est_linear_accel", "estLinearAccel"),
    FieldSpec(0x82, 0x0E, 16, 3, "est_angular_rate", "estAngularRate"),
    FieldSpec(0x82, 0x12, 20, 4, "est_attitude_uncert_quaternion", "estAttitudeUncertQuaternion"),
    FieldSpec(0x82, 0x13, 16, 3, "est_gravity_vector", "estGravityVector"),
    FieldSpec(0x82, 0x1C, 16, 3, "est_compensated_accel", "estCompensatedAccel"),
    FieldSpec(0x82, 0x21, 8, 1, "est_pressure_alt", "estPressureAlt"),
)
FIELD_BY_NAME = {f.name: f for f in FIELDS}

# The record's fields in their visible order (the order of the text form).
RECORD_KEYS: tuple[str, ...] = (
    "packet_type",
    "timestamp",
    "invalid_fields",
    "scaled_accel",
    "scaled_gyro",
    "delta_vel",
    "delta_theta",
    "scaled_ambient_pressure",
    "est_pressure_alt",
    "est_orient_quaternion",
    "est_attitude_uncert_quaternion",
    "est_angular_rate",
    "est_compensated_accel",
    "est_linear_accel",
    "est_gravity_vector",
)
PACKET_TYPE = {SET_RAW: "raw", SET_EST: "estimated"}


# ---------------------------------------------------------------------------
# Builders


def checksum(data: bytes) -> bytes:
    """The two running 8-bit sums over data, each modulo 256."""
    s1 = s2 = 0
    for b in data:
        s1 = (s1 + b) & 0xFF
        s2 = (s2 + s1) & 0xFF
    return bytes((s1, s2))


def field(descriptor: int, data: bytes) -> bytes:
    return bytes((len(data) + 2, descriptor)) + data


def _sums(view) -> tuple[int, int]:
    """checksum() at C speed: s2 is the sum of each byte weighted by how many
    running sums it enters."""
    s1 = sum(view) & 0xFF
    s2 = sum(map(operator.mul, range(len(view), 0, -1), view)) & 0xFF
    return s1, s2


def packet(descriptor_set: int, payload: bytes) -> bytes:
    if len(payload) > 255:
        raise ValueError(f"payload of {len(payload)} bytes does not fit a packet")
    head = SYNC + bytes((descriptor_set, len(payload))) + payload
    return head + bytes(_sums(head))


def f32be(*floats: float) -> bytes:
    return struct.pack(f">{len(floats)}f", *floats)


def valid_flags(valid: bool, other_bits: int = 0) -> bytes:
    """The 16-bit flags word; only bit 0 (valid) means anything to the decoder."""
    return struct.pack(">H", (other_bits & 0xFFFE) | (1 if valid else 0))


def _as_floats(values) -> tuple[float, ...]:
    return (values,) if isinstance(values, (int, float)) else tuple(values)


# The typed helpers take a float or a sequence of them; a count other than the
# table's makes a field of the wrong length, which the decoder must skip.


def raw_field(name: str, values) -> bytes:
    spec = FIELD_BY_NAME[name]
    if spec.set != SET_RAW:
        raise ValueError(f"{name} is not a field of the raw set")
    return field(spec.descriptor, f32be(*_as_floats(values)))


def est_field(name: str, values, valid: bool = True, other_bits: int = 0) -> bytes:
    spec = FIELD_BY_NAME[name]
    if spec.set != SET_EST:
        raise ValueError(f"{name} is not a field of the estimation set")
    return field(spec.descriptor, f32be(*_as_floats(values)) + valid_flags(valid, other_bits))


def f32(x: float) -> float:
    """x rounded to single precision and widened back, as the decoder reports it."""
    return struct.unpack(">f", struct.pack(">f", x))[0]


def empty_record(packet_type: str | None = None) -> dict:
    rec = dict.fromkeys(RECORD_KEYS)
    rec["packet_type"] = packet_type
    return rec


# ---------------------------------------------------------------------------
# Reference decoder


class _Decode(NamedTuple):
    length: int
    unpack_from: object  # struct.Struct.unpack_from
    scalar: bool
    name: str
    invalid_name: str | None


def _decode_table(descriptor_set: int) -> dict[int, _Decode]:
    table = {}
    for f in FIELDS:
        if f.set != descriptor_set:
            continue
        fmt = ">" + "f" * f.floats + ("H" if f.invalid_name else "")
        table[f.descriptor] = _Decode(f.length, struct.Struct(fmt).unpack_from, f.floats == 1, f.name, f.invalid_name)
    return table


_RAW_TABLE = _decode_table(SET_RAW)
_EST_TABLE = _decode_table(SET_EST)


def decode_payload(descriptor_set: int, payload, wrong_length: Counter | None = None) -> dict | None:
    """Decodes one verified payload into a record dict, or None for other sets.
    Listed fields skipped for their length are counted by name in wrong_length."""
    if descriptor_set == SET_RAW:
        table, est = _RAW_TABLE, False
    elif descriptor_set == SET_EST:
        table, est = _EST_TABLE, True
    else:
        return None
    rec = empty_record(PACKET_TYPE[descriptor_set])
    invalid = []
    n = len(payload)
    q = 0
    while q < n:
        fl = payload[q]
        if fl < 2 or q + fl > n:
            break
        spec = table.get(payload[q + 1])
        if spec is not None and fl != spec.length and wrong_length is not None:
            wrong_length[spec.name] += 1
        if spec is not None and fl == spec.length:
            vals = spec.unpack_from(payload, q + 2)
            if est:
                if not vals[-1] & 1:
                    invalid.append(spec.invalid_name)
                vals = vals[:-1]
            rec[spec.name] = vals[0] if spec.scalar else list(vals)
        q += fl
    if invalid:
        rec["invalid_fields"] = ",".join(invalid)
    return rec


def _scan(data: bytes, out: list, stats: dict | None = None) -> int:
    """Frames data, appending records to out; returns how many leading bytes are done with.
    stats, when given, gathers what stream_counts reports."""
    view = memoryview(data)
    n = len(data)
    find = data.find
    p = 0
    while True:
        p = find(SYNC, p)
        if p < 0:
            # Keep a lone trailing first sync byte: its partner may be in the next chunk.
            return n - 1 if n and data[-1] == 0x75 else n
        if p + HEADER_LEN > n:
            return p
        length = data[p + 3]
        end = p + HEADER_LEN + length
        if end + CHECKSUM_LEN > n:
            return p
        if _sums(view[p:end]) != (data[end], data[end + 1]):
            if stats is not None:
                stats["bad_checksums"] += 1
            p += 1  # noise, or a damaged packet: a real one may start inside it
            continue
        if stats is not None:
            stats["sets"][data[p + 2]] += 1
            stats["good_bytes"] += end + CHECKSUM_LEN - p
        rec = decode_payload(data[p + 2], view[p + HEADER_LEN : end], None if stats is None else stats["wrong_length"])
        if rec is not None:
            out.append(rec)
        p = end + CHECKSUM_LEN


def decode_stream(data: bytes) -> list[dict]:
    """Every record in data, as a decoder fed all of it at once produces them."""
    out: list[dict] = []
    _scan(bytes(data), out)
    return out


def stream_counts(data: bytes) -> dict:
    """What framing all of data passes over: good packets per descriptor set, bytes
    outside good packets (noise, an incomplete tail included), candidates whose
    checksum failed, listed fields skipped for their length (by record field), and
    per invalid name the filter packets flagging it (once per packet)."""
    stats = {"sets": Counter(), "good_bytes": 0, "bad_checksums": 0, "wrong_length": Counter()}
    records: list[dict] = []
    _scan(bytes(data), records, stats)
    flagged = (set(r["invalid_fields"].split(",")) for r in records if r["invalid_fields"])
    return {
        "sets": dict(stats["sets"]),
        "noise": len(data) - stats["good_bytes"],
        "bad_checksums": stats["bad_checksums"],
        "wrong_length": dict(stats["wrong_length"]),
        "invalid": dict(Counter(name for names in flagged for name in names)),
    }


class StreamDecoder:
    """Incremental framing: feed chunks, get the records they complete."""

    def __init__(self) -> None:
        self._tail = b""

    @property
    def pending(self) -> bytes:
        """The bytes kept for the next chunk (an incomplete candidate, or a lone 0x75)."""
        return self._tail

    def feed(self, chunk: bytes) -> list[dict]:
        data = self._tail + bytes(chunk)
        out: list[dict] = []
        done = _scan(data, out)
        self._tail = data[done:]
        return out


def comparable(rec: dict) -> dict:
    """rec with floats replaced by their single-precision bits, so that NaN equals NaN
    (payloads ignored) and -0.0 differs from 0.0. The timestamp is dropped."""

    def key(x):
        return "NaN" if math.isnan(x) else struct.pack(">f", x)

    out = {}
    for k, v in rec.items():
        if k == "timestamp":
            continue
        if isinstance(v, float):
            v = key(v)
        elif isinstance(v, list):
            v = [key(x) for x in v]
        out[k] = v
    return out


# ---------------------------------------------------------------------------
# Text form

_F32_MAX_BITS = 0x7F7FFFFF
_F32_MAX = struct.unpack(">f", struct.pack(">I", _F32_MAX_BITS))[0]
_POSITIONAL_MIN = f32(1e-4)
_POSITIONAL_LIMIT = f32(1e16)


def _f32_bits(x: float) -> int:
    return struct.unpack(">I", struct.pack(">f", x))[0]


def _f32_from_bits(bits: int) -> float:
    return struct.unpack(">f", struct.pack(">I", bits))[0]


def _exact_digits(x: float) -> tuple[str, int]:
    """Digits and decimal exponent (x = d.ddd * 10**exp) of the shortest decimal that
    reads back as the single-precision value x > 0; the nearest of that length."""
    bits = _f32_bits(x)
    exact = Fraction(x)
    above = Fraction(2**128) if bits == _F32_MAX_BITS else Fraction(_f32_from_bits(bits + 1))
    below = Fraction(_f32_from_bits(bits - 1))
    hi_mid = (exact + above) / 2
    lo_mid = (exact + below) / 2
    even = bits % 2 == 0

    def reads_back(d: Fraction) -> bool:
        # Exact test against the rounding interval: no double rounding through float64.
        # The interval is lopsided just above a power of two, so the nearest string of
        # a length may miss it while its other neighbour hits it.
        if lo_mid < d < hi_mid:
            return True
        return even and (d == lo_mid or d == hi_mid)

    e = math.floor(math.log10(x))
    while Fraction(10) ** e > exact:
        e -= 1
    while Fraction(10) ** (e + 1) <= exact:
        e += 1
    for p in range(1, 10):
        k = e - p + 1
        scale = Fraction(10) ** k
        lo = math.floor(exact / scale)
        candidates = (lo,) if lo * scale == exact else (lo, lo + 1)
        hits = [c for c in candidates if reads_back(c * scale)]
        if hits:
            best = min(hits, key=lambda c: (abs(c * scale - exact), c % 2))
            return _normalise(best, k)
    raise AssertionError(f"no digits for {x!r}")


def _is_f32_midpoint(d: float) -> bool:
    y = f32(d)
    if y == d:
        return False
    z = _f32_from_bits(_f32_bits(y) + (1 if d > y else -1))
    return d == (y + z) / 2


@functools.lru_cache(maxsize=1 << 16)
def _shortest_digits(x: float) -> tuple[str, int]:
    """_exact_digits, mostly without exact arithmetic. Away from powers of two the
    rounding interval is symmetric, so only the nearest p-digit decimal ('%e') can
    read back, and reading it back through float64 is exact unless that double sits
    on a single-precision midpoint. Subnormals and the largest value go the exact way."""
    bits = _f32_bits(x)
    if not 0x00800000 <= bits < _F32_MAX_BITS or bits & 0x7FFFFF == 0:
        return _exact_digits(x)
    for p in range(1, 10):
        text = "%.*e" % (p - 1, x)
        d = float(text)
        if d > _F32_MAX:
            continue  # rounded up past the largest value, so it reads back as that or inf
        if _is_f32_midpoint(d):
            return _exact_digits(x)
        if f32(d) == x:
            mantissa, exp = text.split("e")
            return _normalise(int(mantissa.replace(".", "")), int(exp) - p + 1)
    raise AssertionError(f"no digits for {x!r}")


def _normalise(coefficient: int, exp10: int) -> tuple[str, int]:
    digits = str(coefficient).rstrip("0")
    # value = coefficient * 10**exp10; exponent of its leading digit:
    return digits, exp10 + len(str(coefficient)) - 1


def float_form(x: float) -> str:
    """The text form of one single-precision value (x is its double widening)."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    sign = "-" if math.copysign(1.0, x) < 0 else ""
    a = abs(x)
    if a == 0:
        return sign + "0.0"
    digits, exp = _shortest_digits(a)
    if _POSITIONAL_MIN <= a < _POSITIONAL_LIMIT:
        if exp >= 0:
            whole = digits[: exp + 1].ljust(exp + 1, "0")
            frac = digits[exp + 1 :] or "0"
        else:
            whole, frac = "0", "0" * (-exp - 1) + digits
        return f"{sign}{whole}.{frac}"
    rest = "." + digits[1:] if len(digits) > 1 else ""
    return f"{sign}{digits[0]}{rest}e{exp}"


def _value_form(v) -> str:
    if isinstance(v, list):
        return "[" + ", ".join(float_form(x) for x in v) + "]"
    return float_form(v)


def text_form(pkt: dict, timestamp: int | None = None) -> str:
    """The packet's __str__, at the given timestamp or else at pkt's own."""
    if timestamp is None:
        timestamp = pkt["timestamp"]
    parts = [f'packet_type: "{pkt["packet_type"]}"', f"timestamp: {timestamp}"]
    for key in RECORD_KEYS[2:]:
        v = pkt[key]
        if v is None:
            form = "None"
        elif key == "invalid_fields":
            form = f'Some("{v}")'
        else:
            form = f"Some({_value_form(v)})"
        parts.append(f"{key}: {form}")
    debug = "IMUPacket { " + ", ".join(parts) + " }"
    text = debug.replace(" { ", "(", 1)
    if text.endswith("}"):
        text = text[:-1] + ")"
    return text.replace(": ", "=")


# ---------------------------------------------------------------------------
# Stream simulator

_RAW_FIELDS = tuple(f for f in FIELDS if f.set == SET_RAW)
_EST_FIELDS = tuple(f for f in FIELDS if f.set == SET_EST)
_PACK = {n: struct.Struct(f">{n}f") for n in (1, 3, 4)}
_FLAGS = struct.Struct(">H")


class _Layout:
    """One packet of all of a set's fields in table order, packed by one struct."""

    def __init__(self, specs: tuple[FieldSpec, ...]) -> None:
        self.specs = specs
        flags = "H" if specs[0].invalid_name else ""
        self.payload = struct.Struct(">" + "".join("BB" + "f" * f.floats + flags for f in specs))
        self.floats = struct.Struct(">%df" % sum(f.floats for f in specs))


_RAW_LAYOUT = _Layout(_RAW_FIELDS)
_EST_LAYOUT = _Layout(_EST_FIELDS)
_GRAVITY = 9.80665
_RAW_RATE = 1000  # Hz; the filter runs at half of it


def _qmul(a, b):
    aw, ax, ay, az = a
    bw, bx, by, bz = b
    return (
        aw * bw - ax * bx - ay * by - az * bz,
        aw * bx + ax * bw + ay * bz - az * by,
        aw * by - ax * bz + ay * bw + az * bx,
        aw * bz + ax * by - ay * bx + az * bw,
    )


def _rotate_into_body(q, v):
    """v (navigation frame) seen in the body frame of attitude q: q* v q."""
    w, x, y, z = q
    p = _qmul(_qmul((w, -x, -y, -z), (0.0, *v)), q)
    return p[1:]


class UnitSimulator:
    """A seeded unit: raw packets at 1000 Hz, filter packets at 500 Hz, and optional
    faults. noise, false_sync and foreign are the chances of junk, a false sync pair
    or a packet of another set before each packet, damage the chance that a packet
    has one byte changed; invalid_rate is per filter field, wrong_length per field
    of either set. During the first `startup` seconds every filter field is flagged
    invalid. Successive calls go on where the previous one ended."""

    def __init__(
        self,
        seed: int = 1,
        noise: float = 0.0,
        damage: float = 0.0,
        invalid_rate: float = 0.02,
        *,
        startup: float = 0.0,
        false_sync: float = 0.0,
        foreign: float = 0.0,
        wrong_length: float = 0.0,
    ) -> None:
        self.rng = random.Random(seed)
        self.noise = noise
        self.damage = damage
        self.invalid_rate = invalid_rate
        self.startup = startup
        self.false_sync = false_sync
        self.foreign = foreign
        self.wrong_length = wrong_length
        self._tick = 0  # raw samples made so far
        axis = (self.rng.uniform(-1, 1), self.rng.uniform(-1, 1), 1.0)
        norm = math.sqrt(sum(c * c for c in axis))
        self._axis = tuple(c / norm for c in axis)
        self._yaw_rate = self.rng.uniform(0.05, 0.3)  # rad/s, a slow turn

    # -- values --

    def _motion(self, t: float):
        """Attitude quaternion and body angular rate at time t."""
        rate = self._yaw_rate * (1.0 + 0.3 * math.sin(0.5 * t))
        angle = self._yaw_rate * (t - 0.6 * math.cos(0.5 * t) + 0.6)
        s = math.sin(angle / 2)
        q = (math.cos(angle / 2), s * self._axis[0], s * self._axis[1], s * self._axis[2])
        return q, tuple(rate * c for c in self._axis)

    def _packet(self, layout: _Layout, values, flags, rec: dict) -> bytes:
        """Frames one packet of layout's fields and fills rec with what a decoder
        reads back: single-precision values, invalid names in wire order."""
        rng = self.rng
        specs = layout.specs
        got = layout.floats.unpack(layout.floats.pack(*[x for v in values for x in v]))
        wrong = [rng.random() < self.wrong_length for _ in specs] if self.wrong_length else None
        if wrong and any(wrong):
            parts = []
            for i, spec in enumerate(specs):
                data = _PACK[spec.floats].pack(*values[i])
                if flags:
                    data += _FLAGS.pack(flags[i])
                if wrong[i]:
                    # Too short or too long: skipped by its own length, value and name lost.
                    data = data[:-1] if rng.random() < 0.5 else data + b"\x00"
                parts.append(field(spec.descriptor, data))
            payload = b"".join(parts)
        else:
            args = []
            for i, spec in enumerate(specs):
                args += (spec.length, spec.descriptor, *values[i])
                if flags:
                    args.append(flags[i])
            payload = layout.payload.pack(*args)
        invalid = []
        o = 0
        for i, spec in enumerate(specs):
            n = spec.floats
            if not (wrong and wrong[i]):
                rec[spec.name] = got[o] if n == 1 else list(got[o : o + n])
                if flags and not flags[i] & 1:
                    invalid.append(spec.invalid_name)
            o += n
        if invalid:
            rec["invalid_fields"] = ",".join(invalid)
        return packet(specs[0].set, payload)

    def _raw_packet(self, t: float):
        g = self.rng.gauss
        dt = 1.0 / _RAW_RATE
        q, rate = self._motion(t)
        down = _rotate_into_body(q, (0.0, 0.0, -1.0))
        accel = [c + g(0, 0.002) for c in down]  # g
        gyro = [c + g(0, 0.001) for c in rate]  # rad/s
        values = {
            "scaled_accel": accel,
            "scaled_gyro": gyro,
            "delta_theta": [c * dt for c in gyro],
            "delta_vel": [c * dt * _GRAVITY for c in accel],
            "scaled_ambient_pressure": (101325.0 + g(0, 3.0),),
        }
        rec = empty_record("raw")
        return self._packet(_RAW_LAYOUT, [values[f.name] for f in _RAW_FIELDS], None, rec), rec

    def _est_packet(self, t: float):
        rng = self.rng
        g = rng.gauss
        q, rate = self._motion(t)
        gravity = _rotate_into_body(q, (0.0, 0.0, -_GRAVITY))
        linear = [g(0, 0.02) for _ in range(3)]
        values = {
            "est_orient_quaternion": q,
            "est_linear_accel": linear,
            "est_angular_rate": [c + g(0, 0.0005) for c in rate],
            "est_attitude_uncert_quaternion": [abs(g(0.002, 0.0005)) for _ in range(4)],
            "est_gravity_vector": gravity,
            "est_compensated_accel": [a + b for a, b in zip(gravity, linear)],
            "est_pressure_alt": (10.0 + g(0, 0.3),),
        }
        # Now and then the unit sets status bits besides bit 0; they mean nothing here.
        other = rng.getrandbits(16) & 0xFFFE if rng.random() < 0.05 else 0
        if t < self.startup:
            flags = [other] * len(_EST_FIELDS)
        else:
            p_invalid = self.invalid_rate
            flags = [other | (rng.random() >= p_invalid) for _ in _EST_FIELDS]
        rec = empty_record("estimated")
        return self._packet(_EST_LAYOUT, [values[f.name] for f in _EST_FIELDS], flags, rec), rec

    # -- faults --

    def _noise_bytes(self) -> bytes:
        return self.rng.randbytes(self.rng.randint(1, 24))

    def _false_sync_bytes(self) -> bytes:
        rng = self.rng
        length = 0xFF if rng.random() < 0.3 else rng.randrange(256)
        return SYNC + bytes((rng.choice((0x80, 0x82, 0x81)), length)) + rng.randbytes(rng.randint(0, 8))

    def _foreign_packet(self) -> bytes:
        rng = self.rng
        # Other sets are framed like ours; a sync pair inside must not be looked at.
        payload = field(0x01, rng.randbytes(rng.randint(0, 20)) + SYNC + bytes((0x80, 0x00)))
        return packet(rng.choice((0x81, 0x0C)), payload)

    def _damaged(self, wire: bytes) -> bytes:
        pos = self.rng.randrange(len(wire))
        damaged = bytearray(wire)
        damaged[pos] ^= self.rng.randrange(1, 256)
        return bytes(damaged)

    # -- streams --

    def packets(self, seconds: float) -> list[tuple[float, bytes, dict | None]]:
        """(seconds since the unit started, wire bytes, expected record or None) for
        each piece of the stream, in order; junk, damaged and foreign pieces expect None."""
        rng = self.rng
        pieces: list[tuple[float, bytes, dict | None]] = []
        good: list[bool] = []  # piece is a well-formed packet the framing consumes whole
        ticks = round(seconds * _RAW_RATE)
        for _ in range(ticks):
            t = self._tick / _RAW_RATE
            made = [self._raw_packet(t)]
            if self._tick % 2 == 0:
                made.append(self._est_packet(t))
            self._tick += 1
            for wire, rec in made:
                if self.noise and rng.random() < self.noise:
                    pieces.append((t, self._noise_bytes(), None))
                    good.append(False)
                if self.false_sync and rng.random() < self.false_sync:
                    pieces.append((t, self._false_sync_bytes(), None))
                    good.append(False)
                if self.foreign and rng.random() < self.foreign:
                    pieces.append((t, self._foreign_packet(), None))
                    good.append(True)
                if self.damage and rng.random() < self.damage:
                    pieces.append((t, self._damaged(wire), None))
                    good.append(False)
                else:
                    pieces.append((t, wire, rec))
                    good.append(True)
        return self._defuse(pieces, good)

    def stream(self, seconds: float) -> tuple[bytes, list[dict]]:
        """The byte stream and the records a correct decoder finds in it, in order."""
        pieces = self.packets(seconds)
        return b"".join(w for _, w, _ in pieces), [r for _, _, r in pieces if r is not None]

    @staticmethod
    def _defuse(pieces, good):
        """Breaks every sync pair outside the good packets that would frame by accident:
        one passing its checksum (it would swallow real packets) or one running past
        the end (it would hold back the packets after it). Breaking means changing its
        0x65, which is never the first byte of a good packet."""
        data = bytearray(b"".join(w for _, w, _ in pieces))
        starts, spans = [], []
        pos = 0
        for (_, wire, _), ok in zip(pieces, good):
            starts.append(pos)
            if ok:
                spans.append((pos, pos + len(wire)))
            pos += len(wire)
        n = len(data)
        changed = True
        while changed:
            changed = False
            span_i = 0
            p = data.find(SYNC)
            while p >= 0:
                while span_i < len(spans) and spans[span_i][1] <= p:
                    span_i += 1
                if span_i < len(spans) and spans[span_i][0] <= p:
                    p = data.find(SYNC, spans[span_i][1])  # inside a good packet: never examined
                    continue
                end = p + HEADER_LEN + data[p + 3] if p + HEADER_LEN <= n else n + 1
                if end + CHECKSUM_LEN > n or checksum(data[p:end]) == data[end : end + 2]:
                    data[p + 1] ^= 0x01
                    changed = True
                p = data.find(SYNC, p + 1)
        out = []
        for i, (t, wire, rec) in enumerate(pieces):
            out.append((t, bytes(data[starts[i] : starts[i] + len(wire)]), rec))
        return out


# ---------------------------------------------------------------------------
# A unit lying still


class StillUnit:
    """A unit lying still and level, for checking noise figures against known
    truth: each axis is a constant bias plus white noise of the given density
    and a bias that random-walks at the given rate, in SI (accelerometer
    m/s²/√Hz and m/s³/√Hz, gyroscope rad/s/√Hz and rad/s²/√Hz). Only raw
    packets, at `rate` a second. Needs NumPy, unlike the rest of this model:
    an hour at 1 kHz is 3.6 million packets."""

    def __init__(
        self,
        rate: float = 1000.0,
        accel_density: float = 1e-3,
        accel_random_walk: float = 4e-5,
        gyro_density: float = 1e-4,
        gyro_random_walk: float = 2e-6,
        seed: int = 1,
    ) -> None:
        self.rate = rate
        self.accel = (accel_density, accel_random_walk)
        self.gyro = (gyro_density, gyro_random_walk)
        self.seed = seed

    def series(self, seconds: float):
        """(accelerometer in m/s², gyroscope in rad/s), each samples x 3, float64."""
        import numpy as np

        rng = np.random.default_rng(self.seed)
        n = round(seconds * self.rate)
        out = []
        for (density, walk), level in ((self.accel, (0.0, 0.0, -_GRAVITY)), (self.gyro, (0.0, 0.0, 0.0))):
            # Per sample: white noise of deviation N·sqrt(rate), bias steps of K/sqrt(rate).
            bias = np.cumsum(rng.standard_normal((n, 3)) * (walk / math.sqrt(self.rate)), axis=0)
            bias += rng.uniform(-0.05, 0.05, 3) * (0.5 if level[2] else 0.01)  # turn-on bias
            out.append(np.asarray(level) + bias + rng.standard_normal((n, 3)) * (density * math.sqrt(self.rate)))
        return out[0], out[1]

    def stream(self, seconds: float) -> bytes:
        """The raw packets of `seconds` still, the scaled acceleration in g (level,
        z reads -1 g as UnitSimulator's does), the increments over one sample interval."""
        import numpy as np

        accel, gyro = self.series(seconds)
        n = len(accel)
        dt = 1.0 / self.rate
        values = {
            "scaled_accel": accel / _GRAVITY,
            "scaled_gyro": gyro,
            "delta_theta": gyro * dt,
            "delta_vel": accel * dt,
            "scaled_ambient_pressure": np.full((n, 1), 101325.0),
        }
        parts = [
            np.broadcast_to(np.frombuffer(SYNC + bytes((SET_RAW, _RAW_LAYOUT.payload.size)), np.uint8), (n, HEADER_LEN))
        ]
        for spec in _RAW_FIELDS:
            parts.append(np.broadcast_to(np.array([spec.length, spec.descriptor], np.uint8), (n, 2)))
            parts.append(values[spec.name].astype(">f4").view(np.uint8).reshape(n, 4 * spec.floats))
        body = np.concatenate(parts, axis=1)
        # The running sums of checksum(): s2 weighs each byte by how many sums it enters.
        weights = np.arange(body.shape[1], 0, -1, dtype=np.uint32)
        s1 = body.sum(axis=1, dtype=np.uint32) & 0xFF
        s2 = (body.astype(np.uint32) @ weights) & 0xFF
        return np.concatenate([body, s1[:, None].astype(np.uint8), s2[:, None].astype(np.uint8)], axis=1).tobytes()


# ---------------------------------------------------------------------------
# A unit on a USB serial adapter, as the host's reads see it


class AdapterLink:
    """A unit streaming over a serial line into a USB adapter that releases
    what it has received every `latency_timer` seconds (a whole burst per
    read), with the unit's own clock drifting against the host's. Faults: host
    stalls (the reader sleeps `stall_length`, then gets everything in one
    read), one packet losing some of its bytes on the way (`lost`, its index
    among the packets), and a pause of the unit (`pause`, seconds, before the
    tick `pause_tick`, after which it ticks at a new phase). `lost` may name
    several packets. `bulk_bytes`: the adapter also releases as soon as that
    many bytes wait (its buffer full), so that reads cut packets anywhere.
    `drift_change_ppm`: the unit's drift moves on by that much, evenly over
    `drift_change_over` seconds from `drift_change_from` (a unit warming up).

    The unit sends a raw packet every tick (`raw_rate` a second) and a filter
    packet every `filter_every` ticks right after it; a packet waits while the
    line is busy (at 921600 baud a raw and a filter packet take 2.0 ms: at
    400 Hz the line is free again before the next tick). Its content repeats from a few packets of UnitSimulator's:
    only timing matters here. Needs NumPy.

    recording(seconds) returns (data, reads, kinds, sent): the bytes the host
    read, where each read ends in them and when it returned (host monotonic
    ns), and for each packet that arrived whole its kind (0 raw, 1 filter) and
    when the unit began sending it (host monotonic ns): the true sample time.
    After it, `waits` holds how long each of those packets waited for the
    line after its tick (ns)."""

    BITS_PER_BYTE = 10  # 8N1

    def __init__(
        self,
        *,
        baud: int = 921600,
        drift_ppm: float = 60.0,
        raw_rate: float = 400.0,
        filter_every: int = 2,
        latency_timer: float = 0.016,
        stalls: tuple[float, ...] = (),
        stall_length: float = 0.060,
        lost: int | tuple[int, ...] | None = None,
        lost_bytes: int = 20,
        pause_tick: int | None = None,
        pause: float = 0.5,
        seed: int = 1,
        start_ns: int = 1_000_000_000_000,
        bulk_bytes: int | None = None,
        drift_change_ppm: float = 0.0,
        drift_change_from: float = 0.0,
        drift_change_over: float = 60.0,
    ) -> None:
        self.baud = baud
        self.drift_ppm = drift_ppm
        self.raw_rate = raw_rate
        self.filter_every = filter_every
        self.latency_timer = latency_timer
        self.stalls = stalls
        self.stall_length = stall_length
        self.lost = lost
        self.lost_bytes = lost_bytes
        self.pause_tick = pause_tick
        self.pause = pause
        self.seed = seed
        self.start_ns = start_ns
        self.bulk_bytes = bulk_bytes
        self.drift_change_ppm = drift_change_ppm
        self.drift_change_from = drift_change_from
        self.drift_change_over = drift_change_over
        pieces = UnitSimulator(seed=seed, invalid_rate=0.0).packets(0.02)
        self.templates = (
            [w for _, w, r in pieces if r and r["packet_type"] == "raw"],
            [w for _, w, r in pieces if r and r["packet_type"] == "estimated"],
        )

    def recording(self, seconds: float):
        import numpy as np

        rng = np.random.default_rng(self.seed)
        byte_ns = self.BITS_PER_BYTE * 1e9 / self.baud
        period = 1e9 / self.raw_rate / (1 + self.drift_ppm * 1e-6)  # ns of the host's clock
        wires, kinds, starts, dues = [], [], [], []
        free = shift = 0.0
        ticks = round(seconds * self.raw_rate)
        at_tick = self._tick_times(ticks, period)
        for tick in range(ticks):
            if tick == self.pause_tick:
                shift += self.pause * 1e9 + rng.uniform(0, period)
            due = self.start_ns + shift + at_tick[tick]
            made = [(0, self.templates[0][tick % len(self.templates[0])])]
            if tick % self.filter_every == 0:
                made.append((1, self.templates[1][tick % len(self.templates[1])]))
            for kind, wire in made:
                start = max(due, free)
                free = start + len(wire) * byte_ns
                wires.append(wire)
                kinds.append(kind)
                starts.append(start)
                dues.append(due)
        lengths = np.fromiter(map(len, wires), np.int64, len(wires))
        starts_a = np.asarray(starts)
        offsets = np.arange(lengths.sum()) - np.repeat(np.cumsum(lengths) - lengths, lengths)
        received = np.repeat(starts_a, lengths) + (offsets + 1) * byte_ns  # each byte in the adapter
        data = np.frombuffer(b"".join(wires), np.uint8)
        keep = np.ones(len(wires), bool)
        if self.lost is not None:
            # Bytes from the middle of a packet never reach the host (an overrun).
            cut = np.ones(len(data), bool)
            for lost in (self.lost,) if isinstance(self.lost, int) else self.lost:
                first = int(lengths[:lost].sum()) + int(lengths[lost]) // 3
                cut[first : first + self.lost_bytes] = False
                keep[lost] = False
            data, received = data[cut], received[cut]
        # The latency timer, a little late now and then; each read returns
        # shortly after, or when a stall of the host ends.
        count = int((received[-1] - self.start_ns) / 1e9 / self.latency_timer) + 4
        flushes = (
            self.start_ns
            - rng.uniform(0, self.latency_timer * 1e9)
            + np.cumsum(self.latency_timer * 1e9 + rng.uniform(0, 50e3, count))
        )
        at = flushes + rng.uniform(20e3, 200e3, len(flushes))
        if self.bulk_bytes:
            flushes, at = self._bulk(received, flushes, at, rng)
        for s in self.stalls:
            begin = self.start_ns + s * 1e9
            end = begin + self.stall_length * 1e9
            at[(at >= begin) & (at < end)] = end + rng.uniform(20e3, 200e3)
        at = np.maximum.accumulate(at)
        ends = np.searchsorted(received, flushes, side="right")
        reads = []
        for e, t in zip(ends.tolist(), at.astype(np.int64).tolist()):
            if reads and reads[-1][1] == t:
                reads[-1] = (e, t)  # a stalled reader gets the flushes of its stall at once
            elif not reads or e > reads[-1][0]:
                reads.append((e, t))
        # How long each packet waited for the line after its tick (ns).
        self.waits = (starts_a - np.asarray(dues))[keep]
        return (data.tobytes(), reads, np.asarray(kinds, np.uint8)[keep], starts_a[keep].astype(np.int64))

    def _tick_times(self, ticks: int, period: float):
        """When each tick falls (ns of the host's clock after the first)."""
        import numpy as np

        if not self.drift_change_ppm:
            return np.arange(ticks) * period
        t = np.arange(ticks) / self.raw_rate
        ramp = np.clip((t - self.drift_change_from) / self.drift_change_over, 0.0, 1.0)
        drift = self.drift_ppm + self.drift_change_ppm * ramp
        steps = 1e9 / self.raw_rate / (1 + drift * 1e-6)
        return np.concatenate([[0.0], np.cumsum(steps[:-1])])

    def _bulk(self, received, flushes, at, rng):
        """The timer's flushes and those of a full buffer, merged: a release
        whenever bulk_bytes wait before the timer comes round."""
        import numpy as np

        extra = []
        done = 0  # bytes released so far
        for f in flushes.tolist():
            while done + self.bulk_bytes <= len(received) and received[done + self.bulk_bytes - 1] < f:
                done += self.bulk_bytes
                extra.append(received[done - 1])
            done = max(done, int(np.searchsorted(received, f, side="right")))
        extra = np.asarray(extra)
        times = np.concatenate([flushes, extra])
        reads = np.concatenate([at, extra + rng.uniform(20e3, 200e3, len(extra))])
        order = np.argsort(times, kind="stable")
        return times[order], reads[order]


class AdapterPattern(NamedTuple):
    """A row of the sample clock's benchmark: an AdapterLink whose faults sit
    at fractions of the run (`args`: stalls and the pause as fractions, `lost`
    the packet sent at that fraction), so that a short run has them too."""

    name: str
    args: dict

    def link(self, seconds: float, seed: int = 1) -> AdapterLink:
        kw = dict(self.args)
        raw_rate = kw.get("raw_rate", 400.0)
        every = kw.get("filter_every", 2)
        if "stalls" in kw:
            kw["stalls"] = tuple(seconds * a for a in kw["stalls"])
        if "lost" in kw:
            kw["lost"] = int(kw["lost"] * seconds * raw_rate * (1 + 1 / every))
        if "pause" in kw:
            kw["pause_tick"] = int(kw.pop("pause") * seconds * raw_rate)
        if "drift_change_ppm" in kw:
            kw["drift_change_from"] = seconds / 4
            kw["drift_change_over"] = min(60.0, seconds / 2)
        return AdapterLink(seed=seed, **kw)


_FAULTS = {"stalls": (0.15, 0.39, 0.69), "lost": 0.33, "pause": 0.5}
ADAPTER_PATTERNS = (
    AdapterPattern("16 ms timer, 400 Hz, 60 ppm, stalls, a loss, a pause", {"drift_ppm": 60.0, **_FAULTS}),
    AdapterPattern(
        "16 ms timer, 500 Hz (commensurate), 80 ppm, stalls, a loss, a pause",
        {"raw_rate": 500.0, "drift_ppm": 80.0, **_FAULTS},
    ),
    AdapterPattern(
        "16 ms timer, 500 Hz (commensurate), filter at 50 Hz, 80 ppm, stalls, a loss, a pause",
        {"raw_rate": 500.0, "filter_every": 10, "drift_ppm": 80.0, **_FAULTS},
    ),
    AdapterPattern("16 ms timer, 400 Hz, 0 ppm", {"drift_ppm": 0.0}),
    AdapterPattern(
        "2 ms timer, 500 Hz (commensurate), 30 ppm", {"raw_rate": 500.0, "latency_timer": 0.002, "drift_ppm": 30.0}
    ),
    AdapterPattern(
        "2 ms timer, 400 Hz, 100 ppm, stalls", {"latency_timer": 0.002, "drift_ppm": 100.0, "stalls": (0.2, 0.6)}
    ),
    AdapterPattern(
        "1 ms timer, 1 kHz (commensurate), 50 ppm",
        {"raw_rate": 1000.0, "filter_every": 10, "latency_timer": 0.001, "drift_ppm": 50.0},
    ),
    AdapterPattern("bulk releases of 64 B, 16 ms timer, 400 Hz, 20 ppm", {"bulk_bytes": 64, "drift_ppm": 20.0}),
    AdapterPattern(
        "a loss inside a host stall, 500 Hz, 16 ms, 80 ppm",
        {"raw_rate": 500.0, "drift_ppm": 80.0, "stalls": (0.5,), "lost": 0.5 + 0.02 / 60},
    ),
    AdapterPattern("drift 40 -> 50 ppm over a minute, 400 Hz, 16 ms", {"drift_ppm": 40.0, "drift_change_ppm": 10.0}),
)


def regular_packets(kinds, waits):
    """The packets the unit sent at their regular place, not held back by the
    line still busy with earlier ones (its own queue): a sample time at the
    tick is as right for those as one at their late start."""
    import numpy as np

    out = np.ones(len(kinds), bool)
    for k in (0, 1):
        pick = kinds == k
        if pick.any():
            out[pick] = waits[pick] <= np.median(waits[pick]) + 50e3
    return out


def past_warm_up(truth, warm_up: float):
    """The packets (by true send time, ns) `warm_up` seconds or more after
    the stream's start and after each pause of the unit (a gap in the true
    send times over 0.3 s): past an online clock's warm-up."""
    import numpy as np

    order = np.sort(truth)
    starts = np.concatenate([order[:1], order[1:][np.diff(order) > 0.3e9]])
    seg = np.searchsorted(starts, truth, side="right") - 1
    return truth >= starts[seg] + warm_up * 1e9


def write_timed_recording(path, data: bytes, reads, wall_minus_mono_ns: int) -> None:
    """A recording of `data` and its times file, each read as (end offset,
    monotonic ns), on a wall clock `wall_minus_mono_ns` ahead of it. Needs the
    vorn package."""
    from vorn.times import Stamp, TimesWriter

    with open(path, "wb") as f:
        f.write(data)
    times = TimesWriter(path, force=True)
    pos = 0
    for end, mono in reads:
        times.add(end - pos, Stamp(mono + wall_minus_mono_ns, mono))
        pos = end
    times.close()
