#include "protocol.hpp"

#include <bit>
#include <cstring>
#include <utility>

namespace vorn {

namespace {

// The smallest field: its length byte and its descriptor, no data.
constexpr std::size_t kFieldHeaderSize = 2;
constexpr std::uint8_t kValidBit = 0x01;

// One big-endian IEEE-754 single from `p`, all 32 bits kept (NaN payloads too).
inline float read_float(const std::uint8_t* p) {
  std::uint32_t bits;
  std::memcpy(&bits, p, sizeof bits);
  if constexpr (std::endian::native == std::endian::little) bits = __builtin_bswap32(bits);
  return std::bit_cast<float>(bits);
}

template <std::size_t N>
inline std::array<float, N> read_floats(const std::uint8_t* p) {
  std::array<float, N> out;
  for (std::size_t i = 0; i < N; ++i) out[i] = read_float(p + 4 * i);
  return out;
}

// Calls handle(descriptor, data) for each whole field of `payload`, in order.
// A length byte below the header size or a field running past the end ends
// the walk; what was handled before stays handled.
template <class Handle>
inline void walk_fields(std::span<const std::uint8_t> payload, Handle&& handle) {
  const std::size_t len = payload.size();
  std::size_t q = 0;
  while (q < len) {
    const std::size_t field_len = payload[q];
    if (field_len < kFieldHeaderSize || field_len > len - q) return;
    handle(payload[q + 1], payload.subspan(q + kFieldHeaderSize, field_len - kFieldHeaderSize));
    q += field_len;
  }
}

// Data lengths of the sensor fields, which carry no valid flags.
constexpr std::size_t kRawVectorLen = 12;
constexpr std::size_t kRawFloatLen = 4;

void decode_raw(std::span<const std::uint8_t> payload, IMUPacket& raw, FieldObserver* observer) {
  walk_fields(payload, [&raw, observer](std::uint8_t descriptor, std::span<const std::uint8_t> data) {
    const std::uint8_t* d = data.data();
    switch (descriptor) {
      case 0x04:
        if (data.size() == kRawVectorLen) raw.set(slot::scaled_accel, read_floats<3>(d));
        else if (observer) observer->wrong_length("scaled_accel");
        break;
      case 0x05:
        if (data.size() == kRawVectorLen) raw.set(slot::scaled_gyro, read_floats<3>(d));
        else if (observer) observer->wrong_length("scaled_gyro");
        break;
      case 0x07:
        if (data.size() == kRawVectorLen) raw.set(slot::delta_theta, read_floats<3>(d));
        else if (observer) observer->wrong_length("delta_theta");
        break;
      case 0x08:
        if (data.size() == kRawVectorLen) raw.set(slot::delta_vel, read_floats<3>(d));
        else if (observer) observer->wrong_length("delta_vel");
        break;
      case 0x17:
        if (data.size() == kRawFloatLen) raw.set(slot::scaled_ambient_pressure, read_float(d));
        else if (observer) observer->wrong_length("scaled_ambient_pressure");
        break;
      default:
        break;
    }
  });
}

// Data lengths of the filter fields: the floats plus a 16-bit valid-flags word.
constexpr std::size_t kEstQuaternionLen = 18;
constexpr std::size_t kEstVectorLen = 14;
constexpr std::size_t kEstFloatLen = 6;

void decode_estimated(std::span<const std::uint8_t> payload, IMUPacket& est, FieldObserver* observer) {
  InvalidNames invalid;
  walk_fields(payload, [&est, &invalid, observer](std::uint8_t descriptor, std::span<const std::uint8_t> data) {
    const std::uint8_t* d = data.data();
    switch (descriptor) {
      case 0x03:
        if (check_est_field(data, kEstQuaternionLen, EstField::OrientQuaternion, invalid))
          est.set(slot::est_orient_quaternion, read_floats<4>(d));
        else if (observer)
          observer->wrong_length("est_orient_quaternion");
        break;
      case 0x0D:
        if (check_est_field(data, kEstVectorLen, EstField::LinearAccel, invalid))
          est.set(slot::est_linear_accel, read_floats<3>(d));
        else if (observer)
          observer->wrong_length("est_linear_accel");
        break;
      case 0x0E:
        if (check_est_field(data, kEstVectorLen, EstField::AngularRate, invalid))
          est.set(slot::est_angular_rate, read_floats<3>(d));
        else if (observer)
          observer->wrong_length("est_angular_rate");
        break;
      case 0x12:
        if (check_est_field(data, kEstQuaternionLen, EstField::AttitudeUncertQuaternion, invalid))
          est.set(slot::est_attitude_uncert_quaternion, read_floats<4>(d));
        else if (observer)
          observer->wrong_length("est_attitude_uncert_quaternion");
        break;
      case 0x13:
        if (check_est_field(data, kEstVectorLen, EstField::GravityVector, invalid))
          est.set(slot::est_gravity_vector, read_floats<3>(d));
        else if (observer)
          observer->wrong_length("est_gravity_vector");
        break;
      case 0x1C:
        if (check_est_field(data, kEstVectorLen, EstField::CompensatedAccel, invalid))
          est.set(slot::est_compensated_accel, read_floats<3>(d));
        else if (observer)
          observer->wrong_length("est_compensated_accel");
        break;
      case 0x21:
        if (check_est_field(data, kEstFloatLen, EstField::PressureAlt, invalid))
          est.set(slot::est_pressure_alt, read_float(d));
        else if (observer)
          observer->wrong_length("est_pressure_alt");
        break;
      default:
        break;
    }
  });
  if (!invalid.empty()) est.set_invalid_names(invalid);
}

}  // namespace

bool check_est_field(std::span<const std::uint8_t> data, std::size_t required_len, EstField name,
                     InvalidNames& invalid) {
  if (data.size() != required_len) return false;
  // Only bit 0 of the big-endian flags word counts; it is the field's last byte.
  if (required_len > 0 && (data.back() & kValidBit) == 0) invalid.push_back(name);
  return true;
}

std::optional<IMUPacket> decode_packet(std::uint8_t descriptor_set, std::span<const std::uint8_t> payload,
                                       Timestamp timestamp, FieldObserver* observer) {
  // Built where it is returned, so the record is never moved on the way out.
  std::optional<IMUPacket> out;
  switch (descriptor_set) {
    case kRawSet:
      decode_raw(payload, out.emplace(PacketKind::Raw, timestamp), observer);
      break;
    case kEstimatedSet:
      decode_estimated(payload, out.emplace(PacketKind::Estimated, timestamp), observer);
      break;
    default:
      break;
  }
  return out;
}

}  // namespace vorn
