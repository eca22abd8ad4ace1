#include "records.hpp"

#include <utility>

namespace vorn {

namespace {

IMUPacket from_raw(RawPacket&& raw) {
  IMUPacket out;
  // Moving in a string built from the literal copies a known length inline;
  // assigning the literal goes through the generic replace path.
  out.packet_type = std::string("raw");
  out.timestamp = raw.timestamp;
  out.invalid_fields = std::move(raw.invalid_fields);
  out.scaled_accel = raw.scaled_accel;
  out.scaled_gyro = raw.scaled_gyro;
  out.delta_vel = raw.delta_vel;
  out.delta_theta = raw.delta_theta;
  out.scaled_ambient_pressure = raw.scaled_ambient_pressure;
  return out;
}

IMUPacket from_estimated(EstimatedPacket&& est) {
  IMUPacket out;
  out.packet_type = std::string("estimated");
  out.timestamp = est.timestamp;
  out.invalid_fields = std::move(est.invalid_fields);
  out.est_pressure_alt = est.est_pressure_alt;
  out.est_orient_quaternion = est.est_orient_quaternion;
  out.est_attitude_uncert_quaternion = est.est_attitude_uncert_quaternion;
  out.est_angular_rate = est.est_angular_rate;
  out.est_compensated_accel = est.est_compensated_accel;
  out.est_linear_accel = est.est_linear_accel;
  out.est_gravity_vector = est.est_gravity_vector;
  return out;
}

}  // namespace

IMUPacket to_imu_packet(VornPacket&& packet) {
  if (auto* raw = std::get_if<RawPacket>(&packet)) return from_raw(std::move(*raw));
  return from_estimated(std::move(*std::get_if<EstimatedPacket>(&packet)));
}

}  // namespace vorn
