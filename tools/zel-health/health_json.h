// The findings as one JSON document, for dashboards: the counts, the files
// skipped, and every card, test and cell with its verdict.
#pragma once

#include <string>
#include <vector>

#include "fleet.h"
#include "health_stats.h"
#include "output.h"

namespace zel_health {

struct Skipped {
  std::string path;
  std::string reason;
};

void write_json(const Fleet& fleet, const Findings& findings, const std::vector<Skipped>& skipped,
                zel_tools::Output& out);

}  // namespace zel_health
