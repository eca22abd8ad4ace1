// Framing: finds checksum-verified packets in the reader's accumulation
// buffer and sends each decoded record on. Runs on the reader thread only.
#pragma once

#include <cstdint>
#include <vector>

#include "clock.hpp"
#include "records.hpp"

namespace vorn {

inline constexpr std::uint8_t kSync1 = 0x75;
inline constexpr std::uint8_t kSync2 = 0x65;
inline constexpr std::size_t kHeaderSize = 4;
inline constexpr std::size_t kChecksumSize = 2;
inline constexpr std::size_t kMaxPacketSize = kHeaderSize + 255 + kChecksumSize;

// Where process_buffer sends records.
class PacketSender {
 public:
  virtual ~PacketSender() = default;
  // Takes the record (moving from it) and returns true, or returns false and
  // leaves it untouched when the receiving end is gone.
  virtual bool send(IMUPacket& packet) = 0;
};

enum class FrameStatus {
  Done,             // every complete packet was dealt with
  Refused,          // the sender refused a record; the buffer is as it was on entry
  ClockBeforeEpoch  // the host clock read earlier than the epoch; the buffer
                    // keeps the packet that could not be stamped and all after it
};

// Sends a record for every good packet of set 0x80 or 0x82 in `buffer`, in
// stream order, then removes the bytes dealt with from its front, leaving any
// incomplete packet (at most kMaxPacketSize - 1 bytes) for the next call.
FrameStatus process_buffer(std::vector<std::uint8_t>& buffer, PacketSender& sender,
                           WallClock clock = wall_clock_ns);

// Both running sums of the checksum over `bytes`: s1 in the low byte, s2 in
// the high byte.
std::uint16_t fletcher_sums(const std::uint8_t* bytes, std::size_t n);

}  // namespace vorn
