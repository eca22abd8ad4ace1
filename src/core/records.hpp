// The record that carries one decoded packet from the decoder through the
// packet channel into a Python object. It is tagged by kind (raw, from set
// 0x80, or estimated, from set 0x82) and holds only that kind's values, so
// both kinds share one small block: a backlog of records, and every packet
// a user keeps, costs 96 bytes rather than a slot for all fifteen fields.
//
// Records are moved from holder to holder, never copied, so that exactly one
// holder owns a record at any time. Nothing in a record is shared.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "fields.hpp"

namespace vorn {

// Nanoseconds since the Unix epoch of the host's wall clock. (__extension__
// keeps -Wpedantic quiet about the GCC/Clang 128-bit type.)
__extension__ typedef unsigned __int128 Timestamp;
using Vector3 = std::array<float, 3>;
using Quaternion = std::array<float, 4>;

// "estOrientQuaternion", "estLinearAccel", ...
std::string_view invalid_name(EstField field);

// The names of flagged fields in wire order, repeats kept, as 3-bit codes, the
// first in the lowest bits. The shortest field that can be flagged takes 8
// bytes, so a payload of at most 255 bytes flags at most 31: 93 bits.
class InvalidNames {
 public:
  static constexpr std::size_t kCapacity = 31;
  static constexpr unsigned kCodeBits = 3;

  // Appends a name; false (and nothing changed) when the list is full, which
  // no payload can make happen.
  bool push_back(EstField field) {
    if (count_ == kCapacity) return false;
    codes_ |= static_cast<Codes>(field) << (kCodeBits * count_++);
    return true;
  }
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  EstField operator[](std::size_t i) const { return static_cast<EstField>((codes_ >> (kCodeBits * i)) & 7u); }

  // The names joined with "," into `out`.
  void append_joined(std::string& out) const;

  // The whole list as one code word, and back: the count needs no room of
  // its own because no code is 0.
  __extension__ typedef unsigned __int128 Codes;
  Codes codes() const { return codes_; }
  static InvalidNames from_codes(Codes codes);

  friend bool operator==(const InvalidNames&, const InvalidNames&) = default;

 private:
  Codes codes_ = 0;
  std::uint8_t count_ = 0;
};

// One decoded packet, the record that leaves the wire protocol: its kind
// ("raw" or "estimated"), its timestamp, its invalid list and the values of
// its kind; the other kind's values read as absent.
//
// Layout (96 bytes): the values, one word of kind, presence bits and a short
// invalid list, and one word that is the timestamp. A timestamp beyond 64 bits
// or a list of more than seven names moves both into a small extension block
// that the record owns; no real clock or unit produces either, so realistic
// records allocate nothing.
class IMUPacket {
 public:
  // A raw record stamped 0 without values.
  IMUPacket() : IMUPacket(PacketKind::Raw, 0) {}
  IMUPacket(PacketKind kind, Timestamp timestamp) {
    header_.estimated = kind == PacketKind::Estimated;
    if (timestamp <= std::numeric_limits<std::uint64_t>::max()) [[likely]] {
      stamp_ = static_cast<std::uint64_t>(timestamp);
    } else {
      extend(timestamp);
    }
  }
  IMUPacket(IMUPacket&& other) noexcept : values_(other.values_), header_(other.header_), stamp_(other.stamp_) {
    other.header_.extended = 0;
  }
  IMUPacket& operator=(IMUPacket&& other) noexcept;
  IMUPacket(const IMUPacket&) = delete;
  IMUPacket& operator=(const IMUPacket&) = delete;
  ~IMUPacket() {
    if (header_.extended) delete extension_;
  }

  PacketKind kind() const { return header_.estimated ? PacketKind::Estimated : PacketKind::Raw; }
  // "raw" or "estimated".
  std::string_view packet_type() const { return packet_type_of(kind()); }
  Timestamp timestamp() const { return header_.extended ? extension_->timestamp : stamp_; }

  InvalidNames invalid_names() const {
    return header_.extended ? extension_->invalid : InvalidNames::from_codes(header_.invalid);
  }
  // The flagged names joined with ","; nothing when none was flagged.
  std::optional<std::string> invalid_fields() const;
  // Replaces the invalid list.
  void set_invalid_names(const InvalidNames& names);

  // Whether the slot's value is present: it belongs to this record's kind and
  // was set.
  template <std::size_t N>
  bool has(Slot<N> s) const {
    return s.kind == kind() && ((header_.present >> s.bit) & 1u);
  }
  template <std::size_t N>
  std::optional<SlotValue<N>> get(Slot<N> s) const {
    if (!has(s)) return std::nullopt;
    SlotValue<N> value;
    std::memcpy(&value, &values_[s.offset], sizeof value);
    return value;
  }
  // Stores a value of this record's kind, all bits kept, and marks it present.
  template <std::size_t N>
  void set(Slot<N> s, const SlotValue<N>& value) {
    std::memcpy(&values_[s.offset], &value, sizeof value);
    header_.present |= 1u << s.bit;
  }

 private:
  static constexpr unsigned kInlineNames = 7;  // fits the 21 bits of Header::invalid

  struct Extension {
    Timestamp timestamp;
    InvalidNames invalid;
  };
  struct Header {
    std::uint32_t estimated : 1;  // the kind
    std::uint32_t present : 7;    // bit Slot::bit for each value of the kind that is present
    std::uint32_t extended : 1;   // extension_, not stamp_, is live
    std::uint32_t invalid : 21;   // the invalid list's codes while not extended
  };
  static_assert(std::ranges::all_of(kFields, [](const Field& f) { return f.bit < 7; }));

  // Moves the timestamp and the invalid list into a new extension block.
  void extend(Timestamp timestamp);

  std::array<float, kValueFloats> values_{};
  Header header_{};
  union {
    std::uint64_t stamp_;
    Extension* extension_;
  };
};

}  // namespace vorn
