#include "recording_clock.hpp"

#include <algorithm>

namespace vorn {

RecordingClock::RecordingClock(const RecordingReads& reads, double baud)
    : reads_(reads), clocks_{OfflineClock(baud), OfflineClock(baud)} {}

void RecordingClock::feed(const RecordingPackets& piece, std::vector<std::int64_t>& out) {
  const std::size_t nreads = reads_.ends.size();
  for (std::size_t i = 0; i < piece.kinds.size(); ++i) {
    const std::int64_t offset = piece.offsets[i];
    const std::int64_t last = offset + static_cast<std::int64_t>(piece.lengths[i]) - 1;
    while (first_ < nreads && reads_.ends[first_] <= offset) ++first_;
    done_ = std::max(done_, first_);
    while (done_ < nreads && reads_.ends[done_] <= last) ++done_;
    // A read that begins past the packet's last byte did not complete it:
    // the bytes between were read at no vouched time.
    if (done_ == nreads || reads_.starts[done_] > last) {
      after_untimed_ = true;
      waiting_.push_back({0, kNoTime});
      continue;
    }
    PacketArrival a;
    a.length = piece.lengths[i];
    a.done_ns = reads_.monos[done_];
    if (first_ < nreads && reads_.starts[first_] <= offset) {
      a.first_ns = reads_.monos[first_];
      a.first_bytes = static_cast<std::uint32_t>(
          std::min<std::int64_t>(reads_.ends[first_] - offset, static_cast<std::int64_t>(a.length)));
    } else {
      a.first_ns = a.done_ns;  // the read of its first bytes is not vouched for: the completing one tells
    }
    // Bytes lost between two packets may have been a packet of either stream:
    // each stream hears of every loss since its own packet before. After an
    // untimed stretch, samples may be missing: the clock numbers by time.
    const std::uint8_t kind = piece.kinds[i] != 0 ? 1 : 0;
    if (piece.lost[i] != 0 || after_untimed_) lost_news_ = {true, true};
    a.lost_before = lost_news_[kind];
    lost_news_[kind] = false;
    after_untimed_ = false;
    clocks_[kind].push(a);
    waiting_.push_back({reads_.walls[done_] - reads_.monos[done_], kind});
  }
  for (std::size_t k = 0; k < clocks_.size(); ++k) clocks_[k].take(ready_[k]);
  hand_out(out);
}

void RecordingClock::finish(std::vector<std::int64_t>& out) {
  for (std::size_t k = 0; k < clocks_.size(); ++k) clocks_[k].finish(ready_[k]);
  hand_out(out);
}

void RecordingClock::hand_out(std::vector<std::int64_t>& out) {
  while (!waiting_.empty()) {
    const Waiting w = waiting_.front();
    if (w.kind == kNoTime) {
      out.push_back(kUntimed);
    } else {
      std::size_t& head = ready_head_[w.kind];
      if (head == ready_[w.kind].size()) break;
      out.push_back(ready_[w.kind][head++] + w.wall_minus_mono);
    }
    waiting_.pop_front();
  }
  // What was given goes once it is most of what is kept.
  for (std::size_t k = 0; k < ready_.size(); ++k) {
    std::size_t& head = ready_head_[k];
    if (head == ready_[k].size() || (head > 4096 && head * 2 > ready_[k].size())) {
      ready_[k].erase(ready_[k].begin(), ready_[k].begin() + static_cast<std::ptrdiff_t>(head));
      head = 0;
    }
  }
}

std::vector<std::int64_t> recover_recording(const RecordingPackets& packets, const RecordingReads& reads, double baud,
                                            std::array<ClockStats, 2>& stats) {
  RecordingClock clock(reads, baud);
  std::vector<std::int64_t> times;
  times.reserve(packets.kinds.size());
  clock.feed(packets, times);
  clock.finish(times);
  stats = clock.stats();
  return times;
}

}  // namespace vorn
