// The inspector's escaping, sums and drawing of large profiles.
#include <gtest/gtest.h>

#include <cctype>

#include "output.h"
#include "profile_stats.h"
#include "report_text.h"
#include "timeline_svg.h"
#include "trace_json.h"

namespace {

using zel_package::CycleSample;
using zel_package::ProfileReport;
using zel_package::ProfileStep;
using zel_package::ProfileStepKind;
using zel_package::TileProfile;

CycleSample sample(ProfileStepKind kind, std::uint32_t start, std::uint32_t end) {
  ProfileStep step;
  step.kind = kind;
  step.operation = "op";
  return CycleSample{step, start, end};
}

TEST(ProfileEscaping, JsonAndXmlTexts) {
  struct Case {
    std::string_view text, json, xml;
  };
  const Case cases[] = {
      {"plain é", "\"plain é\"", "plain é"},
      {"q\"b\\s", "\"q\\\"b\\\\s\"", "q&quot;b\\s"},
      {"<a & 'b'>", "\"<a & 'b'>\"", "&lt;a &amp; &apos;b&apos;&gt;"},
      {"t\tn\nr\r", "\"t\\tn\\nr\\r\"", "t&#x9;n&#xA;r&#xD;"},
      // XML cannot hold C0 controls at all, not even as references; DEL it can.
      {"\x01\x1f\x7f", "\"\\u0001\\u001f\\u007f\"", "\xEF\xBF\xBD\xEF\xBF\xBD\x7f"},
      {"\xEF\xBF\xBE\xEF\xBF\xBF\xEF\xBF\xBD", "\"\xEF\xBF\xBE\xEF\xBF\xBF\xEF\xBF\xBD\"",
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(zel_profile::json_string(c.text), c.json);
    EXPECT_EQ(zel_profile::xml_text(c.text), c.xml);
  }
}

TEST(ProfileText, TimesInTheUnitThatReadsBest) {
  struct Case {
    std::uint64_t cycles, clock_hz;
    std::string_view text;
  };
  const Case cases[] = {
      {5064, 1'850'000'000, "2.737 us"}, {1'250'000, 1'000'000'000, "1.25 ms"},
      {575, 1'000'000'000, "575 ns"},    {1, 1'850'000'000, "0.541 ns"},
      {999'960, 1'000'000'000, "1 ms"},  {7'000'000'000, 1'000'000'000, "7 s"},
      {0, 1'000'000'000, "0 s"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(zel_profile::time_text(c.cycles, c.clock_hz), c.text) << c.cycles;
  }
}

TEST(ProfileStats, SumsCyclesPerKindAndTile) {
  const ProfileReport report{
      100,
      {TileProfile{7,
                   {sample(ProfileStepKind::Compute, 10, 30), sample(ProfileStepKind::Idle, 30, 35),
                    sample(ProfileStepKind::Exchange, 50, 40)}},
       TileProfile{7, {}}, TileProfile{9, {sample(ProfileStepKind::Synchronization, 5, 6)}}}};
  const auto stats = zel_profile::compute_stats(report);
  EXPECT_EQ(stats.tiles, 3u);
  EXPECT_EQ(stats.samples, 4u);
  EXPECT_EQ(stats.distinct_tiles, 2u);
  EXPECT_EQ(stats.reversed_samples, 1u);  // counted, but covers no cycles
  EXPECT_EQ(stats.cycles_by_kind, (std::array<std::uint64_t, 4>{0, 20, 1, 5}));
  EXPECT_EQ(stats.samples_by_kind, (std::array<std::uint64_t, 4>{1, 1, 1, 1}));
  EXPECT_EQ(stats.first_cycle, 5u);
  EXPECT_EQ(stats.last_cycle, 40u);  // the latest end, not the latest start
  ASSERT_EQ(stats.loads.size(), 3u);
  EXPECT_EQ(stats.loads[0].busy_cycles, 20u);
  EXPECT_EQ(stats.loads[0].total_cycles, 25u);
}

TEST(ProfileSvg, ManySamplesAreDrawnByPixelColumnsInElementsBoundedByThePixels) {
  // 120,000 one-cycle samples a tile over 1,200 pixel columns, 100 a column.
  // Tile 3: three compute cycles to one exchange cycle throughout, so compute
  // wins every column. Tile 4: idle, then synchronization, half and half.
  TileProfile mixed{3, {}}, halves{4, {}};
  for (std::uint32_t i = 0; i < 120'000; ++i) {
    mixed.samples.push_back(
        sample(i % 4 == 3 ? ProfileStepKind::Exchange : ProfileStepKind::Compute, i, i + 1));
    halves.samples.push_back(
        sample(i < 60'000 ? ProfileStepKind::Idle : ProfileStepKind::Synchronization, i, i + 1));
  }
  zel_tools::StringOutput out;
  zel_profile::write_svg(ProfileReport{1'000'000, {mixed, halves, TileProfile{5, {}}}}, "big", out);
  const std::string& svg = out.text();
  std::size_t elements = 0;
  for (std::size_t at = svg.find('<'); at != std::string::npos; at = svg.find('<', at + 1)) {
    if (std::isalpha(static_cast<unsigned char>(svg[at + 1]))) ++elements;
  }
  EXPECT_LT(elements, 80u) << svg;
  EXPECT_EQ(svg.find("<title>tile 3"), std::string::npos);
  EXPECT_NE(svg.find("the kind with the most cycles"), std::string::npos);
  // One path a kind and row, each run a line as thick as the row.
  EXPECT_NE(svg.find("<path d=\"M90 119.00h1200\" stroke=\"#59a14f\""), std::string::npos) << svg;
  EXPECT_NE(svg.find("<path d=\"M90 133.00h600\" stroke=\"#bab0ac\""), std::string::npos);
  EXPECT_NE(svg.find("<path d=\"M690 133.00h600\" stroke=\"#f28e2b\""), std::string::npos);
  EXPECT_EQ(svg.find("#4e79a7\" stroke-width"), std::string::npos);  // exchange never wins
  EXPECT_NE(svg.find("<title>tile 5: no samples</title>"), std::string::npos);
}

TEST(ProfileTrace, SizedExactlyUpToItsLimitAndEstimatedPastIt) {
  TileProfile tile{3, {}};
  for (std::uint32_t i = 0; i < 20'000; ++i) {
    tile.samples.push_back(sample(ProfileStepKind::Compute, i * 10, i * 10 + 10));
  }
  const ProfileReport report{1'000'000, {tile, tile}};
  zel_tools::StringOutput out;
  zel_profile::write_trace(report, "card", out);
  const auto size_up_to = [&](std::uint64_t exact) {
    const zel_profile::Window everything;
    zel_profile::TraceSize size(everything, "card", exact);
    size.start(report.clock_hz, report.tiles.size());
    for (const auto& t : report.tiles) size.tile(t);
    return static_cast<double>(size.bytes());
  };
  const auto real = static_cast<double>(out.text().size());
  EXPECT_EQ(size_up_to(zel_profile::kMaxTraceBytes), real);
  // Past the first tile it only counts samples; the estimate stays close.
  EXPECT_NEAR(size_up_to(1000), real, real * 0.01);
}

}  // namespace
