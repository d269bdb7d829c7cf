// The findings as a picture: a heat map of tests (down) by cards (across,
// grouped by host), each cell coloured by its failure share and marked with
// its count, suspect cards and flagged tests named in full; under it, each
// suspect card's runs in time order, coloured by how many tests failed.
#pragma once

#include "fleet.h"
#include "health_stats.h"
#include "output.h"

namespace zel_health {

void write_svg(const Fleet& fleet, const Findings& findings, zel_tools::Output& out);

}  // namespace zel_health
