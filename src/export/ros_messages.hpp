// The unit's packets as ROS 2 messages in CDR, from columns: each packet's
// messages into an MCAP writer, on the channels of Topic, or into a
// MessageBatch (each topic's messages as bytes, for a ROS 2 publisher or any
// other output). The one place where
// the unit's values become ROS's: accelerations from g to m/s² (delta
// velocity from g·s to m/s), quaternions from the unit's w, x, y, z to ROS's
// x, y, z, w, and "absent or flagged invalid" to -1 in element 0 of a
// covariance, as sensor_msgs/msg/Imu defines it; the orientation's covariance
// from the unit's attitude uncertainty. On request, the axes of REP 103's body
// frame and the raw sensor's known angular-velocity and acceleration
// covariances.
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

// Each topic (relative, under whatever prefix or namespace), its message
// type and what it carries, by id. "{g}" in a text stands for kStandardGravity.
struct TopicInfo {
  std::string_view name;
  std::string_view type;
  std::string_view text;
};
inline constexpr std::array<TopicInfo, kTopics> kTopicTable = {{
    {"imu/data_raw", "sensor_msgs/msg/Imu",
     "raw packets: linear_acceleration m/s² (scaled_accel g x {g}), angular_velocity rad/s (scaled_gyro); no "
     "orientation (orientation_covariance[0] = -1); covariance[0] = -1 where the packet lacks the value"},
    {"imu/data", "sensor_msgs/msg/Imu",
     "filter packets: orientation x, y, z, w (est_orient_quaternion, sent w first), its covariance from "
     "est_attitude_uncert_quaternion, angular_velocity rad/s (est_angular_rate), linear_acceleration m/s² "
     "(est_compensated_accel); covariance[0] = -1 where the value is absent or flagged invalid"},
    {"imu/pressure", "sensor_msgs/msg/FluidPressure", "scaled_ambient_pressure in Pa; variance 0 (unknown)"},
    {"imu/delta_theta", "geometry_msgs/msg/Vector3Stamped", "delta_theta in rad"},
    {"imu/delta_vel", "geometry_msgs/msg/Vector3Stamped", "delta_vel in m/s (g·s x {g})"},
    {"imu/linear_accel", "geometry_msgs/msg/Vector3Stamped", "est_linear_accel in m/s²"},
    {"imu/gravity", "geometry_msgs/msg/Vector3Stamped", "est_gravity_vector in m/s²"},
    {"imu/attitude_uncertainty", "geometry_msgs/msg/QuaternionStamped",
     "est_attitude_uncert_quaternion as x, y, z, w (sent w first)"},
    {"imu/pressure_altitude", "vorn_msgs/msg/Altitude", "est_pressure_alt in m"},
    {"imu/invalid_fields", "vorn_msgs/msg/InvalidFields",
     "the names the filter packet flagged invalid, one message per filter packet"},
}};

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

// Each topic's messages of a batch of packets, in packet order: one buffer
// per topic holding the CDR messages one after another, and where each ends.
// A sink of MessagePacker::pack, as mcap::Writer is.
class MessageBatch {
 public:
  struct Messages {
    std::vector<std::uint8_t> bytes;
    std::vector<std::size_t> ends;  // message k is bytes[ends[k-1] (0 for k = 0), ends[k])
  };

  // Empties every topic, keeping the storage.
  void clear() {
    for (Messages& m : topics_) {
      m.bytes.clear();
      m.ends.clear();
    }
  }
  const Messages& topic(Topic t) const { return topics_[static_cast<std::size_t>(t) - 1]; }

  // What MessagePacker::pack calls: room for a message of `size` bytes on a
  // topic, valid until commit(). The times are the packer's log time (unused).
  std::uint8_t* begin_message(std::uint16_t topic, std::uint64_t, std::uint64_t, std::size_t size) {
    open_ = &topics_[topic - 1];
    const std::size_t at = open_->bytes.size();
    open_->bytes.resize(at + size);
    open_->ends.push_back(at + size);
    return open_->bytes.data() + at;
  }
  void commit() {}

 private:
  std::array<Messages, kTopics> topics_;
  Messages* open_ = nullptr;
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
  // and linear acceleration of the raw sensor (imu/data_raw): the noise the
  // unit's raw values were measured to have; zeros (unknown) until set. The
  // filter's output (imu/data) keeps unknown (0): its noise is not the raw
  // sensor's.
  void set_covariances(const std::array<double, 9>& rate, const std::array<double, 9>& accel) {
    rate_cov_ = rate;
    accel_cov_ = accel;
  }

  // Every packet's messages into a sink (an mcap::Writer, whose channels of
  // Topic must exist, or a MessageBatch). Returns the index of the first
  // packet that cannot be written (a log time below 0, a stamp whose seconds
  // leave int32), having written the ones before it, or nothing when all were.
  template <class Sink>
  std::optional<std::size_t> pack(const Columns& columns, Sink& w);

 private:
  // Sets the stamp of the messages that follow.
  void begin(std::int64_t stamp);
  // A message of `size` bytes begun in w, the header written; where its fields go.
  template <class Sink>
  std::uint8_t* start(Sink& w, Topic topic, std::uint64_t log_time, std::size_t size);
  // A message of the header and `count` doubles.
  template <class Sink>
  void send_doubles(Sink& w, Topic topic, std::uint64_t log_time, const double* values, std::size_t count);

  std::vector<std::uint8_t> head_;  // encapsulation, stamp, frame id, padded to 8
  std::size_t frame_end_ = 0;       // where the frame id (and its NUL) ends in head_
  bool body_frame_ = false;
  std::array<double, 9> rate_cov_{};
  std::array<double, 9> accel_cov_{};
};

// The covariance (row major, 3 x 3) of an orientation q (w, x, y, z) as small
// rotations about the axes of the frame it is measured against, from the
// standard deviations s (w, x, y, z) of its four parts, taken as independent:
// a rotation e about those axes moves q by M(q) e / 2, and M's columns are
// orthonormal, so e = 2 M(q)^T dq and the covariance is 4 M^T diag(s^2) M.
std::array<double, 9> orientation_covariance(const std::array<double, 4>& q, const std::array<double, 4>& s);

extern template std::optional<std::size_t> MessagePacker::pack(const Columns&, mcap::Writer&);
extern template std::optional<std::size_t> MessagePacker::pack(const Columns&, MessageBatch&);

}  // namespace vorn::ros
