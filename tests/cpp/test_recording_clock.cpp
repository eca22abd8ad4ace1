// A recording's clock fed a piece at a time, in the caller's thread or on
// its own: the same times, in the recording's order, and none lost.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "recording_clock.hpp"

namespace {

constexpr std::int64_t kMs = 1'000'000;

// Two streams interleaved (raw every packet, filter every third), a read
// every ~16 ms, a stretch of bytes no read vouches for, and a lost packet.
struct Recording {
  std::vector<std::uint8_t> kinds;
  std::vector<std::int64_t> offsets;
  std::vector<std::uint32_t> lengths;
  std::vector<std::uint8_t> lost;
  std::vector<std::int64_t> ends, starts, monos, walls;

  vorn::RecordingReads reads() const { return {ends, starts, monos, walls}; }
  vorn::RecordingPackets piece(std::size_t from, std::size_t to) const {
    return {std::span(kinds).subspan(from, to - from), std::span(offsets).subspan(from, to - from),
            std::span(lengths).subspan(from, to - from), std::span(lost).subspan(from, to - from)};
  }
};

// filter_until: the filter packets stop there, the raw ones go on; from
// filter_back on, the filter packets are back.
Recording make(std::size_t packets, std::size_t filter_until = SIZE_MAX, std::size_t filter_back = SIZE_MAX) {
  Recording r;
  std::mt19937_64 rng(4);
  std::int64_t at = 0;
  for (std::size_t k = 0; k < packets; ++k) {
    if (k % 3 == 2 && k >= filter_until && k < filter_back) continue;
    r.kinds.push_back(k % 3 == 2 ? 1 : 0);
    r.lengths.push_back(k % 3 == 2 ? 90 : 48);
    r.offsets.push_back(at + (k == 5000 ? 30 : 0));  // bytes lost before packet 5000
    r.lost.push_back(k == 5000 ? 1 : 0);
    at = r.offsets.back() + r.lengths.back();
  }
  // 1.5 packets of bytes a millisecond on the line; a read every 16 ms or so.
  const double bytes_per_ns = 1.5 * 60 / 1e6;
  std::int64_t end = 0;
  for (std::int64_t t = 16 * kMs; end < at; t += 16 * kMs + static_cast<std::int64_t>(rng() % 200'000)) {
    const std::int64_t start = end;
    end = std::min<std::int64_t>(at, static_cast<std::int64_t>(static_cast<double>(t) * bytes_per_ns));
    if (end == start) continue;
    r.starts.push_back(r.ends.size() == 900 ? start + 500 : start);  // 500 bytes without a vouched read
    r.ends.push_back(end);
    r.monos.push_back(t + 100'000);
    r.walls.push_back(t + 100'000 + 1'700'000'000'000'000'000);
  }
  return r;
}

// Both streams throughout, and the filter stream stopping half-way: its last
// packets' times hold back the raw ones after them until the end.
class RecordingPieces : public ::testing::TestWithParam<std::size_t> {};

TEST_P(RecordingPieces, OnItsOwnThreadGiveTheWholeRecordingsTimes) {
  const Recording r = make(3 * vorn::OfflineClock::kCoarseHead / 2 + 7000, GetParam());
  std::array<vorn::ClockStats, 2> whole_stats;
  const auto whole = vorn::recover_recording(r.piece(0, r.kinds.size()), r.reads(), 921600, whole_stats);
  ASSERT_EQ(whole.size(), r.kinds.size());
  const auto untimed = std::count(whole.begin(), whole.end(), vorn::kUntimed);
  EXPECT_GT(untimed, 0);
  EXPECT_LT(untimed, 20);
  // The packets of the stretch without a time are samples the clock counts as missing.
  EXPECT_EQ(whole_stats[0].lost + whole_stats[1].lost, static_cast<std::size_t>(untimed));

  vorn::BackgroundRecordingClock background(r.reads(), 921600);
  std::vector<std::int64_t> pieces;
  std::mt19937_64 rng(9);
  for (std::size_t i = 0; i < r.kinds.size();) {
    const std::size_t k = std::min(r.kinds.size(), i + 1 + static_cast<std::size_t>(rng() % 5000));
    background.feed(r.piece(i, k), pieces);
    i = k;
  }
  background.finish(pieces);
  EXPECT_EQ(pieces, whole);
  EXPECT_EQ(background.stats()[0].rate_hz, whole_stats[0].rate_hz);
  EXPECT_EQ(background.stats()[1].packets, whole_stats[1].packets);

  // Given the reads a piece at a time too, each piece's before its packets.
  vorn::BackgroundRecordingClock given(921600);
  std::vector<std::int64_t> gradual;
  std::size_t added = 0;
  for (std::size_t i = 0; i < r.kinds.size();) {
    const std::size_t k = std::min(r.kinds.size(), i + 1 + static_cast<std::size_t>(rng() % 5000));
    const std::int64_t last = r.offsets[k - 1] + r.lengths[k - 1] - 1;
    std::size_t upto = added;
    while (upto < r.ends.size() && (upto == added || r.ends[upto - 1] <= last)) ++upto;
    const auto part = [&](const std::vector<std::int64_t>& v) { return std::span(v).subspan(added, upto - added); };
    given.add_reads({part(r.ends), part(r.starts), part(r.monos), part(r.walls)});
    added = upto;
    given.feed(r.piece(i, k), gradual);
    i = k;
  }
  given.finish(gradual);
  EXPECT_EQ(gradual, whole);
  EXPECT_EQ(given.stats()[1].rate_hz, whole_stats[1].rate_hz);
}

INSTANTIATE_TEST_SUITE_P(RecordingClock, RecordingPieces, ::testing::Values(SIZE_MAX, 50'000));

// A stream that stops (and one that comes back much later): fed a piece at a
// time, the other stream's packets are held no longer than the clocks'
// windows after the silence, not to the recording's end, and the times are
// those of the whole recording worked out with no horizon at all (a last
// read, past every packet, whose clock runs back turns it off).
TEST(RecordingClock, AStreamThatStopsHoldsTheOtherOnlyForItsWindows) {
  // The filter packets stop after 14 s; then 1,875 raw packets a second to 170 s.
  constexpr std::size_t kPackets = 450'000;
  for (const std::size_t back : {SIZE_MAX, std::size_t{300'000}}) {
    const Recording r = make(kPackets, 20'000, back);
    Recording plain = r;
    plain.starts.push_back(plain.ends.back() + 10);
    plain.ends.push_back(plain.ends.back() + 20);
    plain.monos.push_back(0);
    plain.walls.push_back(0);
    std::array<vorn::ClockStats, 2> whole_stats;
    const auto whole = vorn::recover_recording(plain.piece(0, plain.kinds.size()), plain.reads(), 921600, whole_stats);

    vorn::RecordingClock clock(921600);
    std::vector<std::int64_t> pieces;
    std::size_t most = 0;
    std::size_t added = 0;
    for (std::size_t i = 0; i < r.kinds.size(); i += 3000) {
      // The reads up to the piece's end, as the framing reaches them.
      const std::size_t k = std::min(r.kinds.size(), i + 3000);
      const std::int64_t last = r.offsets[k - 1] + r.lengths[k - 1] - 1;
      std::size_t upto = added;
      while (upto < r.ends.size() && (upto == added || r.ends[upto - 1] <= last)) ++upto;
      const auto part = [&](const std::vector<std::int64_t>& v) { return std::span(v).subspan(added, upto - added); };
      clock.add_reads({part(r.ends), part(r.starts), part(r.monos), part(r.walls)});
      added = upto;
      clock.feed(r.piece(i, k), pieces);
      most = std::max(most, clock.waiting());
    }
    // The stopped stream's last window (32 s), then its silence (32 s): about
    // 120,000 packets. Held to the end, those after the stop would be 290,000.
    EXPECT_LT(most, 130'000u) << "filter back at " << back;
    clock.finish(pieces);
    EXPECT_EQ(pieces, whole);
    const auto stats = clock.stats();
    EXPECT_EQ(stats[1].pauses, whole_stats[1].pauses);
    EXPECT_EQ(stats[1].pauses, back == SIZE_MAX ? 0u : 1u);
    EXPECT_EQ(stats[1].rate_hz, whole_stats[1].rate_hz);
    EXPECT_EQ(stats[0].jitter_p99_ns, whole_stats[0].jitter_p99_ns);
  }
}

TEST(RecordingClock, LeftUnfinishedItsThreadStops) {
  const Recording r = make(20000);
  for (std::size_t fed : {0, 1000, 20000}) {
    vorn::BackgroundRecordingClock clock(r.reads(), 921600);
    std::vector<std::int64_t> out;
    if (fed) clock.feed(r.piece(0, fed), out);
  }  // each destroyed mid-way: the test ends rather than hangs
}

}  // namespace
