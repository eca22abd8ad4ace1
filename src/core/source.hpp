// Byte sources: what the reader thread reads from. A source is owned by one
// thread at a time (the parser's owner while idle, the reader thread while it
// runs); destroying it closes the underlying file or device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "result.hpp"

namespace vorn {

// An event descriptor that the owner raises to end the reader's wait for
// input at once. Sources that wait wait on it too, so a stop never depends
// on a writer that is quiet or on a time-out that is long.
class StopSignal {
 public:
  // Fails only when the system has no descriptors left (Errc::OutOfResource).
  static Result<StopSignal> make();
  // A signal that is never raised, for reads outside a reader thread.
  static StopSignal none() { return StopSignal(-1); }
  StopSignal(StopSignal&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  StopSignal& operator=(StopSignal&&) = delete;
  ~StopSignal();

  void raise() const;
  // Lowers it again once the reader it stopped has been joined.
  void lower() const;
  // Readable while raised; -1 (which poll ignores) for none().
  int fd() const { return fd_; }
  // Closes this process's descriptor (a forked child's copy).
  void close_here();

 private:
  explicit StopSignal(int fd) : fd_(fd) {}
  int fd_;
};

// How a wait for input ended.
enum class Waited { Ready, Stopped, TimedOut, Failed };

// Waits until `fd` has input or a condition for read to report (`revents`
// says which), `stop` is raised, or the CLOCK_MONOTONIC time `deadline_ns`
// passes (negative: no deadline). Failed leaves errno set. The calling
// thread's signal mask stays as it is.
Waited wait_for_input(int fd, const StopSignal& stop, std::int64_t deadline_ns, short& revents);

// Now on CLOCK_MONOTONIC, in nanoseconds.
std::int64_t monotonic_ns();

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads into `window`; returns the count placed at its start (0: end of
  // stream) or a failure whose message is the text to show the user. A source
  // that waits for input ends the wait with a failure of code Errc::Stopped
  // as soon as `stop` is raised, having read nothing.
  virtual Result<std::size_t> read(std::span<std::uint8_t> window, const StopSignal& stop) = 0;
  // Whether a read may wait for input to arrive (a terminal, a pipe) instead
  // of returning at once (a regular file).
  virtual bool reads_may_wait() const { return true; }
  // In a process forked while a reader thread held this source: closes this
  // process's copies of its descriptors and undoes nothing that the open did
  // (locks and modes belong to the parent, which still uses them).
  virtual void forsake() {}
  // Whether this process is a fork of the one that opened the source, whose
  // locks, modes and input it is: nothing here may change or read them.
  virtual bool opened_elsewhere() const { return false; }
};

// Asked on the opening thread when a signal interrupts an open that waits (a
// FIFO without a writer): true to open again, false to give up, in which case
// the open fails with the interruption's text. The caller decides what a
// signal means; without a callback the open simply goes on.
using KeepOpening = std::function<bool()>;

// Opens a recorded stream read-only (close-on-exec). `path` is the file
// name's bytes in the filesystem encoding, not necessarily UTF-8.
Result<std::unique_ptr<ByteSource>> open_file_source(std::string_view path, const KeepOpening& keep_opening = {});

}  // namespace vorn
