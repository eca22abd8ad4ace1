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

// Decodes the payload of a packet of the given descriptor set, stamped with
// `timestamp`. Returns a raw record for set 0x80, an estimated record for
// 0x82 and nothing for any other set. Malformed fields are skipped, never
// reported. The payload is read in place, not copied.
std::optional<IMUPacket> decode_packet(std::uint8_t descriptor_set,
                                       std::span<const std::uint8_t> payload,
                                       Timestamp timestamp);

// Accepts a field of set 0x82 exactly when data.size() == required_len; when
// it does and the field's valid bit (bit 0 of its last byte) is clear, appends
// `name` to `invalid`. Returns whether the field was accepted.
bool check_est_field(std::span<const std::uint8_t> data, std::size_t required_len, EstField name,
                     InvalidNames& invalid);

}  // namespace vorn
