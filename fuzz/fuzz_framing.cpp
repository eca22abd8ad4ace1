// libFuzzer target over framing and decoding. Beyond crashes and sanitizer
// reports it aborts when a property of the framing breaks:
//   - between calls the buffer holds a tail of the stream that can still
//     become a packet, never more than kMaxPacketSize - 1 bytes;
//   - the records found do not depend on how the stream was cut into reads;
//   - they are the ones a plain byte-by-byte scan and a plain table-driven
//     decoder find;
//   - every record is well formed for its kind;
//   - a refused send leaves the buffer as it was, and a clock failure leaves
//     the packet it could not stamp at the buffer's front.
//
// Input: byte 0 holds the number of cut bytes (bits 0-3), a limit m (bits
// 4-6) for the refusing sender and the failing clock, and in bit 7 whether to
// give every candidate packet its right checksum first (so that mutated
// payloads reach the decoder); then the cut bytes, each giving the length of
// one read (used in turn); then the stream. An odd input length stamps the
// records beyond 64 bits.
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "framing.hpp"
#include "protocol.hpp"
#include "records.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
using vorn::IMUPacket;
using vorn::Timestamp;

// The stamp of every record: a real clock's reading, or one beyond 64 bits,
// which records keep apart from their values (chosen by the input).
constexpr Timestamp kClockStamp = 1733490000123456789ull;
constexpr Timestamp kWideStamp = (static_cast<Timestamp>(1) << 64) + kClockStamp;
Timestamp stamp = kClockStamp;
constexpr std::size_t kMaxLeftover = vorn::kMaxPacketSize - 1;

[[noreturn]] void violated(const char* what) {
  std::fprintf(stderr, "fuzz_framing: property violated: %s\n", what);
  std::abort();
}
#define CHECK(cond)               \
  do {                            \
    if (!(cond)) violated(#cond); \
  } while (0)

std::optional<Timestamp> fixed_clock() { return stamp; }

// A clock that gives `clock_budget` readings, then reads before the epoch.
std::size_t clock_budget = 0;
std::optional<Timestamp> failing_clock() {
  if (clock_budget == 0) return std::nullopt;
  --clock_budget;
  return stamp;
}

class Collect final : public vorn::PacketSender {
 public:
  explicit Collect(std::size_t limit = SIZE_MAX) : limit_(limit) {}
  bool send(IMUPacket& packet) override {
    if (records.size() >= limit_) return false;
    records.push_back(std::move(packet));
    return true;
  }
  std::vector<IMUPacket> records;

 private:
  std::size_t limit_;
};

// --- Comparing records bit for bit ------------------------------------------

// The record written out plainly, one slot per field, for the reference
// decoder to fill and for the real records to be read into.
struct Plain {
  std::string packet_type;
  Timestamp timestamp = 0;
  std::optional<std::string> invalid_fields;
  std::optional<vorn::Vector3> scaled_accel, scaled_gyro, delta_vel, delta_theta;
  std::optional<float> scaled_ambient_pressure, est_pressure_alt;
  std::optional<vorn::Quaternion> est_orient_quaternion, est_attitude_uncert_quaternion;
  std::optional<vorn::Vector3> est_angular_rate, est_compensated_accel, est_linear_accel, est_gravity_vector;
};

Plain plain_of(const IMUPacket& r) {
  using vorn::slot_of;
  return {std::string(r.packet_type()),
          r.timestamp(),
          r.invalid_fields(),
          r.get(slot_of<"scaled_accel">),
          r.get(slot_of<"scaled_gyro">),
          r.get(slot_of<"delta_vel">),
          r.get(slot_of<"delta_theta">),
          r.get(slot_of<"scaled_ambient_pressure">),
          r.get(slot_of<"est_pressure_alt">),
          r.get(slot_of<"est_orient_quaternion">),
          r.get(slot_of<"est_attitude_uncert_quaternion">),
          r.get(slot_of<"est_angular_rate">),
          r.get(slot_of<"est_compensated_accel">),
          r.get(slot_of<"est_linear_accel">),
          r.get(slot_of<"est_gravity_vector">)};
}

bool same(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }

template <std::size_t N>
bool same(const std::array<float, N>& a, const std::array<float, N>& b) {
  for (std::size_t i = 0; i < N; ++i) {
    if (!same(a[i], b[i])) return false;
  }
  return true;
}

template <class T>
bool same(const std::optional<T>& a, const std::optional<T>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || same(*a, *b);
}

bool same(const std::optional<std::string>& a, const std::optional<std::string>& b) { return a == b; }

bool same(const Plain& a, const Plain& b) {
  return a.packet_type == b.packet_type && a.timestamp == b.timestamp && same(a.invalid_fields, b.invalid_fields) &&
         same(a.scaled_accel, b.scaled_accel) && same(a.scaled_gyro, b.scaled_gyro) && same(a.delta_vel, b.delta_vel) &&
         same(a.delta_theta, b.delta_theta) && same(a.scaled_ambient_pressure, b.scaled_ambient_pressure) &&
         same(a.est_pressure_alt, b.est_pressure_alt) && same(a.est_orient_quaternion, b.est_orient_quaternion) &&
         same(a.est_attitude_uncert_quaternion, b.est_attitude_uncert_quaternion) &&
         same(a.est_angular_rate, b.est_angular_rate) && same(a.est_compensated_accel, b.est_compensated_accel) &&
         same(a.est_linear_accel, b.est_linear_accel) && same(a.est_gravity_vector, b.est_gravity_vector);
}

void check_same(const std::vector<IMUPacket>& got, const std::vector<IMUPacket>& want, std::size_t count) {
  CHECK(got.size() == count);
  CHECK(count <= want.size());
  for (std::size_t i = 0; i < count; ++i) CHECK(same(plain_of(got[i]), plain_of(want[i])));
}

void check_same(const std::vector<IMUPacket>& got, const std::vector<Plain>& want, std::size_t count) {
  CHECK(got.size() == count);
  CHECK(count <= want.size());
  for (std::size_t i = 0; i < count; ++i) CHECK(same(plain_of(got[i]), want[i]));
}

// --- Well-formed records ----------------------------------------------------

// Whether the estimated value that `name` stands for is present in `r`.
std::optional<bool> named_value_present(const Plain& r, std::string_view name) {
  if (name == "estOrientQuaternion") return r.est_orient_quaternion.has_value();
  if (name == "estLinearAccel") return r.est_linear_accel.has_value();
  if (name == "estAngularRate") return r.est_angular_rate.has_value();
  if (name == "estAttitudeUncertQuaternion") return r.est_attitude_uncert_quaternion.has_value();
  if (name == "estGravityVector") return r.est_gravity_vector.has_value();
  if (name == "estCompensatedAccel") return r.est_compensated_accel.has_value();
  if (name == "estPressureAlt") return r.est_pressure_alt.has_value();
  return std::nullopt;  // not a name of ours
}

void check_record(const IMUPacket& record) {
  const Plain r = plain_of(record);
  CHECK(r.timestamp == stamp);
  const bool any_raw = r.scaled_accel || r.scaled_gyro || r.delta_vel || r.delta_theta || r.scaled_ambient_pressure;
  const bool any_est = r.est_pressure_alt || r.est_orient_quaternion || r.est_attitude_uncert_quaternion ||
                       r.est_angular_rate || r.est_compensated_accel || r.est_linear_accel || r.est_gravity_vector;
  if (r.packet_type == "raw") {
    CHECK(!any_est);
    CHECK(!r.invalid_fields);
  } else {
    CHECK(r.packet_type == "estimated");
    CHECK(!any_raw);
    if (r.invalid_fields) {
      const std::string& list = *r.invalid_fields;
      CHECK(!list.empty());
      std::size_t start = 0;
      for (;;) {
        const std::size_t comma = list.find(',', start);
        const std::string_view name =
            std::string_view(list).substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const std::optional<bool> present = named_value_present(r, name);
        CHECK(present.has_value());  // one of the seven names, nothing empty between commas
        CHECK(*present);             // a field is named only when it was accepted
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
    }
  }
}

// --- What may stay in the buffer between calls -------------------------------

void check_leftover(const Bytes& buffer, const Bytes& fed) {
  const std::size_t n = buffer.size();
  CHECK(n <= kMaxLeftover);
  CHECK(n <= fed.size());
  for (std::size_t i = 0; i < n; ++i) CHECK(buffer[i] == fed[fed.size() - n + i]);  // a tail of the stream
  if (n == 0) return;
  CHECK(buffer[0] == vorn::kSync1);
  if (n == 1) return;
  CHECK(buffer[1] == vorn::kSync2);
  if (n < vorn::kHeaderSize) return;
  CHECK(n < vorn::kHeaderSize + buffer[3] + vorn::kChecksumSize);  // incomplete packet
}

// --- A plain scan, byte by byte, to compare with -----------------------------

struct Found {
  std::size_t start;
  std::uint8_t set;
  std::uint8_t length;
};

// What framing tells its observer: each good packet's set and size, and the
// failed checksums.
class Heard final : public vorn::FrameObserver {
 public:
  std::vector<std::pair<std::uint8_t, std::size_t>> packets;
  std::size_t bad_checksums = 0;
  void good_packet(std::uint8_t set, std::size_t size) override { packets.emplace_back(set, size); }
  void bad_checksum() override { ++bad_checksums; }
  void wrong_length(std::string_view) override {}
};

// Good packets in stream order, where the scan stopped, and how many complete
// candidates failed their checksum.
std::vector<Found> plain_scan(std::span<const std::uint8_t> s, std::size_t& stopped, std::size_t& rejected) {
  std::vector<Found> found;
  rejected = 0;
  std::size_t p = 0;
  const std::size_t n = s.size();
  while (p < n) {
    if (s[p] != 0x75) {
      ++p;
      continue;
    }
    if (p + 1 >= n) break;
    if (s[p + 1] != 0x65) {
      ++p;
      continue;
    }
    if (p + 4 > n) break;
    const std::size_t len = s[p + 3];
    if (p + len + 6 > n) break;
    unsigned s1 = 0, s2 = 0;
    for (std::size_t i = p; i < p + 4 + len; ++i) {
      s1 = (s1 + s[i]) & 0xFF;
      s2 = (s2 + s1) & 0xFF;
    }
    if (s1 != s[p + 4 + len] || s2 != s[p + 5 + len]) {
      ++rejected;
      ++p;
      continue;
    }
    found.push_back({p, s[p + 2], static_cast<std::uint8_t>(len)});
    p += len + 6;
  }
  stopped = p;
  return found;
}

// The field table written out plainly: what a packet of `set` decodes to.
Plain reference_decode(std::uint8_t set, std::span<const std::uint8_t> payload) {
  Plain r;
  r.packet_type = set == vorn::kRawSet ? "raw" : "estimated";
  r.timestamp = stamp;
  std::string invalid;
  for (std::size_t q = 0; q < payload.size();) {
    const std::size_t len = payload[q];
    if (len < 2 || len > payload.size() - q) break;
    const std::uint8_t d = payload[q + 1];
    const std::span<const std::uint8_t> data = payload.subspan(q + 2, len - 2);
    q += len;
    auto f = [&](std::size_t i) {
      const std::uint32_t bits = std::uint32_t{data[4 * i]} << 24 | std::uint32_t{data[4 * i + 1]} << 16 |
                                 std::uint32_t{data[4 * i + 2]} << 8 | data[4 * i + 3];
      return std::bit_cast<float>(bits);
    };
    auto v3 = [&] { return vorn::Vector3{f(0), f(1), f(2)}; };
    auto q4 = [&] { return vorn::Quaternion{f(0), f(1), f(2), f(3)}; };
    if (set == vorn::kRawSet) {
      if (d == 0x04 && len == 14) r.scaled_accel = v3();
      if (d == 0x05 && len == 14) r.scaled_gyro = v3();
      if (d == 0x07 && len == 14) r.delta_theta = v3();
      if (d == 0x08 && len == 14) r.delta_vel = v3();
      if (d == 0x17 && len == 6) r.scaled_ambient_pressure = f(0);
      continue;
    }
    auto est = [&](std::uint8_t want, std::size_t want_len, const char* name) {
      if (d != want || len != want_len) return false;
      if ((data.back() & 1) == 0) invalid += (invalid.empty() ? "" : ",") + std::string(name);
      return true;
    };
    if (est(0x03, 20, "estOrientQuaternion")) r.est_orient_quaternion = q4();
    if (est(0x0D, 16, "estLinearAccel")) r.est_linear_accel = v3();
    if (est(0x0E, 16, "estAngularRate")) r.est_angular_rate = v3();
    if (est(0x12, 20, "estAttitudeUncertQuaternion")) r.est_attitude_uncert_quaternion = q4();
    if (est(0x13, 16, "estGravityVector")) r.est_gravity_vector = v3();
    if (est(0x1C, 16, "estCompensatedAccel")) r.est_compensated_accel = v3();
    if (est(0x21, 8, "estPressureAlt")) r.est_pressure_alt = f(0);
  }
  if (!invalid.empty()) r.invalid_fields = std::move(invalid);
  return r;
}

bool decoded_set(std::uint8_t set) { return set == vorn::kRawSet || set == vorn::kEstimatedSet; }

// The records of the good packets found, decoded by the table above; the
// other sets must yield nothing from the real decoder.
std::vector<Plain> decode_found(std::span<const std::uint8_t> s, const std::vector<Found>& found) {
  std::vector<Plain> out;
  for (const Found& f : found) {
    const std::span<const std::uint8_t> payload = s.subspan(f.start + 4, f.length);
    if (decoded_set(f.set)) {
      out.push_back(reference_decode(f.set, payload));
    } else {
      CHECK(!vorn::decode_packet(f.set, payload, stamp).has_value());
    }
  }
  return out;
}

// Writes the right checksum into every candidate packet, front to back.
void repair_checksums(Bytes& s) {
  std::size_t p = 0;
  while (p + 4 <= s.size()) {
    const std::size_t len = s[p + 3];
    if (s[p] != 0x75 || s[p + 1] != 0x65 || p + len + 6 > s.size()) {
      ++p;
      continue;
    }
    unsigned s1 = 0, s2 = 0;
    for (std::size_t i = p; i < p + 4 + len; ++i) {
      s1 = (s1 + s[i]) & 0xFF;
      s2 = (s2 + s1) & 0xFF;
    }
    s[p + 4 + len] = static_cast<std::uint8_t>(s1);
    s[p + 5 + len] = static_cast<std::uint8_t>(s2);
    p += len + 6;
  }
}

std::size_t read_length(std::uint8_t code) {
  // Mostly short reads, which cut packets often; now and then long ones.
  return code < 0xE0 ? code + 1u : (code - 0xDFu) * 128u;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t cuts = data[0] & 0x0F;
  const std::size_t limit = (data[0] >> 4) & 0x07;
  const bool repair = (data[0] & 0x80) != 0;
  if (size < 1 + cuts) return 0;
  stamp = size % 2 == 0 ? kClockStamp : kWideStamp;
  const std::span<const std::uint8_t> cut_codes(data + 1, cuts);
  Bytes owned(data + 1 + cuts, data + size);
  if (repair) repair_checksums(owned);
  const std::span<const std::uint8_t> stream(owned);

  // The checksum, whatever its inner blocking, against the plain sums: over
  // the whole stream and over a few stretches at every alignment.
  for (std::size_t k = 0; k <= std::min<std::size_t>(stream.size(), 24); ++k) {
    const std::size_t from = k == 0 ? 0 : (k * 37) % stream.size();
    const std::size_t n = k == 0 ? stream.size() : std::min<std::size_t>(stream.size() - from, 1 + stream[from] + k);
    unsigned s1 = 0, s2 = 0;
    for (std::size_t i = from; i < from + n; ++i) {
      s1 = (s1 + stream[i]) & 0xFF;
      s2 = (s2 + s1) & 0xFF;
    }
    CHECK(vorn::fletcher_sums(stream.data() + from, n) == ((s2 << 8) | s1));
  }

  // The whole stream at once.
  Bytes whole(stream.begin(), stream.end());
  Collect at_once;
  CHECK(vorn::process_buffer(whole, at_once, fixed_clock) == vorn::FrameStatus::Done);
  check_leftover(whole, Bytes(stream.begin(), stream.end()));
  for (const IMUPacket& r : at_once.records) check_record(r);

  // The same records as a plain scan finds, and the same stopping point.
  std::size_t stopped = 0;
  std::size_t rejected = 0;
  const std::vector<Found> found = plain_scan(stream, stopped, rejected);
  const std::vector<Plain> plain = decode_found(stream, found);
  check_same(at_once.records, plain, plain.size());
  CHECK(whole.size() == stream.size() - stopped);

  // Read by read, as the reader thread does, told what framing passes over as
  // the tools' counts are.
  if (cuts > 0) {
    Bytes buffer;
    Bytes fed;
    Collect chunked;
    Heard heard;
    std::size_t pos = 0;
    for (std::size_t k = 0; pos < stream.size(); ++k) {
      const std::size_t n = std::min(read_length(cut_codes[k % cuts]), stream.size() - pos);
      buffer.insert(buffer.end(), stream.begin() + pos, stream.begin() + pos + n);
      fed.insert(fed.end(), stream.begin() + pos, stream.begin() + pos + n);
      pos += n;
      CHECK(vorn::process_buffer(buffer, chunked, fixed_clock, &heard) == vorn::FrameStatus::Done);
      check_leftover(buffer, fed);
    }
    check_same(chunked.records, at_once.records, at_once.records.size());
    CHECK(buffer == whole);
    CHECK(heard.packets.size() == found.size());
    for (std::size_t i = 0; i < found.size(); ++i) {
      CHECK(heard.packets[i].first == found[i].set && heard.packets[i].second == found[i].length + 6u);
    }
    CHECK(heard.bad_checksums == rejected);
  }

  if (limit > 0) {
    // A receiver that goes away after `limit` records: the buffer stays whole.
    Bytes buffer(stream.begin(), stream.end());
    Collect refusing(limit);
    const vorn::FrameStatus status = vorn::process_buffer(buffer, refusing, fixed_clock);
    if (at_once.records.size() > limit) {
      CHECK(status == vorn::FrameStatus::Refused);
      CHECK(std::equal(buffer.begin(), buffer.end(), stream.begin(), stream.end()));
      check_same(refusing.records, at_once.records, limit);
    } else {
      CHECK(status == vorn::FrameStatus::Done);
      CHECK(buffer == whole);
      check_same(refusing.records, at_once.records, at_once.records.size());
    }

    // A clock that fails at the good packet after the first `limit` ones: the
    // buffer keeps that packet and all after it.
    buffer.assign(stream.begin(), stream.end());
    Collect stamped;
    clock_budget = limit;
    const vorn::FrameStatus clock_status = vorn::process_buffer(buffer, stamped, failing_clock);
    if (found.size() > limit) {
      CHECK(clock_status == vorn::FrameStatus::ClockBeforeEpoch);
      CHECK(buffer.size() == stream.size() - found[limit].start);
      const auto stamped_packets =
          static_cast<std::size_t>(std::count_if(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(limit),
                                                 [](const Found& f) { return decoded_set(f.set); }));
      check_same(stamped.records, plain, stamped_packets);
    } else {
      CHECK(clock_status == vorn::FrameStatus::Done);
      CHECK(buffer == whole);
      check_same(stamped.records, plain, plain.size());
    }
  }
  return 0;
}
