// The text that `zel-profile check` and `zel-profile summary` print.
#pragma once

#include <string>

#include "profile_stats.h"

namespace zel_profile {

// Starts with "tiles: N", "samples: N" and "clock_hz: N", one per line.
std::string check_text(const ProfileStats& stats);

// Cycles and share per step kind, the busiest and idlest tiles, the run's length.
std::string summary_text(const ProfileStats& stats);

// `cycles` of a `clock_hz` clock as a time in the unit that reads best, to
// four significant digits: "2.737 us", "1.25 ms", "540.5 ns", "12 s".
std::string time_text(std::uint64_t cycles, std::uint64_t clock_hz);

}  // namespace zel_profile
