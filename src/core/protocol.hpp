// Field decoding: the payload of one checksum-verified packet into a packet
// record. Pure functions: no I/O, no threads, no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "records.hpp"

namespace vorn {

inline constexpr std::uint8_t kRawSet = 0x80;
inline constexpr std::uint8_t kEstimatedSet = 0x82;

// Told about the listed fields that decoding skips for their length, for tools
// that report on a recording; the reader engine decodes without one.
class FieldObserver {
 public:
  virtual ~FieldObserver() = default;
  // `name` is the record field that the skipped field would have filled.
  virtual void wrong_length(std::string_view name) = 0;
};

// Decodes the payload of a packet of the given descriptor set, stamped with
// `timestamp`. Returns a raw record for set 0x80, an estimated record for
// 0x82 and nothing for any other set. Malformed fields are skipped, never
// reported, except to `observer` when one is given. The payload is read in
// place, not copied.
std::optional<IMUPacket> decode_packet(std::uint8_t descriptor_set, std::span<const std::uint8_t> payload,
                                       Timestamp timestamp, FieldObserver* observer = nullptr);

// Accepts a field of set 0x82 exactly when data.size() == required_len; when
// it does and the field's valid bit (bit 0 of its last byte) is clear, appends
// `name` to `invalid`. Returns whether the field was accepted.
bool check_est_field(std::span<const std::uint8_t> data, std::size_t required_len, EstField name,
                     InvalidNames& invalid);

}  // namespace vorn
