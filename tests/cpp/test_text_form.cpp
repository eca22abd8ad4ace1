#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

#include "packet_builders.hpp"
#include "protocol.hpp"
#include "text_form.hpp"

namespace vorn {
namespace {

std::string float_text(float f) {
  std::string out;
  append_float(out, f);
  return out;
}

TEST(FloatForm, PositionalAndScientific) {
  const std::pair<float, const char*> cases[] = {
      {0.0f, "0.0"},
      {-0.0f, "-0.0"},
      {1.0f, "1.0"},
      {-1.0f, "-1.0"},
      {3.0f, "3.0"},
      {10.0f, "10.0"},
      {12.5f, "12.5"},
      {0.1f, "0.1"},
      {9.80665f, "9.80665"},
      {0.0001f, "0.0001"},
      {0.00012345f, "0.00012345"},
      {1e-5f, "1e-5"},
      {1.5e-5f, "1.5e-5"},
      {-2.5e-7f, "-2.5e-7"},
      {1e15f, "1000000000000000.0"},
      {1.25e15f, "1250000000000000.0"},
      {1e16f, "1e16"},
      {-1e16f, "-1e16"},
      {123456.79f, "123456.79"},
      {16777216.0f, "16777216.0"},
      {3.4028235e38f, "3.4028235e38"},
      {std::numeric_limits<float>::min(), "1.1754944e-38"},
      {std::numeric_limits<float>::denorm_min(), "1e-45"},
      {std::numeric_limits<float>::infinity(), "inf"},
      {-std::numeric_limits<float>::infinity(), "-inf"},
      {std::numeric_limits<float>::quiet_NaN(), "NaN"},
      {-std::numeric_limits<float>::quiet_NaN(), "NaN"},
      {std::bit_cast<float>(0x7FA00001u), "NaN"},
  };
  for (auto [value, text] : cases) EXPECT_EQ(float_text(value), text) << "bits " << std::hex << test::bits_of(value);
}

TEST(FloatForm, BoundsAreTakenAsFloats) {
  // The float nearest 1e-4 lies below the decimal 1e-4 and still counts as in range.
  const float low = 1e-4f;
  EXPECT_EQ(float_text(low), "0.0001");
  EXPECT_EQ(float_text(std::nextafter(low, 0.0f)), "9.999999e-5");
  const float high = 1e16f;
  EXPECT_EQ(float_text(std::nextafter(high, 0.0f)), "9999999000000000.0");
}

TEST(FloatForm, ReadsBackAsTheSameFloat) {
  // Deterministic sample across the whole range of finite floats.
  std::mt19937 rng(1234);
  for (int i = 0; i < 20000; ++i) {
    const float f = std::bit_cast<float>(static_cast<std::uint32_t>(rng()));
    if (!std::isfinite(f)) continue;
    const std::string text = float_text(f);
    const float back = std::strtof(text.c_str(), nullptr);
    ASSERT_EQ(test::bits_of(back), test::bits_of(f)) << text;
    const bool scientific = text.find('e') != std::string::npos;
    const float mag = std::fabs(f);
    EXPECT_EQ(scientific, mag != 0.0f && (mag < 1e-4f || mag >= 1e16f)) << text;
    if (!scientific) {
      EXPECT_NE(text.find('.'), std::string::npos) << text;
    }
  }
}

IMUPacket decode_hex(std::string_view packet_hex) {
  test::Bytes bytes = test::hex(packet_hex);
  std::span<const std::uint8_t> payload(bytes.data() + kHeaderSize, bytes.size() - kHeaderSize - kChecksumSize);
  auto decoded = decode_packet(bytes[2], payload, test::kFixedStamp);
  EXPECT_TRUE(decoded.has_value());
  return std::move(*decoded);
}

TEST(TextForm, RawExample) {
  IMUPacket p = decode_hex("75 65 80 0E 0E 04 00 00 00 00 00 00 00 00 BF 80 00 00 B9 35");
  EXPECT_EQ(text_form(p),
            "IMUPacket(packet_type=\"raw\", timestamp=1733490000123456789, invalid_fields=None, "
            "scaled_accel=Some([0.0, 0.0, -1.0]), scaled_gyro=None, delta_vel=None, delta_theta=None, "
            "scaled_ambient_pressure=None, est_pressure_alt=None, est_orient_quaternion=None, "
            "est_attitude_uncert_quaternion=None, est_angular_rate=None, est_compensated_accel=None, "
            "est_linear_accel=None, est_gravity_vector=None )");
}

TEST(TextForm, EstimatedExample) {
  IMUPacket p = decode_hex("75 65 82 08 08 21 41 20 00 00 00 00 EE 7C");
  EXPECT_EQ(text_form(p),
            "IMUPacket(packet_type=\"estimated\", timestamp=1733490000123456789, "
            "invalid_fields=Some(\"estPressureAlt\"), scaled_accel=None, scaled_gyro=None, delta_vel=None, "
            "delta_theta=None, scaled_ambient_pressure=None, est_pressure_alt=Some(10.0), "
            "est_orient_quaternion=None, est_attitude_uncert_quaternion=None, est_angular_rate=None, "
            "est_compensated_accel=None, est_linear_accel=None, est_gravity_vector=None )");
}

TEST(TextForm, EveryValueInRecordOrder) {
  // A record holds one kind's values; the other kind's read as None.
  IMUPacket raw(PacketKind::Raw, 0);
  raw.set(slot_of<"scaled_accel">, Vector3{1, 2, 3});
  raw.set(slot_of<"scaled_gyro">, Vector3{0.1f, -0.0f, 1e-5f});
  raw.set(slot_of<"delta_vel">, Vector3{4, 5, 6});
  raw.set(slot_of<"delta_theta">, Vector3{7, 8, 9});
  raw.set(slot_of<"scaled_ambient_pressure">, 101325.0f);
  EXPECT_EQ(text_form(raw),
            "IMUPacket(packet_type=\"raw\", timestamp=0, invalid_fields=None, "
            "scaled_accel=Some([1.0, 2.0, 3.0]), scaled_gyro=Some([0.1, -0.0, 1e-5]), "
            "delta_vel=Some([4.0, 5.0, 6.0]), delta_theta=Some([7.0, 8.0, 9.0]), "
            "scaled_ambient_pressure=Some(101325.0), est_pressure_alt=None, est_orient_quaternion=None, "
            "est_attitude_uncert_quaternion=None, est_angular_rate=None, est_compensated_accel=None, "
            "est_linear_accel=None, est_gravity_vector=None )");

  IMUPacket est(PacketKind::Estimated, 0);
  InvalidNames twice;
  twice.push_back(EstField::AngularRate);
  twice.push_back(EstField::AngularRate);
  est.set_invalid_names(twice);
  est.set(slot_of<"est_pressure_alt">, -12.5f);
  est.set(slot_of<"est_orient_quaternion">, Quaternion{1, 0, 0, std::numeric_limits<float>::quiet_NaN()});
  est.set(slot_of<"est_attitude_uncert_quaternion">, Quaternion{1e16f, 2, 3, 4});
  est.set(slot_of<"est_angular_rate">, Vector3{-std::numeric_limits<float>::infinity(), 0, 0});
  est.set(slot_of<"est_compensated_accel">, Vector3{10, 11, 12});
  est.set(slot_of<"est_linear_accel">, Vector3{13, 14, 15});
  est.set(slot_of<"est_gravity_vector">, Vector3{0, 0, -9.80665f});
  EXPECT_EQ(text_form(est),
            "IMUPacket(packet_type=\"estimated\", timestamp=0, invalid_fields=Some(\"estAngularRate,estAngularRate\"), "
            "scaled_accel=None, scaled_gyro=None, delta_vel=None, delta_theta=None, scaled_ambient_pressure=None, "
            "est_pressure_alt=Some(-12.5), est_orient_quaternion=Some([1.0, 0.0, 0.0, NaN]), "
            "est_attitude_uncert_quaternion=Some([1e16, 2.0, 3.0, 4.0]), "
            "est_angular_rate=Some([-inf, 0.0, 0.0]), est_compensated_accel=Some([10.0, 11.0, 12.0]), "
            "est_linear_accel=Some([13.0, 14.0, 15.0]), est_gravity_vector=Some([0.0, 0.0, -9.80665]) )");
}

TEST(TextForm, TimestampInFullDecimal) {
  const auto stamp_text = [](Timestamp t) {
    const std::string text = text_form(IMUPacket(PacketKind::Raw, t));
    const std::size_t start = text.find("timestamp=") + 10;
    return text.substr(start, text.find(',', start) - start);
  };
  const Timestamp ten19 = 10'000'000'000'000'000'000ull;
  EXPECT_EQ(stamp_text(0), "0");
  EXPECT_EQ(stamp_text(9), "9");
  EXPECT_EQ(stamp_text(ten19 - 1), "9999999999999999999");
  EXPECT_EQ(stamp_text(ten19), "10000000000000000000");
  EXPECT_EQ(stamp_text(static_cast<Timestamp>(1) << 64), "18446744073709551616");
  EXPECT_EQ(stamp_text(ten19 * ten19), "100000000000000000000000000000000000000");
  EXPECT_EQ(stamp_text(ten19 * ten19 + 7), "100000000000000000000000000000000000007");
  EXPECT_EQ(stamp_text(~static_cast<Timestamp>(0)), "340282366920938463463374607431768211455");
}

}  // namespace
}  // namespace vorn
