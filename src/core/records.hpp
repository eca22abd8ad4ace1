// The two records that carry one decoded packet. Both are plain values plus
// owned texts; they are moved from holder to holder, never copied, so that
// exactly one holder owns a record at any time.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace vorn {

// Nanoseconds since the Unix epoch of the host's wall clock. (__extension__
// keeps -Wpedantic quiet about the GCC/Clang 128-bit type.)
__extension__ typedef unsigned __int128 Timestamp;
using Vector3 = std::array<float, 3>;
using Quaternion = std::array<float, 4>;

// Decoded from descriptor set 0x80 (sensor data).
struct RawPacket {
  Timestamp timestamp = 0;
  std::optional<Vector3> scaled_accel;
  std::optional<Vector3> scaled_gyro;
  std::optional<Vector3> delta_vel;
  std::optional<Vector3> delta_theta;
  std::optional<float> scaled_ambient_pressure;
  std::optional<std::string> invalid_fields;  // always absent as decoded

  RawPacket() = default;
  RawPacket(RawPacket&&) = default;
  RawPacket& operator=(RawPacket&&) = default;
};

// Decoded from descriptor set 0x82 (estimation-filter output).
struct EstimatedPacket {
  Timestamp timestamp = 0;
  std::optional<Vector3> est_angular_rate;
  std::optional<Vector3> est_compensated_accel;
  std::optional<Vector3> est_linear_accel;
  std::optional<Vector3> est_gravity_vector;
  std::optional<float> est_pressure_alt;
  std::optional<Quaternion> est_orient_quaternion;
  std::optional<Quaternion> est_attitude_uncert_quaternion;
  std::optional<std::string> invalid_fields;  // names joined with ","; never empty

  EstimatedPacket() = default;
  EstimatedPacket(EstimatedPacket&&) = default;
  EstimatedPacket& operator=(EstimatedPacket&&) = default;
};

using VornPacket = std::variant<RawPacket, EstimatedPacket>;

// The flat record that leaves the wire protocol: room for either kind, the
// other kind's values absent. Field order is the order of the text form.
// Owns packet_type and, when present, invalid_fields.
struct IMUPacket {
  std::string packet_type;  // "raw" or "estimated"
  Timestamp timestamp = 0;
  std::optional<std::string> invalid_fields;
  std::optional<Vector3> scaled_accel;
  std::optional<Vector3> scaled_gyro;
  std::optional<Vector3> delta_vel;
  std::optional<Vector3> delta_theta;
  std::optional<float> scaled_ambient_pressure;
  std::optional<float> est_pressure_alt;
  std::optional<Quaternion> est_orient_quaternion;
  std::optional<Quaternion> est_attitude_uncert_quaternion;
  std::optional<Vector3> est_angular_rate;
  std::optional<Vector3> est_compensated_accel;
  std::optional<Vector3> est_linear_accel;
  std::optional<Vector3> est_gravity_vector;

  IMUPacket() = default;
  IMUPacket(IMUPacket&&) = default;
  IMUPacket& operator=(IMUPacket&&) = default;
};

// Uses up a decoded record and returns the flat one. Values are copied bit
// for bit; invalid_fields changes owner without being copied.
IMUPacket to_imu_packet(VornPacket&& packet);

}  // namespace vorn
