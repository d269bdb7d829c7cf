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
// Heading, numbering note, legend, then the upper axis; the lower axis below the rows.
constexpr double kHeader = 112, kFooter = 44;
constexpr double kTopAxisY = kHeader - 8;
// Tooltips name every sample of a small profile; a large one gets bars merged
// where they would overlap at this scale instead, which keeps the file usable.
constexpr std::uint64_t kMaxSamplesWithTooltips = 50'000;
// Rows without samples are hatched, so they read as empty rather than as gaps.
constexpr const char* kNoSamplesFill = "url(#no-samples)";

std::string number(double value) {
  return fixed(value, 2);
}

// 12,345,678
std::string grouped(std::uint64_t value) {
  std::string digits = std::to_string(value);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

// The distance between ticks: 1, 2 or 5 times a power of ten, giving at most
// about ten ticks over `span` cycles.
std::uint64_t tick_step(std::uint64_t span) {
  std::uint64_t step = 1;
  for (;;) {
    for (const std::uint64_t m : {1, 2, 5}) {
      if (span / (step * m) <= 10) return step * m;
    }
    step *= 10;
  }
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
  const auto x_of = [&](std::uint64_t cycle) {
    return kLabelWidth + static_cast<double>(cycle - first) * px_per_cycle;
  };

  out.write(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
      width + "\" height=\"" + height + "\" viewBox=\"0 0 " + width + " " + height +
      "\" font-family=\"sans-serif\" font-size=\"11\">\n<title>" + xml_text(title) +
      "</title>\n<defs><pattern id=\"no-samples\" width=\"6\" height=\"6\" "
      "patternUnits=\"userSpaceOnUse\" patternTransform=\"rotate(45)\"><rect width=\"6\" "
      "height=\"6\" fill=\"#f4f4f4\"/><line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"6\" "
      "stroke=\"#c8c8c8\" stroke-width=\"2\"/></pattern></defs>\n"
      "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n");
  std::string heading = std::string(title) + ": " + grouped(stats.tiles) + " tiles, " +
                        grouped(stats.samples) + " samples, cycles " + grouped(first) + " to " +
                        grouped(last);
  if (report.clock_hz != 0) heading += " (" + time_text(last - first, report.clock_hz) + ")";
  out.write("<text x=\"10\" y=\"20\" font-size=\"14\">" + xml_text(heading) + "</text>\n");
  out.write(
      "<text x=\"10\" y=\"38\">One row per tile in file order, labelled with its physical "
      "tile number (the exchange&apos;s numbering, not the logical one).</text>\n");

  for (std::size_t k = 0; k <= kKinds; ++k) {
    const double x = kLabelWidth + static_cast<double>(k) * 150;
    const bool empty = k == kKinds;
    const std::string label =
        empty ? "no samples" : std::string(kind_name(static_cast<zel_package::ProfileStepKind>(k)));
    out.write("<rect x=\"" + number(x) + "\" y=\"50\" width=\"12\" height=\"12\" fill=\"" +
              (empty ? kNoSamplesFill : kColours[k]) + "\"" +
              (empty ? " stroke=\"#999999\" stroke-width=\"0.5\"" : "") + "/><text x=\"" +
              number(x + 16) + "\" y=\"60\">" + label + "</text>\n");
  }

  // The cycle axis above and below the rows, ticks at round numbers, with a
  // faint line across the rows at each.
  const std::uint64_t step = tick_step(last - first);
  std::string unit = "cycles";
  if (report.clock_hz != 0) {
    unit += " (" + grouped(step) + " cycles = " + time_text(step, report.clock_hz) + ")";
  }
  std::string axes;
  const std::string left = number(kLabelWidth), right = number(kLabelWidth + kPlotWidth);
  for (const double axis_y : {kTopAxisY, plot_bottom + 4}) {
    const bool top = axis_y == kTopAxisY;
    const std::string y = number(axis_y);
    axes += "<line x1=\"" + left + "\" y1=\"" + y + "\" x2=\"" + right + "\" y2=\"" + y +
            "\" stroke=\"black\"/>\n";
    const std::string tick_end = number(top ? axis_y - 5 : axis_y + 5);
    const std::string label_y = number(top ? axis_y - 8 : axis_y + 18);
    for (std::uint64_t cycle = (first + step - 1) / step * step; cycle <= last; cycle += step) {
      const std::string x = number(x_of(cycle));
      axes += "<line x1=\"" + x + "\" y1=\"" + y + "\" x2=\"" + x + "\" y2=\"" + tick_end +
              "\" stroke=\"black\"/><text x=\"" + x + "\" y=\"" + label_y +
              "\" text-anchor=\"middle\">" + grouped(cycle) + "</text>\n";
      if (top) {
        axes += "<line x1=\"" + x + "\" y1=\"" + number(kHeader) + "\" x2=\"" + x + "\" y2=\"" +
                number(plot_bottom) + "\" stroke=\"#e4e4e4\"/>\n";
      }
    }
    axes += "<text x=\"" + number(kLabelWidth - 14) + "\" y=\"" + label_y +
            "\" text-anchor=\"end\">cycle</text>\n";
  }
  axes += "<text x=\"" + right + "\" y=\"" + number(plot_bottom + 36) + "\" text-anchor=\"end\">" +
          xml_text(unit) + "</text>\n";
  out.write(axes);

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
    if (tile.samples.empty()) {
      bars += "<rect x=\"" + left + "\" y=\"" + bar_y + "\" width=\"" + number(kPlotWidth) +
              "\" height=\"" + bar_height + "\" fill=\"" + kNoSamplesFill + "\"><title>tile " +
              std::to_string(tile.physical_tile) + ": no samples</title></rect>\n";
    }
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
      const double x0 = x_of(sample.start_cycle);
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
