// The unit's packets as ROS 2 messages in CDR, from columns: each packet's
// messages into an MCAP writer, on the channels of Topic. The one place where
// the unit's values become ROS's: accelerations from g to m/s² (delta
// velocity from g·s to m/s), quaternions from the unit's w, x, y, z to ROS's
// x, y, z, w, and "absent or flagged invalid" to -1 in element 0 of a
// covariance, as sensor_msgs/msg/Imu defines it. No frame conversion.
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
  DataRaw = 1, Data, Pressure, DeltaTheta, DeltaVel, LinearAccel, Gravity, AttitudeUncertainty, PressureAltitude,
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
  const std::uint8_t* kinds = nullptr;                  // PacketKind of each packet
  std::array<const float*, kValueColumns> values{};     // every value component, record order; NaN: absent
  std::array<const std::uint8_t*, kFlagColumns> flags{};  // per field the unit can flag, record order
  const std::int64_t* stamps = nullptr;                 // header.stamp, ns since the epoch
  const std::int64_t* log_times = nullptr;              // the MCAP log and publish time, ns
};

class MessagePacker {
 public:
  explicit MessagePacker(std::string_view frame_id);

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
};

}  // namespace vorn::ros
