#include <gtest/gtest.h>

#include <bit>
#include <string>

#include "packet_builders.hpp"
#include "records.hpp"

namespace vorn {
namespace {

bool no_raw_values(const IMUPacket& p) {
  return !p.scaled_accel && !p.scaled_gyro && !p.delta_vel && !p.delta_theta && !p.scaled_ambient_pressure;
}

bool no_estimated_values(const IMUPacket& p) {
  return !p.est_pressure_alt && !p.est_orient_quaternion && !p.est_attitude_uncert_quaternion &&
         !p.est_angular_rate && !p.est_compensated_accel && !p.est_linear_accel && !p.est_gravity_vector;
}

TEST(ToImuPacket, EmptyRecordsOfBothKinds) {
  RawPacket raw;
  raw.timestamp = 42;
  IMUPacket a = to_imu_packet(VornPacket(std::move(raw)));
  EXPECT_EQ(a.packet_type, "raw");
  EXPECT_TRUE(a.timestamp == 42);
  EXPECT_FALSE(a.invalid_fields);
  EXPECT_TRUE(no_raw_values(a));
  EXPECT_TRUE(no_estimated_values(a));

  EstimatedPacket est;
  est.timestamp = 43;
  IMUPacket b = to_imu_packet(VornPacket(std::move(est)));
  EXPECT_EQ(b.packet_type, "estimated");
  EXPECT_TRUE(b.timestamp == 43);
  EXPECT_FALSE(b.invalid_fields);
  EXPECT_TRUE(no_raw_values(b));
  EXPECT_TRUE(no_estimated_values(b));
}

TEST(ToImuPacket, ValuesKeepTheirBitsAndOrder) {
  RawPacket raw;
  raw.scaled_accel = Vector3{std::bit_cast<float>(0x7FC12345u), -0.0f, 1.0f};
  IMUPacket p = to_imu_packet(VornPacket(std::move(raw)));
  ASSERT_TRUE(p.scaled_accel);
  EXPECT_EQ(test::bits_of((*p.scaled_accel)[0]), 0x7FC12345u);
  EXPECT_EQ(test::bits_of((*p.scaled_accel)[1]), 0x80000000u);
  EXPECT_EQ((*p.scaled_accel)[2], 1.0f);
  EXPECT_TRUE(no_estimated_values(p));

  EstimatedPacket est;
  est.est_orient_quaternion = Quaternion{std::bit_cast<float>(0xFF800001u), 2, 3, 4};
  p = to_imu_packet(VornPacket(std::move(est)));
  ASSERT_TRUE(p.est_orient_quaternion);
  EXPECT_EQ(test::bits_of((*p.est_orient_quaternion)[0]), 0xFF800001u);
  EXPECT_EQ((*p.est_orient_quaternion)[3], 4.0f);
  EXPECT_TRUE(no_raw_values(p));
}

TEST(ToImuPacket, InvalidFieldsChangeOwnerWithoutCopy) {
  EstimatedPacket est;
  // Longer than any small-string buffer, so the text lives on the heap.
  est.invalid_fields = "estAttitudeUncertQuaternion,estOrientQuaternion";
  const char* storage = est.invalid_fields->data();
  IMUPacket p = to_imu_packet(VornPacket(std::move(est)));
  ASSERT_TRUE(p.invalid_fields);
  EXPECT_EQ(*p.invalid_fields, "estAttitudeUncertQuaternion,estOrientQuaternion");
  EXPECT_EQ(p.invalid_fields->data(), storage);
}

TEST(ToImuPacket, TimestampKeepsAll128Bits) {
  const Timestamp above_64 = (static_cast<Timestamp>(1) << 64) + 5;
  const Timestamp all_ones = ~static_cast<Timestamp>(0);
  for (Timestamp t : {above_64, all_ones}) {
    RawPacket raw;
    raw.timestamp = t;
    EXPECT_TRUE(to_imu_packet(VornPacket(std::move(raw))).timestamp == t);
    EstimatedPacket est;
    est.timestamp = t;
    EXPECT_TRUE(to_imu_packet(VornPacket(std::move(est))).timestamp == t);
  }
}

}  // namespace
}  // namespace vorn
