// The reader engine over a scripted byte source that the test steers: what
// each read returns, and when a read may return at all. Every wait here has
// a limit, so a fault shows up as a failure rather than a hung test.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "packet_builders.hpp"
#include "parser.hpp"
#include "protocol.hpp"
#include "text_form.hpp"

namespace vorn {
namespace {

using test::Bytes;
using test::packet;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kPatience = 10s;

// Polls `done` until it holds or the limit passes; returns whether it held.
template <class Pred>
bool eventually(Pred done, Clock::duration limit = 5s) {
  const auto until = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// One answer of the scripted source.
struct Step {
  enum class Kind { Data, Fail, End };
  Kind kind = Kind::End;
  Bytes bytes;         // Data: served at most one window at a time
  std::string text;    // Fail: the failure's display text
  bool gated = false;  // the read holds its answer until the test releases it
};

Step data(Bytes bytes) { return {Step::Kind::Data, std::move(bytes), {}, false}; }
Step failure(std::string text) { return {Step::Kind::Fail, {}, std::move(text), false}; }
Step end_of_stream() { return {}; }
Step gated(Step step) {
  step.gated = true;
  return step;
}

// What the source answers and what it saw; shared between the test and the
// source, which may live on the reader thread or be gone already.
class Script {
 public:
  explicit Script(std::vector<Step> steps) : steps_(steps.begin(), steps.end()) {}

  Result<std::size_t> serve(std::span<std::uint8_t> window) {
    std::unique_lock lock(mutex_);
    ++reads_;
    max_in_read_ = std::max(max_in_read_, ++in_read_);
    readers_.insert(std::this_thread::get_id());
    if (window.size() != kReadChunk || std::any_of(window.begin(), window.end(), [](auto b) { return b != 0; })) {
      windows_ok_ = false;
    }
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    if (!sigismember(&mask, SIGINT) || !sigismember(&mask, SIGTERM)) signals_blocked_ = false;

    Result<std::size_t> answer = std::size_t{0};  // out of steps: end of stream
    if (!steps_.empty()) {
      Step step = std::move(steps_.front());
      steps_.pop_front();
      if (step.gated) {
        blocked_ = true;
        changed_.notify_all();
        if (changed_.wait_for(lock, kPatience, [&] { return releases_ > 0; })) {
          --releases_;
        } else {
          gate_timed_out_ = true;
        }
        blocked_ = false;
      }
      if (step.kind == Step::Kind::Data) {
        const std::size_t n = std::min(window.size(), step.bytes.size());
        std::copy_n(step.bytes.begin(), n, window.begin());
        if (n < step.bytes.size()) {
          steps_.push_front(data(Bytes(step.bytes.begin() + static_cast<std::ptrdiff_t>(n), step.bytes.end())));
        }
        answer = n;
      } else if (step.kind == Step::Kind::Fail) {
        answer = Failure::os(step.text);
      }
    }
    events_.push_back("read returned");
    --in_read_;
    return answer;
  }

  void on_destroyed() {
    std::lock_guard lock(mutex_);
    destroyed_ = true;
    destroyed_mid_read_ = in_read_ > 0;
    events_.push_back("source destroyed");
  }

  // Lets one gated read give its answer.
  void release() {
    std::lock_guard lock(mutex_);
    ++releases_;
    changed_.notify_all();
  }
  // Whether a read is held at a gate, waiting up to the limit for one.
  bool wait_blocked() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return blocked_; });
  }
  void note(std::string event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
  }

  template <class F>
  auto look(F f) const {
    std::lock_guard lock(mutex_);
    return f(*this);
  }
  int reads() const {
    return look([](const Script& s) { return s.reads_; });
  }
  std::vector<std::string> events() const {
    return look([](const Script& s) { return s.events_; });
  }
  bool destroyed() const {
    return look([](const Script& s) { return s.destroyed_; });
  }
  std::size_t reader_threads() const {
    return look([](const Script& s) { return s.readers_.size(); });
  }

  // Checked once the reader is done.
  void expect_clean_reads() const {
    std::lock_guard lock(mutex_);
    EXPECT_EQ(max_in_read_, 1) << "reads overlapped";
    EXPECT_TRUE(windows_ok_) << "a read window was not 2048 zero bytes";
    EXPECT_TRUE(signals_blocked_) << "the reader thread takes signals";
    EXPECT_FALSE(gate_timed_out_) << "a gated read was never released";
    EXPECT_FALSE(destroyed_mid_read_) << "the source was destroyed during a read";
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Step> steps_;
  int releases_ = 0;
  bool blocked_ = false;
  int reads_ = 0;
  int in_read_ = 0;
  int max_in_read_ = 0;
  std::set<std::thread::id> readers_;
  bool windows_ok_ = true;
  bool signals_blocked_ = true;
  bool gate_timed_out_ = false;
  bool destroyed_ = false;
  bool destroyed_mid_read_ = false;
  std::vector<std::string> events_;
};

class ScriptedSource final : public ByteSource {
 public:
  explicit ScriptedSource(std::shared_ptr<Script> script) : script_(std::move(script)) {}
  ~ScriptedSource() override { script_->on_destroyed(); }
  Result<std::size_t> read(std::span<std::uint8_t> window, const StopSignal&) override {
    return script_->serve(window);
  }

 private:
  std::shared_ptr<Script> script_;
};

std::shared_ptr<Script> script(std::vector<Step> steps) { return std::make_shared<Script>(std::move(steps)); }
VornParser parser_over(const std::shared_ptr<Script>& s) { return VornParser(std::make_unique<ScriptedSource>(s)); }

// Releases the script's gate from another thread after `delay`.
std::thread release_later(const std::shared_ptr<Script>& s, Clock::duration delay) {
  return std::thread([s, delay] {
    std::this_thread::sleep_for(delay);
    s->note("released");
    s->release();
  });
}

// Index of `event` in `events` (the `nth` occurrence), or -1.
long position(const std::vector<std::string>& events, const std::string& event, int nth = 1) {
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (events[i] == event && --nth == 0) return static_cast<long>(i);
  }
  return -1;
}

// A raw packet that names itself by its first value.
Bytes numbered(float n) { return packet(kRawSet, test::raw_field(0x04, {n, 0, 0})); }

// Records as text, timestamps left out (the reader stamps with the real clock).
std::vector<std::string> texts(std::vector<IMUPacket> records) {
  std::vector<std::string> out;
  for (auto& r : records) {
    std::string text = text_form(r);
    const std::size_t from = text.find("timestamp=") + 10;
    out.push_back(text.replace(from, text.find(',', from) - from, "0"));
  }
  return out;
}

std::vector<std::string> expected_texts(const Bytes& stream) {
  Bytes buffer = stream;
  test::RecordingSender sender;
  process_buffer(buffer, sender, test::fixed_clock);
  return texts(std::move(sender.records));
}

// --- Reading runs -----------------------------------------------------------

// Packets of many sizes with noise between some, and where each one starts.
struct Stream {
  Bytes bytes;
  std::vector<std::size_t> starts;
};

Stream varied_stream(int count) {
  Stream s;
  for (int i = 0; i < count; ++i) {
    Bytes payload = test::raw_field(0x04, {static_cast<float>(i), 1, 2});
    for (int extra = 0; extra < i % 5; ++extra) {
      payload = test::concat({payload, test::raw_field(0x05, {3, 4, 5}), test::raw_field(0x17, {6})});
    }
    Bytes pk = i % 3 == 0
                   ? packet(kEstimatedSet, test::concat({test::est_field(0x03, {static_cast<float>(i), 0, 0, 1}, 0),
                                                         test::est_field(0x12, {0, 0, 0, 0}, 1)}))
                   : packet(kRawSet, payload);
    if (i % 7 == 0) s.bytes.insert(s.bytes.end(), {0x00, 0x75, 0x11});
    s.starts.push_back(s.bytes.size());
    s.bytes.insert(s.bytes.end(), pk.begin(), pk.end());
  }
  return s;
}

TEST(ReaderRun, PacketsAcrossReadWindowsArriveOnceInOrder) {
  const Stream stream = varied_stream(400);
  std::size_t straddling = 0;
  for (std::size_t i = 0; i + 1 < stream.starts.size(); ++i) {
    straddling += stream.starts[i] / kReadChunk != (stream.starts[i + 1] - 1) / kReadChunk;
  }
  ASSERT_GE(straddling, 5u);
  const auto expected = expected_texts(stream.bytes);
  ASSERT_EQ(expected.size(), 400u);

  // Whole windows from one long stream, then short reads of every size;
  // each ends with one read of end of stream.
  std::vector<Step> whole{data(stream.bytes), end_of_stream()};
  std::vector<Step> short_reads;
  std::mt19937 rng(11);
  for (std::size_t pos = 0; pos < stream.bytes.size();) {
    const std::size_t n = std::min<std::size_t>(1 + rng() % kReadChunk, stream.bytes.size() - pos);
    const auto from = stream.bytes.begin() + static_cast<std::ptrdiff_t>(pos);
    short_reads.push_back(data(Bytes(from, from + static_cast<std::ptrdiff_t>(n))));
    pos += n;
  }
  const int window_reads = static_cast<int>((stream.bytes.size() + kReadChunk - 1) / kReadChunk) + 1;
  const int short_read_count = static_cast<int>(short_reads.size()) + 1;

  for (auto [steps, reads] : {std::pair{whole, window_reads}, std::pair{short_reads, short_read_count}}) {
    auto s = script(std::move(steps));
    {
      VornParser parser = parser_over(s);
      ASSERT_TRUE(parser.start().value());
      ASSERT_TRUE(eventually([&] { return !parser.is_running(); }));
      EXPECT_EQ(parser.take_error(), std::nullopt);
      EXPECT_EQ(texts(parser.drain()), expected);
      EXPECT_TRUE(parser.drain().empty());
    }
    EXPECT_EQ(s->reads(), reads);
    s->expect_clean_reads();
    EXPECT_TRUE(s->destroyed());
  }
}

TEST(ReaderRun, ReaderThreadLeavesTheOwnersSignalMaskAlone) {
  sigset_t wanted, saved, after;
  sigemptyset(&wanted);
  sigaddset(&wanted, SIGINT);
  sigaddset(&wanted, SIGTERM);
  pthread_sigmask(SIG_UNBLOCK, &wanted, &saved);
  auto s = script({data(numbered(1))});
  VornParser parser = parser_over(s);
  ASSERT_TRUE(parser.start().value());
  pthread_sigmask(SIG_SETMASK, &saved, &after);
  EXPECT_FALSE(sigismember(&after, SIGINT));
  EXPECT_FALSE(sigismember(&after, SIGTERM));
  ASSERT_TRUE(eventually([&] { return !parser.is_running(); }));
  s->expect_clean_reads();  // while the reader itself takes none
}

TEST(ReaderRun, ReadFailureQueuesOneTextBehindTheRecords) {
  const Bytes third = numbered(3);
  const auto half = third.begin() + 9;
  auto s = script({data(numbered(1)), data(test::concat({numbered(2), Bytes(third.begin(), half)})),
                   data(Bytes(half, third.end())), failure("first failure"), failure("second failure")});
  VornParser parser = parser_over(s);
  ASSERT_TRUE(parser.start().value());
  ASSERT_TRUE(eventually([&] { return !parser.is_running(); }));

  EXPECT_EQ(s->reads(), 4);  // nothing is read after the failure
  Bytes all = test::concat({numbered(1), numbered(2), third});
  EXPECT_EQ(parser.take_error(), "first failure");
  EXPECT_EQ(parser.take_error(), std::nullopt);
  EXPECT_EQ(texts(parser.drain()), expected_texts(all));
  EXPECT_FALSE(parser.is_running());
  s->expect_clean_reads();
}

TEST(ReaderRun, EndOfStreamStopsQuietlyAndARestartReadsOn) {
  auto s = script({data(numbered(1)), end_of_stream(), failure("read by the second run"), data(numbered(2))});
  {
    VornParser parser = parser_over(s);
    ASSERT_TRUE(parser.start().value());
    ASSERT_TRUE(eventually([&] { return !parser.is_running(); }));
    EXPECT_EQ(parser.take_error(), std::nullopt);
    EXPECT_EQ(parser.drain().size(), 1u);

    // Ended by itself: start does nothing until stop takes the source back.
    EXPECT_FALSE(parser.start().value());
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(parser.is_running());
    EXPECT_EQ(s->reads(), 2);

    parser.stop();
    ASSERT_TRUE(parser.start().value());
    ASSERT_TRUE(eventually([&] { return !parser.is_running(); }));
    EXPECT_EQ(s->reads(), 3);
    EXPECT_EQ(parser.take_error(), "read by the second run");
    EXPECT_TRUE(parser.drain().empty());

    parser.stop();
    ASSERT_TRUE(parser.start().value());
    ASSERT_TRUE(eventually([&] { return !parser.is_running(); }));
    EXPECT_EQ(parser.drain().size(), 1u);
    EXPECT_EQ(s->reads(), 5);  // numbered(2), then out of script: end of stream
    EXPECT_FALSE(s->destroyed());
  }
  EXPECT_TRUE(s->destroyed());  // ended by itself, never stopped: still closed
  s->expect_clean_reads();
}

TEST(ReaderRun, StartTwiceKeepsOneReader) {
  auto s = script({gated(data(numbered(1))), data(numbered(2))});
  VornParser parser = parser_over(s);
  ASSERT_TRUE(parser.start().value());
  ASSERT_TRUE(s->wait_blocked());
  EXPECT_TRUE(parser.is_running());
  EXPECT_FALSE(parser.start().value());
  s->release();
  ASSERT_TRUE(eventually([&] { return !parser.is_running(); }));
  EXPECT_EQ(s->reads(), 3);
  EXPECT_EQ(s->reader_threads(), 1u);
  EXPECT_EQ(parser.drain().size(), 2u);
  s->expect_clean_reads();
}

TEST(ReaderRun, StopWithoutStartIsHarmless) {
  auto s = script({data(numbered(1))});
  {
    VornParser parser = parser_over(s);
    parser.stop();
    parser.stop();
    EXPECT_FALSE(parser.is_running());
    EXPECT_EQ(s->reads(), 0);
    EXPECT_FALSE(s->destroyed());

    ASSERT_TRUE(parser.start().value());  // the source is still there
    ASSERT_TRUE(eventually([&] { return !parser.is_running(); }));
    EXPECT_EQ(parser.drain().size(), 1u);
  }
  EXPECT_TRUE(s->destroyed());
}

TEST(ReaderRun, StopWaitsForTheReadInProgress) {
  auto s = script({data(numbered(1)), gated(data(numbered(2))), data(numbered(3))});
  VornParser parser = parser_over(s);
  ASSERT_TRUE(parser.start().value());
  ASSERT_TRUE(s->wait_blocked());
  EXPECT_TRUE(parser.is_running());

  const auto before = Clock::now();
  std::thread releaser = release_later(s, 200ms);
  parser.stop();
  s->note("stop returned");
  const auto waited = Clock::now() - before;
  releaser.join();

  const auto events = s->events();
  EXPECT_GE(waited, 200ms);
  EXPECT_LT(position(events, "released"), position(events, "read returned", 2));
  EXPECT_LT(position(events, "read returned", 2), position(events, "stop returned"));
  EXPECT_FALSE(parser.is_running());
  EXPECT_EQ(s->reads(), 2);  // the flag is seen before the next read
  // The chunk read before the stop was framed; its record stays queued.
  EXPECT_EQ(texts(parser.drain()), expected_texts(test::concat({numbered(1), numbered(2)})));

  ASSERT_TRUE(parser.start().value());
  ASSERT_TRUE(eventually([&] { return !parser.is_running(); }));
  EXPECT_EQ(texts(parser.drain()), expected_texts(numbered(3)));
  s->expect_clean_reads();
}

TEST(ReaderRun, FailureOfTheReadAStopWaitedForIsStillQueued) {
  auto s = script({gated(failure("late failure")), data(numbered(1))});
  VornParser parser = parser_over(s);
  ASSERT_TRUE(parser.start().value());
  ASSERT_TRUE(s->wait_blocked());
  std::thread releaser = release_later(s, 100ms);
  parser.stop();
  releaser.join();
  EXPECT_FALSE(parser.is_running());
  EXPECT_EQ(parser.take_error(), "late failure");
  EXPECT_EQ(parser.take_error(), std::nullopt);
  EXPECT_EQ(s->reads(), 1);
  s->expect_clean_reads();
}

TEST(ReaderRun, DestructionJoinsTheReaderBeforeTheSourceGoes) {
  auto s = script({data(numbered(1)), data(numbered(2)), gated(data(numbered(3))), data(numbered(4))});
  std::thread releaser;
  {
    VornParser parser = parser_over(s);
    ASSERT_TRUE(parser.start().value());
    ASSERT_TRUE(s->wait_blocked());
    releaser = release_later(s, 100ms);
    // Queued records go down with the parser, undrained.
  }
  s->note("parser gone");
  releaser.join();

  const auto events = s->events();
  EXPECT_LT(position(events, "released"), position(events, "read returned", 3));
  EXPECT_LT(position(events, "read returned", 3), position(events, "source destroyed"));
  EXPECT_LT(position(events, "source destroyed"), position(events, "parser gone"));
  EXPECT_EQ(s->reads(), 3);
  s->expect_clean_reads();
}

// --- Draining ----------------------------------------------------------------

constexpr WaitTime kTenthSecond{0, 100'000'000};
constexpr WaitTime kLongest{std::numeric_limits<std::uint64_t>::max(), 999'999'999};

TEST(GetPackets, IdleParserNeverBlocksOrTimesOut) {
  VornParser parser = parser_over(script({}));
  EXPECT_FALSE(parser.is_running());

  auto before = Clock::now();
  auto got = parser.get_packets(std::nullopt);
  ASSERT_TRUE(got);
  EXPECT_TRUE(got.value().empty());
  EXPECT_LT(Clock::now() - before, 1s);

  before = Clock::now();
  got = parser.get_packets(kTenthSecond);
  const auto waited = Clock::now() - before;
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().kind, Failure::Kind::Os);
  EXPECT_EQ(got.error().message, "timed out waiting on channel");
  EXPECT_GE(waited, 100ms);
  EXPECT_LT(waited, 5s);
}

TEST(GetPackets, QueuedRecordsComeAtOnceWhateverTheWait) {
  auto s = script({data(test::concat({numbered(1), numbered(2), numbered(3)})), end_of_stream(),
                   data(test::concat({numbered(4), numbered(5)})), end_of_stream(), failure("third run")});
  VornParser parser = parser_over(s);
  ASSERT_TRUE(parser.start().value());
  ASSERT_TRUE(eventually([&] { return !parser.is_running(); }));

  auto before = Clock::now();
  auto got = parser.get_packets(WaitTime{5, 0});
  ASSERT_TRUE(got);
  EXPECT_LT(Clock::now() - before, 1s);
  EXPECT_EQ(got.value().size(), 3u);
  EXPECT_FALSE(parser.get_packets(WaitTime{0, 10'000'000}));  // all taken

  // A deadline past the clock's range waits without one, and has no need to.
  EXPECT_EQ(deadline_after(kLongest), std::nullopt);
  parser.stop();
  ASSERT_TRUE(parser.start().value());
  ASSERT_TRUE(eventually([&] { return !parser.is_running(); }));
  before = Clock::now();
  got = parser.get_packets(kLongest);
  ASSERT_TRUE(got);
  EXPECT_LT(Clock::now() - before, 1s);
  EXPECT_EQ(texts(std::move(got).value()), expected_texts(test::concat({numbered(4), numbered(5)})));

  // A timed-out drain leaves a queued text where it is.
  parser.stop();
  ASSERT_TRUE(parser.start().value());
  ASSERT_TRUE(eventually([&] { return !parser.is_running(); }));
  EXPECT_FALSE(parser.get_packets(WaitTime{0, 1'000'000}));
  EXPECT_EQ(parser.take_error(), "third run");
}

TEST(GetPackets, WaitingDrainWakesForTheFirstRecord) {
  auto s = script({gated(data(test::concat({numbered(1), numbered(2)})))});
  VornParser parser = parser_over(s);
  ASSERT_TRUE(parser.start().value());
  ASSERT_TRUE(s->wait_blocked());
  const auto before = Clock::now();
  std::thread releaser = release_later(s, 100ms);
  auto got = parser.get_packets(WaitTime{5, 0});
  const auto waited = Clock::now() - before;
  releaser.join();
  ASSERT_TRUE(got);
  EXPECT_GE(got.value().size(), 1u);
  EXPECT_GE(waited, 100ms);
  EXPECT_LT(waited, 4s);
}

TEST(DeadlineAfter, OnlyWithinTheClocksRange) {
  const auto before = Clock::now();
  const auto soon = deadline_after(kTenthSecond);
  ASSERT_TRUE(soon);
  EXPECT_GE(*soon - before, 100ms);
  EXPECT_LT(*soon - before, 1100ms);

  constexpr std::uint64_t kCentury = 100ull * 365 * 24 * 3600;
  EXPECT_TRUE(deadline_after(WaitTime{kCentury, 999'999'999}));
  EXPECT_EQ(deadline_after(WaitTime{1'000'000'000'000, 0}), std::nullopt);  // ~31700 years
  EXPECT_EQ(deadline_after(WaitTime{std::numeric_limits<std::uint64_t>::max() / 1'000'000'000, 0}), std::nullopt);
  EXPECT_EQ(deadline_after(kLongest), std::nullopt);
}

// --- Seconds as a waiting time -----------------------------------------------

void expect_wait(double seconds, std::uint64_t secs, std::uint32_t nanos) {
  auto got = wait_time_from_seconds(seconds);
  ASSERT_TRUE(got) << seconds << ": " << got.error().message;
  EXPECT_EQ(got.value().secs, secs) << seconds;
  EXPECT_EQ(got.value().nanos, nanos) << seconds;
}

void expect_fatal(double seconds, const std::string& text) {
  auto got = wait_time_from_seconds(seconds);
  ASSERT_FALSE(got) << seconds;
  EXPECT_EQ(got.error().kind, Failure::Kind::Fatal) << seconds;
  EXPECT_EQ(got.error().message, text) << seconds;
}

TEST(WaitTimeFromSeconds, RoundsTheExactValueToTheNearestNanosecond) {
  expect_wait(0.1, 0, 100'000'000);
  expect_wait(1.5, 1, 500'000'000);
  expect_wait(0.0, 0, 0);
  expect_wait(-0.0, 0, 0);
  expect_wait(1e-10, 0, 0);
  expect_wait(std::numeric_limits<double>::denorm_min(), 0, 0);
  // Exact ties: k * 2^-10 s is k * 976562.5 ns.
  expect_wait(std::ldexp(1.0, -10), 0, 976'562);    // down to even
  expect_wait(std::ldexp(3.0, -10), 0, 2'929'688);  // up to even
  expect_wait(std::ldexp(5.0, -10), 0, 4'882'812);
  // The doubles nearest 0.5 ns and 1.5 ns are not ties: 5e-10 lies just
  // above half a nanosecond, 1.5e-9 just below 1.5 ns. Rounding the double
  // product seconds * 1e9 would get both wrong.
  expect_wait(5e-10, 0, 1);
  expect_wait(1.5e-9, 0, 1);
  // Rounding up carries into the seconds.
  expect_wait(std::nextafter(1.0, 0.0), 1, 0);
  expect_wait(123456.000000001, 123456, 1);
  // The largest double below 2^64 s: 2^64 - 2048.
  expect_wait(std::nextafter(std::ldexp(1.0, 64), 0.0), 18446744073709549568ull, 0);
}

TEST(WaitTimeFromSeconds, NegativeNanInfiniteAndTooBigAreFatal) {
  const std::string negative = "cannot convert float seconds to Duration: value is negative";
  const std::string too_big = "cannot convert float seconds to Duration: value is either too big or NaN";
  expect_fatal(-1.0, negative);
  expect_fatal(-std::numeric_limits<double>::denorm_min(), negative);
  expect_fatal(-std::numeric_limits<double>::infinity(), negative);
  expect_fatal(std::numeric_limits<double>::quiet_NaN(), too_big);
  expect_fatal(std::numeric_limits<double>::infinity(), too_big);
  expect_fatal(std::ldexp(1.0, 64), too_big);
  expect_fatal(1e300, too_big);
}

// --- Recorded files ---------------------------------------------------------

class NewMock : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "vorn_parser_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = std::filesystem::canonical(pattern).string();
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string write(const std::string& name, const Bytes& bytes) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  // Descriptors of this process open on `path`, with whether each is close-on-exec.
  static std::vector<bool> open_on(const std::string& path) {
    std::vector<bool> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      if (std::filesystem::read_symlink(entry.path(), ec) == path) {
        const int fd = std::stoi(entry.path().filename().string());
        found.push_back((fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0);
      }
    }
    return found;
  }

  std::string dir_;
};

TEST_F(NewMock, OpenFailuresCarryTheSystemText) {
  const std::string missing = dir_ + "/missing.bin";
  auto got = new_mock(missing);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().kind, Failure::Kind::Os);
  EXPECT_EQ(got.error().message.rfind("No such file or directory", 0), 0u) << got.error().message;
  EXPECT_TRUE(got.error().message.ends_with(" (os error 2)")) << got.error().message;
  struct stat st;
  EXPECT_NE(::stat(missing.c_str(), &st), 0);  // not created

  using std::string_literals::operator""s;
  auto nul = new_mock(dir_ + "/a\0b.bin"s);
  ASSERT_FALSE(nul);
  EXPECT_EQ(nul.error().kind, Failure::Kind::Os);
  EXPECT_EQ(nul.error().message, "file name contained an unexpected NUL byte");
}

TEST_F(NewMock, DirectoryOpensAndFailsAtTheFirstRead) {
  auto got = new_mock(dir_);
  ASSERT_TRUE(got) << got.error().message;
  VornParser& parser = got.value();
  ASSERT_TRUE(parser.start().value());
  ASSERT_TRUE(eventually([&] { return !parser.is_running(); }));
  EXPECT_EQ(parser.take_error(), "Is a directory (os error 21)");
  EXPECT_TRUE(parser.drain().empty());
}

TEST_F(NewMock, EmptyFileEndsAtTheFirstRead) {
  auto got = new_mock(write("empty.bin", {}));
  ASSERT_TRUE(got);
  VornParser& parser = got.value();
  ASSERT_TRUE(parser.start().value());
  ASSERT_TRUE(eventually([&] { return !parser.is_running(); }));
  EXPECT_EQ(parser.take_error(), std::nullopt);
  EXPECT_TRUE(parser.drain().empty());
}

TEST_F(NewMock, FileIsReadToItsEndOnceAndClosedWithTheParser) {
  const Stream stream = varied_stream(150);
  const std::string path = write("stream.bin", stream.bytes);
  {
    auto got = new_mock(path);
    ASSERT_TRUE(got);
    VornParser& parser = got.value();
    EXPECT_EQ(open_on(path), std::vector<bool>{true});
    ASSERT_TRUE(parser.start().value());
    ASSERT_TRUE(eventually([&] { return !parser.is_running(); }));
    EXPECT_EQ(parser.take_error(), std::nullopt);
    EXPECT_EQ(texts(parser.drain()), expected_texts(stream.bytes));

    // The position stays at the end: a new run ends at once.
    parser.stop();
    ASSERT_TRUE(parser.start().value());
    ASSERT_TRUE(eventually([&] { return !parser.is_running(); }));
    EXPECT_TRUE(parser.drain().empty());
    EXPECT_EQ(open_on(path).size(), 1u);
  }
  EXPECT_TRUE(open_on(path).empty());
}

}  // namespace
}  // namespace vorn
