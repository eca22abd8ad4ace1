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

#include "result.hpp"

namespace vorn {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads into `window`; returns the count placed at its start (0: end of
  // stream) or a failure whose message is the text to show the user.
  virtual Result<std::size_t> read(std::span<std::uint8_t> window) = 0;
  // Whether a read may wait for input to arrive (a terminal, a pipe) instead
  // of returning at once (a regular file).
  virtual bool reads_may_wait() const { return true; }
};

// "<description> (os error <code>)", the description being the C library's.
std::string os_error_text(int code);

// Asked on the opening thread when a signal interrupts an open that waits (a
// FIFO without a writer): true to open again, false to give up, in which case
// the open fails with the interruption's text. The caller decides what a
// signal means; without a callback the open simply goes on.
using KeepOpening = std::function<bool()>;

// Opens a recorded stream read-only (close-on-exec). `path` is the file
// name's bytes in the filesystem encoding, not necessarily UTF-8.
Result<std::unique_ptr<ByteSource>> open_file_source(std::string_view path, const KeepOpening& keep_opening = {});

}  // namespace vorn
