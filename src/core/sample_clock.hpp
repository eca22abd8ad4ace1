// The unit's sample clock recovered from when its packets arrived.
//
// Every packet reaches the host some time after the unit sent it, never
// before: its arrival is its sample time plus a delay that is never negative
// (the line's wire time, the adapter's latency timer, the host's scheduling).
// Against the sample number, the arrivals therefore lie above a straight line
// whose slope is the unit's period on the host's clock and whose offset is
// the first sample's time: the lower envelope (convex hull) of the points
// gives both, windowed so that the unit's drift against the host may wander.
//
// One clock per stream: raw and filter packets keep their own rates. Times
// are on the host's monotonic clock, in ns. No threads, no I/O: a SampleClock
// belongs to whoever feeds it.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "envelope.hpp"

namespace vorn {

// What the clock is told of one packet of its stream.
struct PacketArrival {
  std::int64_t first_ns = 0;      // the read that brought the packet's first bytes returned
  std::uint32_t first_bytes = 0;  // how many of the packet's bytes that read held
  std::int64_t done_ns = 0;       // the read that completed the packet returned
  std::uint32_t length = 0;       // the packet's bytes in all
  bool lost_before = false;       // bytes were skipped or a checksum failed since the previous good packet
};

// What was found of one stream.
struct ClockStats {
  std::size_t packets = 0;
  double rate_hz = 0;           // samples per second of the host's clock
  double nominal_hz = 0;        // the rate the unit was set to, as far as it can be told
  double drift_ppm = 0;         // how much faster the unit's clock runs than the host's
  double jitter_median_ns = 0;  // arrival minus recovered time
  double jitter_p99_ns = 0;
  double residual_ns = 0;  // 1st percentile of latest send time minus recovered time: how near the prompt arrivals come
  std::size_t pauses = 0;  // times the unit stopped and started again at a new phase
  std::size_t lost = 0;    // samples found missing between two packets
};

// What an online clock knows of its stream now.
struct ClockState {
  bool locked = false;          // past its warm-up (2 s of the segment), its period steady over the last second
  std::size_t packets = 0;      // pushed
  double rate_hz = 0;           // samples per second of the host's clock; 0 while unknown
  double drift_ppm = 0;         // how much faster the unit's clock runs than its set rate
  double residual_ns = 0;       // how far the most prompt arrival of the last second or two sat above the line (ns)
  std::int64_t segment_ns = 0;  // how long the current segment has run
  std::size_t pauses = 0;
  std::size_t lost = 0;
};

// Bits per byte on the line: 8N1 is a start bit, 8 data bits and a stop bit.
inline constexpr double kBitsPerByte = 10.0;

// Arrivals further apart than this (ns) are checked for a pause of the unit;
// a USB adapter's latency timer holds bytes back for up to 16 ms.
inline constexpr std::int64_t kPauseGapNs = 40'000'000;
// At most this many samples missing between two packets are taken for lost
// packets in a running clock; more, and the unit is taken to have paused.
inline constexpr std::int64_t kMaxLost = 200;

// Bytes lost between two packets may have been a packet of either stream:
// each stream hears of every loss since its own packet before.
class LossNews {
 public:
  // Whether the next packet of `kind` (0 raw, 1 estimated) comes after lost
  // bytes; `lost`: bytes were lost just before it.
  bool lost_before(std::size_t kind, bool lost) {
    if (lost) pending_ = {true, true};
    const bool out = pending_[kind];
    pending_[kind] = false;
    return out;
  }

 private:
  std::array<bool, 2> pending_{};
};

// The latest a packet can have been sent by the unit's own evidence: the read
// that brought its first bytes, less their wire time, or the read that
// completed it, less the whole packet's.
std::int64_t latest_send_ns(const PacketArrival& a, double baud);

// A line under the arrivals: send time at sample number x.
struct ClockLine {
  double x0 = 0;
  double y0 = 0;
  double slope = 0;
  bool from_hull = false;  // the points' own slope, not the period fallen back on
  double at(double x) const { return y0 + slope * (x - x0); }
};

// Arrival minus sample time of every packet, for its median and 99th
// percentile: counted in bins a thousandth of their value wide (a few µs at
// the milliseconds it is made of), so that a stream of any length takes the
// same room.
class LateHistogram {
 public:
  void add(std::int64_t late_ns);
  // The q-quantile (0..1) of what was added, as the middle of its bin; 0 when empty.
  double quantile(double q) const;

 private:
  static constexpr int kLinearBits = 11;  // below 2^11 ns, a bin per ns
  static constexpr int kSubBits = 10;     // above, 2^10 bins per doubling
  static std::size_t bin_of(std::uint64_t v);
  static double middle_of(std::size_t bin);
  std::vector<std::uint64_t> bins_;
  std::uint64_t count_ = 0;
};

// Offline: the sample time (monotonic ns) of each packet of one stream, the
// packets pushed in order and their times taken as they become known, a few
// seconds behind: the line under the arrivals about each packet reaches
// kFitHalfWindowNs either side of it, and what a loss or gap before a packet
// means is found from the second after it. The period the clock falls back on
// comes from the stream's first minute (kCoarseHeadNs; at most kCoarseHead
// packets of it). Strictly increasing, never later
// than the packet's arrival. What it keeps is bounded by those windows, not
// by the stream's length.
class OfflineClock {
 public:
  static constexpr std::size_t kCoarseHead = 65536;
  static constexpr std::int64_t kCoarseHeadNs = 60'000'000'000;

  explicit OfflineClock(double baud);

  void push(const PacketArrival& packet);
  // Appends the times now known of the oldest packets not yet given.
  void take(std::vector<std::int64_t>& out);
  // Appends the times of every packet not yet given, the stream having ended.
  void finish(std::vector<std::int64_t>& out);
  // No packet still to come was sent before `horizon_ns` (its latest send
  // time is at least that): what only a later packet could have unsettled
  // is settled at the next take(), with the times the whole stream gives. A
  // stream silent for longer than silent_ns() has ended its segment, so that
  // a stream that stops lets go of its last packets while the arrivals of
  // the other stream go on.
  void settle_before(std::int64_t horizon_ns) { horizon_ = std::max(horizon_, horizon_ns); }
  // The stream's figures: complete once finished.
  ClockStats stats() const;
  // Packets held for the windows still open.
  std::size_t held() const { return end() - kept_from_; }
  // Packets pushed and not yet given a time.
  std::size_t waiting() const { return end() - emitted_; }

 private:
  struct Packet {
    std::int64_t y;     // latest send time
    std::int64_t done;  // arrival of the read that completed it
    std::int64_t n = 0;
    bool lost;
  };
  using Line = ClockLine;

  Packet& at(std::size_t i) { return buf_[i - base_]; }
  const Packet& at(std::size_t i) const { return buf_[i - base_]; }
  std::size_t end() const { return base_ + buf_.size(); }
  EnvelopePoint point(std::size_t i) const {
    return {static_cast<double>(at(i).n), static_cast<double>(at(i).y - y0_)};
  }
  std::size_t known_end() const;
  // Whether a packet still to come may have been sent at or before y.
  bool open_until(std::int64_t y) const { return !finished_ && horizon_ <= y; }
  // A silence of the stream longer than this starts a new segment: no window
  // reaches across it, and the packets after it would have to come many times
  // faster than the stream's rate to be judged lost samples of the same run.
  std::int64_t silent_ns() const;
  // One past the last packet in [floor, upto) sent before `below` (its
  // latest send time), or floor when there is none.
  std::size_t reach_back(std::int64_t below, std::size_t upto, std::size_t floor) const;
  // The first packet in [from, limit) sent after `above`, or limit.
  std::size_t reach_forward(std::int64_t above, std::size_t from, std::size_t limit) const;
  void run(std::vector<std::int64_t>& out);
  void start_segment(std::size_t first);
  bool cut_at_loss(std::size_t j, std::size_t& stop) const;
  bool number_next();  // false when it must wait for more packets, or the segment ended
  bool next_line(std::vector<std::int64_t>& out);
  ClockLine fit_over(std::size_t lo, std::size_t hi, double centre);
  double bend(std::size_t lo, std::size_t c, std::size_t hi);
  void emit(std::size_t upto, const Line* next, std::vector<std::int64_t>& out);
  void fold_segment();
  void forget();
  void forget_runs();

  double baud_;
  bool finished_ = false;
  std::int64_t horizon_ = std::numeric_limits<std::int64_t>::min();  // see settle_before()
  double coarse_ = -1;                                               // not yet known
  std::size_t head_ = 0;                                             // the packets it comes from, as far as known
  std::vector<Packet> buf_;
  std::size_t base_ = 0;       // the stream's number of buf_[0]
  std::size_t kept_from_ = 0;  // buf_ before this is let go, not yet erased
  // The least and the greatest latest send time of each run of kSpan packets
  // (numbered from the stream's first), from run span_base_ on: the scans
  // for a window's ends step over whole runs.
  static constexpr std::size_t kSpan = 64;
  std::vector<std::int64_t> span_min_;
  std::vector<std::int64_t> span_max_;
  std::size_t span_base_ = 0;
  // Numbering: packets before numbered_ have their sample numbers.
  std::size_t numbered_ = 0;
  std::size_t first_ = 0;        // the segment's first packet
  std::int64_t y0_ = 0;          // its latest send time: the points' origin
  std::size_t segment_end_ = 0;  // where the next segment begins, once known (0: not yet)
  EnvelopeRuns env_;             // the segment's points, numbered from first_
  std::vector<EnvelopePoint> hull_;
  // Times: one line per block of the segment, blended between the blocks' centres.
  std::size_t next_block_ = 0;
  Line line_;               // the last block's, once has_line_
  std::size_t centre_ = 0;  // its centre
  bool has_line_ = false;
  std::size_t emitted_ = 0;
  std::int64_t last_time_ = 0;
  std::int64_t first_time_ = 0;  // the segment's first packet's time before the rise is enforced
  bool folded_ = false;          // the segment's sums are in sxy_ and sxx_
  // Figures.
  std::size_t pauses_ = 0;
  std::size_t lost_ = 0;
  double sn_ = 0, st_ = 0, snn_ = 0, snt_ = 0, cnt_ = 0;  // the segment's sums of n, t, n^2, nt
  double sxy_ = 0, sxx_ = 0;                              // about each segment's means, all segments
  LateHistogram late_;
  LateHistogram residual_;
};

// The same over a whole stream at once.
std::vector<std::int64_t> recover_offline(std::span<const PacketArrival> packets, double baud,
                                          ClockStats* stats = nullptr);

// Online: one stream's clock fed packets as they arrive. A packet's time is
// given once the arrivals have gone `lookahead_ns` past its own (kLookaheadNs
// by default), so that the envelope has seen the reads after it; the
// envelope is fitted over the last kOnlineWindowNs. Until the stream has run
// kWarmUpNs its times are rougher. Strictly increasing.
class SampleClock {
 public:
  static constexpr std::int64_t kLookaheadNs = 64'000'000;
  static constexpr std::int64_t kOnlineWindowNs = 8'000'000'000;
  static constexpr std::int64_t kWarmUpNs = 2'000'000'000;

  explicit SampleClock(double baud, std::int64_t lookahead_ns = kLookaheadNs);

  void push(const PacketArrival& packet);
  // Appends the times of the packets that are due, in order: those whose
  // arrival is lookahead_ns or more before `now_ns` (the latest arrival
  // pushed, when negative).
  void take(std::vector<std::int64_t>& out, std::int64_t now_ns = -1);
  // Appends the times of every packet not yet given, the stream having ended.
  void finish(std::vector<std::int64_t>& out);

  std::size_t pending() const { return points_.size() - emitted_; }
  // When (monotonic ns) take() will give the oldest packet not yet given,
  // whatever else arrives; -1 when none is waiting. Never before its arrival
  // plus the look-ahead: a segment's first packets and those from a loss or
  // gap on may wait longer (see take()).
  std::int64_t due_ns() const;
  std::size_t pauses() const { return pauses_; }
  std::size_t lost() const { return lost_; }
  ClockState state() const;

 private:
  struct Point {
    std::int64_t n;  // sample number within the segment
    std::int64_t y;  // latest send time
    std::int64_t done;
    bool lost;       // bytes were lost before it
    bool candidate;  // a loss or a long gap before it, not yet looked at
  };
  // The packets from a loss or gap on wait at least this long for the reads
  // after them (three of an adapter's 16 ms latency timer).
  static constexpr std::int64_t kJudgeNs = 48'000'000;
  // A loss or gap is measured against the packets this long before it.
  static constexpr std::int64_t kJustBeforeNs = 500'000'000;
  // A window this long gives the period used where a segment is too young.
  static constexpr std::int64_t kMinPeriodSpanNs = 1'000'000'000;

  class Window;
  void settle();
  void window_hull(std::size_t end, std::vector<EnvelopePoint>& out);
  void emit(std::vector<std::int64_t>& out, std::size_t upto);
  // Numbers the packets from `at` on after a loss or gap before it; returns
  // how many points it dropped from the front (a pause ends the segment).
  std::size_t decide(std::size_t at);

  double baud_;
  std::int64_t lookahead_;
  std::deque<Point> points_;  // the current segment's window, then the packets not yet given
  std::size_t emitted_ = 0;   // points_ before this have had their times
  std::int64_t last_time_ = 0;
  bool any_time_ = false;
  double period_ = 0;  // ns per sample, from the last long enough fit
  std::vector<EnvelopePoint> hull_;
  std::vector<EnvelopePoint> rest_;
  // The window's points that have their times (points_ up to env_held_),
  // numbered in env_ from env_front_, send times from env_y0_.
  EnvelopeRuns env_;
  std::size_t env_front_ = 0;
  std::size_t env_held_ = 0;
  std::int64_t env_y0_ = 0;
  std::size_t pauses_ = 0;
  std::size_t lost_ = 0;
  std::size_t packets_ = 0;
  std::int64_t first_y_ = 0;  // the segment's first packet's latest send time
  void note_residual(double above, std::int64_t time);
  ClockLine steady_line(double front, double back, const ClockLine& edge) const;
  void note_period(std::int64_t y);
  static constexpr std::int64_t kFirstSpanNs = 300'000'000;
  std::int64_t hold_ns() const;
  bool locked() const;
  static constexpr std::int64_t kPeriodStepNs = 250'000'000;
  static constexpr std::int64_t kSteadyNs = 1'000'000'000;
  static constexpr double kSteadyPpm = 20;
  std::deque<std::pair<std::int64_t, double>> periods_;  // (latest send time, period) of recent fits
  static constexpr std::int64_t kResidualSpanNs = 1'000'000'000;
  // The least residual of the packets given in this stretch and the one before.
  std::int64_t residual_until_ = 0;
  double residual_now_ = std::numeric_limits<double>::infinity();
  double residual_before_ = std::numeric_limits<double>::infinity();
};

}  // namespace vorn
