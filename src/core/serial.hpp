// Serial port source: a terminal device claimed for exclusive use, in raw
// mode, 8N1 without flow control, at an arbitrary baud rate.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <sys/types.h>

#include "parser.hpp"
#include "result.hpp"
#include "source.hpp"

namespace vorn {

inline constexpr std::uint32_t kDefaultBaudRate = 115200;

// The input and output speeds that a terminal's extended settings put into
// effect, decoded the way the kernel does: from the speed fields when the
// code is BOTHER, else from the Bnnn code (an input code of 0 means "same as
// the output").
struct LineSpeeds {
  std::uint32_t input;
  std::uint32_t output;
};
LineSpeeds effective_speeds(std::uint32_t cflag, std::uint32_t ispeed, std::uint32_t ospeed);

// Whether a line running at `effective` still talks to a unit sending at
// `requested`: within 2% either way (see serial.cpp for why).
bool speed_is_close_enough(std::uint32_t requested, std::uint32_t effective);

// Sets an open terminal's line to 8N1 without parity or flow control at
// `baud_rate`, given in the speed fields, and reads back the speeds the driver
// put into effect (a driver that cannot make a speed keeps another while the
// call succeeds; only this read-back tells). TTYPort::open does exactly this.
Result<LineSpeeds> set_line(int fd, std::uint32_t baud_rate);

struct SerialSettings {
  std::string path;  // UTF-8
  std::uint32_t baud_rate = kDefaultBaudRate;
  std::uint64_t timeout_ms = 100;
};

// An open terminal. Owned by one thread at a time. Destroying it leaves
// exclusive mode and closes the descriptor (dropping the advisory lock); in a
// process forked from the opener it only closes this process's copy.
class TTYPort final : public ByteSource {
 public:
  TTYPort(const TTYPort&) = delete;
  TTYPort& operator=(const TTYPort&) = delete;
  ~TTYPort() override;

  // Opens, claims and configures the device; a failure leaves nothing open.
  static Result<std::unique_ptr<TTYPort>> open(const SerialSettings& settings);

  // Waits up to the read time-out for input, then reads what is there.
  Result<std::size_t> read(std::span<std::uint8_t> window, const StopSignal& stop) override;
  void forsake() override;
  bool opened_elsewhere() const override;

  int fd() const { return fd_; }

 private:
  TTYPort(int fd, std::string path, std::uint64_t timeout_ms);

  std::string path_;
  std::uint64_t timeout_sec_;
  std::uint32_t timeout_nsec_;
  int fd_;  // -1 once forsaken
  bool exclusive_ = true;
  pid_t opener_;  // the process whose claim, lock and settings these are
};

// The engine over an open serial port. `path` must be UTF-8 (otherwise a
// fatal failure); open failures carry the serial failure's text alone.
Result<VornParser> new_serial(std::string_view path, std::uint32_t baud_rate, std::uint64_t read_timeout_ms);

}  // namespace vorn
