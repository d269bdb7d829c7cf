// SVG timeline of a profile.
#include "timeline_svg.h"

#include <algorithm>
#include <array>
#include <optional>

#include "number_text.h"
#include "profile_stats.h"
#include "report_text.h"
#include "zel_text.h"

namespace zel_profile {

namespace {

constexpr std::array<const char*, kKinds> kColours = {"#4e79a7", "#59a14f", "#f28e2b", "#bab0ac"};
constexpr double kLabelWidth = 90, kPlotWidth = 1200, kRightMargin = 20;
constexpr double kHeader = 70, kFooter = 40;
// Tooltips name every sample of a small profile; a large one gets bars merged
// where they would overlap at this scale instead, which keeps the file usable.
constexpr std::uint64_t kMaxSamplesWithTooltips = 50'000;

std::string number(double value) {
  return fixed(value, 2);
}

}  // namespace

std::string xml_text(std::string_view text) {
  std::string out;
  zel_text::append_xml_attribute(out, text);
  return out;
}

void write_svg(const zel_package::ProfileReport& report, std::string_view title, Output& out) {
  const ProfileStats stats = compute_stats(report);
  const std::uint64_t first = stats.first_cycle.value_or(0);
  const std::uint64_t last = std::max<std::uint64_t>(stats.last_cycle.value_or(0), first + 1);
  const double px_per_cycle = kPlotWidth / static_cast<double>(last - first);
  const double row = report.tiles.size() <= 64 ? 14 : 4;
  const std::size_t label_every = row >= 14 ? 1 : 32;
  const double plot_bottom = kHeader + row * static_cast<double>(report.tiles.size());
  const std::string width = number(kLabelWidth + kPlotWidth + kRightMargin);
  const std::string height = number(plot_bottom + kFooter);
  const bool tooltips = stats.samples <= kMaxSamplesWithTooltips;

  out.write(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
      width + "\" height=\"" + height + "\" viewBox=\"0 0 " + width + " " + height +
      "\" font-family=\"sans-serif\" font-size=\"11\">\n<title>" + xml_text(title) +
      "</title>\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n");
  std::string heading = std::string(title) + ": " + std::to_string(stats.tiles) + " tiles, " +
                        std::to_string(stats.samples) + " samples, cycles " +
                        std::to_string(first) + ".." + std::to_string(last);
  if (report.clock_hz != 0) heading += ", " + seconds_text(last - first, report.clock_hz);
  out.write("<text x=\"10\" y=\"20\" font-size=\"14\">" + xml_text(heading) + "</text>\n");

  for (std::size_t k = 0; k < kKinds; ++k) {
    const double x = kLabelWidth + static_cast<double>(k) * 150;
    out.write("<rect x=\"" + number(x) + "\" y=\"32\" width=\"12\" height=\"12\" fill=\"" +
              kColours[k] + "\"/><text x=\"" + number(x + 16) + "\" y=\"42\">" +
              std::string(kind_name(static_cast<zel_package::ProfileStepKind>(k))) + "</text>\n");
  }

  // The time axis under the rows, in cycles.
  const std::string axis_y = number(plot_bottom + 4);
  out.write("<line x1=\"" + number(kLabelWidth) + "\" y1=\"" + axis_y + "\" x2=\"" +
            number(kLabelWidth + kPlotWidth) + "\" y2=\"" + axis_y + "\" stroke=\"black\"/>\n");
  for (int tick = 0; tick <= 4; ++tick) {
    const std::uint64_t cycle = first + (last - first) * static_cast<std::uint64_t>(tick) / 4;
    const std::string x = number(kLabelWidth + kPlotWidth * tick / 4);
    out.write("<line x1=\"" + x + "\" y1=\"" + axis_y + "\" x2=\"" + x + "\" y2=\"" +
              number(plot_bottom + 9) + "\" stroke=\"black\"/><text x=\"" + x + "\" y=\"" +
              number(plot_bottom + 22) + "\" text-anchor=\"middle\">" + std::to_string(cycle) +
              "</text>\n");
  }
  out.write("<text x=\"" + number(kLabelWidth - 6) + "\" y=\"" + number(plot_bottom + 22) +
            "\" text-anchor=\"end\">cycle</text>\n");

  // A bar waits in `open` until the next one shows whether the two merge.
  struct Bar {
    std::size_t kind;
    double x0, x1;
    const zel_package::CycleSample* sample;
  };
  std::string bars;
  for (std::size_t t = 0; t < report.tiles.size(); ++t) {
    const auto& tile = report.tiles[t];
    const double y = kHeader + row * static_cast<double>(t);
    bars.clear();
    if (t % label_every == 0) {
      bars += "<text x=\"" + number(kLabelWidth - 6) + "\" y=\"" + number(y + row - 2) +
              "\" text-anchor=\"end\">tile " + std::to_string(tile.physical_tile) + "</text>\n";
    }
    const std::string bar_y = number(y + 0.5), bar_height = number(row - 1);
    const auto emit = [&](const Bar& bar) {
      bars += "<rect x=\"" + number(bar.x0) + "\" y=\"" + bar_y + "\" width=\"" +
              number(std::max(bar.x1 - bar.x0, 0.1)) + "\" height=\"" + bar_height + "\" fill=\"" +
              kColours[bar.kind] + "\"";
      if (!tooltips) {
        bars += "/>\n";
        return;
      }
      const auto& s = *bar.sample;
      bars +=
          "><title>" +
          xml_text("tile " + std::to_string(tile.physical_tile) + ": " + s.step.operation + " (" +
                   std::string(kind_name(s.step.kind)) + ", kernel " + s.step.kernel + ") cycles " +
                   std::to_string(s.start_cycle) + ".." + std::to_string(s.end_cycle)) +
          "</title></rect>\n";
    };
    std::optional<Bar> open;
    for (const auto& sample : tile.samples) {
      const auto kind = static_cast<std::size_t>(sample.step.kind);
      const double x0 =
          kLabelWidth + static_cast<double>(sample.start_cycle - first) * px_per_cycle;
      const double x1 = x0 + static_cast<double>(sample_cycles(sample)) * px_per_cycle;
      if (!tooltips && open && open->kind == kind && x0 - open->x1 < 0.5) {
        open->x1 = std::max(open->x1, x1);
        continue;
      }
      if (open) emit(*open);
      open = Bar{kind, x0, x1, &sample};
    }
    if (open) emit(*open);
    out.write(bars);
  }
  out.write("</svg>\n");
}

}  // namespace zel_profile
