#include "sample_clock.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace vorn {

namespace {

constexpr double kNanosPerSecond = 1e9;
// The envelope is fitted over this much of the stream either side of a sample
// (offline): long enough that the reads cut inside a packet, which pin the
// envelope to within a few wire bytes, fall in it many times over; short
// enough that the drift of a unit warming up stays a straight line.
constexpr std::int64_t kFitHalfWindowNs = 4'000'000'000;
// How far past a loss or gap the arrivals are looked at to find how many
// samples went missing (offline; online only the look-ahead is there).
constexpr std::int64_t kAfterGapNs = 1'000'000'000;
// A window spanning less than this gives no slope of its own.
constexpr std::int64_t kMinFitSpanNs = 300'000'000;
// A fitted slope this far from the coarse period is taken for noise.
constexpr double kSlopeTolerance = 0.1;
// Offline, each run of this many samples gets its own line, blended into the
// next one's so that the times' steps change smoothly.
constexpr std::size_t kBlock = 256;
// Pairs this many samples apart give the coarse period.
constexpr std::size_t kCoarseSpan = 256;
// Missing samples are counted only when the arrivals say a whole number of
// periods within this fraction of one.
constexpr double kWholePeriods = 0.35;
// Packets after a gap sitting this many periods above the line of those
// before mean a pause. Offline the lowest of a second of packets is within
// a fraction of a period of the envelope; online only the look-ahead's few
// reads are there, whose lowest may sit a period or more above it.
constexpr double kPausePeriodsOffline = 0.5;
constexpr double kPausePeriodsOnline = 2.5;

using Pt = EnvelopePoint;

struct Line {
  double x0 = 0;
  double y0 = 0;
  double slope = 0;
  bool from_hull = false;  // the points' own slope, not the coarse one
  double at(double x) const { return y0 + slope * (x - x0); }
};

// The line under every point of pts: the hull's edge over `centre` when the
// points span enough time for a slope of their own that agrees with
// `coarse` (ns per sample; 0 when unknown), else `coarse` itself lowered
// until it touches the lowest point. hull_of(hull) puts the lower hull of pts
// in `hull`.
template <class HullOf>
Line fit(std::span<const Pt> pts, double centre, double coarse, std::vector<Pt>& hull, HullOf&& hull_of) {
  if (pts.empty()) return {};
  if (pts.size() >= 2 && pts.back().y - pts.front().y >= static_cast<double>(kMinFitSpanNs)) {
    hull_of(hull);
    // The window's first and last points are always on its hull, however
    // late they came: an edge near either end can be steep for nothing.
    // Near the ends, the edge a quarter of the window in is extended.
    const double inset = (pts.back().x - pts.front().x) / 4;
    centre = std::clamp(centre, pts.front().x + inset, pts.back().x - inset);
    if (hull.size() >= 2) {
      auto right =
          std::upper_bound(hull.begin() + 1, hull.end() - 1, centre, [](double c, const Pt& p) { return c < p.x; });
      const Pt& a = *(right - 1);
      const Pt& b = *right;
      const double slope = (b.y - a.y) / (b.x - a.x);
      if (coarse <= 0 || std::abs(slope / coarse - 1) <= kSlopeTolerance) return {a.x, a.y, slope, true};
    }
  }
  double slope = coarse;
  if (slope <= 0 && pts.size() >= 2 && pts.back().x > pts.front().x) {
    slope = (pts.back().y - pts.front().y) / (pts.back().x - pts.front().x);
  }
  Line line{0, std::numeric_limits<double>::infinity(), slope, false};
  for (const Pt& p : pts) line.y0 = std::min(line.y0, p.y - slope * p.x);
  return line;
}

Line fit(std::span<const Pt> pts, double centre, double coarse, std::vector<Pt>& hull) {
  return fit(pts, centre, coarse, hull, [&](std::vector<Pt>& h) { lower_hull(pts, h); });
}

// The period (ns per sample) as the median of the mean step over long runs:
// bursts, stalls and pauses move single runs, not the median.
double coarse_period(std::span<const std::int64_t> y) {
  if (y.size() < 2) return 0;
  const std::size_t span = std::min(kCoarseSpan, y.size() - 1);
  const std::size_t stride = std::max<std::size_t>(1, (y.size() - span) / 4096);
  std::vector<double> steps;
  for (std::size_t i = 0; i + span < y.size(); i += stride) {
    steps.push_back(static_cast<double>(y[i + span] - y[i]) / static_cast<double>(span));
  }
  std::nth_element(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2), steps.end());
  return std::max(0.0, steps[steps.size() / 2]);
}

// What a loss or gap before a packet turns out to be, from how far the
// packets after it sit above the line of those before (`jump`, ns).
struct Verdict {
  std::int64_t missing = 0;  // samples missing in the same run of the clock
  bool new_segment = false;  // the unit paused: its clock starts at a new phase
};

Verdict judge(double jump, double period, bool lost_before, double pause_periods) {
  if (period <= 0) return {};
  const double periods = jump / period;
  const auto whole = static_cast<std::int64_t>(std::llround(periods));
  const bool whole_periods = std::abs(periods - static_cast<double>(whole)) <= kWholePeriods;
  if (lost_before && whole >= 0 && whole <= kMaxLost && whole_periods) {
    return {whole, false};
  }
  if (periods > pause_periods) return {0, true};
  return {};
}

double quantile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  const auto k = static_cast<std::size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
  return v[k];
}

// The rate a unit is set to: a whole number of Hz, or a whole fraction of
// 1 kHz (333.33 Hz), whichever lies nearer the measured rate.
double nominal_rate(double hz) {
  if (hz <= 0) return 0;
  const double whole = std::max(1.0, std::round(hz));
  const double divided = 1000.0 / std::max(1.0, std::round(1000.0 / hz));
  return std::abs(divided - hz) < std::abs(whole - hz) ? divided : whole;
}

}  // namespace

std::int64_t latest_send_ns(const PacketArrival& a, double baud) {
  const double byte_ns = baud > 0 ? kBitsPerByte * kNanosPerSecond / baud : 0;
  const auto head = static_cast<std::int64_t>(std::llround(byte_ns * a.first_bytes));
  const auto whole = static_cast<std::int64_t>(std::llround(byte_ns * a.length));
  return std::min(a.first_ns - head, a.done_ns - whole);
}

std::vector<std::int64_t> recover_offline(std::span<const PacketArrival> packets, double baud, ClockStats* stats) {
  const std::size_t count = packets.size();
  std::vector<std::int64_t> times(count);
  if (count == 0) {
    if (stats) *stats = {};
    return times;
  }
  std::vector<std::int64_t> y(count);
  for (std::size_t i = 0; i < count; ++i) y[i] = latest_send_ns(packets[i], baud);
  const double coarse = coarse_period(y);

  // Sample numbers: one apart, unless a loss or a gap before a packet says
  // otherwise; a pause starts a new segment numbered from 0.
  std::vector<std::int64_t> n(count);
  std::vector<std::size_t> segments{0};
  std::size_t pauses = 0;
  std::size_t lost = 0;
  EnvelopeRuns env;
  std::vector<Pt> hull;
  for (std::size_t j = 1; j < count; ++j) {
    n[j] = n[j - 1] + 1;
    if (!packets[j].lost_before && y[j] - y[j - 1] <= kPauseGapNs) continue;
    const std::size_t start = segments.back();
    std::size_t lo = j;
    while (lo > start && y[j - 1] - y[lo - 1] <= 2 * kFitHalfWindowNs) --lo;
    // The numbers before j are settled: the segment's envelope takes them.
    for (std::size_t i = start + env.size(); i < j; ++i) {
      env.push({static_cast<double>(n[i]), static_cast<double>(y[i] - y[start])});
    }
    const auto pts = env.points().subspan(lo - start, j - lo);
    const Line before = fit(pts, (pts.front().x + pts.back().x) / 2, coarse, hull,
                            [&](std::vector<Pt>& h) { env.hull(lo - start, j - start, h); });
    // The packets after, numbered on as if nothing were missing: anything
    // missing or a pause only lifts them, so their lowest is the jump.
    double jump = std::numeric_limits<double>::infinity();
    for (std::size_t i = j; i < count && y[i] - y[j] <= kAfterGapNs; ++i) {
      const auto x = static_cast<double>(n[j] + static_cast<std::int64_t>(i - j));
      jump = std::min(jump, static_cast<double>(y[i] - y[start]) - before.at(x));
    }
    const double period = before.slope > 0 ? before.slope : coarse;
    const Verdict v = judge(jump, period, packets[j].lost_before, kPausePeriodsOffline);
    if (v.new_segment) {
      ++pauses;
      n[j] = 0;
      segments.push_back(j);
      env.clear();
    } else {
      n[j] += v.missing;
      lost += static_cast<std::size_t>(v.missing);
    }
  }
  segments.push_back(count);

  // The period over all segments: the least-squares slope of time against
  // sample number, each segment about its own means (its ends, where the
  // envelope is least sure, weigh no more than the rest).
  double sxy = 0;
  double sxx = 0;
  for (std::size_t s = 0; s + 1 < segments.size(); ++s) {
    const std::size_t first = segments[s];
    const std::size_t end = segments[s + 1];
    env.clear();
    for (std::size_t i = first; i < end; ++i) {
      env.push({static_cast<double>(n[i]), static_cast<double>(y[i] - y[first])});
    }
    const auto pts = env.points();
    // One line per block, over the window about the block's middle.
    std::vector<std::size_t> centres;
    std::vector<Line> lines;
    for (std::size_t b = first; b < end; b += kBlock) {
      const std::size_t c = std::min(b + kBlock / 2, end - 1);
      std::size_t lo = c;
      std::size_t hi = c + 1;
      while (lo > first && y[c] - y[lo - 1] <= kFitHalfWindowNs) --lo;
      while (hi < end && y[hi] - y[c] <= kFitHalfWindowNs) ++hi;
      centres.push_back(c);
      lines.push_back(fit(pts.subspan(lo - first, hi - lo), pts[c - first].x, coarse, hull,
                          [&](std::vector<Pt>& h) { env.hull(lo - first, hi - first, h); }));
    }
    std::size_t k = 0;
    for (std::size_t i = first; i < end; ++i) {
      while (k + 1 < centres.size() && centres[k + 1] <= i) ++k;
      const double x = pts[i - first].x;
      double t = lines[k].at(x);
      if (k + 1 < centres.size() && i > centres[k]) {
        const double w = (x - pts[centres[k] - first].x) / (pts[centres[k + 1] - first].x - pts[centres[k] - first].x);
        t = (1 - w) * t + w * lines[k + 1].at(x);
      }
      t = std::min(t, pts[i - first].y);  // never after the packet's own evidence
      times[i] = y[first] + static_cast<std::int64_t>(std::floor(t));
    }
    if (end - first >= 2) {
      double mean_n = 0;
      double mean_t = 0;
      for (std::size_t i = first; i < end; ++i) {
        mean_n += static_cast<double>(n[i]);
        mean_t += static_cast<double>(times[i] - times[first]);
      }
      mean_n /= static_cast<double>(end - first);
      mean_t /= static_cast<double>(end - first);
      for (std::size_t i = first; i < end; ++i) {
        const double dn = static_cast<double>(n[i]) - mean_n;
        sxy += dn * (static_cast<double>(times[i] - times[first]) - mean_t);
        sxx += dn * dn;
      }
    }
  }
  for (std::size_t i = 1; i < count; ++i) times[i] = std::max(times[i], times[i - 1] + 1);

  if (stats) {
    ClockStats& st = *stats;
    st = {};
    st.packets = count;
    st.rate_hz = sxy > 0 ? sxx * kNanosPerSecond / sxy : 0;
    st.nominal_hz = nominal_rate(st.rate_hz);
    st.drift_ppm = st.nominal_hz > 0 ? (st.rate_hz / st.nominal_hz - 1) * 1e6 : 0;
    std::vector<double> late(count);
    for (std::size_t i = 0; i < count; ++i) late[i] = static_cast<double>(packets[i].done_ns - times[i]);
    st.jitter_median_ns = quantile(late, 0.5);
    st.jitter_p99_ns = quantile(std::move(late), 0.99);
    st.pauses = pauses;
    st.lost = lost;
  }
  return times;
}

SampleClock::SampleClock(double baud, std::int64_t lookahead_ns) : baud_(baud), lookahead_(lookahead_ns) {}

void SampleClock::push(const PacketArrival& packet) {
  const std::int64_t y = latest_send_ns(packet, baud_);
  if (points_.empty()) {
    points_.push_back({0, y, packet.done_ns, false, false});
  } else {
    const Point& back = points_.back();
    const bool gap = y - back.y > kPauseGapNs;
    points_.push_back({back.n + 1, y, packet.done_ns, packet.lost_before, packet.lost_before || gap});
  }
  // Keep the window, but never a packet still waiting for its time.
  while (emitted_ > 0 && points_.back().y - points_.front().y > kOnlineWindowNs) {
    points_.pop_front();
    --emitted_;
  }
}

void SampleClock::take(std::vector<std::int64_t>& out, std::int64_t now_ns) {
  if (points_.empty()) return;
  const std::int64_t now = now_ns < 0 ? points_.back().done : now_ns;
  std::size_t upto = emitted_;
  while (upto < points_.size() && points_[upto].done <= now - lookahead_) ++upto;
  emit(out, upto);
}

void SampleClock::finish(std::vector<std::int64_t>& out) { emit(out, points_.size()); }

// The points held, ns from the first, into pts_.
void SampleClock::gather(std::size_t end) {
  pts_.clear();
  const std::int64_t base = points_.front().y;
  for (std::size_t i = 0; i < end; ++i) {
    pts_.push_back({static_cast<double>(points_[i].n), static_cast<double>(points_[i].y - base)});
  }
}

void SampleClock::emit(std::vector<std::int64_t>& out, std::size_t upto) {
  while (emitted_ < upto) {
    std::size_t next = emitted_;
    if (points_[next].candidate) {
      points_[next].candidate = false;
      if (next > 0) {
        const std::size_t dropped = decide(next);
        emitted_ -= dropped;
        upto -= dropped;
        next -= dropped;
      }
    }
    // Up to the next loss or gap, one line over the whole window, look-ahead
    // included: packets after a loss can only sit higher, never lower it.
    ++next;
    while (next < upto && !points_[next].candidate) ++next;
    gather(points_.size());
    const Line line = fit(pts_, static_cast<double>(points_[next - 1].n), period_, hull_);
    if (line.from_hull && pts_.back().y - pts_.front().y >= static_cast<double>(kMinPeriodSpanNs)) {
      period_ = line.slope;
    }
    const std::int64_t base = points_.front().y;
    for (; emitted_ < next; ++emitted_) {
      const Point& p = points_[emitted_];
      const double t = std::min(line.at(static_cast<double>(p.n)), static_cast<double>(p.y - base));
      std::int64_t time = base + static_cast<std::int64_t>(std::floor(t));
      if (any_time_) time = std::max(time, last_time_ + 1);
      out.push_back(time);
      last_time_ = time;
      any_time_ = true;
    }
  }
}

std::size_t SampleClock::decide(std::size_t at) {
  gather(at);
  const Line before = fit(pts_, (pts_.front().x + pts_.back().x) / 2, period_, hull_);
  const std::int64_t base = points_.front().y;
  double jump = std::numeric_limits<double>::infinity();
  for (std::size_t i = at; i < points_.size(); ++i) {
    jump = std::min(jump, static_cast<double>(points_[i].y - base) - before.at(static_cast<double>(points_[i].n)));
  }
  const Verdict v = judge(jump, before.slope > 0 ? before.slope : period_, points_[at].lost, kPausePeriodsOnline);
  if (v.new_segment) {
    ++pauses_;
    points_.erase(points_.begin(), points_.begin() + static_cast<std::ptrdiff_t>(at));
    const std::int64_t first = points_.front().n;
    for (Point& p : points_) p.n -= first;
    return at;
  }
  if (v.missing > 0) {
    lost_ += static_cast<std::size_t>(v.missing);
    for (std::size_t i = at; i < points_.size(); ++i) points_[i].n += v.missing;
  }
  return 0;
}

}  // namespace vorn
