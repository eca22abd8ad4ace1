// A serial port read on a thread of its own: each read's bytes and arrival
// stamps go into a bounded ring that the owner takes from at its own pace,
// and, when it records, into the recording and its times file at once, so
// that neither a busy owner nor a full ring costs the recording a byte. A
// ring that would overflow drops its oldest bytes and keeps count of them.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include <sys/types.h>

#include "result.hpp"
#include "serial.hpp"
#include "source.hpp"
#include "times_file.hpp"

namespace vorn {

// The driver's error counters of a UART (TIOCGICOUNT), where it keeps them.
struct LineCounters {
  std::uint64_t overrun = 0;      // characters the receiver's FIFO overran by
  std::uint64_t buf_overrun = 0;  // characters the driver's buffer had no room for
};
// The counters of an open terminal; nullopt where the driver has none (a
// pseudo-terminal, most USB adapters' drivers for buf_overrun alone).
std::optional<LineCounters> line_counters(int fd);

// A recording written as it is read: the bytes appended at once, their
// arrivals kept and written to the times file as a block per flush, each
// flush durable (the bytes before the times that vouch for them) when asked.
// Thread-safe. In a process forked from its opener it writes nothing: its
// descriptors are closed, its data left to the opener.
class RecordingWriter {
 public:
  // Takes the descriptors (the recording, its times file with the magic line
  // already written); `flush_every_ns`: how long arrivals may wait for a flush.
  RecordingWriter(int data_fd, int times_fd, bool durable, std::int64_t flush_every_ns);
  RecordingWriter(const RecordingWriter&) = delete;
  RecordingWriter& operator=(const RecordingWriter&) = delete;
  ~RecordingWriter();

  // Appends a read; false once writing has failed (see failure()).
  bool add(std::span<const std::uint8_t> bytes, std::int64_t wall, std::int64_t mono);
  // Marks bytes lost at recording offset `at` (a ring's loss: bytes the
  // recording holds; a driver's: bytes it lacks), written at the next flush.
  void loss(std::uint64_t at, std::uint64_t bytes, times::LossCause cause, std::int64_t wall, std::int64_t mono);
  // Marks a stretch without the device after what was added; flushed at once.
  bool gap(std::int64_t lost_wall, std::int64_t lost_mono, std::int64_t back_wall, std::int64_t back_mono);
  bool flush();
  // When (monotonic ns) what was added must be flushed; -1 when nothing waits.
  std::int64_t flush_due() const;
  // The bytes written so far.
  std::uint64_t size() const;
  // Flushes and closes; in a fork only closes. Safe to call again.
  bool close();
  std::optional<Failure> failure() const;

 private:
  bool flush_locked();
  bool write_all(int fd, std::span<const std::uint8_t> bytes);

  mutable std::mutex mutex_;
  int data_fd_;
  int times_fd_;
  bool durable_;
  std::int64_t flush_every_;
  pid_t opener_;
  std::uint64_t written_ = 0;  // recording bytes
  std::uint64_t first_ = 0;    // where the pending block begins
  std::uint32_t crc_ = 0;      // of the pending block's bytes
  std::vector<std::uint64_t> lengths_;
  std::vector<std::int64_t> walls_;
  std::vector<std::int64_t> monos_;
  struct PendingLoss {
    std::uint64_t at, bytes;
    times::LossCause cause;
    std::int64_t wall, mono;
  };
  std::vector<PendingLoss> losses_;
  std::array<std::uint64_t, 2> last_block_{};  // first and end of the block written last
  std::uint32_t last_crc_ = 0;
  std::int64_t oldest_ = -1;  // monotonic ns of the oldest read not flushed
  std::optional<Failure> failure_;
};

// One read taken from the ring: its bytes, when it arrived, and what was
// lost just before it (bytes dropped from the ring, the driver's counts).
struct RingRead {
  std::vector<std::uint8_t> bytes;
  std::int64_t wall = 0;
  std::int64_t mono = 0;
};
struct Taken {
  std::vector<RingRead> reads;
  std::uint64_t ring_lost = 0;  // bytes dropped before the first read
  std::uint64_t overrun = 0;    // the driver's counts that rose before it
  std::uint64_t buf_overrun = 0;
  std::optional<Failure> failure;  // the port failed (or the recording): nothing after it
  bool recording_failed = false;   // the recording's writing, not the port
};

class PortReader {
 public:
  // Starts reading `port` on a thread; `notify_fd` (an eventfd) is made
  // readable while the ring has something to take (or the reader ended).
  static Result<std::unique_ptr<PortReader>> start(std::unique_ptr<TTYPort> port, std::size_t ring_bytes,
                                                   std::shared_ptr<RecordingWriter> recording);
  PortReader(const PortReader&) = delete;
  PortReader& operator=(const PortReader&) = delete;
  ~PortReader();

  // The reads in the ring, oldest first, up to about `max_bytes`, stopping
  // before a loss (reported with the take after it); when this empties the
  // ring, notify_fd is cleared.
  Taken take(std::size_t max_bytes);
  int notify_fd() const { return notify_fd_; }
  // The port's descriptor: readable while the line has bytes not yet read.
  int port_fd() const { return port_->fd(); }
  // Reads what the line holds now on the owner's thread (a few reads at
  // most, without waiting), into the ring as the thread would: an owner that
  // woke for the port itself need not wait for the thread to wake too.
  void read_now();
  // Stops the thread and closes the port (in a fork: closes this process's
  // descriptors and touches nothing else). Safe to call again.
  void stop();
  std::uint64_t lost_bytes() const;

 private:
  PortReader(std::unique_ptr<TTYPort> port, std::size_t ring_bytes, std::shared_ptr<RecordingWriter> recording,
             StopSignal stop, int notify_fd, std::unique_ptr<std::uint8_t[]> ring);
  void run();
  enum class Got { Bytes, Nothing, Failed, Ended };
  // One read, its bytes into the recording and the ring; under read_mutex_.
  // Failed leaves the errno in err; Ended: the recording failed (reported).
  Got read_once(std::span<std::uint8_t> window, int& err);
  void push(const std::uint8_t* bytes, std::size_t n, std::int64_t wall, std::int64_t mono, std::uint64_t overrun,
            std::uint64_t buf_overrun);
  void end(Failure failure, bool recording = false);
  void signal_locked();

  struct Entry {
    std::uint64_t start;  // stream offset of its first byte still held
    std::uint64_t end;
    std::int64_t wall, mono;
    std::uint64_t ring_lost, overrun, buf_overrun;  // lost just before it
  };

  std::unique_ptr<TTYPort> port_;
  std::shared_ptr<RecordingWriter> recording_;
  StopSignal stop_;
  int notify_fd_;
  pid_t opener_;
  std::unique_ptr<std::uint8_t[]> ring_;
  std::size_t capacity_;

  mutable std::mutex mutex_;
  std::deque<Entry> entries_;
  std::uint64_t tail_ = 0;            // stream offset after the newest byte read
  std::uint64_t recording_base_ = 0;  // the recording's size when this reader began
  std::uint64_t lost_ = 0;            // bytes dropped from the ring in all
  std::optional<Failure> failure_;
  bool recording_failed_ = false;
  bool signalled_ = false;
  bool stopped_ = false;
  std::unique_ptr<std::thread> thread_;
  std::mutex read_mutex_;                // the port's reads, the thread's and the owner's, one at a time
  std::optional<LineCounters> counted_;  // the driver's counts at the last read
  std::vector<std::uint8_t> owner_window_;
  std::atomic<bool> ended_{false};
};

}  // namespace vorn
