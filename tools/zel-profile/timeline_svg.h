// The profile as an SVG timeline: one row per tile (top to bottom in file
// order, labelled by physical number), time from left to right, coloured by
// step kind, with a legend and a time axis. Up to kMaxSamplesWithTooltips
// samples each is a bar with a tooltip; past that each row is drawn by pixel
// columns, so the file's size follows the picture, not the profile.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "output.h"
#include "profile_stats.h"
#include "profile_stream.h"
#include "window.h"
#include "zel_package.h"

namespace zel_profile {

using zel_tools::Output;

inline constexpr std::uint64_t kMaxSamplesWithTooltips = 50'000;

// Draws the rows as the tiles are visited. `stats` are the window's, from a
// visit before (they fix the rows, the cycle axis and the drawing's kind).
class SvgWriter final : public zel_package::ProfileVisitor {
 public:
  SvgWriter(const ProfileStats& stats, const Window& window, std::string_view title, Output& out);
  void tile(const zel_package::TileProfile& tile) override;
  // The end of the document, after the last tile.
  void finish();

 private:
  void draw_bars(const zel_package::TileProfile& tile, double y);
  void draw_columns(const zel_package::TileProfile& tile, double y);
  double x_of(std::uint64_t cycle) const;

  const Window& window_;
  Output& out_;
  std::uint64_t first_ = 0, last_ = 0;
  double px_per_cycle_ = 0, row_ = 0;
  std::size_t label_every_ = 1, row_index_ = 0;
  bool by_columns_ = false;
  std::string text_;
  // Per pixel column, how much of it each kind covers, and where covering
  // runs begin and end (as differences), for the row being drawn.
  std::vector<std::array<double, kKinds>> cover_, runs_;
};

// The whole profile, as `zel-profile svg` draws it without window options.
void write_svg(const zel_package::ProfileReport& report, std::string_view title, Output& out);

// `text` fit for XML character data and attribute values alike: markup
// characters and line breaks become references, and bytes or characters XML
// cannot hold at all become U+FFFD.
std::string xml_text(std::string_view text);

}  // namespace zel_profile
