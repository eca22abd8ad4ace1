#include "port_reader.hpp"

#include <errno.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace vorn {

namespace {

// One read takes what the line holds, up to this much: a 921600-baud line
// brings about 92 KB a second, so a read is rarely more than a few KiB.
constexpr std::size_t kWindow = 65536;
constexpr unsigned kUnknownPollEvents = 0x400;

std::int64_t wall_ns() {
  timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::uint64_t rise(std::uint64_t now, std::uint64_t before) { return now > before ? now - before : 0; }

}  // namespace

std::optional<LineCounters> line_counters(int fd) {
  serial_icounter_struct counts{};
  if (::ioctl(fd, TIOCGICOUNT, &counts) != 0) return std::nullopt;
  return LineCounters{static_cast<std::uint64_t>(static_cast<unsigned>(counts.overrun)),
                      static_cast<std::uint64_t>(static_cast<unsigned>(counts.buf_overrun))};
}

// -- the recording -------------------------------------------------------------

RecordingWriter::RecordingWriter(int data_fd, int times_fd, bool durable, std::int64_t flush_every_ns)
    : data_fd_(data_fd), times_fd_(times_fd), durable_(durable), flush_every_(flush_every_ns), opener_(::getpid()) {}

RecordingWriter::~RecordingWriter() { close(); }

bool RecordingWriter::write_all(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failure_ = Failure::system(n < 0 ? errno : ENOSPC);
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

bool RecordingWriter::add(std::span<const std::uint8_t> bytes, std::int64_t wall, std::int64_t mono) {
  std::lock_guard lock(mutex_);
  if (failure_ || data_fd_ < 0 || ::getpid() != opener_) return false;
  if (bytes.empty()) return true;
  if (!write_all(data_fd_, bytes)) return false;
  crc_ = times::crc32c(bytes, crc_);
  lengths_.push_back(bytes.size());
  walls_.push_back(wall);
  monos_.push_back(mono);
  written_ += bytes.size();
  if (oldest_ < 0) oldest_ = mono;
  return true;
}

void RecordingWriter::loss(std::uint64_t at, std::uint64_t bytes, times::LossCause cause, std::int64_t wall,
                           std::int64_t mono) {
  std::lock_guard lock(mutex_);
  if (bytes == 0 || data_fd_ < 0) return;
  // A caller that stays behind drops bytes read after read: one marker for the run.
  if (!losses_.empty()) {
    PendingLoss& last = losses_.back();
    if (last.cause == cause && (cause != times::LossCause::Ring || last.at + last.bytes == at)) {
      last.bytes += bytes;
      return;
    }
  }
  losses_.push_back({at, bytes, cause, wall, mono});
  if (oldest_ < 0) oldest_ = mono;
}

bool RecordingWriter::flush_locked() {
  if (failure_) return false;
  if (data_fd_ < 0 || ::getpid() != opener_) return true;
  std::vector<std::uint8_t> out;
  if (!lengths_.empty()) {
    (void)times::encode_block(out, first_, crc_, lengths_, walls_, monos_);
    last_block_ = {first_, written_};
    last_crc_ = crc_;
    first_ = written_;
    crc_ = 0;
    lengths_.clear();
    walls_.clear();
    monos_.clear();
  }
  for (const PendingLoss& l : losses_) {
    times::encode_loss(out, last_block_[0], last_block_[1], last_crc_, l.at, l.bytes, l.cause, l.wall, l.mono);
  }
  losses_.clear();
  oldest_ = -1;
  if (out.empty()) return true;
  // The bytes on the disk before the times that vouch for them.
  if (durable_ && ::fdatasync(data_fd_) != 0) {
    failure_ = Failure::system(errno);
    return false;
  }
  if (!write_all(times_fd_, out)) return false;
  if (durable_ && ::fdatasync(times_fd_) != 0) {
    failure_ = Failure::system(errno);
    return false;
  }
  return true;
}

bool RecordingWriter::flush() {
  std::lock_guard lock(mutex_);
  return flush_locked();
}

bool RecordingWriter::gap(std::int64_t lost_wall, std::int64_t lost_mono, std::int64_t back_wall,
                          std::int64_t back_mono) {
  std::lock_guard lock(mutex_);
  if (!flush_locked()) return false;
  if (data_fd_ < 0 || ::getpid() != opener_) return true;
  std::vector<std::uint8_t> out;
  (void)times::encode_gap(out, last_block_[0], last_block_[1], last_crc_, lost_wall, lost_mono, back_wall,
                          std::max(back_mono, lost_mono));
  if (!write_all(times_fd_, out)) return false;
  if (durable_ && ::fdatasync(times_fd_) != 0) {
    failure_ = Failure::system(errno);
    return false;
  }
  return true;
}

std::int64_t RecordingWriter::flush_due() const {
  std::lock_guard lock(mutex_);
  return oldest_ < 0 ? -1 : oldest_ + flush_every_;
}

std::uint64_t RecordingWriter::size() const {
  std::lock_guard lock(mutex_);
  return written_;
}

bool RecordingWriter::close() {
  if (::getpid() != opener_) {
    // A fork: the opener's reading thread may have held the lock as it
    // forked, and is not here to let it go. Only this process's descriptors go.
    if (data_fd_ >= 0) {
      ::close(data_fd_);
      ::close(times_fd_);
      data_fd_ = times_fd_ = -1;
    }
    return true;
  }
  std::lock_guard lock(mutex_);
  if (data_fd_ < 0) return !failure_;
  const bool flushed = flush_locked();
  ::close(data_fd_);
  ::close(times_fd_);
  data_fd_ = times_fd_ = -1;
  return flushed;
}

std::optional<Failure> RecordingWriter::failure() const {
  std::lock_guard lock(mutex_);
  return failure_;
}

// -- the reader ----------------------------------------------------------------

Result<std::unique_ptr<PortReader>> PortReader::start(std::unique_ptr<TTYPort> port, std::size_t ring_bytes,
                                                      std::shared_ptr<RecordingWriter> recording) {
  auto stop = StopSignal::make();
  if (!stop) return std::move(stop).error();
  const int notify = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (notify < 0) return Failure::out_of_resource("failed to create the reader's signal", errno);
  // Not zeroed: the pages of a large ring cost nothing until bytes arrive.
  std::unique_ptr<std::uint8_t[]> ring(new (std::nothrow) std::uint8_t[ring_bytes]);
  if (!ring) {
    ::close(notify);
    return Failure::out_of_resource("failed to allocate the reader's ring", ENOMEM);
  }
  std::unique_ptr<PortReader> reader(new PortReader(std::move(port), ring_bytes, std::move(recording),
                                                    std::move(stop).value(), notify, std::move(ring)));
  try {
    reader->thread_ = std::make_unique<std::thread>([r = reader.get()] { r->run(); });
  } catch (const std::system_error& e) {
    return Failure::out_of_resource("failed to start the reader's thread", e.code().value());
  }
  return reader;
}

PortReader::PortReader(std::unique_ptr<TTYPort> port, std::size_t ring_bytes,
                       std::shared_ptr<RecordingWriter> recording, StopSignal stop, int notify_fd,
                       std::unique_ptr<std::uint8_t[]> ring)
    : port_(std::move(port)),
      recording_(std::move(recording)),
      stop_(std::move(stop)),
      notify_fd_(notify_fd),
      opener_(::getpid()),
      ring_(std::move(ring)),
      capacity_(ring_bytes) {
  if (recording_) recording_base_ = recording_->size();
  counted_ = line_counters(port_->fd());
}

PortReader::~PortReader() { stop(); }

void PortReader::stop() {
  if (stopped_) return;
  stopped_ = true;
  if (::getpid() != opener_) {
    // A fork: the thread is the opener's alone (none runs here), and so are
    // the port's claim and the ring's contents. Only descriptors go.
    (void)thread_.release();
    port_->forsake();
    stop_.close_here();
    ::close(notify_fd_);
    notify_fd_ = -1;
    return;
  }
  stop_.raise();
  if (thread_) thread_->join();
  thread_.reset();
  port_.reset();
  ::close(notify_fd_);
  notify_fd_ = -1;
}

std::uint64_t PortReader::lost_bytes() const {
  std::lock_guard lock(mutex_);
  return lost_;
}

void PortReader::signal_locked() {
  if (signalled_) return;
  signalled_ = true;
  const std::uint64_t one = 1;
  (void)!::write(notify_fd_, &one, sizeof one);
}

void PortReader::end(Failure failure, bool recording) {
  ended_.store(true);
  std::lock_guard lock(mutex_);
  failure_ = std::move(failure);
  recording_failed_ = recording;
  signal_locked();
}

void PortReader::push(const std::uint8_t* bytes, std::size_t n, std::int64_t wall, std::int64_t mono,
                      std::uint64_t overrun, std::uint64_t buf_overrun) {
  const std::uint64_t keep = std::min<std::uint64_t>(n, capacity_);
  const std::uint64_t skip = n - keep;  // a read larger than the ring: its start goes at once
  std::lock_guard lock(mutex_);
  const std::uint64_t new_end = tail_ + n;
  const std::uint64_t new_start = new_end - keep;
  const std::uint64_t limit = new_end > capacity_ ? new_end - capacity_ : 0;  // the first offset that may stay
  std::uint64_t carry_lost = 0, carry_over = 0, carry_buf = 0;
  std::uint64_t dropped = 0;
  std::uint64_t dropped_from = entries_.empty() ? tail_ : entries_.front().start;
  while (!entries_.empty() && entries_.front().start < limit) {
    Entry& e = entries_.front();
    if (e.end <= limit) {
      dropped += e.end - e.start;
      carry_lost += e.ring_lost + (e.end - e.start);
      carry_over += e.overrun;
      carry_buf += e.buf_overrun;
      entries_.pop_front();
      continue;
    }
    const std::uint64_t d = limit - e.start;
    dropped += d;
    e.start = limit;
    e.ring_lost += carry_lost + d;
    e.overrun += carry_over;
    e.buf_overrun += carry_buf;
    carry_lost = carry_over = carry_buf = 0;
    break;
  }
  if (!entries_.empty()) {  // whole reads went and the next one begins at the limit: it carries their loss
    Entry& front = entries_.front();
    front.ring_lost += carry_lost;
    front.overrun += carry_over;
    front.buf_overrun += carry_buf;
    carry_lost = carry_over = carry_buf = 0;
  }
  entries_.push_back(
      {new_start, new_end, wall, mono, carry_lost + skip, carry_over + overrun, carry_buf + buf_overrun});
  for (std::uint64_t at = new_start; at < new_end;) {
    const std::size_t pos = static_cast<std::size_t>(at % capacity_);
    const std::size_t run = static_cast<std::size_t>(std::min<std::uint64_t>(new_end - at, capacity_ - pos));
    std::memcpy(ring_.get() + pos, bytes + (at - tail_), run);
    at += run;
  }
  tail_ = new_end;
  if (dropped + skip > 0) {
    lost_ += dropped + skip;
    if (recording_) {
      recording_->loss(recording_base_ + dropped_from, dropped + skip, times::LossCause::Ring, wall, mono);
    }
  }
  signal_locked();
}

Taken PortReader::take(std::size_t max_bytes) {
  Taken out;
  std::lock_guard lock(mutex_);
  std::size_t taken = 0;
  while (!entries_.empty() && taken < max_bytes) {
    const Entry& e = entries_.front();
    const bool lossy = e.ring_lost || e.overrun || e.buf_overrun;
    if (lossy && !out.reads.empty()) break;  // the loss goes with the next take
    if (lossy) {
      out.ring_lost = e.ring_lost;
      out.overrun = e.overrun;
      out.buf_overrun = e.buf_overrun;
    }
    RingRead r;
    r.wall = e.wall;
    r.mono = e.mono;
    r.bytes.resize(static_cast<std::size_t>(e.end - e.start));
    for (std::uint64_t at = e.start; at < e.end;) {
      const std::size_t pos = static_cast<std::size_t>(at % capacity_);
      const std::size_t run = static_cast<std::size_t>(std::min<std::uint64_t>(e.end - at, capacity_ - pos));
      std::memcpy(r.bytes.data() + (at - e.start), ring_.get() + pos, run);
      at += run;
    }
    taken += r.bytes.size();
    out.reads.push_back(std::move(r));
    entries_.pop_front();
  }
  if (entries_.empty()) {
    if (failure_) {
      out.failure = failure_;  // stays readable: every take after says so too
      out.recording_failed = recording_failed_;
    } else if (signalled_) {
      signalled_ = false;
      std::uint64_t count;
      (void)!::read(notify_fd_, &count, sizeof count);
    }
  }
  return out;
}

PortReader::Got PortReader::read_once(std::span<std::uint8_t> window, int& err) {
  const int fd = port_->fd();
  const ssize_t count = ::read(fd, window.data(), window.size());
  const std::int64_t wall = wall_ns();
  const std::int64_t mono = monotonic_ns();
  if (count < 0 && (errno == EAGAIN || errno == EINTR)) return Got::Nothing;
  if (count <= 0) {
    // A raw line that polled readable gives a byte at least, unless it hung up meanwhile.
    err = count < 0 ? errno : EPIPE;
    return Got::Failed;
  }
  std::uint64_t overrun = 0, buf_overrun = 0;
  if (counted_) {
    const std::optional<LineCounters> now = line_counters(fd);
    if (now) {
      overrun = rise(now->overrun, counted_->overrun);
      buf_overrun = rise(now->buf_overrun, counted_->buf_overrun);
      counted_ = now;
    }
  }
  const auto bytes = window.first(static_cast<std::size_t>(count));
  if (recording_) {
    // The driver's losses lie before this read's bytes in the recording.
    const std::uint64_t at = recording_->size();
    if (overrun) recording_->loss(at, overrun, times::LossCause::Overrun, wall, mono);
    if (buf_overrun) recording_->loss(at, buf_overrun, times::LossCause::Buffer, wall, mono);
    if (!recording_->add(bytes, wall, mono)) {
      end(*recording_->failure(), true);
      return Got::Ended;
    }
  }
  push(bytes.data(), bytes.size(), wall, mono, overrun, buf_overrun);
  return Got::Bytes;
}

void PortReader::read_now() {
  if (::getpid() != opener_ || ended_.load()) return;
  // Behind the thread's read, if it is reading: the order of the bytes is the
  // order of the reads.
  std::lock_guard lock(read_mutex_);
  if (ended_.load()) return;
  if (owner_window_.empty()) owner_window_.resize(kWindow);
  int err = 0;
  // Failures are the thread's to find and report, after what came before them.
  for (int reads = 0; reads < 4 && read_once(owner_window_, err) == Got::Bytes; ++reads) {
  }
}

void PortReader::run() {
  // Signals are for the interpreter's threads: none ends a wait here.
  sigset_t all;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
  const int fd = port_->fd();
  std::vector<std::uint8_t> window(kWindow);
  for (;;) {
    const std::int64_t due = recording_ ? recording_->flush_due() : -1;
    short events = 0;
    const Waited waited = wait_for_input(fd, stop_, due, events);
    if (waited == Waited::Stopped) return;
    if (waited == Waited::Failed) {
      if (errno == EINTR) continue;
      return end(Failure::serial(errno));
    }
    if (waited == Waited::Ready) {
      const auto seen = static_cast<unsigned short>(events);
      if (seen >= kUnknownPollEvents) return end(Failure::serial(EIO));
      if (seen != POLLIN) return end(Failure::serial((seen & (POLLHUP | POLLNVAL)) != 0 ? EPIPE : EIO));
      std::lock_guard lock(read_mutex_);
      int err = 0;
      const Got got = read_once(window, err);
      if (got == Got::Ended) return;
      if (got == Got::Failed) return end(Failure::serial(err));
    }
    // Flushed here alone: the owner reading meanwhile never waits for the disk.
    if (recording_) {
      const std::int64_t flush_at = recording_->flush_due();
      if (flush_at >= 0 && flush_at <= monotonic_ns() && !recording_->flush()) {
        return end(*recording_->failure(), true);
      }
    }
  }
}

}  // namespace vorn
