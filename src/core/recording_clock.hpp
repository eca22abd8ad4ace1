// The sample clock of a whole recording, from where its packets lie in the
// byte stream and when the reads that brought them returned.
//
// A read covers the stream's bytes [start, end) and returned at `mono`
// (monotonic ns; `wall` on the wall clock). A packet's evidence is the read
// holding its first bytes (and how many) and the read completing it; a packet
// whose last byte no read covers has no time (kUntimed), and the packet after
// such a stretch counts as one after lost bytes, so that the clock numbers
// samples across it by time rather than by count.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "sample_clock.hpp"

namespace vorn {

inline constexpr std::int64_t kUntimed = -1;

struct RecordingReads {
  std::span<const std::int64_t> ends;    // rising
  std::span<const std::int64_t> starts;  // where each begins: the end before, unless a gap lies between
  std::span<const std::int64_t> monos;
  std::span<const std::int64_t> walls;
};

struct RecordingPackets {
  std::span<const std::uint8_t> kinds;     // 0 raw, 1 estimated
  std::span<const std::int64_t> offsets;   // rising
  std::span<const std::uint32_t> lengths;  // bytes
  std::span<const std::uint8_t> lost;      // bytes were lost just before it
};

// Each packet's sample time on the wall clock (ns, stream order), kUntimed
// where no read completed it, and each stream's figures (raw, estimated).
// The streams are worked out side by side.
std::vector<std::int64_t> recover_recording(const RecordingPackets& packets, const RecordingReads& reads, double baud,
                                            std::array<ClockStats, 2>& stats);

}  // namespace vorn
