// Sums over a profile's samples.
#include "profile_stats.h"

#include <algorithm>
#include <numeric>
#include <unordered_set>

namespace zel_profile {

std::string_view kind_name(zel_package::ProfileStepKind kind) {
  switch (kind) {
    case zel_package::ProfileStepKind::Exchange:
      return "exchange";
    case zel_package::ProfileStepKind::Compute:
      return "compute";
    case zel_package::ProfileStepKind::Synchronization:
      return "synchronization";
    case zel_package::ProfileStepKind::Idle:
      return "idle";
  }
  return "unknown";
}

std::uint64_t ProfileStats::total_cycles() const {
  return std::accumulate(cycles_by_kind.begin(), cycles_by_kind.end(), std::uint64_t{0});
}

ProfileStats compute_stats(const zel_package::ProfileReport& report) {
  ProfileStats stats;
  stats.tiles = report.tiles.size();
  std::unordered_set<std::uint32_t> seen;
  stats.loads.reserve(report.tiles.size());
  for (const auto& tile : report.tiles) {
    seen.insert(tile.physical_tile);
    TileLoad load{tile.physical_tile, 0, 0};
    for (const auto& sample : tile.samples) {
      const auto kind = static_cast<std::size_t>(sample.step.kind);
      const std::uint64_t cycles = sample_cycles(sample);
      ++stats.samples;
      ++stats.samples_by_kind[kind];
      stats.cycles_by_kind[kind] += cycles;
      if (sample.end_cycle < sample.start_cycle) ++stats.reversed_samples;
      load.total_cycles += cycles;
      if (sample.step.kind != zel_package::ProfileStepKind::Idle) load.busy_cycles += cycles;
      stats.first_cycle =
          std::min(stats.first_cycle.value_or(sample.start_cycle), sample.start_cycle);
      stats.last_cycle = std::max(stats.last_cycle.value_or(sample.end_cycle), sample.end_cycle);
    }
    stats.loads.push_back(load);
  }
  stats.distinct_tiles = seen.size();
  return stats;
}

}  // namespace zel_profile
