// Failures as values: the core never throws across its interface and never
// touches Python; the binding turns a Failure into the matching exception.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace vorn {

// What went wrong, for callers to switch on; the text is derived from it.
enum class Errc {
  Other,             // nothing to switch on: the text says it all
  System,            // an errno value (`err`): "<description> (os error <err>)"
  Serial,            // an errno value (`err`) on the serial port: the kernel's description alone
  ReadTimedOut,      // no input within a port's read time-out
  Stopped,           // a wait for input cut short by stop(); never shown to anyone
  LockHeld,          // another process holds the port's lock
  SettingsMismatch,  // the port did not take its settings
  ChannelTimedOut,   // a waiting drain got no record in time
  OutOfResource,     // an errno value (`err`): the system lacks something the engine needs for itself
                     // (descriptors); the text says what, and the exception carries the code
};

// Display text of a waiting drain that got no record in time.
inline constexpr std::string_view kTimedOutText = "timed out waiting on channel";
// The failure text of a read that saw no input within the read time-out.
inline constexpr const char* kReadTimedOutText = "Operation timed out";

// "<description> (os error <code>)", the description being the C library's.
std::string os_error_text(int code);

// The kernel's short description of an errno value (1 to 133), "Unknown
// errno" for any other. Serial failures show these texts alone.
const char* kernel_error_text(int code);

struct Failure {
  enum class Kind {
    Os,     // an I/O or operating-system failure; reaches Python as OSError
    Fatal,  // a fault that is not the caller's to handle; the fatal-error exception
  };
  Kind kind = Kind::Os;
  Errc code = Errc::Other;
  int err = 0;          // the errno value of System and Serial failures
  std::string message;  // the display text, exactly as the user sees it

  static Failure os(std::string text) { return {Kind::Os, Errc::Other, 0, std::move(text)}; }
  static Failure fatal(std::string text) { return {Kind::Fatal, Errc::Other, 0, std::move(text)}; }
  // An errno value in the C library's words, with its code.
  static Failure system(int err);
  // An errno value on the serial port, in the kernel's words alone.
  static Failure serial(int err);
  // The engine's own need that the system refused (`what` failed with `err`).
  static Failure out_of_resource(std::string_view what, int err);
  // One of ours without an errno (not System or Serial).
  static Failure of(Errc code);

  bool is(Errc c, int e = 0) const { return code == c && err == e; }
};

// Either a T or a Failure.
template <class T>
class Result {
 public:
  Result(T value) : v_(std::move(value)) {}
  Result(Failure failure) : v_(std::move(failure)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const T& value() const& { return std::get<0>(v_); }
  Failure& error() & { return std::get<1>(v_); }
  Failure&& error() && { return std::get<1>(std::move(v_)); }
  const Failure& error() const& { return std::get<1>(v_); }

 private:
  std::variant<T, Failure> v_;
};

}  // namespace vorn
