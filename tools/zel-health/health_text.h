// What zel-health prints: a heading, a line per finding, then the failing
// tests by card (every test on every card with --all).
#pragma once

#include <string>

#include "fleet.h"
#include "health_stats.h"

namespace zel_health {

std::string health_text(const Fleet& fleet, const Findings& findings, bool all);

}  // namespace zel_health
