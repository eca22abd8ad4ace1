#include "ros_messages.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <tuple>
#include <utility>

namespace vorn::ros {

namespace {

constexpr std::uint8_t kCdrLittleEndian[4] = {0x00, 0x01, 0x00, 0x00};
constexpr std::size_t kStampAt = 4;  // seconds, then nanoseconds, after the encapsulation
constexpr std::int64_t kNsPerSecond = 1'000'000'000;

// Where each field's components start among the value columns, and its flag
// column (or kNoFlag).
constexpr std::size_t kNoFlag = ~std::size_t{0};
constexpr auto kValueAt = [] {
  std::array<std::size_t, kFields.size()> at{};
  std::size_t n = 0;
  for (std::size_t i = 0; i < kFields.size(); ++i) {
    at[i] = n;
    n += kFields[i].floats;
  }
  return at;
}();
constexpr auto kFlagAt = [] {
  std::array<std::size_t, kFields.size()> at{};
  std::size_t n = 0;
  for (std::size_t i = 0; i < kFields.size(); ++i) at[i] = kFields[i].flag != EstField{} ? n++ : kNoFlag;
  return at;
}();
// The field of each invalid-list code (kFields.size() for none).
constexpr auto kFieldOfCode = [] {
  std::array<std::size_t, 8> field{};
  field.fill(kFields.size());
  for (std::size_t i = 0; i < kFields.size(); ++i) {
    if (kFields[i].flag != EstField{}) field[static_cast<std::size_t>(kFields[i].flag) & 7u] = i;
  }
  return field;
}();

constexpr std::size_t kAccel = field_index("scaled_accel");
constexpr std::size_t kGyro = field_index("scaled_gyro");
constexpr std::size_t kDeltaVel = field_index("delta_vel");
constexpr std::size_t kDeltaTheta = field_index("delta_theta");
constexpr std::size_t kPressure = field_index("scaled_ambient_pressure");
constexpr std::size_t kAltitude = field_index("est_pressure_alt");
constexpr std::size_t kOrientation = field_index("est_orient_quaternion");
constexpr std::size_t kUncertainty = field_index("est_attitude_uncert_quaternion");
constexpr std::size_t kRate = field_index("est_angular_rate");
constexpr std::size_t kCompensated = field_index("est_compensated_accel");
constexpr std::size_t kLinear = field_index("est_linear_accel");
constexpr std::size_t kGravity = field_index("est_gravity_vector");

// One packet's view of the columns.
struct Packet {
  const Columns& c;
  std::size_t i;

  // Component k of field f, as a double.
  double at(std::size_t f, std::size_t k = 0, double scale = 1.0) const {
    return static_cast<double>(c.values[kValueAt[f] + k][i]) * scale;
  }
  // A packet lacking a value has NaN in each of its components.
  bool has(std::size_t f) const { return !std::isnan(c.values[kValueAt[f]][i]); }
  bool flagged(std::size_t f) const { return kFlagAt[f] != kNoFlag && c.flags[kFlagAt[f]][i] != 0; }
};

}  // namespace

MessagePacker::MessagePacker(std::string_view frame_id) {
  head_.assign(std::begin(kCdrLittleEndian), std::end(kCdrLittleEndian));
  head_.resize(head_.size() + 8);  // the stamp, filled per packet
  const auto len = static_cast<std::uint32_t>(frame_id.size() + 1);
  for (int k = 0; k < 4; ++k) head_.push_back(static_cast<std::uint8_t>(len >> (8 * k)));
  head_.insert(head_.end(), frame_id.begin(), frame_id.end());
  head_.push_back(0);
  body_.reserve(512);
}

void MessagePacker::begin(std::int64_t stamp) {
  // Floor division: a stamp before the epoch has negative seconds and
  // nanoseconds counted forward from them.
  std::int64_t sec = stamp / kNsPerSecond;
  std::int64_t nsec = stamp % kNsPerSecond;
  if (nsec < 0) {
    nsec += kNsPerSecond;
    --sec;
  }
  const auto s = static_cast<std::uint32_t>(static_cast<std::int32_t>(sec));
  const auto ns = static_cast<std::uint32_t>(nsec);
  for (int k = 0; k < 4; ++k) {
    head_[kStampAt + k] = static_cast<std::uint8_t>(s >> (8 * k));
    head_[kStampAt + 4 + k] = static_cast<std::uint8_t>(ns >> (8 * k));
  }
}

void MessagePacker::doubles(std::initializer_list<double> values) {
  const std::size_t at = body_.size();
  body_.resize(at + 8 * values.size());
  std::uint8_t* p = body_.data() + at;
  for (double v : values) {
    std::memcpy(p, &v, 8);  // CDR little-endian on a little-endian host
    p += 8;
  }
}

void MessagePacker::send(mcap::Writer& w, Topic topic, std::uint64_t log_time) {
  w.message(static_cast<std::uint16_t>(topic), log_time, log_time, body_);
}

std::optional<std::size_t> MessagePacker::pack(const Columns& c, mcap::Writer& w) {
  static_assert(std::endian::native == std::endian::little, "CDR is written in the host's order");
  constexpr double g = kStandardGravity;
  // Element 0 of a covariance: 0 for "unknown", -1 for "not given".
  constexpr double kUnknown = 0.0, kNotGiven = -1.0;
  const auto cov = [&](double first) {
    doubles({first, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0});
  };
  // The header, then padding so that the doubles after it align to 8
  // (counted from the end of the encapsulation).
  const std::size_t padded = 4 + ((head_.size() - 4 + 7) / 8) * 8;
  const auto start = [&]() {
    body_.assign(head_.begin(), head_.end());
    body_.resize(padded, 0);
  };
  for (std::size_t i = 0; i < c.count; ++i) {
    const std::int64_t stamp = c.stamps[i];
    const std::int64_t logged = c.log_times[i];
    const std::int64_t sec = stamp / kNsPerSecond - (stamp % kNsPerSecond < 0 ? 1 : 0);
    if (logged < 0 || sec < std::numeric_limits<std::int32_t>::min() || sec > std::numeric_limits<std::int32_t>::max()) {
      return i;
    }
    const auto t = static_cast<std::uint64_t>(logged);
    begin(stamp);
    const Packet p{c, i};
    const auto vector3 = [&](std::size_t f, double scale) {
      if (p.has(f)) {
        doubles({p.at(f, 0, scale), p.at(f, 1, scale), p.at(f, 2, scale)});
      } else {
        doubles({0.0, 0.0, 0.0});
      }
    };
    const auto given = [&](std::size_t f) { return p.has(f) && !p.flagged(f) ? kUnknown : kNotGiven; };
    if (c.kinds[i] == static_cast<std::uint8_t>(PacketKind::Raw)) {
      start();
      doubles({0.0, 0.0, 0.0, 1.0});
      cov(kNotGiven);
      vector3(kGyro, 1.0);
      cov(given(kGyro));
      vector3(kAccel, g);
      cov(given(kAccel));
      send(w, Topic::DataRaw, t);
      if (p.has(kPressure)) {
        start();
        doubles({p.at(kPressure), 0.0});  // variance unknown
        send(w, Topic::Pressure, t);
      }
      for (const auto& [topic, f, scale] : {std::tuple{Topic::DeltaTheta, kDeltaTheta, 1.0},
                                            std::tuple{Topic::DeltaVel, kDeltaVel, g}}) {
        if (!p.has(f)) continue;
        start();
        vector3(f, scale);
        send(w, topic, t);
      }
      continue;
    }
    start();
    if (p.has(kOrientation)) {
      doubles({p.at(kOrientation, 1), p.at(kOrientation, 2), p.at(kOrientation, 3), p.at(kOrientation, 0)});
    } else {
      doubles({0.0, 0.0, 0.0, 1.0});
    }
    cov(given(kOrientation));
    vector3(kRate, 1.0);
    cov(given(kRate));
    vector3(kCompensated, 1.0);
    cov(given(kCompensated));
    send(w, Topic::Data, t);
    for (const auto& [topic, f] : {std::pair{Topic::LinearAccel, kLinear}, std::pair{Topic::Gravity, kGravity}}) {
      if (!p.has(f)) continue;
      start();
      vector3(f, 1.0);
      send(w, topic, t);
    }
    if (p.has(kUncertainty)) {
      start();
      doubles({p.at(kUncertainty, 1), p.at(kUncertainty, 2), p.at(kUncertainty, 3), p.at(kUncertainty, 0)});
      send(w, Topic::AttitudeUncertainty, t);
    }
    if (p.has(kAltitude)) {
      start();
      doubles({p.at(kAltitude)});
      send(w, Topic::PressureAltitude, t);
    }
    // string[] names: the flagged fields in the order of their codes, which
    // is the order of their descriptors on the wire. Strings align to 4.
    body_.assign(head_.begin(), head_.end());
    const auto align4 = [&] { body_.resize(4 + ((body_.size() - 4 + 3) / 4) * 4, 0); };
    const auto put32 = [&](std::uint32_t v) {
      for (int k = 0; k < 4; ++k) body_.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
    };
    align4();
    const std::size_t count_at = body_.size();
    put32(0);
    std::uint32_t count = 0;
    for (std::size_t code = 1; code < kFieldOfCode.size(); ++code) {
      const std::size_t f = kFieldOfCode[code];
      if (f == kFields.size() || !p.flagged(f)) continue;
      const std::string_view name = kFields[f].invalid_name;
      align4();
      put32(static_cast<std::uint32_t>(name.size() + 1));
      body_.insert(body_.end(), name.begin(), name.end());
      body_.push_back(0);
      ++count;
    }
    for (int k = 0; k < 4; ++k) body_[count_at + k] = static_cast<std::uint8_t>(count >> (8 * k));
    send(w, Topic::InvalidFields, t);
  }
  return std::nullopt;
}

}  // namespace vorn::ros
