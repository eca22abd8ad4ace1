// The serial source on real pseudo-terminals. The terminal side is inspected
// with the kernel's own termios2 definitions (not <termios.h>), so a wrong
// layout in the port's private copy would show up here.
#include <asm/termbits.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "serial.hpp"

namespace vorn {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr std::uint64_t kMaxMillis = std::numeric_limits<std::uint64_t>::max();
constexpr uid_t kNobody = 65534;

// A pseudo-terminal pair. `watcher` is a second descriptor on the slave that
// the port under test never owns, used to ask the terminal's exclusive state.
struct Pty {
  int master = -1;
  int watcher = -1;
  std::string path;

  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    char name[64];
    if (ptsname_r(master, name, sizeof name) != 0) return;
    path = name;
    watcher = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  }
  ~Pty() {
    if (watcher >= 0) ::close(watcher);
    close_master();
  }
  void close_master() {
    if (master >= 0) ::close(master);
    master = -1;
  }
  bool usable() const { return master >= 0 && watcher >= 0; }

  int exclusive() const {
    int on = -1;
    EXPECT_EQ(::ioctl(watcher, TIOCGEXCL, &on), 0);
    return on;
  }
  void send(const std::string& bytes) const {
    ASSERT_EQ(::write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
};

SerialSettings settings_for(const std::string& path, std::uint32_t baud = kDefaultBaudRate,
                            std::uint64_t timeout_ms = 1000) {
  return SerialSettings{path, baud, timeout_ms};
}

std::string open_error(const std::string& path) {
  auto port = TTYPort::open(settings_for(path));
  if (port) return "(opened)";
  return port.error().message;
}

int open_descriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

bool is_root() { return geteuid() == 0; }

// Reads until `want` bytes have come or a read fails.
std::string read_bytes(TTYPort& port, std::size_t want) {
  std::string got;
  std::vector<std::uint8_t> window(kReadChunk);
  while (got.size() < want) {
    auto count = port.read(window, StopSignal::none());
    if (!count) {
      ADD_FAILURE() << "read failed after " << got.size() << " bytes: " << count.error().message;
      break;
    }
    got.append(window.begin(), window.begin() + static_cast<std::ptrdiff_t>(count.value()));
  }
  return got;
}

TEST(SerialErrorText, KernelTextsNotTheCLibrarys) {
  const std::vector<std::pair<int, std::string>> rows = {
      {1, "Operation not permitted"},
      {2, "No such file or directory"},
      {4, "Interrupted system call"},
      {5, "I/O error"},
      {6, "No such device or address"},
      {9, "Bad file number"},
      {11, "Try again"},
      {13, "Permission denied"},
      {16, "Device or resource busy"},
      {19, "No such device"},
      {22, "Invalid argument"},
      {25, "Not a typewriter"},
      {32, "Broken pipe"},
      {34, "Math result not representable"},
      {35, "Resource deadlock would occur"},
      {38, "Invalid system call number"},
      {110, "Connection timed out"},
      {125, "Operation Canceled"},
      {133, "Memory page has hardware error"},
  };
  for (const auto& [code, text] : rows) EXPECT_EQ(kernel_error_text(code), text) << "errno " << code;
}

TEST(SerialErrorText, OnlyUnassignedCodesAreUnknown) {
  for (int code : {0, -1, 134, 41, 58, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()}) {
    EXPECT_STREQ(kernel_error_text(code), "Unknown errno") << "errno " << code;
  }
  int unknown = 0;
  for (int code = 1; code <= 133; ++code) unknown += std::string(kernel_error_text(code)) == "Unknown errno";
  EXPECT_EQ(unknown, 2);  // 41 and 58 only
}

// Drivers hand back the speed they took in either form: BOTHER with the speed
// fields, or a Bnnn code whose speed fields may say anything.
TEST(SerialSpeeds, DecodedAsTheKernelDoes) {
  auto speeds = [](std::uint32_t cflag, std::uint32_t ispeed, std::uint32_t ospeed) {
    const LineSpeeds s = effective_speeds(cflag | CS8 | CREAD, ispeed, ospeed);
    return std::pair{s.input, s.output};
  };
  using P = std::pair<std::uint32_t, std::uint32_t>;
  EXPECT_EQ(speeds(BOTHER, 921600, 921600), P(921600, 921600));
  EXPECT_EQ(speeds(BOTHER | (BOTHER << IBSHIFT), 250000, 1000000), P(250000, 1000000));
  // The code wins over stale speed fields; no input code means the output's.
  EXPECT_EQ(speeds(B115200, 921600, 921600), P(115200, 115200));
  EXPECT_EQ(speeds(B9600, 0, 0), P(9600, 9600));
  EXPECT_EQ(speeds(B38400 | (B1200 << IBSHIFT), 0, 0), P(1200, 38400));
  EXPECT_EQ(speeds(B0, 0, 0), P(0, 0));
  // Both code ranges, at their ends.
  EXPECT_EQ(speeds(B50, 0, 0).second, 50u);
  EXPECT_EQ(speeds(B57600, 0, 0).second, 57600u);
  EXPECT_EQ(speeds(B460800, 0, 0).second, 460800u);
  EXPECT_EQ(speeds(B4000000, 0, 0).second, 4000000u);
}

TEST(SerialSpeeds, ToleranceIsTwoPercent) {
  EXPECT_TRUE(speed_is_close_enough(921600, 921600));
  EXPECT_TRUE(speed_is_close_enough(921600, 923077));  // an FTDI's nearest divisor
  EXPECT_TRUE(speed_is_close_enough(100000, 102000));  // exactly 2% either way
  EXPECT_TRUE(speed_is_close_enough(100000, 98000));
  EXPECT_FALSE(speed_is_close_enough(100000, 102001));
  EXPECT_FALSE(speed_is_close_enough(100000, 97999));
  EXPECT_FALSE(speed_is_close_enough(921600, 115200));  // a UART kept its old rate
  EXPECT_FALSE(speed_is_close_enough(4000000, 9600));   // ftdi_sio's fall-back
  EXPECT_FALSE(speed_is_close_enough(4294967295u, 0));  // no overflow at the top
  EXPECT_TRUE(speed_is_close_enough(4294967295u, 4294967295u));
}

TEST(SerialTimeout, TruncatesAndSaturates) {
  EXPECT_EQ(timeout_to_millis(0.1), 100u);
  EXPECT_EQ(timeout_to_millis(2.0), 2000u);
  EXPECT_EQ(timeout_to_millis(0.0015), 1u);
  EXPECT_EQ(timeout_to_millis(0.0009), 0u);
  EXPECT_EQ(timeout_to_millis(0.0005), 0u);
  EXPECT_EQ(timeout_to_millis(0.0), 0u);
  EXPECT_EQ(timeout_to_millis(-0.0), 0u);
  EXPECT_EQ(timeout_to_millis(-1.0), 0u);
  EXPECT_EQ(timeout_to_millis(-std::numeric_limits<double>::infinity()), 0u);
  EXPECT_EQ(timeout_to_millis(std::nan("")), 0u);
  EXPECT_EQ(timeout_to_millis(std::numeric_limits<double>::infinity()), kMaxMillis);
  EXPECT_EQ(timeout_to_millis(1e300), kMaxMillis);
  // Either side of 2^64 ms (both products are exact doubles).
  EXPECT_EQ(timeout_to_millis(1.8e16), 18000000000000000000u);
  EXPECT_EQ(timeout_to_millis(1.9e16), kMaxMillis);
}

class SerialLineSettings : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(SerialLineSettings, RawEightNoneOneAtTheRequestedSpeed) {
  Pty pty;
  ASSERT_TRUE(pty.usable());
  auto port = TTYPort::open(settings_for(pty.path, GetParam()));
  ASSERT_TRUE(port) << port.error().message;

  termios2 line{};
  ASSERT_EQ(::ioctl(pty.master, TCGETS2, &line), 0);
  EXPECT_EQ(line.c_ispeed, GetParam());
  EXPECT_EQ(line.c_ospeed, GetParam());
  EXPECT_EQ(line.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
  EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(line.c_cflag & (PARENB | PARODD | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(line.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
  EXPECT_EQ(line.c_iflag & (IXON | IXOFF | INPCK | ICRNL | ISTRIP | BRKINT), 0u);
  EXPECT_NE(line.c_iflag & IGNPAR, 0u);
  EXPECT_EQ(line.c_oflag & OPOST, 0u);
  EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);

  const int fd = port.value()->fd();
  EXPECT_NE(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);  // reads wait in ppoll, where a stop ends them
  EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
}

INSTANTIATE_TEST_SUITE_P(Bauds, SerialLineSettings, ::testing::Values(115200u, 9600u, 921600u, 1u, 0u, 4294967295u));

// The part of the open that `vorn doctor` runs on its own descriptor.
TEST(SerialSetLine, ReturnsTheSpeedsReadBack) {
  Pty pty;
  ASSERT_TRUE(pty.usable());
  auto speeds = set_line(pty.watcher, 230400);
  ASSERT_TRUE(speeds) << speeds.error().message;
  EXPECT_EQ(speeds.value().input, 230400u);
  EXPECT_EQ(speeds.value().output, 230400u);
  EXPECT_FALSE(set_line(-1, 9600));
}

TEST(SerialExclusive, ClaimedWhileOpenReleasedOnDestruction) {
  Pty pty;
  ASSERT_TRUE(pty.usable());
  ASSERT_EQ(pty.exclusive(), 0);
  {
    auto port = TTYPort::open(settings_for(pty.path));
    ASSERT_TRUE(port) << port.error().message;
    EXPECT_EQ(pty.exclusive(), 1);

    // A second opener is refused and must not take the first one's claim away.
    EXPECT_EQ(open_error(pty.path),
              is_root() ? "Unable to acquire exclusive lock on serial port" : "Device or resource busy");
    EXPECT_EQ(pty.exclusive(), 1);

    pty.send("still mine");
    EXPECT_EQ(read_bytes(*port.value(), 10), "still mine");
  }
  EXPECT_EQ(pty.exclusive(), 0);
  auto again = TTYPort::open(settings_for(pty.path));
  EXPECT_TRUE(again) << again.error().message;
}

TEST(SerialExclusive, LeavesSomeoneElsesClaimInPlace) {
  if (!is_root()) GTEST_SKIP() << "only a privileged opener gets past another's exclusive mode";
  Pty pty;
  ASSERT_TRUE(pty.usable());
  ASSERT_EQ(::ioctl(pty.watcher, TIOCEXCL), 0);
  {
    auto port = TTYPort::open(settings_for(pty.path));
    ASSERT_TRUE(port) << port.error().message;
  }
  EXPECT_EQ(pty.exclusive(), 1);
}

TEST(SerialExclusive, UnprivilegedOpenerIsTurnedAwayByTheKernel) {
  if (!is_root()) GTEST_SKIP() << "needs root to change to another user";
  Pty pty;
  ASSERT_TRUE(pty.usable());
  ASSERT_EQ(::chmod(pty.path.c_str(), 0666), 0);
  auto port = TTYPort::open(settings_for(pty.path));
  ASSERT_TRUE(port) << port.error().message;

  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(report[0]);
    std::string text = "(could not drop privileges)";
    if (::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0) {
      text = open_error(pty.path);
    }
    (void)!::write(report[1], text.data(), text.size());
    ::_exit(0);
  }
  ::close(report[1]);
  std::string text;
  char chunk[128];
  ssize_t n;
  while ((n = ::read(report[0], chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<std::size_t>(n));
  ::close(report[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  if (text == "(could not drop privileges)") GTEST_SKIP() << text;
  EXPECT_EQ(text, "Device or resource busy");
  EXPECT_EQ(pty.exclusive(), 1);
}

TEST(SerialRead, DeliversRawBytesUnchanged) {
  Pty pty;
  ASSERT_TRUE(pty.usable());
  auto port = TTYPort::open(settings_for(pty.path));
  ASSERT_TRUE(port) << port.error().message;
  // Line endings, interrupt and end-of-file characters and a NUL must pass
  // through the raw line untouched.
  const std::string bytes("\x75\x65\x82\r\n\x03\x04\x7f\x00\xff", 10);
  pty.send(bytes);
  EXPECT_EQ(read_bytes(*port.value(), bytes.size()), bytes);
}

TEST(SerialRead, SilentLineTimesOut) {
  Pty pty;
  ASSERT_TRUE(pty.usable());
  auto port = TTYPort::open(settings_for(pty.path, kDefaultBaudRate, 1100));
  ASSERT_TRUE(port) << port.error().message;
  std::vector<std::uint8_t> window(kReadChunk);

  const auto start = steady_clock::now();
  auto count = port.value()->read(window, StopSignal::none());
  const auto waited = steady_clock::now() - start;
  ASSERT_FALSE(count);
  EXPECT_EQ(count.error().message, "Operation timed out");
  // Whole seconds plus the remaining milliseconds: 1 s and 100 ms.
  EXPECT_GE(waited, milliseconds(1100));
  EXPECT_LT(waited, milliseconds(5000));
}

TEST(SerialRead, ZeroTimeoutReadsOnlyWhatIsWaiting) {
  Pty pty;
  ASSERT_TRUE(pty.usable());
  auto port = TTYPort::open(settings_for(pty.path, kDefaultBaudRate, 0));
  ASSERT_TRUE(port) << port.error().message;
  std::vector<std::uint8_t> window(kReadChunk);

  auto silent = port.value()->read(window, StopSignal::none());
  ASSERT_FALSE(silent);
  EXPECT_EQ(silent.error().message, "Operation timed out");

  pty.send("x");
  pollfd arrival{pty.watcher, POLLIN, 0};
  ASSERT_EQ(::poll(&arrival, 1, 1000), 1);
  auto count = port.value()->read(window, StopSignal::none());
  ASSERT_TRUE(count) << count.error().message;
  EXPECT_EQ(count.value(), 1u);
  EXPECT_EQ(window[0], 'x');
}

TEST(SerialRead, HangUpIsABrokenPipe) {
  Pty pty;
  ASSERT_TRUE(pty.usable());
  auto port = TTYPort::open(settings_for(pty.path));
  ASSERT_TRUE(port) << port.error().message;
  pty.close_master();
  std::vector<std::uint8_t> window(kReadChunk);
  auto count = port.value()->read(window, StopSignal::none());
  ASSERT_FALSE(count);
  // A pty slave reports POLLHUP (with POLLIN|POLLERR) once its master is gone.
  EXPECT_EQ(count.error().message, "Broken pipe");
}

TEST(SerialOpen, FailuresLeaveNothingOpen) {
  char file_path[] = "/tmp/vorn_serial_XXXXXX";
  const int file = ::mkstemp(file_path);
  ASSERT_GE(file, 0);
  ::close(file);
  Pty pty;
  ASSERT_TRUE(pty.usable());

  const int before = open_descriptors();
  EXPECT_EQ(open_error(file_path), "Not a typewriter");
  EXPECT_EQ(open_error("/dev/null"), "Not a typewriter");
  EXPECT_EQ(open_error("/nonexistent/vorn/tty"), "No such file or directory");
  // Cut at the NUL the path would name a real, free terminal.
  EXPECT_EQ(open_error(pty.path + std::string("\0junk", 5)), "Invalid argument");
  EXPECT_EQ(open_descriptors(), before);
  EXPECT_EQ(pty.exclusive(), 0);
  ::unlink(file_path);
}

TEST(SerialNewSerial, BuildsTheEngineOrReportsTheBareText) {
  // Overlong, surrogate, cut short, above U+10FFFF, stray continuation.
  for (const char* bad :
       {"/dev/\xc0\xaf", "/dev/\xed\xa0\x80", "/dev/\xe2\x82", "/dev/\xf4\x90\x80\x80", "/dev/\x80"}) {
    auto parser = new_serial(bad, kDefaultBaudRate, 100);
    ASSERT_FALSE(parser) << bad;
    EXPECT_EQ(parser.error().kind, Failure::Kind::Fatal) << bad;
  }
  // Well-formed multi-byte names get as far as the open.
  for (const char* good : {"/nonexistent/\xc3\xa9", "/nonexistent/\xe2\x82\xac", "/nonexistent/\xf0\x9f\x98\x80"}) {
    auto parser = new_serial(good, kDefaultBaudRate, 100);
    ASSERT_FALSE(parser) << good;
    EXPECT_EQ(parser.error().message, "No such file or directory") << good;
  }

  auto missing = new_serial("/nonexistent/vorn/tty", kDefaultBaudRate, 100);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind, Failure::Kind::Os);
  EXPECT_EQ(missing.error().message, "No such file or directory");

  Pty pty;
  ASSERT_TRUE(pty.usable());
  {
    // A zero time-out: the silent line ends the reader at once.
    auto parser = new_serial(pty.path, kDefaultBaudRate, timeout_to_millis(0.0009));
    ASSERT_TRUE(parser) << parser.error().message;
    EXPECT_EQ(pty.exclusive(), 1);
    ASSERT_TRUE(parser.value().start());
    const auto give_up = steady_clock::now() + std::chrono::seconds(5);
    while (parser.value().is_running() && steady_clock::now() < give_up) {
      std::this_thread::sleep_for(milliseconds(5));
    }
    EXPECT_EQ(parser.value().take_error(), std::optional<std::string>("Operation timed out"));
  }
  EXPECT_EQ(pty.exclusive(), 0);
}

}  // namespace
}  // namespace vorn
