// Figures about a profile that the inspector prints: sample counts, cycles
// per step kind, the run's span and how busy each tile was.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "profile_stream.h"
#include "window.h"
#include "zel_package.h"

namespace zel_profile {

inline constexpr std::size_t kKinds = 4;

// exchange, compute, synchronization, idle: the schema's enumerant names.
std::string_view kind_name(zel_package::ProfileStepKind kind);

// Cycles a sample covers; a sample that ends before it starts covers none.
inline std::uint64_t sample_cycles(const zel_package::CycleSample& sample) {
  return sample.end_cycle > sample.start_cycle ? sample.end_cycle - sample.start_cycle : 0;
}

struct TileLoad {
  std::uint32_t physical_tile = 0;
  std::uint64_t busy_cycles = 0;  // every kind but idle
  std::uint64_t total_cycles = 0;
};

struct ProfileStats {
  std::uint64_t clock_hz = 0;
  std::uint64_t tiles = 0;
  std::uint64_t samples = 0;
  std::uint64_t distinct_tiles = 0;
  std::uint64_t reversed_samples = 0;  // end before start
  std::array<std::uint64_t, kKinds> samples_by_kind{};
  std::array<std::uint64_t, kKinds> cycles_by_kind{};
  // Earliest start and latest end over all samples; empty without samples.
  std::optional<std::uint32_t> first_cycle, last_cycle;
  std::vector<TileLoad> loads;  // one per tile, in file order

  std::uint64_t total_cycles() const;
};

// Sums a profile a tile at a time; with a window, only its tiles and samples.
class StatsCollector final : public zel_package::ProfileVisitor {
 public:
  explicit StatsCollector(const Window& window = {}) : window_(window) {}
  void start(std::uint64_t clock_hz, std::size_t tiles) override;
  void tile(const zel_package::TileProfile& tile) override;
  const ProfileStats& stats() const { return stats_; }

 private:
  Window window_;
  ProfileStats stats_;
  std::unordered_set<std::uint32_t> seen_;
};

ProfileStats compute_stats(const zel_package::ProfileReport& report);

}  // namespace zel_profile
