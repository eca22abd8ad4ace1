#include "parser.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <mutex>
#include <system_error>
#include <utility>

#include "framing.hpp"

namespace vorn {

namespace {

// 2^64 - 2048, the largest double below 2^64.
constexpr double kLargestMillisBelowWrap = 18446744073709549568.0;

inline constexpr std::string_view kClockBeforeEpochText =
    "the system clock reads earlier than the Unix epoch; packets cannot be timestamped";

// Collects the records framed from one read, which then go onto the packet
// channel together: one lock and at most one wake-up per read, not per record.
class BatchSink final : public PacketSender {
 public:
  bool send(IMUPacket& packet) override {
    batch.push_back(std::move(packet));
    return true;
  }
  std::vector<IMUPacket> batch;  // storage reused from read to read
};

}  // namespace

struct VornParser::Shared {
  Shared(Sender<IMUPacket> packets, Sender<std::string> errors, std::unique_ptr<ByteSource> s)
      : packet_tx(std::move(packets)), error_tx(std::move(errors)), source(std::move(s)) {}

  std::atomic<bool> running{false};
  std::optional<StopSignal> stop;  // made by the first start
  Sender<IMUPacket> packet_tx;
  Sender<std::string> error_tx;
  // The reader thread's while it runs, the owner's otherwise.
  std::unique_ptr<ByteSource> source;
  std::vector<std::uint8_t> buffer;  // bytes read but not yet framed
  // Set in a forked child when the reader thread stayed with the parent. Only
  // the child's fork handler writes it, while the child has one thread.
  bool orphaned = false;
};

namespace {

// The body of a reader thread: read, frame, repeat until told to stop, the
// stream ends or a read fails. The source and the tail of the buffer stay in
// `s` for the owner and the next run.
void reader_run(VornParser::Shared& s) {
  BatchSink sink;
  std::vector<std::uint8_t>& buffer = s.buffer;
  if (buffer.capacity() < kInitialBufferCapacity) buffer.reserve(kInitialBufferCapacity);
  // Reads that never wait (a regular file) come back to back, so a blocked
  // drain is woken once records pile up rather than after every read, which
  // on a busy machine would cost two thread switches a read. A source that
  // may wait has each read's records announced before the next read.
  const Wake when = s.source->reads_may_wait() ? Wake::Now : Wake::Later;

  auto fail = [&](std::string text) {
    s.error_tx.send(text);  // nobody left to tell when refused
    s.running.store(false);
  };

  while (s.running.load()) {
    const std::size_t kept = buffer.size();
    if (buffer.capacity() - kept < kReadChunk) {
      buffer.reserve(std::max(buffer.capacity() * 2, kept + kReadChunk));
    }
    buffer.resize(kept + kReadChunk);
    Result<std::size_t> got = s.source->read(std::span(buffer).subspan(kept, kReadChunk), *s.stop);
    if (!got) {
      buffer.resize(kept);
      // A wait that the owner's stop ended is no failure: nothing to report.
      if (got.error().code != Errc::Stopped) fail(std::move(got.error().message));
      break;
    }
    if (got.value() == 0) {
      s.running.store(false);
      break;
    }
    buffer.resize(kept + got.value());
    const FrameStatus status = process_buffer(buffer, sink);
    const std::size_t framed = sink.batch.size();
    // Refused only when nobody can receive any more; the records are dropped.
    if (!s.packet_tx.send_all(sink.batch, when)) sink.batch.clear();
    // A batch from the channel's pool has storage; a new one gets room for as
    // many records as the last read made, so it rarely grows record by record.
    if (sink.batch.capacity() == 0) sink.batch.reserve(framed);
    if (status == FrameStatus::ClockBeforeEpoch) {  // after the records stamped before it
      fail(std::string(kClockBeforeEpochText));
      break;
    }
  }
  s.packet_tx.wake();  // for records that Wake::Later left unannounced
}

// Parsers whose reader thread has not been joined, for the fork handlers.
struct Readers {
  std::mutex lock;
  std::vector<VornParser::Shared*> held;
};
Readers& readers() {
  static Readers* r = new Readers;  // never destroyed: threads may outlive static destruction
  return *r;
}

// Before fork(): takes every reader's channel locks, so that the child gets
// the queues whole and no lock held by a thread that does not exist there.
void before_fork() {
  Readers& r = readers();
  r.lock.lock();
  for (VornParser::Shared* s : r.held) {
    s->packet_tx.hold_for_fork();
    s->error_tx.hold_for_fork();
  }
}

void after_fork_in_parent() {
  Readers& r = readers();
  for (VornParser::Shared* s : r.held) {
    s->error_tx.release_after_fork(false);
    s->packet_tx.release_after_fork(false);
  }
  r.lock.unlock();
}

// The child has none of the reader threads: each parser that had one is told
// so, and this process's copies of its descriptors are closed. Nothing is
// freed here: a reader may have been half-way through changing its buffer.
void after_fork_in_child() {
  Readers& r = readers();
  for (VornParser::Shared* s : r.held) {
    s->orphaned = true;
    s->running.store(false);
    if (s->source) s->source->forsake();
    s->stop->close_here();
    s->error_tx.release_after_fork(true);
    s->packet_tx.release_after_fork(true);
  }
  r.held.clear();
  r.lock.unlock();
}

void hold_reader(VornParser::Shared* s) {
  static std::once_flag registered;
  std::call_once(registered, [] { ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); });
  std::lock_guard guard(readers().lock);
  readers().held.push_back(s);
}

void release_reader(VornParser::Shared* s) {
  std::lock_guard guard(readers().lock);
  auto& held = readers().held;
  held.erase(std::remove(held.begin(), held.end(), s), held.end());
}

// Spawns `body` with every signal blocked, so that signals meant for the
// interpreter are delivered to its threads and never interrupt a read here.
template <class Body>
std::thread spawn_quiet(Body&& body) {
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  struct Restore {
    sigset_t* mask;
    ~Restore() { pthread_sigmask(SIG_SETMASK, mask, nullptr); }
  } restore{&previous};
  return std::thread(std::forward<Body>(body));
}

}  // namespace

VornParser::VornParser(std::unique_ptr<ByteSource> source)
    : VornParser(make_channel<IMUPacket>(), make_channel<std::string>(), std::move(source)) {}

VornParser::VornParser(std::pair<Sender<IMUPacket>, Receiver<IMUPacket>> packets,
                       std::pair<Sender<std::string>, Receiver<std::string>> errors, std::unique_ptr<ByteSource> source)
    : packet_rx_(std::move(packets.second)),
      error_rx_(std::move(errors.second)),
      shared_(std::make_shared<Shared>(std::move(packets.first), std::move(errors.first), std::move(source))) {}

VornParser::~VornParser() {
  if (shared_) stop();  // else moved from
}

bool VornParser::is_running() const { return shared_->running.load(); }

std::optional<std::string> VornParser::take_error() {
  if (std::optional<std::string> text = error_rx_.try_recv()) return text;
  if (shared_->orphaned && !told_fork_) {
    told_fork_ = true;
    return std::string(kLostInForkText);
  }
  return std::nullopt;
}

Result<bool> VornParser::start() {
  Shared& s = *shared_;
  if (thread_ || !s.source) return false;
  if (s.source->opened_elsewhere()) return Failure::os(std::string(kForkedSourceText));
  if (!s.stop) {
    Result<StopSignal> made = StopSignal::make();
    if (!made) return std::move(made).error();
    s.stop.emplace(std::move(made).value());
  }
  s.running.store(true);
  hold_reader(&s);
  try {
    thread_ = std::make_unique<std::thread>(spawn_quiet([shared = shared_] { reader_run(*shared); }));
  } catch (const std::system_error& e) {
    release_reader(&s);
    s.source.reset();  // goes down with the thread that never ran
    s.running.store(false);
    return Failure::fatal("failed to spawn thread: " + std::string(e.code().message()) + " (os error " +
                          std::to_string(e.code().value()) + ")");
  }
  return true;
}

void VornParser::stop() {
  Shared& s = *shared_;
  s.running.store(false);
  if (!thread_) return;
  if (s.orphaned) {
    // The thread is the parent's: neither joined nor detached here, its
    // handle is let go. Its buffer may be half-changed, so it is let go too;
    // the source was closed at the fork and cannot be read again.
    (void)thread_.release();
    std::construct_at(&s.buffer);
    s.source.reset();
    return;
  }
  s.stop->raise();
  thread_->join();
  thread_.reset();
  s.stop->lower();
  release_reader(&s);
}

bool VornParser::wait_for_packet(std::optional<Clock::time_point> deadline) {
  return packet_rx_.wait(deadline) == RecvStatus::Item;
}

std::vector<IMUPacket> VornParser::drain() {
  std::vector<IMUPacket> out;
  packet_rx_.drain_into(out);
  return out;
}

Result<std::vector<IMUPacket>> VornParser::get_packets(std::optional<WaitTime> wait) {
  if (wait && !wait_for_packet(deadline_after(*wait))) return Failure::of(Errc::ChannelTimedOut);
  return drain();
}

Result<WaitTime> wait_time_from_seconds(double seconds) {
  if (seconds < 0.0) return Failure::fatal("cannot convert float seconds to Duration: value is negative");
  if (!(seconds < 18446744073709551616.0)) {  // 2^64; also catches NaN and infinity
    return Failure::fatal("cannot convert float seconds to Duration: value is either too big or NaN");
  }
  // seconds = mantissa * 2^shift exactly; scale by 1e9 in 128 bits (the
  // timestamp type is a convenient unsigned 128-bit integer) and round
  // half to even, so no precision is lost on the way to nanoseconds.
  int exponent;
  const double fraction = std::frexp(seconds, &exponent);
  const auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
  const int shift = exponent - 53;
  Timestamp nanos = static_cast<Timestamp>(mantissa) * 1'000'000'000u;
  if (shift >= 0) {
    nanos <<= shift;
  } else if (-shift >= 128) {
    nanos = 0;
  } else {
    const int s = -shift;
    const Timestamp rest = nanos & ((static_cast<Timestamp>(1) << s) - 1);
    const Timestamp half = static_cast<Timestamp>(1) << (s - 1);
    nanos >>= s;
    if (rest > half || (rest == half && (nanos & 1))) ++nanos;
  }
  return WaitTime{static_cast<std::uint64_t>(nanos / 1'000'000'000u),
                  static_cast<std::uint32_t>(nanos % 1'000'000'000u)};
}

std::uint64_t timeout_to_millis(double seconds) {
  const double millis = seconds * 1000.0;
  if (!(millis > 0.0)) return 0;  // negative, zero or NaN
  if (millis > kLargestMillisBelowWrap) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(millis);
}

std::optional<std::chrono::steady_clock::time_point> deadline_after(WaitTime wait) {
  using namespace std::chrono;
  const auto now = steady_clock::now();
  const auto room = duration_cast<nanoseconds>(steady_clock::time_point::max() - now);
  // Compare in seconds first so that the nanosecond count cannot overflow.
  if (wait.secs >= static_cast<std::uint64_t>(duration_cast<seconds>(room).count())) return std::nullopt;
  return now + seconds(wait.secs) + nanoseconds(wait.nanos);
}

Result<VornParser> new_mock(std::string_view path, const KeepOpening& keep_opening) {
  auto source = open_file_source(path, keep_opening);
  if (!source) return std::move(source).error();
  return VornParser(std::move(source).value());
}

}  // namespace vorn
