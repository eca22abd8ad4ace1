// The sample clock against a simulated unit whose true send times are known:
// a drifting clock, a line of finite speed, an adapter that releases bytes
// every 16 ms, host stalls, a lost packet and a pause.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "sample_clock.hpp"

namespace {

using vorn::PacketArrival;

constexpr double kBaud = 921600;
constexpr std::int64_t kMs = 1'000'000;

struct Simulated {
  std::vector<PacketArrival> arrivals;
  std::vector<std::int64_t> truth;  // when the unit began sending each packet
  std::vector<bool> even;           // sent one period after the packet before
};

struct Scenario {
  double rate_hz = 500;
  double drift_ppm = 60;
  double seconds = 20;
  std::uint32_t length = 68;
  std::vector<std::int64_t> stalls{};  // the host reads nothing for 60 ms from these times
  std::int64_t lost_at = -1;           // this packet's bytes are damaged
  std::int64_t pause_at = -1;          // the unit stops before this packet...
  std::int64_t pause_ns = 500 * kMs;   // ...for this long
  double drift_change_ppm = 0;         // the drift moves on by this much over the run's middle half
  unsigned seed = 7;
};

// Reads: each returns at `at` with every byte the adapter had received by `cut`.
struct Read {
  std::int64_t cut;
  std::int64_t at;
};

Simulated simulate(const Scenario& s) {
  std::mt19937_64 rng(s.seed);
  std::uniform_real_distribution<double> unit(0, 1);
  const double period = 1e9 / s.rate_hz / (1 + s.drift_ppm * 1e-6);
  const double byte_ns = vorn::kBitsPerByte * 1e9 / kBaud;
  const std::int64_t start = 5'000'000'000;
  Simulated out;
  std::vector<double> sends;
  double pause = 0;
  const auto count = static_cast<std::int64_t>(s.seconds * s.rate_hz);
  double tick = 0;  // ns after the first, on the host's clock
  for (std::int64_t k = 0; k < count; ++k) {
    if (k == s.pause_at) pause += static_cast<double>(s.pause_ns) + 0.37 * period;
    sends.push_back(static_cast<double>(start) + pause +
                    (s.drift_change_ppm != 0 ? tick : static_cast<double>(k) * period));
    const double along = std::clamp((static_cast<double>(k) / static_cast<double>(count) - 0.25) * 2, 0.0, 1.0);
    tick += 1e9 / s.rate_hz / (1 + (s.drift_ppm + s.drift_change_ppm * along) * 1e-6);
  }
  // The latency timer every 16 ms, a little late now and then; each read
  // returns up to 0.2 ms after it, or when a stall ends.
  std::vector<Read> reads;
  const double end = sends.back() + 100 * kMs;
  for (double f = start - 7.3 * kMs; f < end; f += 16 * kMs + 50'000 * unit(rng)) {
    auto at = static_cast<std::int64_t>(f + 20'000 + 180'000 * unit(rng));
    for (std::int64_t stall : s.stalls) {
      if (at >= stall && at < stall + 60 * kMs) at = stall + 60 * kMs;
    }
    if (!reads.empty() && reads.back().at == at)
      reads.back().cut = static_cast<std::int64_t>(f);
    else
      reads.push_back({static_cast<std::int64_t>(f), at});
  }
  std::size_t r = 0;
  bool lost = false;
  for (std::size_t k = 0; k < sends.size(); ++k) {
    const double send = sends[k];
    while (reads[r].cut < send + byte_ns) ++r;
    if (static_cast<std::int64_t>(k) == s.lost_at) {
      lost = true;
      continue;
    }
    PacketArrival a;
    a.first_ns = reads[r].at;
    const double head = (static_cast<double>(reads[r].cut) - send) / byte_ns;
    a.first_bytes = std::min(s.length, static_cast<std::uint32_t>(head));
    std::size_t d = r;
    while (static_cast<double>(reads[d].cut) < send + s.length * byte_ns) ++d;
    a.done_ns = reads[d].at;
    a.length = s.length;
    a.lost_before = lost;
    out.even.push_back(!lost && static_cast<std::int64_t>(k) != s.pause_at && k > 0);
    lost = false;
    out.arrivals.push_back(a);
    out.truth.push_back(static_cast<std::int64_t>(send));
  }
  return out;
}

struct Errors {
  double p99 = 0;
  double max = 0;
  double step_std = 0;  // of the steps between packets sent evenly
  bool rising = true;
};

Errors errors(const Simulated& sim, const std::vector<std::int64_t>& times, std::size_t from = 0) {
  Errors e;
  std::vector<double> abs_err;
  for (std::size_t i = from; i < times.size(); ++i) {
    abs_err.push_back(std::abs(static_cast<double>(times[i] - sim.truth[i])));
  }
  std::sort(abs_err.begin(), abs_err.end());
  e.p99 = abs_err[static_cast<std::size_t>(0.99 * static_cast<double>(abs_err.size() - 1))];
  e.max = abs_err.back();
  double sum = 0, sum2 = 0, n = 0;
  for (std::size_t i = from + 1; i < times.size(); ++i) {
    e.rising = e.rising && times[i] > times[i - 1];
    if (!sim.even[i]) continue;
    const double step = static_cast<double>(times[i] - times[i - 1]);
    sum += step;
    sum2 += step * step;
    n += 1;
  }
  e.step_std = std::sqrt(std::max(0.0, sum2 / n - (sum / n) * (sum / n)));
  return e;
}

Scenario faulty() {
  Scenario s;
  s.stalls = {6'500 * kMs, 11'000 * kMs, 19'000 * kMs};
  s.lost_at = 4000;
  s.pause_at = 6000;
  return s;
}

TEST(SampleClockOffline, RecoversBurstyStreamWithStallsLossAndPause) {
  for (double drift : {60.0, -85.0}) {
    Scenario s = faulty();
    s.drift_ppm = drift;
    const Simulated sim = simulate(s);
    vorn::ClockStats stats;
    const auto times = vorn::recover_offline(sim.arrivals, kBaud, &stats);
    ASSERT_EQ(times.size(), sim.truth.size());
    const Errors e = errors(sim, times);
    EXPECT_LE(e.p99, 0.5 * kMs) << "drift " << drift;
    EXPECT_LE(e.max, 2.5 * kMs);
    EXPECT_TRUE(e.rising);
    EXPECT_LE(e.step_std, 5'000);
    EXPECT_NEAR(stats.drift_ppm, drift, 10);
    EXPECT_DOUBLE_EQ(stats.nominal_hz, 500);
    EXPECT_EQ(stats.pauses, 1u);
    EXPECT_EQ(stats.lost, 1u);
    EXPECT_GT(stats.jitter_median_ns, 1 * kMs);  // bursts: arrivals well after the samples
    for (std::size_t i = 0; i < times.size(); ++i) ASSERT_LE(times[i], sim.arrivals[i].done_ns);
  }
}

TEST(SampleClockOffline, LostPacketsAtOtherRatesAndLengths) {
  // A faster stream of longer packets, and a loss of three samples at once.
  Scenario s;
  s.rate_hz = 250;
  s.length = 118;
  s.seconds = 12;
  s.drift_ppm = -30;
  const Simulated one = simulate(s);
  Simulated three = one;
  // Take two more packets out after a loss, as if their bytes were damaged too.
  three.arrivals.erase(three.arrivals.begin() + 1500, three.arrivals.begin() + 1503);
  three.truth.erase(three.truth.begin() + 1500, three.truth.begin() + 1503);
  three.even.erase(three.even.begin() + 1500, three.even.begin() + 1503);
  three.arrivals[1500].lost_before = true;
  three.even[1500] = false;
  vorn::ClockStats stats;
  const auto times = vorn::recover_offline(three.arrivals, kBaud, &stats);
  const Errors e = errors(three, times);
  EXPECT_LE(e.p99, 0.5 * kMs);
  EXPECT_EQ(stats.lost, 3u);
  EXPECT_EQ(stats.pauses, 0u);
  EXPECT_NEAR(stats.drift_ppm, -30, 10);
}

TEST(SampleClockOffline, TinyStreams) {
  EXPECT_TRUE(vorn::recover_offline({}, kBaud).empty());
  std::vector<PacketArrival> few(3);
  for (std::size_t i = 0; i < few.size(); ++i) {
    const std::int64_t read = 1'000'000 + static_cast<std::int64_t>(i / 2) * 16 * kMs;  // two packets a read
    few[i] = {read, 68, read, 68, false};
  }
  vorn::ClockStats stats;
  const auto times = vorn::recover_offline(few, kBaud, &stats);
  ASSERT_EQ(times.size(), 3u);
  EXPECT_LT(times[0], times[1]);
  EXPECT_LT(times[1], times[2]);
  EXPECT_LE(times[2], few[2].done_ns);
  EXPECT_EQ(stats.packets, 3u);
}

// Fed a piece at a time, the clock gives what it gives the whole stream at
// once, and past its head holds only the seconds its windows reach over.
// The second stream pauses for longer than the clock keeps packets back.
class OfflinePieces : public ::testing::TestWithParam<std::int64_t> {};

TEST_P(OfflinePieces, GiveTheWholeStreamsTimesInBoundedRoom) {
  Scenario s;
  s.seconds = 200;
  s.stalls = {150'000 * kMs, 170'000 * kMs};
  s.lost_at = 70'000;
  s.pause_at = 80'000;
  s.pause_ns = GetParam();
  const Simulated sim = simulate(s);
  vorn::ClockStats whole_stats;
  const auto whole = vorn::recover_offline(sim.arrivals, kBaud, &whole_stats);
  EXPECT_EQ(whole_stats.pauses, 1u);
  EXPECT_EQ(whole_stats.lost, 1u);
  EXPECT_LT(errors(sim, whole).p99, 0.3 * kMs);

  vorn::OfflineClock clock(kBaud);
  std::vector<std::int64_t> pieces;
  std::mt19937_64 rng(11);
  std::size_t most_held = 0;
  for (std::size_t i = 0; i < sim.arrivals.size();) {
    const std::size_t k = std::min(sim.arrivals.size(), i + 1 + static_cast<std::size_t>(rng() % 3000));
    for (; i < k; ++i) clock.push(sim.arrivals[i]);
    clock.take(pieces);
    if (i > vorn::OfflineClock::kCoarseHead + 10000) most_held = std::max(most_held, clock.held());
  }
  clock.finish(pieces);
  EXPECT_EQ(pieces, whole);
  const vorn::ClockStats st = clock.stats();
  EXPECT_EQ(st.rate_hz, whole_stats.rate_hz);
  EXPECT_EQ(st.jitter_p99_ns, whole_stats.jitter_p99_ns);
  EXPECT_GT(most_held, 0u);
  EXPECT_LT(most_held, static_cast<std::size_t>(80 * s.rate_hz));  // 80 s of packets
}

INSTANTIATE_TEST_SUITE_P(SampleClockOffline, OfflinePieces, ::testing::Values(500 * kMs, 40'000 * kMs));

// The jitter figures come from bins a thousandth of their value wide: within
// that of the exact quantiles, at any scale.
TEST(SampleClockOffline, LateQuantilesWithinTheirBins) {
  std::mt19937_64 rng(2);
  for (const double scale : {300.0, 2e6, 5e9}) {
    vorn::LateHistogram h;
    std::vector<double> all;
    std::exponential_distribution<double> late(1.0 / scale);
    for (int i = 0; i < 20001; ++i) {
      const auto v = static_cast<std::int64_t>(late(rng));
      h.add(v);
      all.push_back(static_cast<double>(v));
    }
    std::sort(all.begin(), all.end());
    for (const double q : {0.0, 0.5, 0.99, 1.0}) {
      const double exact = all[static_cast<std::size_t>(q * static_cast<double>(all.size() - 1) + 0.5)];
      EXPECT_NEAR(h.quantile(q), exact, std::max(1.0, exact / 1000)) << scale << " " << q;
    }
  }
  EXPECT_EQ(vorn::LateHistogram().quantile(0.5), 0.0);
}

TEST(SampleClockOnline, CausalTimesAfterWarmUp) {
  const Simulated sim = simulate(faulty());
  vorn::SampleClock clock(kBaud);
  std::vector<std::int64_t> times;
  // Fed read by read, as a live reader would, and asked after each.
  std::size_t i = 0;
  while (i < sim.arrivals.size()) {
    const std::int64_t read = sim.arrivals[i].done_ns;
    for (; i < sim.arrivals.size() && sim.arrivals[i].done_ns == read; ++i) clock.push(sim.arrivals[i]);
    clock.take(times);
    // Never more held back than the look-ahead's worth of reads, once the
    // first packets have spanned enough time for a period.
    for (std::size_t k = times.size(); k < i && read - sim.arrivals[0].done_ns > 400 * kMs; ++k) {
      ASSERT_GT(sim.arrivals[k].done_ns, read - vorn::SampleClock::kLookaheadNs);
    }
  }
  clock.finish(times);
  ASSERT_EQ(times.size(), sim.truth.size());
  EXPECT_EQ(clock.pending(), 0u);
  const std::size_t warm = static_cast<std::size_t>(vorn::SampleClock::kWarmUpNs / 2 / kMs);  // 500 Hz
  const Errors e = errors(sim, times, warm);
  EXPECT_LE(e.p99, 1.5 * kMs);
  EXPECT_TRUE(errors(sim, times).rising);
  EXPECT_EQ(clock.pauses(), 1u);
  EXPECT_EQ(clock.lost(), 1u);
}

// A packet lost while the host stalls: everything read in the stall comes
// late at once, the loss among it. It is one lost sample, and the packets
// read with it before the loss keep their times.
TEST(SampleClockOffline, LossInsideAHostStall) {
  for (unsigned seed : {1u, 2u, 3u, 4u}) {
    Scenario s;
    s.seed = seed;
    s.drift_ppm = 80;
    s.stalls = {15'000 * kMs};
    s.lost_at = 5000 + 10 + static_cast<std::int64_t>(seed) * 4;  // sent 20 to 36 ms into the stall
    const Simulated sim = simulate(s);
    vorn::ClockStats stats;
    const auto times = vorn::recover_offline(sim.arrivals, kBaud, &stats);
    const Errors e = errors(sim, times);
    EXPECT_LE(e.max, 0.3 * kMs) << "seed " << seed;
    EXPECT_EQ(stats.lost, 1u);
    EXPECT_EQ(stats.pauses, 0u);
  }
}

// Where the drift changes, the windows stop growing before the bend shows.
TEST(SampleClockOffline, DriftThatChangesIsFollowed) {
  Scenario s;
  s.seconds = 90;
  s.drift_ppm = 40;
  s.drift_change_ppm = 10;
  const Simulated sim = simulate(s);
  vorn::ClockStats stats;
  const auto times = vorn::recover_offline(sim.arrivals, kBaud, &stats);
  const Errors e = errors(sim, times);
  EXPECT_LE(e.p99, 0.1 * kMs);
  EXPECT_LE(e.max, 0.15 * kMs);
}

// No look-ahead: every packet's time as soon as its read is in, but for the
// stream's first fraction of a second and the few reads after a loss or gap.
TEST(SampleClockOnline, NoLookAheadAndItsState) {
  // At 400 Hz: 500 Hz keeps step with the 16 ms timer, whose phase a drift
  // of 60 ppm sweeps only every 33 s, longer than a warm-up can wait.
  Scenario s = faulty();
  s.rate_hz = 400;
  const Simulated sim = simulate(s);
  vorn::SampleClock clock(kBaud, 0);
  std::vector<std::int64_t> times;
  vorn::ClockState early;
  std::size_t i = 0;
  while (i < sim.arrivals.size()) {
    const std::int64_t read = sim.arrivals[i].done_ns;
    for (; i < sim.arrivals.size() && sim.arrivals[i].done_ns == read; ++i) clock.push(sim.arrivals[i]);
    const std::int64_t due = clock.due_ns();
    clock.take(times);
    // What is due is given; what is not waits for its time, not for more packets.
    if (due >= 0 && due <= read) ASSERT_NE(clock.due_ns(), due);
    if (clock.pending() > 0) ASSERT_GT(clock.due_ns(), read);
    if (read - sim.arrivals[0].done_ns < 100 * kMs) EXPECT_EQ(clock.due_ns(), sim.arrivals[0].done_ns + 300 * kMs);
    if (read - sim.arrivals[0].done_ns < 1'000 * kMs) early = clock.state();
  }
  clock.finish(times);
  ASSERT_EQ(times.size(), sim.truth.size());
  EXPECT_LE(errors(sim, times).max, 5 * kMs);  // the warm-up's too
  EXPECT_EQ(clock.due_ns(), -1);
  // Past the warm-up of the start and of the segment after the pause.
  std::vector<std::int64_t> warm_times;
  Simulated warm = sim;
  warm.arrivals.clear();
  warm.truth.clear();
  warm.even.clear();
  const auto pause_at = static_cast<std::size_t>(s.pause_at);
  for (std::size_t k = 0; k < times.size(); ++k) {
    const bool after_start = k >= 800 && (k < pause_at || k >= pause_at + 800);  // 2 s at 400 Hz
    if (!after_start) continue;
    warm_times.push_back(times[k]);
    warm.truth.push_back(sim.truth[k]);
    warm.even.push_back(sim.even[k]);
  }
  const Errors e = errors(warm, warm_times);
  EXPECT_LE(e.p99, 0.5 * kMs);
  EXPECT_LE(e.max, 3 * kMs);
  EXPECT_FALSE(early.locked);
  const vorn::ClockState st = clock.state();
  EXPECT_TRUE(st.locked);
  EXPECT_EQ(st.packets, sim.arrivals.size());
  EXPECT_NEAR(st.drift_ppm, 60, 5);
  EXPECT_NEAR(st.rate_hz, 400 * (1 + 60e-6), 400 * 5e-6);
  EXPECT_EQ(st.pauses, 1u);
  EXPECT_EQ(st.lost, 1u);
  EXPECT_LT(std::abs(st.residual_ns), 1 * kMs);
}

}  // namespace

// Windows of every size and place, over bursty arrivals with stretches lying
// on one line (collinear points are not vertices, however they are reached).
TEST(Envelope, WindowHullsAreTheWalkOverEveryPoint) {
  std::mt19937_64 rng(3);
  std::uniform_int_distribution<std::int64_t> late(0, 16 * kMs);
  vorn::EnvelopeRuns runs;
  const std::size_t count = 3 * vorn::EnvelopeRuns::kRun * vorn::EnvelopeRuns::kGroup + 77;
  for (std::size_t i = 0; i < count; ++i) {
    const bool on_line = (i / 100) % 3 == 1;
    const std::int64_t y = static_cast<std::int64_t>(i) * kMs + (on_line ? 0 : late(rng));
    runs.push({static_cast<double>(i), static_cast<double>(y)});
  }
  std::vector<vorn::EnvelopePoint> fast, walked;
  std::uniform_int_distribution<std::size_t> place(0, count);
  for (int k = 0; k < 2000; ++k) {
    std::size_t lo = place(rng), hi = place(rng);
    if (k < 4) std::tie(lo, hi) = std::pair<std::size_t, std::size_t>{0, count - static_cast<std::size_t>(k)};
    if (lo > hi) std::swap(lo, hi);
    runs.hull(lo, hi, fast);
    vorn::lower_hull(runs.window(lo, hi), walked);
    ASSERT_EQ(fast.size(), walked.size()) << lo << ".." << hi;
    for (std::size_t j = 0; j < fast.size(); ++j) {
      ASSERT_EQ(fast[j].x, walked[j].x);
      ASSERT_EQ(fast[j].y, walked[j].y);
    }
  }
}
