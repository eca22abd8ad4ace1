#include "clock.hpp"

#include <time.h>

namespace vorn {

namespace {
constexpr Timestamp kNanosPerSecond = 1'000'000'000;
}

std::optional<Timestamp> wall_clock_ns() {
  timespec now{};
  // CLOCK_REALTIME is always available on Linux; a failure would leave `now`
  // at the epoch, which is still a valid reading.
  clock_gettime(CLOCK_REALTIME, &now);
  if (now.tv_sec < 0) return std::nullopt;
  return static_cast<Timestamp>(now.tv_sec) * kNanosPerSecond + static_cast<Timestamp>(now.tv_nsec);
}

}  // namespace vorn
