#include "ros_messages.hpp"

#include <algorithm>
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

// Quaternions as w, x, y, z.
using Quaternion = std::array<double, 4>;

// The Hamilton product a * b.
Quaternion multiply(const Quaternion& a, const Quaternion& b) {
  const auto [aw, ax, ay, az] = a;
  const auto [bw, bx, by, bz] = b;
  return {aw * bw - ax * bx - ay * by - az * bz, aw * bx + ax * bw + ay * bz - az * by,
          aw * by - ax * bz + ay * bw + az * bx, aw * bz + ax * by - ay * bx + az * bw};
}

constexpr double kHalf = 0.7071067811865476;                  // sqrt(0.5), as Python's math.sqrt(0.5) rounds it
constexpr Quaternion kEnuFromNed = {0.0, kHalf, kHalf, 0.0};  // swaps north and east, turns down into up
constexpr Quaternion kFrdFromFlu = {0.0, 1.0, 0.0, 0.0};      // half a turn about x

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
  frame_end_ = head_.size();
  // The doubles after the header align to 8, counted after the encapsulation.
  head_.resize(4 + (frame_end_ - 4 + 7) / 8 * 8, 0);
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

template <class Sink>
std::uint8_t* MessagePacker::start(Sink& w, Topic topic, std::uint64_t log_time, std::size_t size) {
  std::uint8_t* p = w.begin_message(static_cast<std::uint16_t>(topic), log_time, log_time, size);
  std::memcpy(p, head_.data(), head_.size());
  return p + head_.size();
}

template <class Sink>
void MessagePacker::send_doubles(Sink& w, Topic topic, std::uint64_t log_time, const double* values,
                                 std::size_t count) {
  std::uint8_t* p = start(w, topic, log_time, head_.size() + 8 * count);
  std::memcpy(p, values, 8 * count);  // CDR little-endian on a little-endian host
  w.commit();
}

std::array<double, 9> orientation_covariance(const std::array<double, 4>& q, const std::array<double, 4>& s) {
  const auto [w, x, y, z] = q;
  // M(q): row k is how part k (w, x, y, z) of q moves, halved, per rotation about x, y, z.
  const double m[4][3] = {{-x, -y, -z}, {w, z, -y}, {-z, w, x}, {y, -x, w}};
  std::array<double, 9> out{};
  for (std::size_t a = 0; a < 3; ++a) {
    for (std::size_t b = 0; b < 3; ++b) {
      double sum = 0.0;
      for (std::size_t k = 0; k < 4; ++k) sum += m[k][a] * m[k][b] * s[k] * s[k];
      out[3 * a + b] = 4.0 * sum;
    }
  }
  return out;
}

template <class Sink>
std::optional<std::size_t> MessagePacker::pack(const Columns& c, Sink& w) {
  static_assert(std::endian::native == std::endian::little, "CDR is written in the host's order");
  constexpr double g = kStandardGravity;
  // Element 0 of a covariance: 0 for "unknown", -1 for "not given".
  constexpr double kUnknown = 0.0, kNotGiven = -1.0;
  constexpr std::array<double, 9> kNoCovariance{};  // unknown
  // An Imu: orientation x y z w, its covariance, angular velocity, its
  // covariance, linear acceleration, its covariance.
  constexpr std::size_t kImu = 4 + 9 + 3 + 9 + 3 + 9;
  constexpr std::size_t kRateAt = 13, kAccelAt = 25;
  double imu[kImu];
  double v[4];
  for (std::size_t i = 0; i < c.count; ++i) {
    const std::int64_t stamp = c.stamps[i];
    const std::int64_t logged = c.log_times[i];
    const std::int64_t sec = stamp / kNsPerSecond - (stamp % kNsPerSecond < 0 ? 1 : 0);
    if (logged < 0 || sec < std::numeric_limits<std::int32_t>::min() ||
        sec > std::numeric_limits<std::int32_t>::max()) {
      return i;
    }
    const auto t = static_cast<std::uint64_t>(logged);
    begin(stamp);
    const Packet p{c, i};
    // Field f's components into out (zeros when absent); the covariance
    // after them says whether they are given.
    // Field f's components (scaled), in the body frame when asked: half a turn about x.
    const auto components = [&](std::size_t f, double scale, double* out) {
      for (std::size_t k = 0; k < 3; ++k) out[k] = p.at(f, k, scale);
      if (body_frame_) {
        out[1] = -out[1];
        out[2] = -out[2];
      }
    };
    const auto vector3 = [&](std::size_t f, double scale, double* out, const std::array<double, 9>& cov) {
      const bool given = p.has(f);
      if (given) {
        components(f, scale, out);
      } else {
        out[0] = out[1] = out[2] = 0.0;
      }
      if (given && !p.flagged(f)) {
        std::copy(cov.begin(), cov.end(), out + 3);
      } else {
        out[3] = kNotGiven;
        std::fill(out + 4, out + 12, 0.0);
      }
    };
    // x, y, z, w from the unit's w, x, y, z.
    const auto quaternion = [&](std::size_t f, double* out) {
      out[0] = p.at(f, 1);
      out[1] = p.at(f, 2);
      out[2] = p.at(f, 3);
      out[3] = p.at(f, 0);
    };
    // The orientation of the unit's frame against NED as the body frame's
    // against ENU: ENU_FROM_NED * q * FRD_FROM_FLU, w kept non-negative.
    const auto orientation = [&](double* out) {
      quaternion(kOrientation, out);
      if (!body_frame_) return;
      const Quaternion r = multiply(multiply(kEnuFromNed, {out[3], out[0], out[1], out[2]}), kFrdFromFlu);
      const double sign = r[0] < 0 ? -1.0 : 1.0;
      out[0] = sign * r[1];
      out[1] = sign * r[2];
      out[2] = sign * r[3];
      out[3] = sign * r[0];
    };
    if (c.kinds[i] == static_cast<std::uint8_t>(PacketKind::Raw)) {
      imu[0] = imu[1] = imu[2] = 0.0;
      imu[3] = 1.0;
      imu[4] = kNotGiven;
      std::fill(imu + 5, imu + kRateAt, 0.0);
      vector3(kGyro, 1.0, imu + kRateAt, rate_cov_);
      vector3(kAccel, g, imu + kAccelAt, accel_cov_);
      send_doubles(w, Topic::DataRaw, t, imu, kImu);
      if (p.has(kPressure)) {
        v[0] = p.at(kPressure);
        v[1] = 0.0;  // variance unknown
        send_doubles(w, Topic::Pressure, t, v, 2);
      }
      for (const auto& [topic, f, scale] :
           {std::tuple{Topic::DeltaTheta, kDeltaTheta, 1.0}, std::tuple{Topic::DeltaVel, kDeltaVel, g}}) {
        if (!p.has(f)) continue;
        components(f, scale, v);
        send_doubles(w, topic, t, v, 3);
      }
      continue;
    }
    if (p.has(kOrientation)) {
      orientation(imu);
    } else {
      imu[0] = imu[1] = imu[2] = 0.0;
      imu[3] = 1.0;
    }
    if (!p.has(kOrientation) || p.flagged(kOrientation) || p.flagged(kUncertainty)) {
      imu[4] = kNotGiven;
      std::fill(imu + 5, imu + kRateAt, 0.0);
    } else if (!p.has(kUncertainty)) {
      std::fill(imu + 4, imu + kRateAt, kUnknown);
    } else {
      const Quaternion q = {p.at(kOrientation, 0), p.at(kOrientation, 1), p.at(kOrientation, 2), p.at(kOrientation, 3)};
      const Quaternion s = {p.at(kUncertainty, 0), p.at(kUncertainty, 1), p.at(kUncertainty, 2), p.at(kUncertainty, 3)};
      const std::array<double, 9> cov = orientation_covariance(q, s);
      if (!body_frame_) {
        std::copy(cov.begin(), cov.end(), imu + 4);
      } else {
        // About east, north, up rather than north, east, down: the rotation
        // that turns one set of axes into the other.
        constexpr std::size_t kFrom[3] = {1, 0, 2};
        constexpr double kSign[3] = {1.0, 1.0, -1.0};
        for (std::size_t a = 0; a < 3; ++a) {
          for (std::size_t b = 0; b < 3; ++b) imu[4 + 3 * a + b] = kSign[a] * kSign[b] * cov[3 * kFrom[a] + kFrom[b]];
        }
      }
    }
    vector3(kRate, 1.0, imu + kRateAt, kNoCovariance);
    vector3(kCompensated, 1.0, imu + kAccelAt, kNoCovariance);
    send_doubles(w, Topic::Data, t, imu, kImu);
    for (const auto& [topic, f] : {std::pair{Topic::LinearAccel, kLinear}, std::pair{Topic::Gravity, kGravity}}) {
      if (!p.has(f)) continue;
      components(f, 1.0, v);
      send_doubles(w, topic, t, v, 3);
    }
    if (p.has(kUncertainty)) {
      quaternion(kUncertainty, v);
      send_doubles(w, Topic::AttitudeUncertainty, t, v, 4);
    }
    if (p.has(kAltitude)) {
      v[0] = p.at(kAltitude);
      send_doubles(w, Topic::PressureAltitude, t, v, 1);
    }
    // string[] names: the flagged fields in the order of their codes, which
    // is the order of their descriptors on the wire. Each string, and the
    // count before them, aligns to 4 (counted after the encapsulation).
    const auto align4 = [](std::size_t n) { return 4 + (n - 4 + 3) / 4 * 4; };
    const std::size_t count_at = align4(frame_end_);
    std::size_t size = count_at + 4;
    std::uint32_t count = 0;
    for (std::size_t code = 1; code < kFieldOfCode.size(); ++code) {
      const std::size_t f = kFieldOfCode[code];
      if (f == kFields.size() || !p.flagged(f)) continue;
      size = align4(size) + 4 + kFields[f].invalid_name.size() + 1;
      ++count;
    }
    std::uint8_t* out = w.begin_message(static_cast<std::uint16_t>(Topic::InvalidFields), t, t, size);
    std::memset(out, 0, size);
    std::memcpy(out, head_.data(), frame_end_);
    std::memcpy(out + count_at, &count, 4);
    std::size_t at = count_at + 4;
    for (std::size_t code = 1; code < kFieldOfCode.size(); ++code) {
      const std::size_t f = kFieldOfCode[code];
      if (f == kFields.size() || !p.flagged(f)) continue;
      const std::string_view name = kFields[f].invalid_name;
      at = align4(at);
      const auto len = static_cast<std::uint32_t>(name.size() + 1);
      std::memcpy(out + at, &len, 4);
      std::memcpy(out + at + 4, name.data(), name.size());
      at += 4 + len;
    }
    w.commit();
  }
  return std::nullopt;
}

template std::optional<std::size_t> MessagePacker::pack(const Columns&, mcap::Writer&);
template std::optional<std::size_t> MessagePacker::pack(const Columns&, MessageBatch&);

}  // namespace vorn::ros
