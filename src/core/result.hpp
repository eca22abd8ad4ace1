// Failures as values: the core never throws across its interface and never
// touches Python; the binding turns a Failure into the matching exception.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace vorn {

struct Failure {
  enum class Kind {
    Os,     // an I/O or operating-system failure; reaches Python as OSError
    Fatal,  // a fault that is not the caller's to handle; the fatal-error exception
  };
  Kind kind = Kind::Os;
  std::string message;  // the display text, exactly as the user sees it

  static Failure os(std::string text) { return {Kind::Os, std::move(text)}; }
  static Failure fatal(std::string text) { return {Kind::Fatal, std::move(text)}; }
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
