// Plain-text reports of a profile.
#include "report_text.h"

#include <algorithm>

#include "number_text.h"

namespace zel_profile {

using zel_tools::align_left;
using zel_tools::align_right;
using zel_tools::fixed;

namespace {

constexpr std::size_t kListedTiles = 5;

std::string share_text(std::uint64_t part, std::uint64_t whole) {
  if (whole == 0) return "-";
  return fixed(100.0 * static_cast<double>(part) / static_cast<double>(whole), 1) + "%";
}

std::string tile_lines(const std::vector<TileLoad>& loads) {
  std::string out;
  for (const auto& load : loads) {
    out += "  tile " + align_right(std::to_string(load.physical_tile), 5) + " " +
           align_right(std::to_string(load.busy_cycles), 14) + " busy cycles  " +
           align_right(share_text(load.busy_cycles, load.total_cycles), 6) + " of its samples\n";
  }
  return out;
}

std::string kind_row(std::string_view name, std::uint64_t cycles, std::uint64_t total) {
  return align_left(name, 16) + " " + align_right(std::to_string(cycles), 20) + " " +
         align_right(share_text(cycles, total), 7) + "\n";
}

}  // namespace

std::string time_text(std::uint64_t cycles, std::uint64_t clock_hz) {
  const double seconds = static_cast<double>(cycles) / static_cast<double>(clock_hz);
  static constexpr struct {
    double scale;
    const char* unit;
  } kUnits[] = {{1, "s"}, {1e3, "ms"}, {1e6, "us"}, {1e9, "ns"}};
  for (const auto& [scale, unit] : kUnits) {
    const double value = seconds * scale;
    // 0.99996 s rounds to "1 s", not "1000 ms".
    if (value < 0.99995 && scale < 1e9 && seconds != 0) continue;
    // Four significant digits, without the zeros that trail them.
    const int decimals = value >= 100 ? 1 : value >= 10 ? 2 : 3;
    std::string text = fixed(value, decimals);
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
    return text + " " + unit;
  }
  return {};
}

std::string check_text(const ProfileStats& stats) {
  std::string out = "tiles: " + std::to_string(stats.tiles) +
                    "\nsamples: " + std::to_string(stats.samples) +
                    "\nclock_hz: " + std::to_string(stats.clock_hz) + "\n";
  out += "distinct_physical_tiles: " + std::to_string(stats.distinct_tiles) + "\n";
  out += "samples_by_kind:";
  for (std::size_t k = 0; k < kKinds; ++k) {
    out += std::string(k == 0 ? " " : ", ") +
           std::string(kind_name(static_cast<zel_package::ProfileStepKind>(k))) + " " +
           std::to_string(stats.samples_by_kind[k]);
  }
  out += "\n";
  if (stats.first_cycle) {
    out += "cycle_span: " + std::to_string(*stats.first_cycle) + ".." +
           std::to_string(*stats.last_cycle) + "\n";
  } else {
    out += "cycle_span: none\n";
  }
  out += "samples_ending_before_start: " + std::to_string(stats.reversed_samples) + "\n";
  return out;
}

std::string summary_text(const ProfileStats& stats) {
  std::string out = "tiles: " + std::to_string(stats.tiles) +
                    "  samples: " + std::to_string(stats.samples) +
                    "  clock_hz: " + std::to_string(stats.clock_hz) + "\n";
  if (stats.first_cycle) {
    const std::uint64_t span =
        *stats.last_cycle > *stats.first_cycle ? *stats.last_cycle - *stats.first_cycle : 0;
    out += "run: cycles " + std::to_string(*stats.first_cycle) + ".." +
           std::to_string(*stats.last_cycle) + ", " + std::to_string(span) + " cycles";
    out += stats.clock_hz == 0 ? ", no time (clock_hz is 0)\n"
                               : ", " + time_text(span, stats.clock_hz) + "\n";
  } else {
    out += "run: no samples\n";
  }

  const std::uint64_t total = stats.total_cycles();
  out += "\n";
  out += align_left("kind", 16) + " " + align_right("cycles", 20) + " " + align_right("share", 7) +
         "\n";
  for (std::size_t k = 0; k < kKinds; ++k) {
    out += kind_row(kind_name(static_cast<zel_package::ProfileStepKind>(k)),
                    stats.cycles_by_kind[k], total);
  }
  out += kind_row("total", total, total);

  if (stats.loads.empty()) return out;
  // Ties keep file order, so the listings are reproducible.
  const auto ranked = [&](bool busiest) {
    auto loads = stats.loads;
    std::stable_sort(loads.begin(), loads.end(), [&](const TileLoad& a, const TileLoad& b) {
      return busiest ? a.busy_cycles > b.busy_cycles : a.busy_cycles < b.busy_cycles;
    });
    loads.resize(std::min(kListedTiles, loads.size()));
    return loads;
  };
  out += "\nbusiest tiles:\n" + tile_lines(ranked(true));
  out += "idlest tiles:\n" + tile_lines(ranked(false));
  return out;
}

}  // namespace zel_profile
