// The host's wall clock as packet timestamps.
#pragma once

#include <optional>

#include "records.hpp"

namespace vorn {

// Nanoseconds since the Unix epoch, or nothing while the clock reads earlier
// than the epoch (an unsigned timestamp cannot express that).
using WallClock = std::optional<Timestamp> (*)();

std::optional<Timestamp> wall_clock_ns();

}  // namespace vorn
