#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "packet_builders.hpp"
#include "protocol.hpp"

namespace vorn {
namespace {

using test::Bytes;
using test::est_field;
using test::field;
using test::hex;
using test::raw_field;

using Floats = std::optional<std::vector<float>>;

template <std::size_t N>
Floats flat(const std::optional<std::array<float, N>>& v) {
  if (!v) return std::nullopt;
  return std::vector<float>(v->begin(), v->end());
}
Floats flat(const std::optional<float>& v) {
  if (!v) return std::nullopt;
  return std::vector<float>{*v};
}

// Every value field of the record, by name, in record order.
std::vector<std::pair<std::string, Floats>> values_of(const IMUPacket& p) {
  std::vector<std::pair<std::string, Floats>> out;
  for_each_field([&](auto f) { out.emplace_back(std::string(f.info.name), flat(p.get(f.slot))); });
  return out;
}

std::vector<std::string> present_names(const IMUPacket& p) {
  std::vector<std::string> names;
  for (auto& [name, value] : values_of(p))
    if (value) names.push_back(name);
  return names;
}

Floats value_named(const IMUPacket& p, const std::string& wanted) {
  for (auto& [name, value] : values_of(p))
    if (name == wanted) return value;
  ADD_FAILURE() << "no field " << wanted;
  return std::nullopt;
}

std::optional<IMUPacket> decode(std::uint8_t set, const Bytes& payload, Timestamp stamp = test::kFixedStamp) {
  return decode_packet(set, payload, stamp);
}

IMUPacket decode_ok(std::uint8_t set, const Bytes& payload) {
  auto record = decode(set, payload);
  if (!record) {
    ADD_FAILURE() << "no record for set " << int(set);
    return IMUPacket{};
  }
  return std::move(*record);
}

// The payload of a whole packet given in hex.
Bytes payload_of(std::string_view packet_hex) {
  Bytes bytes = hex(packet_hex);
  return Bytes(bytes.begin() + kHeaderSize, bytes.end() - kChecksumSize);
}

// --- the field table, row by row ---------------------------------------------

struct FieldRow {
  std::uint8_t set;
  std::uint8_t descriptor;
  std::size_t n_floats;
  const char* member;
  const char* invalid_name;  // empty for sensor fields
};

const FieldRow kRows[] = {
    {0x80, 0x04, 3, "scaled_accel", ""},
    {0x80, 0x05, 3, "scaled_gyro", ""},
    {0x80, 0x07, 3, "delta_theta", ""},
    {0x80, 0x08, 3, "delta_vel", ""},
    {0x80, 0x17, 1, "scaled_ambient_pressure", ""},
    {0x82, 0x03, 4, "est_orient_quaternion", "estOrientQuaternion"},
    {0x82, 0x0D, 3, "est_linear_accel", "estLinearAccel"},
    {0x82, 0x0E, 3, "est_angular_rate", "estAngularRate"},
    {0x82, 0x12, 4, "est_attitude_uncert_quaternion", "estAttitudeUncertQuaternion"},
    {0x82, 0x13, 3, "est_gravity_vector", "estGravityVector"},
    {0x82, 0x1C, 3, "est_compensated_accel", "estCompensatedAccel"},
    {0x82, 0x21, 1, "est_pressure_alt", "estPressureAlt"},
};

class FieldTable : public ::testing::TestWithParam<FieldRow> {
 protected:
  bool estimated() const { return GetParam().set == kEstimatedSet; }
  std::vector<float> sample() const {
    const float pool[] = {1.5f, -2.25f, 9.80665f, 0.001f};
    return std::vector<float>(pool, pool + GetParam().n_floats);
  }
  // The field at its exact length; filter fields carry `flags`.
  Bytes exact_field(std::uint16_t flags) const {
    Bytes data;
    for (float v : sample()) test::put_float(data, v);
    if (estimated()) {
      data.push_back(static_cast<std::uint8_t>(flags >> 8));
      data.push_back(static_cast<std::uint8_t>(flags));
    }
    return field(GetParam().descriptor, data);
  }
};

TEST_P(FieldTable, ExactLengthFillsOnlyItsValueFlaggedOrNot) {
  const FieldRow& row = GetParam();
  const Bytes f = exact_field(0x0001);
  const std::size_t expected_len = 2 + 4 * row.n_floats + (estimated() ? 2 : 0);
  ASSERT_EQ(f.size(), expected_len);

  IMUPacket rec = decode_ok(row.set, f);
  EXPECT_EQ(rec.packet_type(), estimated() ? "estimated" : "raw");
  EXPECT_EQ(present_names(rec), std::vector<std::string>{row.member});
  EXPECT_EQ(value_named(rec, row.member), sample());
  EXPECT_FALSE(rec.invalid_fields().has_value());
  EXPECT_TRUE(rec.timestamp() == test::kFixedStamp);

  if (!estimated()) return;  // sensor fields carry no valid flags
  // Flagged invalid: the value is still present, and the name is listed.
  IMUPacket flagged = decode_ok(row.set, exact_field(0x0000));
  EXPECT_EQ(present_names(flagged), std::vector<std::string>{row.member});
  EXPECT_EQ(value_named(flagged, row.member), sample());
  EXPECT_EQ(flagged.invalid_fields(), std::optional<std::string>(row.invalid_name));
}

TEST_P(FieldTable, WrongLengthsAreSkippedAndNotListed) {
  const FieldRow& row = GetParam();
  const Bytes good = exact_field(0x0000);  // flagged invalid, so a listing would show
  for (int delta : {-2, -1, 1, 2, 4}) {
    Bytes data(good.begin() + 2, good.end());
    if (delta < 0) {
      data.resize(data.size() - static_cast<std::size_t>(-delta));
    } else {
      // Longer data keeps the flags byte last with bit 0 clear.
      data.insert(data.begin(), static_cast<std::size_t>(delta), 0x3F);
    }
    IMUPacket rec = decode_ok(row.set, field(row.descriptor, data));
    EXPECT_TRUE(present_names(rec).empty()) << "delta " << delta;
    EXPECT_FALSE(rec.invalid_fields().has_value()) << "delta " << delta;
  }
}

TEST_P(FieldTable, DescriptorMeansNothingInTheOtherSet) {
  const std::uint8_t other = estimated() ? kRawSet : kEstimatedSet;
  IMUPacket rec = decode_ok(other, exact_field(0x0000));
  EXPECT_TRUE(present_names(rec).empty());
  EXPECT_FALSE(rec.invalid_fields().has_value());
}

INSTANTIATE_TEST_SUITE_P(AllRows, FieldTable, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.member); });

// --- worked examples -------------------------------------------------------------

TEST(DecodeExamples, RawScaledAccel) {
  IMUPacket rec = decode_ok(0x80, payload_of("75 65 80 0E 0E 04 00 00 00 00 00 00 00 00 BF 80 00 00 B9 35"));
  EXPECT_EQ(rec.packet_type(), "raw");
  EXPECT_EQ(present_names(rec), std::vector<std::string>{"scaled_accel"});
  EXPECT_EQ(rec.get(slot_of<"scaled_accel">), (Vector3{0.0f, 0.0f, -1.0f}));
  EXPECT_FALSE(rec.invalid_fields().has_value());
}

TEST(DecodeExamples, PressureAltitudeFlaggedInvalid) {
  IMUPacket rec = decode_ok(0x82, payload_of("75 65 82 08 08 21 41 20 00 00 00 00 EE 7C"));
  EXPECT_EQ(rec.packet_type(), "estimated");
  EXPECT_EQ(rec.get(slot_of<"est_pressure_alt">), std::optional<float>(10.0f));
  EXPECT_EQ(rec.invalid_fields(), std::optional<std::string>("estPressureAlt"));
}

TEST(DecodeExamples, PressureAltitudeValid) {
  IMUPacket rec = decode_ok(0x82, payload_of("75 65 82 08 08 21 41 20 00 00 00 01 EF 7D"));
  EXPECT_EQ(rec.get(slot_of<"est_pressure_alt">), std::optional<float>(10.0f));
  EXPECT_FALSE(rec.invalid_fields().has_value());
}

// --- sets and the field walk ---------------------------------------------------

TEST(DecodeSets, OnlyRawAndEstimatedYieldRecords) {
  for (unsigned set = 0; set < 256; ++set) {
    auto decoded = decode_packet(static_cast<std::uint8_t>(set), {}, 7);
    if (set == 0x80) {
      ASSERT_TRUE(decoded && decoded->kind() == PacketKind::Raw);
    } else if (set == 0x82) {
      ASSERT_TRUE(decoded && decoded->kind() == PacketKind::Estimated);
    } else {
      EXPECT_FALSE(decoded.has_value()) << "set " << set;
    }
  }
}

TEST(DecodeSets, EmptyPayloadGivesRecordWithoutValues) {
  for (std::uint8_t set : {kRawSet, kEstimatedSet}) {
    IMUPacket rec = decode_ok(set, {});
    EXPECT_TRUE(present_names(rec).empty());
    EXPECT_FALSE(rec.invalid_fields().has_value());
  }
}

TEST(DecodeSets, TimestampIsPassedThroughWhole) {
  const Timestamp big = (static_cast<Timestamp>(0x0123456789ABCDEFull) << 64) | 0xFEDCBA9876543210ull;
  for (std::uint8_t set : {kRawSet, kEstimatedSet}) {
    auto rec = decode(set, {}, big);
    ASSERT_TRUE(rec);
    EXPECT_TRUE(rec->timestamp() == big);
  }
}

TEST(FieldWalk, LengthBelowTwoEndsWalk) {
  const Bytes accel = raw_field(0x04, {1, 2, 3});
  for (std::uint8_t bad : {0, 1}) {
    // Whatever follows the bad length byte is never looked at.
    for (const Bytes& head : {Bytes{bad}, Bytes{bad, 0x04}}) {
      IMUPacket first = decode_ok(0x80, test::concat({head, accel}));
      EXPECT_TRUE(present_names(first).empty()) << int(bad);
    }
    IMUPacket later = decode_ok(0x80, test::concat({accel, {bad}, raw_field(0x05, {4, 5, 6})}));
    EXPECT_EQ(present_names(later), std::vector<std::string>{"scaled_accel"}) << int(bad);
    IMUPacket est = decode_ok(0x82, test::concat({{bad}, est_field(0x21, {1}, 0)}));
    EXPECT_FALSE(est.get(slot_of<"est_pressure_alt">) || est.invalid_fields()) << int(bad);
  }
}

TEST(FieldWalk, ShortFieldIsSteppedOverByItsOwnLength) {
  Bytes short_accel = raw_field(0x04, {1, 2, 3});
  short_accel.pop_back();
  short_accel[0] = 13;
  IMUPacket rec = decode_ok(0x80, test::concat({short_accel, raw_field(0x05, {4, 5, 6})}));
  EXPECT_EQ(present_names(rec), std::vector<std::string>{"scaled_gyro"});
  EXPECT_EQ(rec.get(slot_of<"scaled_gyro">), (Vector3{4, 5, 6}));
}

TEST(FieldWalk, FieldRunningPastPayloadEndsWalk) {
  Bytes overrun = raw_field(0x05, {4, 5, 6});
  overrun.resize(8);  // length byte still says 14
  IMUPacket rec = decode_ok(0x80, test::concat({raw_field(0x04, {1, 2, 3}), overrun}));
  EXPECT_EQ(present_names(rec), std::vector<std::string>{"scaled_accel"});
}

TEST(FieldWalk, TrailingStrayByteEndsWalk) {
  for (std::uint8_t stray : {0x00, 0x02, 0x0E, 0xFF}) {
    IMUPacket rec = decode_ok(0x82, test::concat({est_field(0x21, {3.0f}, 1), {stray}}));
    EXPECT_EQ(rec.get(slot_of<"est_pressure_alt">), std::optional<float>(3.0f));
    EXPECT_FALSE(rec.invalid_fields().has_value());
  }
}

TEST(FieldWalk, UnlistedDescriptorsAndEmptyFieldsAreSkipped) {
  IMUPacket rec = decode_ok(
      0x80, test::concat({field(0x99, {1, 2, 3}), field(0x04, {}), raw_field(0x17, {101.3f}), field(0x00, {})}));
  EXPECT_EQ(present_names(rec), std::vector<std::string>{"scaled_ambient_pressure"});
}

TEST(FieldWalk, LastWellFormedRepeatWins) {
  IMUPacket rec = decode_ok(0x80, test::concat({raw_field(0x04, {1, 2, 3}), raw_field(0x04, {4, 5, 6})}));
  EXPECT_EQ(rec.get(slot_of<"scaled_accel">), (Vector3{4, 5, 6}));

  // A later repeat at the wrong length leaves the earlier values.
  Bytes short_repeat = raw_field(0x04, {7, 8, 9});
  short_repeat.pop_back();
  short_repeat[0] = 13;
  rec = decode_ok(0x80, test::concat({raw_field(0x04, {1, 2, 3}), short_repeat}));
  EXPECT_EQ(rec.get(slot_of<"scaled_accel">), (Vector3{1, 2, 3}));
}

// --- valid flags and the invalid list --------------------------------------------

TEST(ValidFlags, OnlyBitZeroOfTheLastByteCounts) {
  struct Case {
    std::uint16_t flags;
    bool valid;
  };
  for (Case c : {Case{0x0000, false}, Case{0xFFFE, false}, Case{0x0100, false}, Case{0x0001, true}, Case{0xFFFF, true},
                 Case{0x8001, true}}) {
    IMUPacket rec = decode_ok(0x82, est_field(0x21, {1.0f}, c.flags));
    EXPECT_EQ(rec.invalid_fields().has_value(), !c.valid) << std::hex << c.flags;
    EXPECT_TRUE(rec.get(slot_of<"est_pressure_alt">).has_value());
  }
}

TEST(ValidFlags, InvalidNamesInWireOrderWithRepeats) {
  IMUPacket rec = decode_ok(0x82, test::concat({est_field(0x0E, {1, 2, 3}, 0), est_field(0x03, {1, 0, 0, 0}, 0)}));
  EXPECT_EQ(rec.invalid_fields(), std::optional<std::string>("estAngularRate,estOrientQuaternion"));

  rec =
      decode_ok(0x82, test::concat({est_field(0x21, {1}, 0), est_field(0x0D, {1, 2, 3}, 1), est_field(0x21, {2}, 0)}));
  EXPECT_EQ(rec.invalid_fields(), std::optional<std::string>("estPressureAlt,estPressureAlt"));
  EXPECT_EQ(rec.get(slot_of<"est_pressure_alt">), std::optional<float>(2));
}

TEST(ValidFlags, FullPayloadsOfFlaggedFieldsKeepEveryName) {
  // 31 pressure altitudes fill 248 of 255 bytes: the longest list a packet can
  // give. Then mixed fields in shuffled order, repeats included, up to the
  // limit, with valid ones among them.
  const std::uint8_t descriptors[] = {0x03, 0x0D, 0x0E, 0x12, 0x13, 0x1C, 0x21};
  const char* names[] = {"estOrientQuaternion", "estLinearAccel",      "estAngularRate", "estAttitudeUncertQuaternion",
                         "estGravityVector",    "estCompensatedAccel", "estPressureAlt"};
  const std::size_t floats[] = {4, 3, 3, 4, 3, 3, 1};
  for (unsigned seed = 0; seed < 40; ++seed) {
    std::mt19937 rng(seed);
    Bytes payload;
    std::string expected;
    std::size_t count = 0;
    for (;;) {
      const std::size_t k = seed == 0 ? 6 : rng() % 7;
      const std::size_t len = 2 + 4 * floats[k] + 2;
      if (payload.size() + len > 255) break;
      const bool flagged = seed == 0 || rng() % 4 != 0;
      Bytes data;
      for (std::size_t i = 0; i < floats[k]; ++i) test::put_float(data, static_cast<float>(count));
      data.push_back(0);
      data.push_back(flagged ? 0 : 1);
      payload = test::concat({payload, field(descriptors[k], data)});
      if (flagged) {
        expected += (expected.empty() ? "" : ",") + std::string(names[k]);
        ++count;
      }
    }
    if (seed == 0) {
      ASSERT_EQ(count, 31u);
    }
    IMUPacket rec = decode_ok(0x82, payload);
    EXPECT_EQ(rec.invalid_fields().value_or(""), expected) << seed;
    EXPECT_EQ(rec.invalid_names().size(), count) << seed;
  }
}

TEST(ValidFlags, NameStaysWhenLaterRepeatIsValid) {
  IMUPacket rec =
      decode_ok(0x82, test::concat({est_field(0x03, {1, 2, 3, 4}, 0x0000), est_field(0x03, {5, 6, 7, 8}, 0x0001)}));
  EXPECT_EQ(rec.get(slot_of<"est_orient_quaternion">), (Quaternion{5, 6, 7, 8}));
  EXPECT_EQ(rec.invalid_fields(), std::optional<std::string>("estOrientQuaternion"));
}

TEST(ValidFlags, PressureAltitudeWithoutFlagsIsSkipped) {
  IMUPacket rec = decode_ok(0x82, raw_field(0x21, {10.0f}));  // FL 6
  EXPECT_FALSE(rec.get(slot_of<"est_pressure_alt">).has_value());
  EXPECT_FALSE(rec.invalid_fields().has_value());
  rec = decode_ok(0x80, est_field(0x17, {10.0f}, 1));  // FL 8
  EXPECT_FALSE(rec.get(slot_of<"scaled_ambient_pressure">).has_value());
}

TEST(CheckEstField, AcceptsExactLengthOnly) {
  InvalidNames invalid;
  const Bytes valid = {0, 0, 0, 0, 0x00, 0x01};
  const Bytes flagged = {0, 0, 0, 0, 0xFF, 0xFE};
  EXPECT_TRUE(check_est_field(valid, 6, EstField::PressureAlt, invalid));
  EXPECT_TRUE(invalid.empty());
  EXPECT_FALSE(check_est_field(flagged, 14, EstField::LinearAccel, invalid));
  EXPECT_FALSE(check_est_field(std::span(flagged).first(5), 6, EstField::PressureAlt, invalid));
  EXPECT_TRUE(invalid.empty());
  EXPECT_TRUE(check_est_field(flagged, 6, EstField::PressureAlt, invalid));
  EXPECT_TRUE(check_est_field(flagged, 6, EstField::GravityVector, invalid));
  ASSERT_EQ(invalid.size(), 2u);
  EXPECT_EQ(invalid[0], EstField::PressureAlt);
  EXPECT_EQ(invalid[1], EstField::GravityVector);
}

// --- float bits ---------------------------------------------------------------------

TEST(FloatBits, EveryBitPatternIsKept) {
  const std::uint32_t patterns[] = {
      0x7FC00001,  // quiet NaN with payload
      0xFFA00000,  // signalling NaN, sign set
      0x7F800000,  // +inf
      0x80000000,  // -0
      0x00000001,  // smallest subnormal
      0x3DCCCCCD,  // 0.1f
  };
  for (std::uint32_t bits : patterns) {
    Bytes data;
    test::put_be32(data, bits);
    test::put_be32(data, bits);
    test::put_be32(data, bits);
    IMUPacket raw = decode_ok(0x80, field(0x08, data));
    ASSERT_TRUE(raw.get(slot_of<"delta_vel">));
    for (float f : Vector3(*raw.get(slot_of<"delta_vel">))) EXPECT_EQ(test::bits_of(f), bits);

    data.push_back(0);
    data.push_back(1);
    IMUPacket est = decode_ok(0x82, field(0x13, data));
    ASSERT_TRUE(est.get(slot_of<"est_gravity_vector">));
    for (float f : Vector3(*est.get(slot_of<"est_gravity_vector">))) EXPECT_EQ(test::bits_of(f), bits);
  }
}

}  // namespace
}  // namespace vorn
