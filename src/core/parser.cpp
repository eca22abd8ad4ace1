#include "parser.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <system_error>
#include <utility>

#include "framing.hpp"

namespace vorn {

namespace {

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

// The body of a reader thread: read, frame, repeat until told to stop, the
// stream ends or a read fails. Leaves the source in `slot` for the owner.
void reader_run(std::unique_ptr<ByteSource> source, Sender<IMUPacket> packet_tx,
                Sender<std::string> error_tx, std::shared_ptr<std::atomic<bool>> running,
                std::shared_ptr<std::unique_ptr<ByteSource>> slot) {
  BatchSink sink;
  std::vector<std::uint8_t> buffer;
  buffer.reserve(kInitialBufferCapacity);
  // Reads that never wait (a regular file) come back to back, so a blocked
  // drain is woken once records pile up rather than after every read, which
  // on a busy machine would cost two thread switches a read. A source that
  // may wait has each read's records announced before the next read.
  const Wake when = source->reads_may_wait() ? Wake::Now : Wake::Later;

  auto fail = [&](std::string text) {
    error_tx.send(text);  // nobody left to tell when refused
    running->store(false);
  };

  while (running->load()) {
    const std::size_t kept = buffer.size();
    if (buffer.capacity() - kept < kReadChunk) {
      buffer.reserve(std::max(buffer.capacity() * 2, kept + kReadChunk));
    }
    buffer.resize(kept + kReadChunk);
    Result<std::size_t> got = source->read(std::span(buffer).subspan(kept, kReadChunk));
    if (!got) {
      buffer.resize(kept);
      fail(std::move(got.error().message));
      break;
    }
    if (got.value() == 0) {
      running->store(false);
      break;
    }
    buffer.resize(kept + got.value());
    const FrameStatus status = process_buffer(buffer, sink);
    const std::size_t framed = sink.batch.size();
    // Refused only when nobody can receive any more; the records are dropped.
    if (!packet_tx.send_all(sink.batch, when)) sink.batch.clear();
    // A batch from the channel's pool has storage; a new one gets room for as
    // many records as the last read made, so it rarely grows record by record.
    if (sink.batch.capacity() == 0) sink.batch.reserve(framed);
    if (status == FrameStatus::ClockBeforeEpoch) {  // after the records stamped before it
      fail(std::string(kClockBeforeEpochText));
      break;
    }
  }
  packet_tx.wake();  // for records that Wake::Later left unannounced
  *slot = std::move(source);
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
                       std::pair<Sender<std::string>, Receiver<std::string>> errors,
                       std::unique_ptr<ByteSource> source)
    : packet_rx_(std::move(packets.second)),
      error_rx_(std::move(errors.second)),
      running_(std::make_shared<std::atomic<bool>>(false)),
      packet_tx_(std::move(packets.first)),
      error_tx_(std::move(errors.first)),
      source_(std::move(source)),
      returned_(std::make_shared<std::unique_ptr<ByteSource>>()) {}

VornParser::~VornParser() {
  if (!running_) return;  // moved from
  running_->store(false);
  if (thread_) thread_->join();
}

Result<bool> VornParser::start() {
  if (thread_ || !source_) return false;
  running_->store(true);
  try {
    thread_.emplace(spawn_quiet(
        [source = std::move(source_), packet_tx = packet_tx_, error_tx = error_tx_,
         running = running_, slot = returned_]() mutable {
          reader_run(std::move(source), std::move(packet_tx), std::move(error_tx),
                     std::move(running), std::move(slot));
        }));
  } catch (const std::system_error& e) {
    // The source went down with the thread that never ran.
    running_->store(false);
    return Failure::fatal("failed to spawn thread: " + std::string(e.code().message()) +
                          " (os error " + std::to_string(e.code().value()) + ")");
  }
  return true;
}

void VornParser::stop() {
  running_->store(false);
  if (!thread_) return;
  thread_->join();
  thread_.reset();
  if (*returned_) source_ = std::move(*returned_);
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
  if (wait && !wait_for_packet(deadline_after(*wait))) return Failure::os(std::string(kTimedOutText));
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
