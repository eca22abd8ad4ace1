#include "recording_clock.hpp"

#include <algorithm>
#include <exception>
#include <system_error>
#include <thread>

namespace vorn {

namespace {

// One stream's packets: what the clock is told, and where each lies in the
// recording's order with the read that completed it.
struct Stream {
  std::vector<PacketArrival> arrivals;
  std::vector<std::size_t> places;
  std::vector<std::size_t> done;
};

// Bytes lost between two packets may have been a packet of either stream:
// each stream hears of every loss since its own packet before.
struct LossNews {
  std::array<bool, 2> pending{};

  bool lost_before(std::uint8_t kind, bool lost) {
    if (lost) pending = {true, true};
    const bool out = pending[kind];
    pending[kind] = false;
    return out;
  }
};

}  // namespace

std::vector<std::int64_t> recover_recording(const RecordingPackets& packets, const RecordingReads& reads, double baud,
                                            std::array<ClockStats, 2>& stats) {
  const std::size_t count = packets.kinds.size();
  const std::size_t nreads = reads.ends.size();
  std::array<Stream, 2> streams;
  for (Stream& s : streams) {
    s.arrivals.reserve(count / 2 + 1);
    s.places.reserve(count / 2 + 1);
    s.done.reserve(count / 2 + 1);
  }
  LossNews news;
  bool after_untimed = false;
  std::size_t first = 0;  // the first read ending after the packet's first byte
  std::size_t done = 0;   // ... after its last
  for (std::size_t i = 0; i < count; ++i) {
    const std::int64_t offset = packets.offsets[i];
    const std::int64_t last = offset + static_cast<std::int64_t>(packets.lengths[i]) - 1;
    while (first < nreads && reads.ends[first] <= offset) ++first;
    done = std::max(done, first);
    while (done < nreads && reads.ends[done] <= last) ++done;
    // A read that begins past the packet's last byte did not complete it:
    // the bytes between were read at no vouched time.
    const bool completed = done < nreads && reads.starts[done] <= last;
    if (!completed) {
      after_untimed = true;
      continue;
    }
    PacketArrival a;
    a.length = packets.lengths[i];
    a.done_ns = reads.monos[done];
    if (first < nreads && reads.starts[first] <= offset) {
      a.first_ns = reads.monos[first];
      a.first_bytes = static_cast<std::uint32_t>(
          std::min<std::int64_t>(reads.ends[first] - offset, static_cast<std::int64_t>(a.length)));
    } else {
      a.first_ns = a.done_ns;  // its first bytes' read is not vouched for: the completing one tells
    }
    const std::uint8_t kind = packets.kinds[i];
    a.lost_before = news.lost_before(kind, packets.lost[i] != 0 || after_untimed);
    after_untimed = false;
    Stream& s = streams[kind];
    s.arrivals.push_back(a);
    s.places.push_back(i);
    s.done.push_back(done);
  }

  std::vector<std::int64_t> times(count, kUntimed);
  std::array<std::exception_ptr, 2> failed;
  auto work = [&](std::size_t k) {
    try {
      const Stream& s = streams[k];
      const std::vector<std::int64_t> t = recover_offline(s.arrivals, baud, &stats[k]);
      for (std::size_t j = 0; j < t.size(); ++j) {
        const std::size_t d = s.done[j];
        times[s.places[j]] = t[j] + (reads.walls[d] - reads.monos[d]);
      }
    } catch (...) {
      failed[k] = std::current_exception();
    }
  };
  // Each stream on its own core; without a thread to be had, both here.
  std::thread other;
  try {
    other = std::thread(work, 1);
  } catch (const std::system_error&) {
  }
  work(0);
  if (other.joinable()) {
    other.join();
  } else {
    work(1);
  }
  for (const std::exception_ptr& e : failed) {
    if (e) std::rethrow_exception(e);
  }
  return times;
}

}  // namespace vorn
