// The reader engine: one byte source, at most one background reader thread
// that frames what it reads, and two unbounded channels (records, read-failure
// texts) that the owner drains.
//
// Threads: every member function runs on the owner's thread, which the
// caller guarantees is one thread at a time; the reader thread touches only
// the running flag, the stop signal, the source and the accumulation buffer
// (both its own while it runs) and the sending ends of the channels.
//
// The accumulation buffer belongs to the source, not to one run: the bytes of
// a packet that a stop split stay for the next run, so it is delivered once.
//
// fork(): a child process gets no reader thread. In the child a parser that
// had one reports not running, stops and drops at once without touching the
// parent's thread, keeps the records queued before the fork for draining, and
// says once, through take_error(), that its reader did not survive. One that
// had none over a serial port refuses to start there: the port is the parent's.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "channel.hpp"
#include "records.hpp"
#include "result.hpp"
#include "source.hpp"

namespace vorn {

inline constexpr std::size_t kReadChunk = 2048;
inline constexpr std::size_t kInitialBufferCapacity = 4096;

// How long a drain may wait: whole seconds and nanoseconds.
struct WaitTime {
  std::uint64_t secs = 0;
  std::uint32_t nanos = 0;
};

// Seconds as a WaitTime, rounded to the nearest nanosecond (ties to even).
// Negative, NaN, infinite and too large (2^64 s or more) values fail with a
// fatal failure (which Timeout keeps for the waiting drains to report).
Result<WaitTime> wait_time_from_seconds(double seconds);

// Seconds to whole milliseconds: truncated toward zero, negative and NaN
// give 0, too large saturates to the largest value.
std::uint64_t timeout_to_millis(double seconds);

// A caller's time-out, converted once when it is given, into both of its
// uses: how long a waiting drain waits, and how long one read of a serial
// port waits. A time-out that cannot be a wait is accepted all the same and
// fails only the drains that would wait, with the failure kept here.
struct Timeout {
  Result<WaitTime> wait;
  std::uint64_t read_ms;

  static Timeout from_seconds(double seconds) { return {wait_time_from_seconds(seconds), timeout_to_millis(seconds)}; }
};

// Now plus `wait` on the steady clock, or nothing when that lies beyond the
// clock's range (wait without a deadline then).
std::optional<std::chrono::steady_clock::time_point> deadline_after(WaitTime wait);

class VornParser {
 public:
  using Clock = std::chrono::steady_clock;

  explicit VornParser(std::unique_ptr<ByteSource> source);
  VornParser(VornParser&&) = default;
  VornParser& operator=(VornParser&&) = delete;
  // Stops and joins the reader, then releases queues and source.
  ~VornParser();

  // Starts a reader thread unless one is held or the source is gone. Fails
  // when the source belongs to the process this one was forked from
  // (kForkedSourceText), when no descriptor is left for the stop signal
  // (Errc::OutOfResource; nothing changes), or when the system refuses to
  // create the thread (a fatal failure; the source is lost with it).
  Result<bool> start();
  // Clears the running flag, ends the reader's wait for input and joins the
  // reader thread, if any, taking the source back. Returns at once for a
  // source that waits; a read already under way finishes and is framed.
  void stop();
  bool is_running() const;

  // The oldest queued read-failure text, without waiting.
  std::optional<std::string> take_error();

  // Waits until a record is queued or `deadline` passes (none: no limit);
  // returns whether one is queued.
  bool wait_for_packet(std::optional<Clock::time_point> deadline);
  // Every queued record, oldest first, without waiting.
  std::vector<IMUPacket> drain();
  // Every queued record, oldest first, without waiting, as the batches the
  // reader queued them in (appended to `out`); returns how many records. Give
  // the batches back with recycle() once their records are used up, so that
  // the reader reuses their storage.
  std::size_t drain_batches(Batches<IMUPacket>& out) { return packet_rx_.drain_batches(out); }
  void recycle(Batches<IMUPacket>& used) { packet_rx_.recycle(used); }

  // With a waiting time: waits for the first record until now + wait (without
  // a deadline when that cannot be represented) and fails with kTimedOutText
  // if none comes; then takes everything queued. Without: never waits.
  Result<std::vector<IMUPacket>> get_packets(std::optional<WaitTime> wait);

  // What the owner and its reader thread share (see parser.cpp).
  struct Shared;

 private:
  VornParser(std::pair<Sender<IMUPacket>, Receiver<IMUPacket>> packets,
             std::pair<Sender<std::string>, Receiver<std::string>> errors, std::unique_ptr<ByteSource> source);

  Receiver<IMUPacket> packet_rx_;
  Receiver<std::string> error_rx_;
  std::shared_ptr<Shared> shared_;  // null once moved from
  std::unique_ptr<std::thread> thread_;
  bool told_fork_ = false;  // whether take_error() said the reader was lost to a fork
};

// Display text of a drain in a forked child whose parser's reader stayed
// with the parent.
inline constexpr std::string_view kLostInForkText =
    "the reader thread did not survive fork(); only packets queued before the fork can be drained";

// Failure text of start() in a forked child on a source opened by its parent.
inline constexpr std::string_view kForkedSourceText =
    "the port belongs to the process this one was forked from and is not read here; "
    "only packets queued before the fork can be drained";

// The engine over a recorded file; `keep_opening` as for open_file_source.
Result<VornParser> new_mock(std::string_view path, const KeepOpening& keep_opening = {});

}  // namespace vorn
