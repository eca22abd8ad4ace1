// The unit's packets as ROS 2 messages in CDR, from columns: each packet's
// messages into an MCAP writer, on the channels of Topic. The one place where
// the unit's values become ROS's: accelerations from g to m/s² (delta
// velocity from g·s to m/s), quaternions from the unit's w, x, y, z to ROS's
// x, y, z, w, and "absent or flagged invalid" to -1 in element 0 of a
// covariance, as sensor_msgs/msg/Imu defines it. On request, the axes of
// REP 103's body frame and known angular-velocity and acceleration covariances.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fields.hpp"
#include "mcap_records.hpp"

namespace vorn::ros {

// The channels, by MCAP channel id: raw packets on DataRaw and the raw side
// channels, filter packets on Data and the filter side channels.
enum class Topic : std::uint16_t {
  DataRaw = 1,
  Data,
  Pressure,
  DeltaTheta,
  DeltaVel,
  LinearAccel,
  Gravity,
  AttitudeUncertainty,
  PressureAltitude,
  InvalidFields,
};
inline constexpr std::uint16_t kTopics = 10;

inline constexpr double kStandardGravity = 9.80665;  // m/s² per g

inline constexpr std::size_t kValueColumns = [] {
  std::size_t n = 0;
  for (const Field& f : kFields) n += f.floats;
  return n;
}();
inline constexpr std::size_t kFlagColumns = [] {
  std::size_t n = 0;
  for (const Field& f : kFields) n += f.flag != EstField{} ? 1 : 0;
  return n;
}();

// A piece of a recording as columns, each `count` long; borrowed, not owned.
struct Columns {
  std::size_t count = 0;
  const std::uint8_t* kinds = nullptr;                    // PacketKind of each packet
  std::array<const float*, kValueColumns> values{};       // every value component, record order; NaN: absent
  std::array<const std::uint8_t*, kFlagColumns> flags{};  // per field the unit can flag, record order
  const std::int64_t* stamps = nullptr;                   // header.stamp, ns since the epoch
  const std::int64_t* log_times = nullptr;                // the MCAP log and publish time, ns
};

class MessagePacker {
 public:
  explicit MessagePacker(std::string_view frame_id);

  // Vectors and the orientation in REP 103's body frame (x forward, y left,
  // z up, against east, north, up) instead of the unit's (x forward, y right,
  // z down, against north, east, down). The attitude uncertainty stays per
  // quaternion part.
  void set_body_frame(bool on) { body_frame_ = on; }
  // The covariance (row major, 3 x 3) of a given, unflagged angular velocity
  // and linear acceleration in an Imu; zeros (unknown) until set.
  void set_covariances(const std::array<double, 9>& rate, const std::array<double, 9>& accel) {
    rate_cov_ = rate;
    accel_cov_ = accel;
  }

  // Every packet's messages into w, whose channels of Topic must exist.
  // Returns the index of the first packet that cannot be written (a log time
  // below 0, a stamp whose seconds leave int32), having written the ones
  // before it, or nothing when all were.
  std::optional<std::size_t> pack(const Columns& columns, mcap::Writer& w);

 private:
  // Sets the stamp of the messages that follow.
  void begin(std::int64_t stamp);
  // A message of `size` bytes begun in w, the header written; where its fields go.
  std::uint8_t* start(mcap::Writer& w, Topic topic, std::uint64_t log_time, std::size_t size);
  // A message of the header and `count` doubles.
  void send_doubles(mcap::Writer& w, Topic topic, std::uint64_t log_time, const double* values, std::size_t count);

  std::vector<std::uint8_t> head_;  // encapsulation, stamp, frame id, padded to 8
  std::size_t frame_end_ = 0;       // where the frame id (and its NUL) ends in head_
  bool body_frame_ = false;
  std::array<double, 9> rate_cov_{};
  std::array<double, 9> accel_cov_{};
};

}  // namespace vorn::ros
