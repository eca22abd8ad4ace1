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
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <span>
#include <thread>
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
  std::span<const std::uint32_t> lengths;  // bytes, at most kMaxPacketSize
  std::span<const std::uint8_t> lost;      // bytes were lost just before it
};

// A recording's packets fed in stream order, a piece at a time; their times
// given in the same order as the streams' clocks make them, a few seconds
// behind. The reads are the whole recording's, and must outlive the clock;
// or, made without them, the clock is given them with add_reads() as the
// recording is framed (a piece's reads before its packets), and keeps only
// those from the last packet's on.
// Where the reads' monotonic clock never runs back, each piece's last read
// is a horizon for both streams (no packet still to come can have been sent
// much before it returned): a stream that stops lets the other's times out
// once it has been silent for longer than its clock's windows, rather than
// at the recording's end, with the times the whole recording gives.
class RecordingClock {
 public:
  RecordingClock(const RecordingReads& reads, double baud);
  explicit RecordingClock(double baud);

  // The next reads, after those given so far (a clock made without reads);
  // std::invalid_argument where their monotonic clock runs back once a
  // horizon has been taken from the reads before.
  void add_reads(const RecordingReads& more);

  // Appends the times now known of the oldest packets not yet given: the
  // sample time on the wall clock (ns), kUntimed for a packet no read completed.
  void feed(const RecordingPackets& piece, std::vector<std::int64_t>& out);
  // Appends the times of every packet not yet given, the recording having ended.
  void finish(std::vector<std::int64_t>& out);
  // Each stream's figures (raw, estimated): complete once finished.
  std::array<ClockStats, 2> stats() const { return {clocks_[0].stats(), clocks_[1].stats()}; }
  // Packets fed and not yet given their time.
  std::size_t waiting() const { return waiting_.size(); }
  // Whether it was made without reads, to be given them with add_reads().
  bool takes_reads() const { return owns_; }

 private:
  static constexpr std::uint8_t kNoTime = 2;
  struct Waiting {
    std::int64_t wall_minus_mono;  // of the read that completed it
    std::uint8_t kind;             // its stream, or kNoTime
  };

  void hand_out(std::vector<std::int64_t>& out);

  std::size_t reads() const { return base_ + reads_.ends.size(); }

  RecordingReads reads_;  // from base_ on
  bool owns_ = false;     // reads_ views owned_ (add_reads), not the caller's
  std::array<std::vector<std::int64_t>, 4> owned_;
  std::size_t base_ = 0;
  bool settled_ = false;   // a horizon was taken from the reads
  bool rising_ = false;    // the reads' monotonic clock never runs back
  bool any_read_ = false;  // add_reads() gave one
  std::int64_t last_added_mono_ = 0;
  std::int64_t longest_ = 0;  // a packet's wire time at most (ns)
  std::size_t first_ = 0;     // the first read ending after the last packet's first byte
  std::size_t done_ = 0;      // ... after its last
  bool after_untimed_ = false;
  LossNews loss_news_;
  std::array<OfflineClock, 2> clocks_;
  std::deque<Waiting> waiting_;
  std::array<std::vector<std::int64_t>, 2> ready_;  // times made, not yet given
  std::array<std::size_t, 2> ready_head_{};
};

// A RecordingClock on a thread of its own, so that framing goes on while it
// works: feed() hands the packets over and returns with the times made so
// far (waiting only while kBacklog packets are still queued), finish() waits
// for the rest. Without a thread to be had, it works in the caller's.
class BackgroundRecordingClock {
 public:
  static constexpr std::size_t kBacklog = 1 << 15;

  BackgroundRecordingClock(const RecordingReads& reads, double baud);
  explicit BackgroundRecordingClock(double baud);
  ~BackgroundRecordingClock();
  BackgroundRecordingClock(const BackgroundRecordingClock&) = delete;
  BackgroundRecordingClock& operator=(const BackgroundRecordingClock&) = delete;

  void feed(const RecordingPackets& piece, std::vector<std::int64_t>& out);
  // As RecordingClock's, in turn with the pieces fed.
  void add_reads(const RecordingReads& more);
  void finish(std::vector<std::int64_t>& out);
  // Complete once finished.
  std::array<ClockStats, 2> stats() const { return clock_.stats(); }

 private:
  struct Piece {
    std::array<std::vector<std::int64_t>, 4> reads;  // ends, starts, monos, walls to add first
    std::vector<std::uint8_t> kinds;
    std::vector<std::int64_t> offsets;
    std::vector<std::uint32_t> lengths;
    std::vector<std::uint8_t> lost;
    RecordingPackets view() const { return {kinds, offsets, lengths, lost}; }
  };
  void start();
  void enqueue(Piece piece, std::vector<std::int64_t>* out);
  void work();
  void hand_over(std::vector<std::int64_t>& out);  // with mutex_ held

  RecordingClock clock_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Piece> queue_;
  std::size_t queued_ = 0;  // packets in queue_
  std::vector<std::int64_t> made_;
  bool finishing_ = false;
  bool done_ = false;
  bool stopping_ = false;
  std::exception_ptr failed_;
  std::thread thread_;
};

// Each packet's sample time of a whole recording, and each stream's figures.
std::vector<std::int64_t> recover_recording(const RecordingPackets& packets, const RecordingReads& reads, double baud,
                                            std::array<ClockStats, 2>& stats);

}  // namespace vorn
