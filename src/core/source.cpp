#include "source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace vorn {

std::string os_error_text(int code) {
  char scratch[256];
  // GNU strerror_r returns the text, which may or may not live in `scratch`.
  const char* text = strerror_r(code, scratch, sizeof scratch);
  return std::string(text) + " (os error " + std::to_string(code) + ")";
}

namespace {

// A recorded stream: a file read front to back.
class FileSource final : public ByteSource {
 public:
  explicit FileSource(int fd) : fd_(fd) {
    struct stat info;
    regular_ = ::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode);
  }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  ~FileSource() override { ::close(fd_); }

  Result<std::size_t> read(std::span<std::uint8_t> window) override {
    for (;;) {
      ssize_t n = ::read(fd_, window.data(), window.size());
      if (n >= 0) return static_cast<std::size_t>(n);
      // A signal is no reason to give up on a file: nothing was read, try again.
      if (errno != EINTR) return Failure::os(os_error_text(errno));
    }
  }

  // A FIFO or a device opened as a recording can wait for its writer.
  bool reads_may_wait() const override { return !regular_; }

 private:
  int fd_;
  bool regular_;
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
    if (keep_opening && !keep_opening()) return Failure::os(os_error_text(EINTR));
  }
  if (fd < 0) return Failure::os(os_error_text(errno));
  return std::unique_ptr<ByteSource>(new FileSource(fd));
}

}  // namespace vorn
