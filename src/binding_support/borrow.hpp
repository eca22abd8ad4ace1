// Marks an object in use for the length of a call. The interpreter may run
// without its global lock, and a signal handler may call back into an object
// mid-call, so a second call meanwhile is refused (the caller raises its own
// text) instead of racing the first.
#pragma once

#include <atomic>

namespace vorn::py {

class Borrow {
 public:
  explicit Borrow(std::atomic<bool>& in_use) : in_use_(in_use), held_(!in_use.exchange(true)) {}
  ~Borrow() {
    if (held_) in_use_.store(false);
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  // Whether this call has the object; false: another call had it first.
  explicit operator bool() const { return held_; }

 private:
  std::atomic<bool>& in_use_;
  bool held_;
};

}  // namespace vorn::py
