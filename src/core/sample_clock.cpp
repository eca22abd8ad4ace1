#include "sample_clock.hpp"

#include <algorithm>
#include <bit>
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
// Where the drift is smooth the window about a sample grows, doubling, up to
// this far either side: an adapter whose latency timer keeps step with the
// sample period brings a prompt arrival only as often as the unit's drift
// sweeps the phase between them (every 25 s at 80 ppm and 500 Hz).
constexpr std::int64_t kMaxHalfWindowNs = 32'000'000'000;
// A window grows only while a straight line would miss the bend its two
// halves show (their slopes apart, the unit's drift changing) by at most
// this much at its centre.
constexpr double kBendToleranceNs = 60'000;
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
// Online, a loss whose arrivals say fewer samples than this is counted at
// the fewest they allow.
constexpr double kFewLost = 8;

using Pt = EnvelopePoint;

using Line = ClockLine;

// The line under every point of pts: the hull's edge over `centre` when the
// points span enough time for a slope of their own that agrees with
// `coarse` (ns per sample; 0 when unknown), else `coarse` itself lowered
// until it touches the lowest point. hull_of(hull) puts the lower hull of pts
// in `hull`. Points: a range of Pt with size(), front() and back().
template <class Points, class HullOf>
Line fit(const Points& pts, double centre, double coarse, std::vector<Pt>& hull, HullOf&& hull_of,
         double max_inset = std::numeric_limits<double>::infinity()) {
  if (pts.empty()) return {};
  if (pts.size() >= 2 && pts.back().y - pts.front().y >= static_cast<double>(kMinFitSpanNs)) {
    hull_of(hull);
    // The window's first and last points are always on its hull, however
    // late they came: an edge near either end can be steep for nothing.
    // Near the ends, the edge a quarter of the window in (at most
    // max_inset) is extended.
    const double inset = std::min((pts.back().x - pts.front().x) / 4, max_inset);
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
    // No period yet: the hull's last edge. The newest packet, the last a
    // read completed, is the most prompt of its read, and the edge reaches
    // back to the most prompt of the earlier ones; a slope from the first
    // packet, which waited in the adapter longest, would be too shallow.
    hull_of(hull);
    slope = hull.size() >= 2 ? (hull.back().y - hull[hull.size() - 2].y) / (hull.back().x - hull[hull.size() - 2].x)
                             : (pts.back().y - pts.front().y) / (pts.back().x - pts.front().x);
  }
  Line line{0, std::numeric_limits<double>::infinity(), slope, false};
  for (const Pt& p : pts) line.y0 = std::min(line.y0, p.y - slope * p.x);
  return line;
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

std::size_t LateHistogram::bin_of(std::uint64_t v) {
  if (v < (std::uint64_t{1} << kLinearBits)) return static_cast<std::size_t>(v);
  const int e = std::bit_width(v) - 1;
  const std::uint64_t sub = (v >> (e - kSubBits)) & ((std::uint64_t{1} << kSubBits) - 1);
  return (std::size_t{1} << kLinearBits) + (static_cast<std::size_t>(e - kLinearBits) << kSubBits) +
         static_cast<std::size_t>(sub);
}

double LateHistogram::middle_of(std::size_t bin) {
  const std::size_t linear = std::size_t{1} << kLinearBits;
  if (bin < linear) return static_cast<double>(bin);
  const int e = kLinearBits + static_cast<int>((bin - linear) >> kSubBits);
  const std::size_t sub = (bin - linear) & ((std::size_t{1} << kSubBits) - 1);
  const double width = std::ldexp(1.0, e - kSubBits);
  return (static_cast<double>((std::size_t{1} << kSubBits) + sub) + 0.5) * width;
}

void LateHistogram::add(std::int64_t late_ns) {
  const std::size_t bin = bin_of(static_cast<std::uint64_t>(std::max<std::int64_t>(late_ns, 0)));
  if (bin >= bins_.size()) bins_.resize(bin + 1);
  ++bins_[bin];
  ++count_;
}

double LateHistogram::quantile(double q) const {
  if (count_ == 0) return 0;
  const auto k = static_cast<std::uint64_t>(q * static_cast<double>(count_ - 1) + 0.5);
  std::uint64_t seen = 0;
  for (std::size_t bin = 0; bin < bins_.size(); ++bin) {
    seen += bins_[bin];
    if (seen > k) return middle_of(bin);
  }
  return middle_of(bins_.size() - 1);
}

OfflineClock::OfflineClock(double baud) : baud_(baud) {}

void OfflineClock::push(const PacketArrival& packet) {
  const std::int64_t y = latest_send_ns(packet, baud_);
  if (end() % kSpan == 0) {
    span_min_.push_back(y);
    span_max_.push_back(y);
  } else {
    span_min_.back() = std::min(span_min_.back(), y);
    span_max_.back() = std::max(span_max_.back(), y);
  }
  buf_.push_back({y, packet.done_ns, 0, packet.lost_before});
}

std::size_t OfflineClock::reach_back(std::int64_t below, std::size_t upto, std::size_t floor) const {
  std::size_t i = upto;
  while (i > floor) {
    const std::size_t run = (i - 1) / kSpan;
    const std::size_t from = std::max(run * kSpan, floor);
    if (span_min_[run - span_base_] >= below) {
      i = from;
      continue;
    }
    for (; i > from; --i) {
      if (at(i - 1).y < below) return i;
    }
  }
  return floor;
}

std::size_t OfflineClock::reach_forward(std::int64_t above, std::size_t from, std::size_t limit) const {
  std::size_t i = from;
  while (i < limit) {
    const std::size_t run = i / kSpan;
    const std::size_t to = std::min((run + 1) * kSpan, limit);
    if (span_max_[run - span_base_] <= above) {
      i = to;
      continue;
    }
    for (; i < to; ++i) {
      if (at(i).y > above) return i;
    }
  }
  return limit;
}

void OfflineClock::take(std::vector<std::int64_t>& out) { run(out); }

void OfflineClock::finish(std::vector<std::int64_t>& out) {
  finished_ = true;
  run(out);
}

// The current segment's end: where the next begins, or the stream's end once
// everything is numbered; 0 while unknown.
std::size_t OfflineClock::known_end() const {
  if (segment_end_ != 0) return segment_end_;
  if (numbered_ != end() || end() == 0) return 0;
  // Past the horizon, the next packet (if any) starts a segment of its own.
  return finished_ || horizon_ > at(end() - 1).y + silent_ns() ? end() : 0;
}

std::int64_t OfflineClock::silent_ns() const {
  const double lost = 2.0 * static_cast<double>(kMaxLost + 1) * std::max(coarse_, 0.0);
  return std::max(kMaxHalfWindowNs, static_cast<std::int64_t>(std::min(lost, 1e18)));
}

void OfflineClock::run(std::vector<std::int64_t>& out) {
  if (end() == 0) return;
  if (coarse_ < 0) {
    // The head: the packets up to the first sent kCoarseHeadNs after the
    // stream's first, at most kCoarseHead of them.
    const std::int64_t head_end = at(0).y + kCoarseHeadNs;
    while (head_ < end() && head_ < kCoarseHead && at(head_).y <= head_end) ++head_;
    if (head_ == end() && head_ < kCoarseHead && open_until(head_end)) return;
    std::vector<std::int64_t> head;
    head.reserve(head_);
    for (std::size_t i = 0; i < head_; ++i) head.push_back(at(i).y);
    coarse_ = coarse_period(head);
  }
  for (bool moved = true; moved;) {
    moved = false;
    while (segment_end_ == 0 && numbered_ < end() && number_next()) moved = true;
    while (next_line(out)) moved = true;
  }
  forget();
}

void OfflineClock::start_segment(std::size_t first) {
  first_ = first;
  y0_ = at(first).y;
  at(first).n = 0;
  env_.clear();
  env_.push(point(first));
  numbered_ = first + 1;
  segment_end_ = 0;
  next_block_ = first;
  has_line_ = false;
  folded_ = false;
  sn_ = st_ = snn_ = snt_ = cnt_ = 0;
}

// Sample numbers: one apart, unless a loss or a gap before a packet says
// otherwise; a pause starts a new segment numbered from 0.
bool OfflineClock::number_next() {
  const std::size_t j = numbered_;
  if (j == 0) {
    start_segment(0);
    return true;
  }
  Packet& p = at(j);
  p.n = at(j - 1).n + 1;
  if (!p.lost && p.y - at(j - 1).y <= kPauseGapNs) {
    env_.push(point(j));
    ++numbered_;
    return true;
  }
  if (p.y - at(j - 1).y > silent_ns()) {
    ++pauses_;
    segment_end_ = j;
    return false;
  }
  // The packets of the second after, numbered on as if nothing were missing:
  // anything missing or a pause only lifts them, so their lowest is the jump.
  std::size_t stop = reach_forward(p.y + kAfterGapNs, j, end());
  if (stop == end() && open_until(p.y + kAfterGapNs)) return false;
  const bool cut = cut_at_loss(j, stop);
  const std::size_t lo = reach_back(at(j - 1).y - 2 * kFitHalfWindowNs, j, std::max(first_, kept_from_));
  const auto pts = env_.window(lo - first_, j - first_);
  const Line before = fit(pts, (pts.front().x + pts.back().x) / 2, coarse_, hull_,
                          [&](std::vector<Pt>& h) { env_.hull(lo - first_, j - first_, h); });
  double jump = std::numeric_limits<double>::infinity();
  for (std::size_t i = j; i < stop; ++i) {
    const auto x = static_cast<double>(p.n + static_cast<std::int64_t>(i - j));
    jump = std::min(jump, static_cast<double>(at(i).y - y0_) - before.at(x));
  }
  const double period = before.slope > 0 ? before.slope : coarse_;
  const Verdict v = judge(jump, period, p.lost, kPausePeriodsOffline);
  if (v.new_segment && !cut) {
    ++pauses_;
    segment_end_ = j;
    return false;
  }
  p.n += v.missing;
  lost_ += static_cast<std::size_t>(v.missing);
  env_.push(point(j));
  ++numbered_;
  return true;
}

// A gap before packet j with no loss (a host stall, or a pause) is told
// from the packets after it; but a loss among them lifts those after it, and
// would move the packets between onto a new segment. So they stop at such a
// loss, which is judged in its turn; true when they were cut short.
bool OfflineClock::cut_at_loss(std::size_t j, std::size_t& stop) const {
  if (at(j).lost) return false;
  for (std::size_t i = j + 1; i < stop; ++i) {
    if (at(i).lost) {
      stop = i;
      return true;
    }
  }
  return false;
}

// One line per block of kBlock packets, over the window about the block's
// middle; the packets' times once the lines either side of them are known.
bool OfflineClock::next_line(std::vector<std::int64_t>& out) {
  if (numbered_ == 0) return false;
  const std::size_t seg_end = known_end();
  const std::size_t b = next_block_;
  if (seg_end != 0 && b >= seg_end) {
    if (emitted_ < seg_end) emit(seg_end, nullptr, out);
    if (!folded_) fold_segment();
    if (segment_end_ == 0) return false;  // the stream's end
    start_segment(segment_end_);
    return true;
  }
  std::size_t c = b + kBlock / 2;
  if (seg_end != 0) {
    c = std::min(c, seg_end - 1);
  } else if (numbered_ <= c) {
    return false;
  }
  const std::size_t limit = seg_end != 0 ? seg_end : numbered_;
  if (seg_end == 0 && reach_forward(at(c).y + kMaxHalfWindowNs, c + 1, limit) == limit &&
      (limit < end() || open_until(at(c).y + kMaxHalfWindowNs))) {
    return false;  // the window may reach further
  }
  const std::size_t floor = std::max(first_, kept_from_);
  std::size_t lo = reach_back(at(c).y - kFitHalfWindowNs, c, floor);
  std::size_t hi = reach_forward(at(c).y + kFitHalfWindowNs, c + 1, limit);
  Line line = fit_over(lo, hi, env_[c - first_].x);
  for (std::int64_t half = 2 * kFitHalfWindowNs; half <= kMaxHalfWindowNs; half *= 2) {
    const std::size_t lo2 = reach_back(at(c).y - half, c, floor);
    const std::size_t hi2 = reach_forward(at(c).y + half, c + 1, limit);
    if ((lo2 == lo && hi2 == hi) || bend(lo2, c, hi2) > kBendToleranceNs) break;
    lo = lo2;
    hi = hi2;
    line = fit_over(lo, hi, env_[c - first_].x);
  }
  if (!has_line_) line_ = line;  // the segment's first packets are on its first line alone
  emit(c, has_line_ ? &line : nullptr, out);
  line_ = line;
  centre_ = c;
  has_line_ = true;
  next_block_ = b + kBlock;
  return true;
}

// A grown window's line near a segment's end is still carried from no
// further in than a quarter of the shortest window: the further, the more a
// small error of its slope tells.
ClockLine OfflineClock::fit_over(std::size_t lo, std::size_t hi, double centre) {
  const double max_inset =
      coarse_ > 0 ? static_cast<double>(kFitHalfWindowNs) / 2 / coarse_ : std::numeric_limits<double>::infinity();
  return fit(
      env_.window(lo - first_, hi - first_), centre, coarse_, hull_,
      [&](std::vector<Pt>& h) { env_.hull(lo - first_, hi - first_, h); }, max_inset);
}

// How far below the window's points about c a straight line would pass at
// c, from the slopes of its halves [lo, c] and [c, hi): a unit speeding up
// bends the points down, and a line under them cuts the bend's chord. A
// slowing unit bends them up, which a line under them follows.
double OfflineClock::bend(std::size_t lo, std::size_t c, std::size_t hi) {
  // A half shorter than the first window (at a segment's end) says nothing
  // of a bend: its own hull's ends pull its slope.
  if (at(c).y - at(lo).y < kFitHalfWindowNs || at(hi - 1).y - at(c).y < kFitHalfWindowNs) return 0;
  const Line left = fit_over(lo, c + 1, (env_[lo - first_].x + env_[c - first_].x) / 2);
  const Line right = fit_over(c, hi, (env_[c - first_].x + env_[hi - 1 - first_].x) / 2);
  if (!left.from_hull || !right.from_hull) return 0;
  const double half = (env_[hi - 1 - first_].x - env_[lo - first_].x) / 2;
  return (left.slope - right.slope) * half / 2;
}

// The times of the packets up to `upto` on line_, blended from the last
// centre into `next`, the line of the block centred on `upto`.
void OfflineClock::emit(std::size_t upto, const Line* next, std::vector<std::int64_t>& out) {
  for (std::size_t i = emitted_; i < upto; ++i) {
    const Pt pt = env_[i - first_];
    double t = line_.at(pt.x);
    if (next != nullptr && i > centre_) {
      const double from = env_[centre_ - first_].x;
      const double w = (pt.x - from) / (env_[upto - first_].x - from);
      t = (1 - w) * t + w * next->at(pt.x);
    }
    t = std::min(t, pt.y);  // never after the packet's own evidence
    std::int64_t time = y0_ + static_cast<std::int64_t>(std::floor(t));
    if (i == first_) first_time_ = time;
    const auto dt = static_cast<double>(time - first_time_);
    sn_ += pt.x;
    st_ += dt;
    snn_ += pt.x * pt.x;
    snt_ += pt.x * dt;
    cnt_ += 1;
    if (i > 0) time = std::max(time, last_time_ + 1);
    last_time_ = time;
    late_.add(at(i).done - time);
    residual_.add(at(i).y - time);
    out.push_back(time);
  }
  emitted_ = std::max(emitted_, upto);
}

// The period over all segments: the least-squares slope of time against
// sample number, each segment about its own means (its ends, where the
// envelope is least sure, weigh no more than the rest).
void OfflineClock::fold_segment() {
  folded_ = true;
  if (cnt_ < 2) return;
  sxx_ += snn_ - sn_ * sn_ / cnt_;
  sxy_ += snt_ - sn_ * st_ / cnt_;
}

// Lets go of the packets no window reaches back to any more: those of earlier
// segments, and those well before the oldest packet still to be given.
void OfflineClock::forget() {
  if (emitted_ >= end() && (finished_ || end() == 0)) {
    base_ = kept_from_ = end();
    buf_.clear();
    forget_runs();
    return;
  }
  std::size_t drop = kept_from_;
  if (emitted_ >= end()) {
    drop = std::max(drop, end() - 1);  // the last packet, which the next one is measured from
  } else {
    constexpr std::int64_t kKeepNs = kMaxHalfWindowNs + 4'000'000'000;
    const std::int64_t keep_after = at(emitted_).y - kKeepNs;
    const std::size_t bound = std::min(emitted_, has_line_ ? centre_ : emitted_);
    while (drop < bound && (drop < first_ || at(drop).y < keep_after)) ++drop;
  }
  kept_from_ = drop;
  if (drop >= first_) env_.forget_before(drop - first_);
  // A stretch at a time: each moves what is kept.
  if (drop - base_ < 4096 || (drop - base_) * 2 < buf_.size()) return;
  buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(drop - base_));
  base_ = drop;
  forget_runs();
}

// The runs' figures before buf_'s first packet's run; a run not yet full
// keeps its figures for the packets still to come.
void OfflineClock::forget_runs() {
  const std::size_t runs = base_ / kSpan - span_base_;
  span_min_.erase(span_min_.begin(), span_min_.begin() + static_cast<std::ptrdiff_t>(runs));
  span_max_.erase(span_max_.begin(), span_max_.begin() + static_cast<std::ptrdiff_t>(runs));
  span_base_ += runs;
}

ClockStats OfflineClock::stats() const {
  ClockStats st;
  st.packets = end();
  st.rate_hz = sxy_ > 0 ? sxx_ * kNanosPerSecond / sxy_ : 0;
  st.nominal_hz = nominal_rate(st.rate_hz);
  st.drift_ppm = st.nominal_hz > 0 ? (st.rate_hz / st.nominal_hz - 1) * 1e6 : 0;
  st.jitter_median_ns = late_.quantile(0.5);
  st.jitter_p99_ns = late_.quantile(0.99);
  st.residual_ns = residual_.quantile(0.01);
  st.pauses = pauses_;
  st.lost = lost_;
  return st;
}

std::vector<std::int64_t> recover_offline(std::span<const PacketArrival> packets, double baud, ClockStats* stats) {
  OfflineClock clock(baud);
  for (const PacketArrival& p : packets) clock.push(p);
  std::vector<std::int64_t> times;
  times.reserve(packets.size());
  clock.finish(times);
  if (stats) *stats = clock.stats();
  return times;
}

SampleClock::SampleClock(double baud, std::int64_t lookahead_ns) : baud_(baud), lookahead_(lookahead_ns) {}

void SampleClock::push(const PacketArrival& packet) {
  ++packets_;
  const std::int64_t y = latest_send_ns(packet, baud_);
  if (points_.empty()) {
    first_y_ = y;
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
    --env_held_;
    env_.forget_before(++env_front_);
  }
}

void SampleClock::take(std::vector<std::int64_t>& out, std::int64_t now_ns) {
  if (points_.empty()) return;
  const std::int64_t now = now_ns < 0 ? points_.back().done : now_ns;
  std::size_t upto = emitted_;
  while (upto < points_.size() && points_[upto].done <= now - hold_ns()) ++upto;
  // A loss or a gap is judged from the reads after it: those of a stall are
  // all late, and only the next regular ones tell a lost sample from a pause.
  // The packets from one on wait until the arrivals have gone kJudgeNs past it.
  for (std::size_t i = emitted_; i < upto; ++i) {
    if (points_[i].candidate && i > 0 && points_[i].done > now - std::max(hold_ns(), kJudgeNs)) {
      upto = i;
      break;
    }
  }
  emit(out, upto);
}

// How long past its arrival a packet waits. A look-ahead shorter than a few
// reads leaves the clock too little to go on at a segment's start: from its
// first reads alone (a burst a wire time apart, or a slow stream's few
// packets each as late as the adapter held it) the period cannot be told, and
// the first times would later prove milliseconds off. Until the segment's
// arrivals span kFirstSpanNs its packets wait that long.
std::int64_t SampleClock::hold_ns() const {
  if (lookahead_ >= kJudgeNs || period_ > 0) return lookahead_;
  if (!points_.empty() && points_.back().y - points_.front().y >= kFirstSpanNs) return lookahead_;
  return kFirstSpanNs;
}

std::int64_t SampleClock::due_ns() const {
  if (emitted_ == points_.size()) return -1;
  const Point& p = points_[emitted_];
  return p.done + (p.candidate && emitted_ > 0 ? std::max(hold_ns(), kJudgeNs) : hold_ns());
}

ClockState SampleClock::state() const {
  ClockState st;
  st.packets = packets_;
  st.pauses = pauses_;
  st.lost = lost_;
  if (points_.empty()) return st;
  st.segment_ns = points_.back().y - points_.front().y;
  if (period_ > 0) {
    st.rate_hz = kNanosPerSecond / period_;
    const double nominal = nominal_rate(st.rate_hz);
    st.drift_ppm = nominal > 0 ? (st.rate_hz / nominal - 1) * 1e6 : 0;
  }
  st.locked = locked();
  const double residual = std::min(residual_now_, residual_before_);
  st.residual_ns = std::isfinite(residual) ? residual : 0;
  return st;
}

void SampleClock::finish(std::vector<std::int64_t>& out) { emit(out, points_.size()); }

// The first `end` points held as envelope points, ns from the first.
class SampleClock::Window {
 public:
  Window(const std::deque<Point>& points, std::size_t end) : points_(points), end_(end) {}

  class Iterator {
   public:
    Iterator(const Window& w, std::size_t i) : w_(w), i_(i) {}
    Pt operator*() const { return w_[i_]; }
    Iterator& operator++() {
      ++i_;
      return *this;
    }
    bool operator!=(const Iterator& o) const { return i_ != o.i_; }

   private:
    const Window& w_;
    std::size_t i_;
  };

  Pt operator[](std::size_t i) const {
    return {static_cast<double>(points_[i].n), static_cast<double>(points_[i].y - points_.front().y)};
  }
  std::size_t size() const { return end_; }
  bool empty() const { return end_ == 0; }
  Pt front() const { return (*this)[0]; }
  Pt back() const { return (*this)[end_ - 1]; }
  Iterator begin() const { return {*this, 0}; }
  Iterator end() const { return {*this, end_}; }

 private:
  const std::deque<Point>& points_;
  std::size_t end_;
};

// The points given their times go into env_, once: their numbers and send
// times no longer change while they are held.
void SampleClock::settle() {
  for (; env_held_ < emitted_; ++env_held_) {
    const Point& p = points_[env_held_];
    if (env_.size() == 0) env_y0_ = p.y;
    env_.push({static_cast<double>(p.n), static_cast<double>(p.y - env_y0_)});
  }
}

// The lower hull of the first `end` points held, ns from the first: the
// settled points' from env_, the rest walked.
void SampleClock::window_hull(std::size_t end, std::vector<Pt>& out) {
  if (env_.size() == 0) env_y0_ = points_.front().y;
  const std::size_t settled = std::min(end, env_held_);
  env_.hull(env_front_, env_front_ + settled, out);
  rest_.clear();
  for (std::size_t i = settled; i < end; ++i) {
    rest_.push_back({static_cast<double>(points_[i].n), static_cast<double>(points_[i].y - env_y0_)});
  }
  extend_lower_hull(rest_, out);
  const auto shift = static_cast<double>(points_.front().y - env_y0_);
  for (Pt& p : out) p.y -= shift;
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
    const Window pts(points_, points_.size());
    Line line = fit(pts, static_cast<double>(points_[next - 1].n), period_, hull_,
                    [&](std::vector<Pt>& h) { window_hull(pts.size(), h); });
    if (line.from_hull) line = steady_line(pts.front().x, pts.back().x, line);
    if (line.from_hull && pts.back().y - pts.front().y >= static_cast<double>(kMinPeriodSpanNs)) {
      period_ = line.slope;
      note_period(points_.back().y);
    }
    const std::int64_t base = points_.front().y;
    for (; emitted_ < next; ++emitted_) {
      const Point& p = points_[emitted_];
      const double t = std::min(line.at(static_cast<double>(p.n)), static_cast<double>(p.y - base));
      std::int64_t time = base + static_cast<std::int64_t>(std::floor(t));
      if (any_time_) time = std::max(time, last_time_ + 1);
      note_residual(static_cast<double>(p.y - base) - line.at(static_cast<double>(p.n)), time);
      out.push_back(time);
      last_time_ = time;
      any_time_ = true;
    }
    settle();
  }
}

// The line the times are read off, reaching past the window's newest
// points: one edge of the hull there is short, and its slope, carried
// across the window's last quarter, misses by milliseconds. The slope of the
// hull across its middle half is steady; the line with it is lowered until
// it touches the hull.
ClockLine SampleClock::steady_line(double front, double back, const ClockLine& edge) const {
  if (hull_.size() < 2) return edge;
  const auto hull_at = [&](double x) {
    auto right = std::upper_bound(hull_.begin() + 1, hull_.end() - 1, x, [](double c, const Pt& p) { return c < p.x; });
    const Pt& a = *(right - 1);
    const Pt& b = *right;
    return a.y + (b.y - a.y) * (x - a.x) / (b.x - a.x);
  };
  const double xa = front + (back - front) / 4;
  const double xb = back - (back - front) / 4;
  if (xb <= xa) return edge;
  const double slope = (hull_at(xb) - hull_at(xa)) / (xb - xa);
  if (std::abs(slope / edge.slope - 1) > kSlopeTolerance) return edge;
  double level = std::numeric_limits<double>::infinity();
  for (const Pt& p : hull_) level = std::min(level, p.y - slope * p.x);
  return {0, level, slope, true};
}

// The period every kPeriodStepNs, for the last kSteadyNs: a clock is locked
// once its segment has run kWarmUpNs and the period has held within
// kSteadyPpm over that time. A period still moving means arrivals that sweep
// across the latency timer's phase faster than the unit drifts, which the
// envelope cannot yet tell from the unit's own rate.
void SampleClock::note_period(std::int64_t y) {
  if (!periods_.empty() && y - periods_.back().first < kPeriodStepNs) return;
  periods_.push_back({y, period_});
  while (y - periods_.front().first > kSteadyNs) periods_.pop_front();
}

bool SampleClock::locked() const {
  if (period_ <= 0 || emitted_ == 0 || points_[emitted_ - 1].y - first_y_ < kWarmUpNs) return false;
  if (periods_.empty() || periods_.back().first - periods_.front().first < kSteadyNs - kPeriodStepNs) return false;
  for (const auto& [at, p] : periods_) {
    if (std::abs(p / period_ - 1) > kSteadyPpm * 1e-6) return false;
  }
  return true;
}

void SampleClock::note_residual(double above, std::int64_t time) {
  if (time >= residual_until_) {
    residual_before_ = residual_now_;
    residual_now_ = std::numeric_limits<double>::infinity();
    residual_until_ = time + kResidualSpanNs;
  }
  residual_now_ = std::min(residual_now_, above);
}

std::size_t SampleClock::decide(std::size_t at) {
  const Window pts(points_, at);
  const Line before =
      fit(pts, (pts.front().x + pts.back().x) / 2, period_, hull_, [&](std::vector<Pt>& h) { window_hull(at, h); });
  const std::int64_t base = points_.front().y;
  double jump = std::numeric_limits<double>::infinity();
  // As offline: a gap's packets stop at a loss after it, judged in its turn.
  std::size_t stop = points_.size();
  bool cut = false;
  for (std::size_t i = at + 1; !points_[at].lost && i < stop; ++i) {
    if (points_[i].lost) {
      stop = i;
      cut = true;
    }
  }
  // Against the packets just before, not the line's far reach: an adapter
  // whose timer keeps step with the samples moves the envelope's phase by a
  // whole period now and then, which the line of the window would take for
  // a lost sample.
  const double slope = before.slope > 0 ? before.slope : period_;
  double ahead = std::numeric_limits<double>::infinity();
  for (std::size_t i = at; i-- > 0 && points_[at - 1].y - points_[i].y <= kJustBeforeNs;) {
    ahead = std::min(ahead, static_cast<double>(points_[i].y - base) - slope * static_cast<double>(points_[i].n));
  }
  const double line_ahead = before.at(0);
  for (std::size_t i = at; i < stop; ++i) {
    jump = std::min(jump, static_cast<double>(points_[i].y - base) - slope * static_cast<double>(points_[i].n));
  }
  // The line's own level where it lies under those packets, theirs where it does not.
  jump -= std::max(ahead, line_ahead);
  Verdict v = judge(jump, slope, points_[at].lost, kPausePeriodsOnline);
  // The few reads after a loss that online has may all be late, each by up
  // to a period: a loss of a few samples is taken at the fewest the
  // arrivals allow rather than read as a pause.
  if (points_[at].lost && slope > 0 && v.missing == 0 && jump / slope < kFewLost) {
    v = {std::max<std::int64_t>(0, static_cast<std::int64_t>(std::floor(jump / slope + kWholePeriods))), false};
  }
  if (v.new_segment && !cut) {
    ++pauses_;
    first_y_ = points_[at].y;
    periods_.clear();
    points_.erase(points_.begin(), points_.begin() + static_cast<std::ptrdiff_t>(at));
    const std::int64_t first = points_.front().n;
    for (Point& p : points_) p.n -= first;
    env_.clear();  // every point it held is gone
    env_front_ = env_held_ = 0;
    return at;
  }
  if (v.missing > 0) {
    lost_ += static_cast<std::size_t>(v.missing);
    for (std::size_t i = at; i < points_.size(); ++i) points_[i].n += v.missing;
  }
  return 0;
}

}  // namespace vorn
