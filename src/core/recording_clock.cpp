#include "recording_clock.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "framing.hpp"
#include "given.hpp"

namespace vorn {

RecordingClock::RecordingClock(double baud) : RecordingClock(RecordingReads{}, baud) { owns_ = true; }

void RecordingClock::add_reads(const RecordingReads& more) {
  if (!owns_) throw std::invalid_argument("the clock was given the whole recording's reads");
  const std::size_t n = more.ends.size();
  if (more.starts.size() != n || more.monos.size() != n || more.walls.size() != n) {
    throw std::invalid_argument("the reads' columns differ in length");
  }
  if (rising_ && n > 0) {
    const bool runs_back =
        !std::is_sorted(more.monos.begin(), more.monos.end()) || (any_read_ && more.monos.front() < last_added_mono_);
    if (runs_back && settled_) throw std::invalid_argument("the reads' monotonic clock runs back");
    rising_ = !runs_back;
  }
  if (n > 0) {
    last_added_mono_ = more.monos.back();
    any_read_ = true;
  }
  // Those before the last packet's first read are not looked at again.
  const std::size_t gone = first_ - base_;
  if (gone > 0 && gone * 2 >= owned_[0].size()) {
    for (auto& column : owned_) column.erase(column.begin(), column.begin() + static_cast<std::ptrdiff_t>(gone));
    base_ = first_;
  }
  const std::span<const std::int64_t> columns[] = {more.ends, more.starts, more.monos, more.walls};
  for (std::size_t k = 0; k < 4; ++k) owned_[k].insert(owned_[k].end(), columns[k].begin(), columns[k].end());
  reads_ = {owned_[0], owned_[1], owned_[2], owned_[3]};
}

RecordingClock::RecordingClock(const RecordingReads& reads, double baud)
    : reads_(reads),
      rising_(std::is_sorted(reads.monos.begin(), reads.monos.end())),
      longest_(baud > 0 ? static_cast<std::int64_t>(std::ceil(kBitsPerByte * 1e9 / baud * kMaxPacketSize)) + 1 : 0),
      clocks_{OfflineClock(baud), OfflineClock(baud)} {}

void RecordingClock::feed(const RecordingPackets& piece, std::vector<std::int64_t>& out) {
  const std::size_t nreads = reads();
  const auto end = [&](std::size_t i) { return reads_.ends[i - base_]; };
  const auto start = [&](std::size_t i) { return reads_.starts[i - base_]; };
  const auto mono = [&](std::size_t i) { return reads_.monos[i - base_]; };
  for (std::size_t i = 0; i < piece.kinds.size(); ++i) {
    const std::int64_t offset = piece.offsets[i];
    const std::int64_t last = offset + static_cast<std::int64_t>(piece.lengths[i]) - 1;
    while (first_ < nreads && end(first_) <= offset) ++first_;
    done_ = std::max(done_, first_);
    while (done_ < nreads && end(done_) <= last) ++done_;
    // A read that begins past the packet's last byte did not complete it:
    // the bytes between were read at no vouched time.
    if (done_ == nreads || start(done_) > last) {
      after_untimed_ = true;
      waiting_.push_back({0, kNoTime});
      continue;
    }
    PacketArrival a;
    a.length = piece.lengths[i];
    a.done_ns = mono(done_);
    if (first_ < nreads && start(first_) <= offset) {
      a.first_ns = mono(first_);
      a.first_bytes =
          static_cast<std::uint32_t>(std::min<std::int64_t>(end(first_) - offset, static_cast<std::int64_t>(a.length)));
    } else {
      a.first_ns = a.done_ns;  // the read of its first bytes is not vouched for: the completing one tells
    }
    // After an untimed stretch, samples may be missing: the clock numbers by time.
    const std::uint8_t kind = piece.kinds[i] != 0 ? 1 : 0;
    a.lost_before = loss_news_.lost_before(kind, piece.lost[i] != 0 || after_untimed_);
    after_untimed_ = false;
    clocks_[kind].push(a);
    waiting_.push_back({reads_.walls[done_ - base_] - mono(done_), kind});
  }
  if (rising_ && !piece.kinds.empty()) {
    // A packet still to come begins at or after the last one: the read holding
    // its first bytes or the one completing it returned no earlier than first_.
    // Made with the whole recording's reads, a packet after the last read
    // has no time: none still to come is told to the clocks.
    if (first_ < nreads || !owns_) {
      const std::int64_t horizon = first_ < nreads ? mono(first_) - longest_ : std::numeric_limits<std::int64_t>::max();
      for (OfflineClock& clock : clocks_) clock.settle_before(horizon);
      settled_ = true;
    }
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
  for (std::size_t k = 0; k < ready_.size(); ++k) drop_given(ready_[k], ready_head_[k]);
}

BackgroundRecordingClock::BackgroundRecordingClock(const RecordingReads& reads, double baud) : clock_(reads, baud) {
  start();
}

BackgroundRecordingClock::BackgroundRecordingClock(double baud) : clock_(baud) { start(); }

void BackgroundRecordingClock::start() {
  try {
    thread_ = std::thread([this] { work(); });
  } catch (const std::system_error&) {
  }
}

BackgroundRecordingClock::~BackgroundRecordingClock() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void BackgroundRecordingClock::work() {
  std::unique_lock lock(mutex_);
  std::vector<std::int64_t> made;
  while (!done_) {
    changed_.wait(lock, [this] { return stopping_ || finishing_ || !queue_.empty(); });
    if (stopping_) return;
    try {
      if (!queue_.empty()) {
        const Piece piece = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        if (!piece.reads[0].empty()) {
          clock_.add_reads({piece.reads[0], piece.reads[1], piece.reads[2], piece.reads[3]});
        }
        clock_.feed(piece.view(), made);
        lock.lock();
        queued_ -= piece.kinds.size();
      } else {
        lock.unlock();
        clock_.finish(made);
        lock.lock();
        done_ = true;
      }
    } catch (...) {
      if (!lock.owns_lock()) lock.lock();
      failed_ = std::current_exception();
      done_ = true;
    }
    made_.insert(made_.end(), made.begin(), made.end());
    made.clear();
    changed_.notify_all();
  }
}

void BackgroundRecordingClock::hand_over(std::vector<std::int64_t>& out) {
  if (failed_) std::rethrow_exception(failed_);
  out.insert(out.end(), made_.begin(), made_.end());
  made_.clear();
}

void BackgroundRecordingClock::feed(const RecordingPackets& piece, std::vector<std::int64_t>& out) {
  if (!thread_.joinable()) {
    clock_.feed(piece, out);
    return;
  }
  Piece copy{{},
             {piece.kinds.begin(), piece.kinds.end()},
             {piece.offsets.begin(), piece.offsets.end()},
             {piece.lengths.begin(), piece.lengths.end()},
             {piece.lost.begin(), piece.lost.end()}};
  enqueue(std::move(copy), &out);
}

void BackgroundRecordingClock::add_reads(const RecordingReads& more) {
  if (!clock_.takes_reads()) throw std::invalid_argument("the clock was given the whole recording's reads");
  if (!thread_.joinable()) {
    clock_.add_reads(more);
    return;
  }
  const std::size_t n = more.ends.size();
  if (more.starts.size() != n || more.monos.size() != n || more.walls.size() != n) {
    throw std::invalid_argument("the reads' columns differ in length");
  }
  if (n == 0) return;
  Piece reads;
  reads.reads = {std::vector<std::int64_t>(more.ends.begin(), more.ends.end()),
                 std::vector<std::int64_t>(more.starts.begin(), more.starts.end()),
                 std::vector<std::int64_t>(more.monos.begin(), more.monos.end()),
                 std::vector<std::int64_t>(more.walls.begin(), more.walls.end())};
  enqueue(std::move(reads), nullptr);
}

void BackgroundRecordingClock::enqueue(Piece copy, std::vector<std::int64_t>* out) {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return queued_ < kBacklog || done_; });
  if (!done_) {
    queued_ += copy.kinds.size();
    queue_.push_back(std::move(copy));
    changed_.notify_all();
  }
  if (out != nullptr) {
    hand_over(*out);
  } else if (failed_) {
    std::rethrow_exception(failed_);
  }
}

void BackgroundRecordingClock::finish(std::vector<std::int64_t>& out) {
  if (!thread_.joinable()) {
    clock_.finish(out);
    return;
  }
  std::unique_lock lock(mutex_);
  finishing_ = true;
  changed_.notify_all();
  changed_.wait(lock, [this] { return done_; });
  hand_over(out);
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
