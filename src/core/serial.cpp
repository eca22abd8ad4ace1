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
    0,      50,     75,     110,     134,     150,     200,     300,     600,     1200,    1800,
    2400,   4800,   9600,   19200,   38400,   57600,   115200,  230400,  460800,  500000,  576000,
    921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000,
};

// A receiver samples the stop bit of an 8N1 frame 9.5 bit times after the
// start edge that resynchronised it; with 16x oversampling the sample must
// land within 7/16 of a bit of the middle, so the two ends together may be
// (7/16) / 9.5, about 4.6%, apart. Half of that budget is the host's: a driver
// that rounds to its nearest divisor within 2% still frames every byte; one
// that kept another speed (a refused rate, a fall-back to 9600) does not.
constexpr std::uint64_t kSpeedTolerancePercent = 2;

constexpr const char* kUnknownErrno = "Unknown errno";
constexpr const char* kLockHeldText = "Unable to acquire exclusive lock on serial port";
constexpr const char* kSettingsMismatchText = "Settings did not apply correctly";

// 2^64 - 2048, the largest double below 2^64.
constexpr double kLargestMillisBelowWrap = 18446744073709549568.0;
constexpr std::uint64_t kMillisPerSecond = 1000;
constexpr std::uint32_t kNanosPerMilli = 1'000'000;

// Every poll event bit the kernel defines lies below this value; anything at
// or above it is a condition we do not know how to read.
constexpr unsigned kUnknownPollEvents = 0x400;

// Indexed by errno; the comments of asm-generic/errno-base.h and errno.h.
// 41 and 58 are unassigned (EWOULDBLOCK and EDEADLOCK only alias 11 and 35).
constexpr std::array<const char*, 134> kKernelErrorTexts = {
    /*   0 */ nullptr,
    /*   1 */ "Operation not permitted",
    /*   2 */ "No such file or directory",
    /*   3 */ "No such process",
    /*   4 */ "Interrupted system call",
    /*   5 */ "I/O error",
    /*   6 */ "No such device or address",
    /*   7 */ "Argument list too long",
    /*   8 */ "Exec format error",
    /*   9 */ "Bad file number",
    /*  10 */ "No child processes",
    /*  11 */ "Try again",
    /*  12 */ "Out of memory",
    /*  13 */ "Permission denied",
    /*  14 */ "Bad address",
    /*  15 */ "Block device required",
    /*  16 */ "Device or resource busy",
    /*  17 */ "File exists",
    /*  18 */ "Cross-device link",
    /*  19 */ "No such device",
    /*  20 */ "Not a directory",
    /*  21 */ "Is a directory",
    /*  22 */ "Invalid argument",
    /*  23 */ "File table overflow",
    /*  24 */ "Too many open files",
    /*  25 */ "Not a typewriter",
    /*  26 */ "Text file busy",
    /*  27 */ "File too large",
    /*  28 */ "No space left on device",
    /*  29 */ "Illegal seek",
    /*  30 */ "Read-only file system",
    /*  31 */ "Too many links",
    /*  32 */ "Broken pipe",
    /*  33 */ "Math argument out of domain of func",
    /*  34 */ "Math result not representable",
    /*  35 */ "Resource deadlock would occur",
    /*  36 */ "File name too long",
    /*  37 */ "No record locks available",
    /*  38 */ "Invalid system call number",
    /*  39 */ "Directory not empty",
    /*  40 */ "Too many symbolic links encountered",
    /*  41 */ nullptr,
    /*  42 */ "No message of desired type",
    /*  43 */ "Identifier removed",
    /*  44 */ "Channel number out of range",
    /*  45 */ "Level 2 not synchronized",
    /*  46 */ "Level 3 halted",
    /*  47 */ "Level 3 reset",
    /*  48 */ "Link number out of range",
    /*  49 */ "Protocol driver not attached",
    /*  50 */ "No CSI structure available",
    /*  51 */ "Level 2 halted",
    /*  52 */ "Invalid exchange",
    /*  53 */ "Invalid request descriptor",
    /*  54 */ "Exchange full",
    /*  55 */ "No anode",
    /*  56 */ "Invalid request code",
    /*  57 */ "Invalid slot",
    /*  58 */ nullptr,
    /*  59 */ "Bad font file format",
    /*  60 */ "Device not a stream",
    /*  61 */ "No data available",
    /*  62 */ "Timer expired",
    /*  63 */ "Out of streams resources",
    /*  64 */ "Machine is not on the network",
    /*  65 */ "Package not installed",
    /*  66 */ "Object is remote",
    /*  67 */ "Link has been severed",
    /*  68 */ "Advertise error",
    /*  69 */ "Srmount error",
    /*  70 */ "Communication error on send",
    /*  71 */ "Protocol error",
    /*  72 */ "Multihop attempted",
    /*  73 */ "RFS specific error",
    /*  74 */ "Not a data message",
    /*  75 */ "Value too large for defined data type",
    /*  76 */ "Name not unique on network",
    /*  77 */ "File descriptor in bad state",
    /*  78 */ "Remote address changed",
    /*  79 */ "Can not access a needed shared library",
    /*  80 */ "Accessing a corrupted shared library",
    /*  81 */ ".lib section in a.out corrupted",
    /*  82 */ "Attempting to link in too many shared libraries",
    /*  83 */ "Cannot exec a shared library directly",
    /*  84 */ "Illegal byte sequence",
    /*  85 */ "Interrupted system call should be restarted",
    /*  86 */ "Streams pipe error",
    /*  87 */ "Too many users",
    /*  88 */ "Socket operation on non-socket",
    /*  89 */ "Destination address required",
    /*  90 */ "Message too long",
    /*  91 */ "Protocol wrong type for socket",
    /*  92 */ "Protocol not available",
    /*  93 */ "Protocol not supported",
    /*  94 */ "Socket type not supported",
    /*  95 */ "Operation not supported on transport endpoint",
    /*  96 */ "Protocol family not supported",
    /*  97 */ "Address family not supported by protocol",
    /*  98 */ "Address already in use",
    /*  99 */ "Cannot assign requested address",
    /* 100 */ "Network is down",
    /* 101 */ "Network is unreachable",
    /* 102 */ "Network dropped connection because of reset",
    /* 103 */ "Software caused connection abort",
    /* 104 */ "Connection reset by peer",
    /* 105 */ "No buffer space available",
    /* 106 */ "Transport endpoint is already connected",
    /* 107 */ "Transport endpoint is not connected",
    /* 108 */ "Cannot send after transport endpoint shutdown",
    /* 109 */ "Too many references: cannot splice",
    /* 110 */ "Connection timed out",
    /* 111 */ "Connection refused",
    /* 112 */ "Host is down",
    /* 113 */ "No route to host",
    /* 114 */ "Operation already in progress",
    /* 115 */ "Operation now in progress",
    /* 116 */ "Stale file handle",
    /* 117 */ "Structure needs cleaning",
    /* 118 */ "Not a XENIX named type file",
    /* 119 */ "No XENIX semaphores available",
    /* 120 */ "Is a named type file",
    /* 121 */ "Remote I/O error",
    /* 122 */ "Quota exceeded",
    /* 123 */ "No medium found",
    /* 124 */ "Wrong medium type",
    /* 125 */ "Operation Canceled",
    /* 126 */ "Required key not available",
    /* 127 */ "Key has expired",
    /* 128 */ "Key has been revoked",
    /* 129 */ "Key was rejected by service",
    /* 130 */ "Owner died",
    /* 131 */ "State not recoverable",
    /* 132 */ "Operation not possible due to RF-kill",
    /* 133 */ "Memory page has hardware error",
};

Failure serial_failure(const char* text) { return Failure::os(text); }

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

const char* kernel_error_text(int code) {
  if (code < 0 || static_cast<std::size_t>(code) >= kKernelErrorTexts.size()) return kUnknownErrno;
  const char* text = kKernelErrorTexts[static_cast<std::size_t>(code)];
  return text != nullptr ? text : kUnknownErrno;
}

std::uint64_t timeout_to_millis(double seconds) {
  const double millis = seconds * static_cast<double>(kMillisPerSecond);
  if (!(millis > 0.0)) return 0;  // negative, zero or NaN
  if (millis > kLargestMillisBelowWrap) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(millis);
}

TTYPort::TTYPort(int fd, std::string path, std::uint64_t timeout_ms)
    : path_(std::move(path)),
      timeout_sec_(timeout_ms / kMillisPerSecond),
      timeout_nsec_(static_cast<std::uint32_t>(timeout_ms % kMillisPerSecond) * kNanosPerMilli),
      fd_(fd) {}

TTYPort::~TTYPort() {
  // Exclusive mode belongs to whoever set it; leaving it on someone else's
  // behalf would let other programs open their device.
  if (exclusive_) ::ioctl(fd_, TIOCNXCL);
  ::close(fd_);
}

Result<std::unique_ptr<TTYPort>> TTYPort::open(const SerialSettings& settings) {
  if (settings.path.find('\0') != std::string::npos) return serial_failure(kernel_error_text(EINVAL));

  const int fd = ::open(settings.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return serial_failure(kernel_error_text(errno));

  // Whether this open put the terminal into exclusive mode; only then does
  // giving up release it.
  bool claimed = false;
  auto abandon = [&](const char* text) -> Failure {
    if (claimed) ::ioctl(fd, TIOCNXCL);
    ::close(fd);
    return serial_failure(text);
  };

  int already_exclusive = 0;
  if (::ioctl(fd, TIOCGEXCL, &already_exclusive) != 0) return abandon(kernel_error_text(errno));
  if (::ioctl(fd, TIOCEXCL) != 0) return abandon(kernel_error_text(errno));
  claimed = already_exclusive == 0;

  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    return abandon(err == EWOULDBLOCK ? kLockHeldText : kernel_error_text(err));
  }

  struct termios raw {};
  if (::tcgetattr(fd, &raw) != 0) return abandon(kernel_error_text(errno));
  raw.c_cflag |= CREAD | CLOCAL;
  ::cfmakeraw(&raw);
  // Whether the settings took is judged by reading them back, not by this
  // call's result, which reports success if any part applied.
  (void)::tcsetattr(fd, TCSANOW, &raw);
  struct termios applied {};
  if (::tcgetattr(fd, &applied) != 0) return abandon(kSettingsMismatchText);
  if (applied.c_iflag != raw.c_iflag || applied.c_oflag != raw.c_oflag || applied.c_cflag != raw.c_cflag ||
      applied.c_lflag != raw.c_lflag) {
    return abandon(kSettingsMismatchText);
  }

  // Reads block (up to the ppoll time-out) from here on.
  if (::fcntl(fd, F_SETFL, 0) != 0) return abandon(kernel_error_text(errno));

  KernelTermios2 line {};
  if (::ioctl(fd, kTcGets2, &line) != 0) return abandon(kernel_error_text(errno));
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
  line.c_ispeed = settings.baud_rate;
  line.c_ospeed = settings.baud_rate;
  if (::ioctl(fd, kTcSets2, &line) != 0) return abandon(kernel_error_text(errno));

  // Drivers answer a speed they cannot make by keeping another one (a UART
  // keeps its previous rate, ftdi_sio falls back to 9600) while the call
  // succeeds; only the speeds read back tell. Their codes may legitimately
  // differ from what was written (an exact standard rate comes back as its
  // Bnnn), so speeds are compared, not bits. Rate 0 means "hang up", which
  // each driver handles its own way.
  if (settings.baud_rate != 0) {
    KernelTermios2 taken {};
    if (::ioctl(fd, kTcGets2, &taken) != 0) return abandon(kernel_error_text(errno));
    const LineSpeeds speeds = effective_speeds(taken.c_cflag, taken.c_ispeed, taken.c_ospeed);
    if (!speed_is_close_enough(settings.baud_rate, speeds.input) ||
        !speed_is_close_enough(settings.baud_rate, speeds.output)) {
      return abandon(kSettingsMismatchText);
    }
  }

  std::unique_ptr<TTYPort> port(new TTYPort(fd, settings.path, settings.timeout_ms));
  port->exclusive_ = claimed;
  return port;
}

Result<std::size_t> TTYPort::read(std::span<std::uint8_t> window) {
  pollfd watch{fd_, POLLIN, 0};
  const timespec limit{static_cast<time_t>(timeout_sec_), static_cast<long>(timeout_nsec_)};

  // Null mask keeps the reader's all-blocked mask: no signal meant for Python can end a wait with EINTR.
  const int ready = ::ppoll(&watch, 1, &limit, nullptr);
  if (ready < 0) return serial_failure(kernel_error_text(errno));
  if (ready == 0) return serial_failure(kReadTimedOutText);

  const auto events = static_cast<unsigned short>(watch.revents);
  if (events >= kUnknownPollEvents) return serial_failure(kernel_error_text(EIO));
  if (events != POLLIN) {
    return serial_failure(kernel_error_text((events & (POLLHUP | POLLNVAL)) != 0 ? EPIPE : EIO));
  }

  const ssize_t count = ::read(fd_, window.data(), window.size());
  if (count < 0) return serial_failure(kernel_error_text(errno));
  // A raw line that polled readable gives at least a byte, unless the device
  // hung up between the wait and the read (an unplug, caught mid-flight): the
  // same failure as the POLLHUP above, never a quiet end of input.
  if (count == 0) return serial_failure(kernel_error_text(EPIPE));
  return static_cast<std::size_t>(count);
}

Result<VornParser> new_serial(std::string_view path, std::uint32_t baud_rate, double timeout_seconds) {
  if (!is_valid_utf8(path)) return Failure::fatal("serial port path is not valid UTF-8");
  const SerialSettings settings{std::string(path), baud_rate, timeout_to_millis(timeout_seconds)};
  auto port = TTYPort::open(settings);
  if (!port) return Failure::os(std::move(port).error().message);
  return VornParser(std::move(port).value());
}

}  // namespace vorn
