// Storms of start, stop, drain and destruction against a reader that is busy
// reading. Meant to run under ThreadSanitizer as well as plainly: each storm
// checks that nothing is lost or duplicated, and that the source is never
// read by two threads at once nor destroyed under a read.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "packet_builders.hpp"
#include "parser.hpp"
#include "protocol.hpp"

namespace vorn {
namespace {

using test::Bytes;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr char kFeedFailure[] = "feed failure";

// What a feed did, watched by the test while the reader thread runs it.
struct FeedStats {
  std::atomic<std::uint64_t> reads{0};
  std::atomic<std::uint64_t> failures{0};
  std::atomic<std::uint32_t> whole_packets{0};  // packets whose last byte was served
  std::atomic<int> in_read{0};
  std::atomic<bool> overlapped{false};
  std::atomic<bool> destroyed{false};
  std::atomic<bool> destroyed_mid_read{false};
};

struct FeedPlan {
  bool cut = false;             // reads end at random bytes, not only between packets
  std::uint32_t budget = 4000;  // packets, then end of stream
  unsigned fail_every = 0;      // every n-th read fails (0: never)
  unsigned seed = 1;
  bool never_waits = false;  // says so, as a regular file does: records are announced in bulk
};

// A raw packet that carries its number as its first value.
Bytes numbered(std::uint32_t n) { return test::packet(kRawSet, test::raw_field(0x04, {static_cast<float>(n), 0, 0})); }

std::uint32_t number_of(const IMUPacket& r) { return static_cast<std::uint32_t>((*r.get(slot_of<"scaled_accel">))[0]); }

// Numbered packets, back to back, in reads of varying size, with now and
// then a pause that lets the owner's thread get in between.
class Feed final : public ByteSource {
 public:
  Feed(FeedPlan plan, std::shared_ptr<FeedStats> stats) : plan_(plan), stats_(std::move(stats)), rng_(plan.seed) {}
  ~Feed() override {
    stats_->destroyed_mid_read.store(stats_->in_read.load() != 0);
    stats_->destroyed.store(true);
  }

  bool reads_may_wait() const override { return !plan_.never_waits; }

  Result<std::size_t> read(std::span<std::uint8_t> window, const StopSignal&) override {
    if (stats_->in_read.fetch_add(1) != 0) stats_->overlapped.store(true);
    Result<std::size_t> got = serve(window);
    stats_->in_read.fetch_sub(1);
    return got;
  }

 private:
  Result<std::size_t> serve(std::span<std::uint8_t> window) {
    const std::uint64_t nth = stats_->reads.fetch_add(1) + 1;
    switch (rng_() % 16) {
      case 0:
        std::this_thread::sleep_for(50us);
        break;
      case 1:
        std::this_thread::yield();
        break;
      default:
        break;
    }
    if (plan_.fail_every && nth % plan_.fail_every == 0) {
      stats_->failures.fetch_add(1);
      return Failure::os(kFeedFailure);
    }
    // Whole reads hand out 1 to 4 packets; cut ones any number of bytes.
    std::size_t want = plan_.cut ? 1 + rng_() % window.size() : 0;
    std::size_t packets = plan_.cut ? SIZE_MAX : 1 + rng_() % 4;
    std::size_t n = 0;
    while (n < window.size() && packets > 0) {
      if (pending_.empty()) {
        if (next_ == plan_.budget) break;
        pending_ = numbered(next_++);
        at_ = 0;
      }
      std::size_t take = std::min(pending_.size() - at_, window.size() - n);
      if (plan_.cut) take = std::min(take, want - n);
      std::copy_n(pending_.begin() + static_cast<std::ptrdiff_t>(at_), take,
                  window.begin() + static_cast<std::ptrdiff_t>(n));
      n += take;
      at_ += take;
      if (at_ == pending_.size()) {
        pending_.clear();
        stats_->whole_packets.fetch_add(1);
        --packets;
      }
      if (plan_.cut && n == want) break;
    }
    return n;
  }

  FeedPlan plan_;
  std::shared_ptr<FeedStats> stats_;
  std::mt19937 rng_;
  std::uint32_t next_ = 0;
  Bytes pending_;
  std::size_t at_ = 0;
};

VornParser parser_over(FeedPlan plan, const std::shared_ptr<FeedStats>& stats) {
  return VornParser(std::make_unique<Feed>(plan, stats));
}

void collect(std::vector<IMUPacket> records, std::vector<std::uint32_t>& out) {
  for (const IMUPacket& r : records) {
    ASSERT_TRUE(r.get(slot_of<"scaled_accel">).has_value());
    out.push_back(number_of(r));
  }
}

// Waits up to `limit` for the reader to stop by itself.
bool ends_within(const VornParser& parser, Clock::duration limit) {
  const auto until = Clock::now() + limit;
  while (parser.is_running()) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

struct StormResult {
  std::vector<std::uint32_t> drained;
  std::uint64_t texts = 0;  // read-failure texts taken
  std::uint64_t runs = 0;   // reader runs started
};

// The owner's side: `ops` random calls on a parser whose reader is busy, then
// a final stop, a last run to the end of the feed and a last drain.
StormResult storm(VornParser& parser, unsigned seed, int ops) {
  StormResult result;
  std::mt19937 rng(seed);
  auto take_texts = [&] {
    while (std::optional<std::string> text = parser.take_error()) {
      EXPECT_EQ(*text, kFeedFailure);
      ++result.texts;
    }
  };
  for (int i = 0; i < ops; ++i) {
    switch (rng() % 8) {
      case 0:
      case 1:
        if (Result<bool> started = parser.start(); started.ok() && started.value()) ++result.runs;
        break;
      case 2:
      case 3:
        parser.stop();
        break;
      case 4: {
        Result<std::vector<IMUPacket>> got = parser.get_packets(WaitTime{0, 200'000});
        if (got)
          collect(std::move(got).value(), result.drained);
        else
          EXPECT_EQ(got.error().message, kTimedOutText);
        break;
      }
      case 5:
        take_texts();
        break;
      case 6:
        (void)parser.is_running();
        std::this_thread::yield();
        break;
      default:
        collect(parser.drain(), result.drained);
        break;
    }
  }
  // Whatever the storm left: run on to the end of the feed, restarting
  // after each failure, and drain the rest.
  for (int round = 0; round < 10'000; ++round) {
    parser.stop();
    take_texts();
    if (!parser.start().value()) break;
    ++result.runs;
    EXPECT_TRUE(ends_within(parser, 20s)) << "the reader did not reach the end of the feed";
    parser.stop();
    collect(parser.drain(), result.drained);
    if (!parser.take_error()) break;  // ended at the end of the feed
    ++result.texts;
  }
  collect(parser.drain(), result.drained);
  return result;
}

// Every packet served arrives once, in order, and every failure leaves
// exactly one text; with `cut`, reads also end inside packets, and a packet
// that a stop or a failure split is completed by the next run.
void whole_storm(unsigned seed, unsigned fail_every, bool cut = false) {
  auto stats = std::make_shared<FeedStats>();
  StormResult result;
  {
    VornParser parser = parser_over({cut, 3000, fail_every, seed, seed % 2 == 0}, stats);
    result = storm(parser, seed, 400);
  }
  ASSERT_EQ(stats->whole_packets.load(), 3000u);
  ASSERT_EQ(result.drained.size(), 3000u);
  for (std::uint32_t i = 0; i < result.drained.size(); ++i) {
    ASSERT_EQ(result.drained[i], i) << "lost, duplicated or out of order";
  }
  EXPECT_EQ(result.texts, stats->failures.load());
  EXPECT_FALSE(stats->overlapped.load());
  EXPECT_TRUE(stats->destroyed.load());
  EXPECT_FALSE(stats->destroyed_mid_read.load());
}

TEST(EngineRaces, StartStopDrainStormLosesNothing) {
  whole_storm(1, 0);
  whole_storm(2, 7);
}

TEST(EngineRaces, StormWithCutReadsLosesNothing) {
  whole_storm(3, 0, true);
  whole_storm(4, 5, true);
}

// Parsers share nothing: storms on several threads at once, each on its own.
TEST(EngineRaces, StormsOnManyOwnersAtOnce) {
  std::vector<std::thread> owners;
  for (unsigned i = 0; i < 4; ++i) owners.emplace_back([i] { whole_storm(10 + i, i % 2 ? 9 : 0); });
  for (auto& t : owners) t.join();
}

// Destruction in every state and at any moment of a read: the reader is
// joined before the source goes, and queued records go with the parser.
TEST(EngineRaces, DestructionAtAnyMoment) {
  std::mt19937 rng(5);
  for (int i = 0; i < 150; ++i) {
    auto stats = std::make_shared<FeedStats>();
    {
      VornParser parser = parser_over({i % 2 == 1, 1'000'000, i % 3 == 0 ? 11u : 0u, static_cast<unsigned>(i)}, stats);
      switch (i % 5) {
        case 0:
          break;  // never started
        case 1:
          parser.start();
          parser.stop();
          break;
        case 2:
          parser.start();
          break;
        default:
          parser.start();
          std::this_thread::sleep_for(std::chrono::microseconds(rng() % 300));
          if (rng() % 2) (void)parser.drain();
          break;
      }
    }
    ASSERT_TRUE(stats->destroyed.load());
    ASSERT_FALSE(stats->destroyed_mid_read.load());
    ASSERT_FALSE(stats->overlapped.load());
  }
}

// Parsers are moved (out of the result that made them, into their Python
// object); a move while the reader runs must leave the moved-from parser
// harmless to destroy and the reader with the moved-to one.
TEST(EngineRaces, MovingARunningParserKeepsItsReader) {
  auto stats = std::make_shared<FeedStats>();
  std::optional<VornParser> moved;
  {
    VornParser parser = parser_over({false, 2000, 0, 6}, stats);
    parser.start();
    moved.emplace(std::move(parser));
  }
  ASSERT_TRUE(ends_within(*moved, 20s));
  moved->stop();
  std::vector<std::uint32_t> drained;
  collect(moved->drain(), drained);
  EXPECT_EQ(drained.size(), 2000u);
  moved.reset();
  EXPECT_TRUE(stats->destroyed.load());
  EXPECT_FALSE(stats->destroyed_mid_read.load());
}

// A waiting drain while the reader ends by itself: it returns what arrived,
// or times out after its full wait (the parser's own sending ends keep the
// channel open, so the reader's end never wakes it early), and never hangs.
TEST(EngineRaces, WaitingDrainWhileTheReaderEnds) {
  for (std::uint32_t budget : {0u, 1u, 50u, 1000u}) {
    auto stats = std::make_shared<FeedStats>();
    VornParser parser = parser_over({false, budget, 0, budget, budget % 2 == 0}, stats);
    parser.start();
    std::vector<std::uint32_t> drained;
    for (int i = 0; i < 3; ++i) {
      const auto before = Clock::now();
      Result<std::vector<IMUPacket>> got = parser.get_packets(WaitTime{0, 50'000'000});
      const auto waited = Clock::now() - before;
      EXPECT_LT(waited, 5s);
      if (got) {
        EXPECT_FALSE(got.value().empty());
        collect(std::move(got).value(), drained);
      } else {
        EXPECT_EQ(got.error().message, kTimedOutText);
        EXPECT_GE(waited, 50ms);
      }
    }
    ASSERT_TRUE(ends_within(parser, 20s));
    collect(parser.drain(), drained);
    EXPECT_EQ(drained.size(), budget);
  }
}

// Serves `first` in one read, then holds its next read (as a quiet line or an
// idle pipe does) until let go or its patience runs out, then ends.
class HoldingSource final : public ByteSource {
 public:
  struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    void release() {
      std::lock_guard lock(mutex);
      open = true;
      changed.notify_all();
    }
  };
  HoldingSource(Bytes first, std::shared_ptr<Gate> gate) : first_(std::move(first)), gate_(std::move(gate)) {}
  Result<std::size_t> read(std::span<std::uint8_t> window, const StopSignal&) override {
    if (!first_.empty()) {
      const std::size_t n = std::min(window.size(), first_.size());
      std::copy_n(first_.begin(), n, window.begin());
      first_.erase(first_.begin(), first_.begin() + static_cast<std::ptrdiff_t>(n));
      return n;
    }
    std::unique_lock lock(gate_->mutex);
    gate_->changed.wait_for(lock, 20s, [&] { return gate_->open; });
    return std::size_t{0};
  }

 private:
  Bytes first_;
  std::shared_ptr<Gate> gate_;
};

// The records of a read are announced to a waiting drain before the reader
// blocks in its next read, whether or not that read filled its whole window.
TEST(EngineRaces, WaitingDrainWakesBeforeTheReaderBlocksAgain) {
  for (std::size_t packets : {1u, 7u, 8u, 16u}) {  // 256-byte packets: 8 fill a window
    Bytes first;
    for (std::uint32_t i = 0; i < packets; ++i) {
      Bytes pk = test::packet(kRawSet, test::concat({test::raw_field(0x04, {static_cast<float>(i), 0, 0}),
                                                     test::field(0x7F, Bytes(234, 0))}));
      ASSERT_EQ(pk.size(), 256u);
      first.insert(first.end(), pk.begin(), pk.end());
    }
    auto gate = std::make_shared<HoldingSource::Gate>();
    VornParser parser(std::make_unique<HoldingSource>(std::move(first), gate));
    parser.start();
    std::vector<std::uint32_t> drained;
    const auto before = Clock::now();
    while (drained.size() < packets && Clock::now() - before < 10s) {
      Result<std::vector<IMUPacket>> got = parser.get_packets(WaitTime{5, 0});
      if (got) collect(std::move(got).value(), drained);
    }
    const auto waited = Clock::now() - before;
    gate->release();
    parser.stop();
    EXPECT_EQ(drained.size(), packets);
    EXPECT_LT(waited, 1s) << packets << " packets were queued but the waiting drain slept on";
  }
}

}  // namespace
}  // namespace vorn
