// Sums over a profile's samples.
#include "profile_stats.h"

#include <algorithm>
#include <numeric>

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

void StatsCollector::start(std::uint64_t clock_hz, std::size_t tiles) {
  stats_ = ProfileStats{};
  seen_.clear();
  stats_.clock_hz = clock_hz;
  stats_.loads.reserve(tiles);
}

void StatsCollector::tile(const zel_package::TileProfile& tile) {
  if (!window_.shows(tile.physical_tile)) return;
  ++stats_.tiles;
  if (seen_.insert(tile.physical_tile).second) ++stats_.distinct_tiles;
  TileLoad load{tile.physical_tile, 0, 0};
  for (const auto& sample : tile.samples) {
    if (!window_.holds(sample)) continue;
    const auto kind = static_cast<std::size_t>(sample.step.kind);
    const std::uint64_t cycles = sample_cycles(sample);
    ++stats_.samples;
    ++stats_.samples_by_kind[kind];
    stats_.cycles_by_kind[kind] += cycles;
    if (sample.end_cycle < sample.start_cycle) ++stats_.reversed_samples;
    load.total_cycles += cycles;
    if (sample.step.kind != zel_package::ProfileStepKind::Idle) load.busy_cycles += cycles;
    stats_.first_cycle =
        std::min(stats_.first_cycle.value_or(sample.start_cycle), sample.start_cycle);
    stats_.last_cycle = std::max(stats_.last_cycle.value_or(sample.end_cycle), sample.end_cycle);
  }
  stats_.loads.push_back(load);
}

ProfileStats compute_stats(const zel_package::ProfileReport& report) {
  StatsCollector collector;
  collector.start(report.clock_hz, report.tiles.size());
  for (const auto& tile : report.tiles) collector.tile(tile);
  return collector.stats();
}

}  // namespace zel_profile
