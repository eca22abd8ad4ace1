// Framing: finds checksum-verified packets in the reader's accumulation
// buffer and sends each decoded record on. Runs on the reader thread only.
#pragma once

#include <cstdint>
#include <vector>

#include "clock.hpp"
#include "protocol.hpp"
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

// Told what framing passes over, for tools that report on a recording; the
// reader engine frames without one.
class FrameObserver : public FieldObserver {
 public:
  // A packet whose checksum held, of any descriptor set, `size` bytes in all.
  virtual void good_packet(std::uint8_t descriptor_set, std::size_t size) = 0;
  // A complete candidate whose checksum failed; the scan goes on at its second byte.
  virtual void bad_checksum() = 0;
  // Where in the buffer the good packet just reported begins (for when its
  // bytes arrived); most observers need not know.
  virtual void packet_offset(std::size_t) {}
};

// Sends a record for every good packet of set 0x80 or 0x82 in `buffer`, in
// stream order, then removes the bytes dealt with from its front, leaving any
// incomplete packet (at most kMaxPacketSize - 1 bytes) for the next call.
// `observer`, when given, hears of every good packet, failed checksum and
// field skipped for its length.
FrameStatus process_buffer(std::vector<std::uint8_t>& buffer, PacketSender& sender, WallClock clock = wall_clock_ns,
                           FrameObserver* observer = nullptr);

// Both running sums of the checksum over `bytes`: s1 in the low byte, s2 in
// the high byte.
std::uint16_t fletcher_sums(const std::uint8_t* bytes, std::size_t n);

}  // namespace vorn
