#include "source.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

namespace vorn {

Result<StopSignal> StopSignal::make() {
  const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  // Out of descriptors is the caller's to handle (close some, try again), not a fault.
  if (fd < 0) return Failure::out_of_resource("failed to create the reader's stop signal", errno);
  return StopSignal(fd);
}

StopSignal::~StopSignal() {
  if (fd_ >= 0) ::close(fd_);
}

void StopSignal::raise() const {
  const std::uint64_t one = 1;
  if (fd_ >= 0) (void)!::write(fd_, &one, sizeof one);  // only fails when already at its limit
}

void StopSignal::lower() const {
  std::uint64_t count;
  if (fd_ >= 0) (void)!::read(fd_, &count, sizeof count);  // EAGAIN when not raised
}

void StopSignal::close_here() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::int64_t monotonic_ns() {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

Waited wait_for_input(int fd, const StopSignal& stop, std::int64_t deadline_ns, short& revents) {
  for (;;) {
    pollfd watch[2] = {{fd, POLLIN, 0}, {stop.fd(), POLLIN, 0}};
    timespec limit{};
    if (deadline_ns >= 0) {
      const std::int64_t left = deadline_ns - monotonic_ns();
      if (left > 0) limit = {static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
    }
    // A null mask keeps the caller's: on the reader thread every signal is
    // blocked, so nothing meant for Python ends this wait with EINTR.
    const int ready = ::ppoll(watch, 2, deadline_ns >= 0 ? &limit : nullptr, nullptr);
    if (ready < 0) return Waited::Failed;
    if (watch[1].revents != 0) return Waited::Stopped;
    if (watch[0].revents != 0) {
      revents = watch[0].revents;
      return Waited::Ready;
    }
    if (deadline_ns >= 0 && monotonic_ns() >= deadline_ns) return Waited::TimedOut;
  }
}

namespace {

// A recorded stream: a file read front to back.
class FileSource final : public ByteSource {
 public:
  explicit FileSource(int fd) : fd_(fd) {
    struct stat info;
    regular_ = ::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode);
    // Anything else (a FIFO, a device) may have nothing to read for as long
    // as its writer likes: it is read without blocking, after a wait that a
    // stop can end.
    if (!regular_) {
      const int flags = ::fcntl(fd_, F_GETFL);
      if (flags >= 0) ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
    }
    terminal_ = !regular_ && ::isatty(fd_) == 1;
  }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  ~FileSource() override {
    if (fd_ >= 0) ::close(fd_);
  }

  Result<std::size_t> read(std::span<std::uint8_t> window, const StopSignal& stop) override {
    for (;;) {
      short events = 0;
      if (!regular_) {
        switch (wait_for_input(fd_, stop, -1, events)) {
          case Waited::Stopped:
            return Failure::of(Errc::Stopped);
          case Waited::Failed:
            if (errno == EINTR) continue;
            return Failure::system(errno);
          case Waited::TimedOut:  // no deadline was given
          case Waited::Ready:
            break;
        }
      }
      ssize_t n = ::read(fd_, window.data(), window.size());
      // A terminal that hung up while the reader waited fails the read, as it
      // fails a read that was blocked in it at the time, rather than ending quietly.
      if (n == 0 && terminal_ && (events & POLLHUP) != 0) return Failure::system(EIO);
      if (n >= 0) return static_cast<std::size_t>(n);
      // A signal is no reason to give up on a file: nothing was read, try
      // again; nor is input that another reader took first.
      if (errno != EINTR && errno != EAGAIN) return Failure::system(errno);
    }
  }

  // A FIFO or a device opened as a recording can wait for its writer.
  bool reads_may_wait() const override { return !regular_; }

  void forsake() override {
    ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
  bool regular_;
  bool terminal_;
};

}  // namespace

Result<std::unique_ptr<ByteSource>> open_file_source(std::string_view path, const KeepOpening& keep_opening) {
  if (path.find('\0') != std::string_view::npos) {
    return Failure::os("file name contained an unexpected NUL byte");
  }
  std::string zpath(path);
  int fd;
  for (;;) {
    fd = ::open(zpath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0 || errno != EINTR) break;
    if (keep_opening && !keep_opening()) return Failure::system(EINTR);
  }
  if (fd < 0) return Failure::system(errno);
  return std::unique_ptr<ByteSource>(new FileSource(fd));
}

}  // namespace vorn
