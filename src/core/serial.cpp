// Serial port source: open, claim, configure and read a terminal device.
#include "serial.hpp"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <limits>
#include <utility>

namespace vorn {

namespace {

// The kernel's extended terminal settings, with separate speed fields. Its
// own header (<asm/termbits.h>) clashes with <termios.h>, so the layout is
// restated here and checked against the ioctl numbers the kernel expects.
constexpr std::size_t kKernelNccs = 19;
struct KernelTermios2 {
  tcflag_t c_iflag;
  tcflag_t c_oflag;
  tcflag_t c_cflag;
  tcflag_t c_lflag;
  cc_t c_line;
  cc_t c_cc[kKernelNccs];
  speed_t c_ispeed;
  speed_t c_ospeed;
};
static_assert(sizeof(KernelTermios2) == 44);
static_assert(offsetof(KernelTermios2, c_ispeed) == 36);

constexpr unsigned long kTcGets2 = _IOR('T', 0x2A, KernelTermios2);
constexpr unsigned long kTcSets2 = _IOW('T', 0x2B, KernelTermios2);
static_assert(kTcGets2 == 0x802C542AUL && kTcSets2 == 0x402C542BUL);

// Speed taken from c_ispeed/c_ospeed rather than from the CBAUD code.
constexpr tcflag_t kBother = 0010000;
constexpr tcflag_t kBaudExtended = 0010000;  // CBAUDEX: the codes above B38400
constexpr unsigned kInputBaudShift = 16;     // IBSHIFT: CIBAUD is CBAUD moved up

// The speed of each Bnnn code: B0 to B38400, then B57600 to B4000000
// (CBAUDEX plus 1 to 15), as the kernel's own table has them.
constexpr std::array<std::uint32_t, 31> kCodeSpeeds = {
    0,      50,      75,      110,     134,     150,     200,     300,     600,     1200,   1800,
    2400,   4800,    9600,    19200,   38400,   57600,   115200,  230400,  460800,  500000, 576000,
    921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000,
};

// A receiver samples the stop bit of an 8N1 frame 9.5 bit times after the
// start edge that resynchronised it; with 16x oversampling the sample must
// land within 7/16 of a bit of the middle, so the two ends together may be
// (7/16) / 9.5, about 4.6%, apart. Half of that budget is the host's: a driver
// that rounds to its nearest divisor within 2% still frames every byte; one
// that kept another speed (a refused rate, a fall-back to 9600) does not.
constexpr std::uint64_t kSpeedTolerancePercent = 2;

constexpr std::uint64_t kMillisPerSecond = 1000;
constexpr std::uint32_t kNanosPerMilli = 1'000'000;

// Every poll event bit the kernel defines lies below this value; anything at
// or above it is a condition we do not know how to read.
constexpr unsigned kUnknownPollEvents = 0x400;

constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t extra = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      extra = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      extra = 2;
      if (lead == 0xE0) lo = 0xA0;
      if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      extra = 3;
      if (lead == 0xF0) lo = 0x90;
      if (lead == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto cont = static_cast<unsigned char>(text[i + k]);
      const unsigned char min = k == 1 ? lo : 0x80;
      const unsigned char max = k == 1 ? hi : 0xBF;
      if (cont < min || cont > max) return false;
    }
    i += extra + 1;
  }
  return true;
}

// The speed of a CBAUD value other than BOTHER.
std::uint32_t code_speed(tcflag_t code) {
  code &= CBAUD;
  if ((code & kBaudExtended) == 0) return kCodeSpeeds[code];
  const tcflag_t above = code & ~kBaudExtended;
  return above >= 1 && above <= 15 ? kCodeSpeeds[15 + above] : 0;
}

}  // namespace

LineSpeeds effective_speeds(std::uint32_t cflag, std::uint32_t ispeed, std::uint32_t ospeed) {
  const tcflag_t out_code = cflag & CBAUD;
  const std::uint32_t output = out_code == kBother ? ospeed : code_speed(out_code);
  const tcflag_t in_code = (cflag >> kInputBaudShift) & CBAUD;
  if (in_code == B0) return {output, output};
  return {in_code == kBother ? ispeed : code_speed(in_code), output};
}

bool speed_is_close_enough(std::uint32_t requested, std::uint32_t effective) {
  const std::uint64_t off = requested > effective ? requested - effective : effective - requested;
  return off * 100 <= static_cast<std::uint64_t>(requested) * kSpeedTolerancePercent;
}

Result<LineSpeeds> set_line(int fd, std::uint32_t baud_rate) {
  KernelTermios2 line{};
  if (::ioctl(fd, kTcGets2, &line) != 0) return Failure::serial(errno);
  // No parity.
  line.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD);
  line.c_iflag &= ~static_cast<tcflag_t>(INPCK);
  line.c_iflag |= IGNPAR;
  // No flow control.
  line.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
  line.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
  // 8 data bits, 1 stop bit, speed from the speed fields.
  line.c_cflag &= ~static_cast<tcflag_t>(CBAUD | CIBAUD | CSIZE | CSTOPB);
  line.c_cflag |= CS8 | kBother;
  line.c_ispeed = baud_rate;
  line.c_ospeed = baud_rate;
  if (::ioctl(fd, kTcSets2, &line) != 0) return Failure::serial(errno);
  // Drivers answer a speed they cannot make by keeping another one (a UART
  // keeps its previous rate, ftdi_sio falls back to 9600) while the call
  // succeeds: what counts is what reads back.
  KernelTermios2 taken{};
  if (::ioctl(fd, kTcGets2, &taken) != 0) return Failure::serial(errno);
  return effective_speeds(taken.c_cflag, taken.c_ispeed, taken.c_ospeed);
}

TTYPort::TTYPort(int fd, std::string path, std::uint64_t timeout_ms)
    : path_(std::move(path)),
      timeout_sec_(timeout_ms / kMillisPerSecond),
      timeout_nsec_(static_cast<std::uint32_t>(timeout_ms % kMillisPerSecond) * kNanosPerMilli),
      fd_(fd),
      opener_(::getpid()) {}

TTYPort::~TTYPort() {
  if (fd_ < 0) return;  // forsaken
  // Exclusive mode belongs to whoever set it; leaving it on someone else's
  // behalf would let other programs open their device. A forked child shares
  // the terminal with its parent, so it leaves it to the parent.
  if (exclusive_ && !opened_elsewhere()) ::ioctl(fd_, TIOCNXCL);
  ::close(fd_);
}

bool TTYPort::opened_elsewhere() const { return ::getpid() != opener_; }

void TTYPort::forsake() {
  ::close(fd_);
  fd_ = -1;
}

Result<std::unique_ptr<TTYPort>> TTYPort::open(const SerialSettings& settings) {
  if (settings.path.find('\0') != std::string::npos) return Failure::serial(EINVAL);

  const int fd = ::open(settings.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Failure::serial(errno);

  // Whether this open put the terminal into exclusive mode; only then does
  // giving up release it.
  bool claimed = false;
  auto abandon = [&](Failure failure) -> Failure {
    if (claimed) ::ioctl(fd, TIOCNXCL);
    ::close(fd);
    return failure;
  };

  int already_exclusive = 0;
  if (::ioctl(fd, TIOCGEXCL, &already_exclusive) != 0) return abandon(Failure::serial(errno));
  if (::ioctl(fd, TIOCEXCL) != 0) return abandon(Failure::serial(errno));
  claimed = already_exclusive == 0;

  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    return abandon(err == EWOULDBLOCK ? Failure::of(Errc::LockHeld) : Failure::serial(err));
  }

  struct termios raw{};
  if (::tcgetattr(fd, &raw) != 0) return abandon(Failure::serial(errno));
  raw.c_cflag |= CREAD | CLOCAL;
  ::cfmakeraw(&raw);
  // Whether the settings took is judged by reading them back, not by this
  // call's result, which reports success if any part applied.
  (void)::tcsetattr(fd, TCSANOW, &raw);
  struct termios applied{};
  if (::tcgetattr(fd, &applied) != 0) return abandon(Failure::of(Errc::SettingsMismatch));
  if (applied.c_iflag != raw.c_iflag || applied.c_oflag != raw.c_oflag || applied.c_cflag != raw.c_cflag ||
      applied.c_lflag != raw.c_lflag) {
    return abandon(Failure::of(Errc::SettingsMismatch));
  }

  // The descriptor stays non-blocking: reads wait in ppoll alone, where a
  // stop can end the wait, and a read that finds the input gone (another
  // reader of the terminal took it) goes back to waiting instead of blocking.
  const Result<LineSpeeds> speeds = set_line(fd, settings.baud_rate);
  if (!speeds) return abandon(speeds.error());
  // Their codes may legitimately differ from what was written (an exact
  // standard rate comes back as its Bnnn), so speeds are compared, not bits.
  // Rate 0 means "hang up", which each driver handles its own way.
  if (settings.baud_rate != 0 && (!speed_is_close_enough(settings.baud_rate, speeds.value().input) ||
                                  !speed_is_close_enough(settings.baud_rate, speeds.value().output))) {
    return abandon(Failure::of(Errc::SettingsMismatch));
  }

  std::unique_ptr<TTYPort> port(new TTYPort(fd, settings.path, settings.timeout_ms));
  port->exclusive_ = claimed;
  return port;
}

Result<std::size_t> TTYPort::read(std::span<std::uint8_t> window, const StopSignal& stop) {
  // The deadline of the whole read; none when the time-out lies beyond the clock's range.
  std::int64_t deadline = -1;
  const std::int64_t now = monotonic_ns();
  const auto room = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max() - now);
  if (timeout_sec_ < room / kNanosPerSecond) {
    const auto span = static_cast<std::int64_t>(timeout_sec_) * kNanosPerSecond + timeout_nsec_;
    if (static_cast<std::uint64_t>(span) <= room) deadline = now + span;
  }
  for (;;) {
    short events = 0;
    switch (wait_for_input(fd_, stop, deadline, events)) {
      case Waited::Stopped:
        return Failure::of(Errc::Stopped);
      case Waited::TimedOut:
        return Failure::of(Errc::ReadTimedOut);
      case Waited::Failed:
        return Failure::serial(errno);
      case Waited::Ready:
        break;
    }
    const auto seen = static_cast<unsigned short>(events);
    if (seen >= kUnknownPollEvents) return Failure::serial(EIO);
    if (seen != POLLIN) return Failure::serial((seen & (POLLHUP | POLLNVAL)) != 0 ? EPIPE : EIO);

    const ssize_t count = ::read(fd_, window.data(), window.size());
    if (count > 0) return static_cast<std::size_t>(count);
    // Someone else read the input first: wait for the rest of the time-out.
    if (count < 0 && errno == EAGAIN) continue;
    if (count < 0) return Failure::serial(errno);
    // A raw line that polled readable gives at least a byte, unless the device
    // hung up between the wait and the read (an unplug, caught mid-flight): the
    // same failure as the POLLHUP above, never a quiet end of input.
    return Failure::serial(EPIPE);
  }
}

Result<VornParser> new_serial(std::string_view path, std::uint32_t baud_rate, std::uint64_t read_timeout_ms) {
  if (!is_valid_utf8(path)) return Failure::fatal("serial port path is not valid UTF-8");
  const SerialSettings settings{std::string(path), baud_rate, read_timeout_ms};
  auto port = TTYPort::open(settings);
  if (!port) return std::move(port).error();
  return VornParser(std::move(port).value());
}

}  // namespace vorn
