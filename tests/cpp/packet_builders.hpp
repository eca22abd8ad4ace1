// Builders for wire bytes in tests: fields, whole packets with their
// checksum, hex literals, and packet sinks that record or refuse.
#pragma once

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "framing.hpp"
#include "records.hpp"

namespace vorn::test {

using Bytes = std::vector<std::uint8_t>;

// "75 65 80 00" (blanks optional) as bytes.
inline Bytes hex(std::string_view text) {
  Bytes out;
  int high = -1;
  for (char c : text) {
    int v;
    if (c >= '0' && c <= '9')
      v = c - '0';
    else if (c >= 'a' && c <= 'f')
      v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      v = c - 'A' + 10;
    else
      continue;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  return out;
}

inline void put_be32(Bytes& out, std::uint32_t bits) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(bits >> shift));
}

inline void put_float(Bytes& out, float value) { put_be32(out, std::bit_cast<std::uint32_t>(value)); }

// One field: its length byte (the whole field), descriptor and data.
inline Bytes field(std::uint8_t descriptor, const Bytes& data) {
  Bytes out{static_cast<std::uint8_t>(data.size() + 2), descriptor};
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

// A sensor field: big-endian floats, no flags.
inline Bytes raw_field(std::uint8_t descriptor, std::initializer_list<float> values) {
  Bytes data;
  for (float v : values) put_float(data, v);
  return field(descriptor, data);
}

// A filter field: big-endian floats then the 16-bit valid-flags word.
inline Bytes est_field(std::uint8_t descriptor, std::initializer_list<float> values, std::uint16_t flags) {
  Bytes data;
  for (float v : values) put_float(data, v);
  data.push_back(static_cast<std::uint8_t>(flags >> 8));
  data.push_back(static_cast<std::uint8_t>(flags));
  return field(descriptor, data);
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// Both running sums, written out plainly and wrapping at `modulus` (256 on
// the wire; 255 to build a wrongly summed packet).
inline std::pair<std::uint8_t, std::uint8_t> reference_sums(std::span<const std::uint8_t> bytes,
                                                            unsigned modulus = 256) {
  unsigned s1 = 0, s2 = 0;
  for (std::uint8_t b : bytes) {
    s1 = (s1 + b) % modulus;
    s2 = (s2 + s1) % modulus;
  }
  return {static_cast<std::uint8_t>(s1), static_cast<std::uint8_t>(s2)};
}

// A whole packet: sync pair, set, length, payload and checksum.
inline Bytes packet(std::uint8_t set, const Bytes& payload, unsigned modulus = 256) {
  Bytes out{kSync1, kSync2, set, static_cast<std::uint8_t>(payload.size())};
  out.insert(out.end(), payload.begin(), payload.end());
  auto [s1, s2] = reference_sums(out, modulus);
  out.push_back(s1);
  out.push_back(s2);
  return out;
}

inline std::uint32_t bits_of(float f) { return std::bit_cast<std::uint32_t>(f); }

inline constexpr Timestamp kFixedStamp = 1733490000123456789ull;
inline std::optional<Timestamp> fixed_clock() { return kFixedStamp; }
inline std::optional<Timestamp> clock_before_epoch() { return std::nullopt; }

// Keeps every record it is sent; refuses once `accept_limit` records are kept.
class RecordingSender final : public PacketSender {
 public:
  explicit RecordingSender(std::size_t accept_limit = SIZE_MAX) : accept_limit_(accept_limit) {}
  bool send(IMUPacket& packet) override {
    ++attempts;
    if (records.size() >= accept_limit_) return false;
    records.push_back(std::move(packet));
    return true;
  }
  std::vector<IMUPacket> records;
  std::size_t attempts = 0;

 private:
  std::size_t accept_limit_;
};

}  // namespace vorn::test
