// The part of a profile that `svg` and `trace` draw: the samples that overlap
// a span of cycles, on a set of tiles, as given by --from, --to and --tiles.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zel_package.h"

namespace zel_profile {

// Physical tile numbers run from 0 to this on the card.
inline constexpr std::uint32_t kLastTile = 1471;

struct Window {
  std::optional<std::uint32_t> from;       // empty: from cycle 0
  std::optional<std::uint32_t> to;         // empty: up to the end of the run
  std::optional<std::vector<bool>> tiles;  // by physical number; empty: every tile
  std::string tiles_text;                  // --tiles as given

  // Whether --from, --to or --tiles narrowed it.
  bool narrowed() const { return from || to || tiles; }
  bool shows(std::uint32_t physical_tile) const {
    return !tiles || (physical_tile <= kLastTile && (*tiles)[physical_tile]);
  }
  // A sample belongs when it starts before the end and ends after the start;
  // one without cycles (also one that ends before it starts) when it starts
  // inside. It is kept whole, never clipped.
  bool holds(const zel_package::CycleSample& sample) const;
  // "cycles 1,000 to 2,000, tiles 0-63,128", for headings.
  std::string description() const;
};

// The value of --from or --to; the error names the option and the value.
std::expected<std::uint32_t, std::string> parse_cycle(std::string_view option,
                                                      std::string_view text);
// The value of --tiles: numbers and ranges joined by commas, such as 0-63,128.
std::expected<std::vector<bool>, std::string> parse_tiles(std::string_view text);

}  // namespace zel_profile
