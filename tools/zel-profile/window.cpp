// Window options and the samples they keep.
#include "window.h"

#include <charconv>

#include "number_text.h"
#include "profile_stats.h"

namespace zel_profile {

using zel_tools::grouped;

namespace {

// Decimal digits alone, no sign or blank, at most `max`.
std::optional<std::uint64_t> whole_number(std::string_view text, std::uint64_t max) {
  if (text.empty() || text.size() > 12) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > max) return std::nullopt;
  return value;
}

}  // namespace

bool Window::holds(const zel_package::CycleSample& sample) const {
  const std::uint64_t start = sample.start_cycle;
  const std::uint64_t end = start + sample_cycles(sample);
  const bool starts_before_end = !to || start < *to;
  const std::uint64_t begin = from.value_or(0);
  return starts_before_end && (end == start ? start >= begin : end > begin);
}

std::string Window::description() const {
  std::string text =
      "cycles " + grouped(from.value_or(0)) + " to " + (to ? grouped(*to) : "the end");
  if (tiles) text += ", tiles " + tiles_text;
  return text;
}

std::expected<std::uint32_t, std::string> parse_cycle(std::string_view option,
                                                      std::string_view text) {
  const auto value = whole_number(text, UINT32_MAX);
  if (!value) {
    return std::unexpected(std::string(option) + " '" + std::string(text) +
                           "': not a cycle number (0 to 4294967295)");
  }
  return static_cast<std::uint32_t>(*value);
}

std::expected<std::vector<bool>, std::string> parse_tiles(std::string_view text) {
  std::vector<bool> tiles(kLastTile + 1, false);
  const auto problem = [&](const std::string& what) {
    return std::unexpected("--tiles '" + std::string(text) + "': " + what);
  };
  std::size_t at = 0;
  do {
    const std::size_t comma = std::min(text.find(',', at), text.size());
    const std::string_view entry = text.substr(at, comma - at);
    const std::size_t dash = entry.find('-');
    const std::string_view low = entry.substr(0, dash);
    const std::string_view high = dash == std::string_view::npos ? low : entry.substr(dash + 1);
    const auto first = whole_number(low, UINT32_MAX), last = whole_number(high, UINT32_MAX);
    if (!first || !last) {
      return problem("'" + std::string(entry) +
                     "' is not a tile number or a range of them such as 0-63");
    }
    if (*first > *last) return problem("the range " + std::string(entry) + " runs backwards");
    if (*last > kLastTile) {
      return problem("tile " + std::to_string(*last) + " is not on the card (0 to " +
                     std::to_string(kLastTile) + ")");
    }
    for (std::uint64_t tile = *first; tile <= *last; ++tile) tiles[tile] = true;
    at = comma + 1;
  } while (at <= text.size());
  return tiles;
}

}  // namespace zel_profile
