// SVG timeline of a profile.
#include "timeline_svg.h"

#include <algorithm>
#include <array>

#include "number_text.h"
#include "profile_stats.h"
#include "report_text.h"
#include "zel_text.h"

namespace zel_profile {

using zel_tools::fixed;
using zel_tools::grouped;

namespace {

constexpr std::array<const char*, kKinds> kColours = {"#4e79a7", "#59a14f", "#f28e2b", "#bab0ac"};
constexpr std::size_t kColumns = 1200;
constexpr double kLabelWidth = 90, kPlotWidth = kColumns, kRightMargin = 20;
// Heading, numbering note, legend, then the upper axis; the lower axis below the rows.
constexpr double kHeader = 112, kFooter = 44;
constexpr double kTopAxisY = kHeader - 8;
// Rows without samples are hatched, so they read as empty rather than as gaps.
constexpr const char* kNoSamplesFill = "url(#no-samples)";

std::string number(double value) {
  return fixed(value, 2);
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

std::uint64_t end_of(const zel_package::CycleSample& sample) {
  return sample.start_cycle + sample_cycles(sample);
}

}  // namespace

std::string xml_text(std::string_view text) {
  std::string out;
  zel_text::append_xml_attribute(out, text);
  return out;
}

SvgWriter::SvgWriter(const ProfileStats& stats, const Window& window, std::string_view title,
                     Output& out)
    : window_(window), out_(out) {
  // Without --from or --to the axis spans the samples drawn.
  first_ = window.from ? *window.from : stats.first_cycle.value_or(0);
  last_ = window.to ? *window.to : stats.last_cycle.value_or(0);
  last_ = std::max<std::uint64_t>(last_, first_ + 1);
  px_per_cycle_ = kPlotWidth / static_cast<double>(last_ - first_);
  row_ = stats.tiles <= 64 ? 14 : 4;
  label_every_ = row_ >= 14 ? 1 : 32;
  by_columns_ = stats.samples > kMaxSamplesWithTooltips;
  const double plot_bottom = kHeader + row_ * static_cast<double>(stats.tiles);
  const std::string width = number(kLabelWidth + kPlotWidth + kRightMargin);
  const std::string height = number(plot_bottom + kFooter);

  out_.write(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
      width + "\" height=\"" + height + "\" viewBox=\"0 0 " + width + " " + height +
      "\" font-family=\"sans-serif\" font-size=\"11\">\n<title>" + xml_text(title) +
      "</title>\n<defs><pattern id=\"no-samples\" width=\"6\" height=\"6\" "
      "patternUnits=\"userSpaceOnUse\" patternTransform=\"rotate(45)\"><rect width=\"6\" "
      "height=\"6\" fill=\"#f4f4f4\"/><line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"6\" "
      "stroke=\"#c8c8c8\" stroke-width=\"2\"/></pattern></defs>\n"
      "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n");
  std::string heading = std::string(title);
  if (window.narrowed()) heading += " (window: " + window.description() + ")";
  heading += ": " + grouped(stats.tiles) + " tiles, " + grouped(stats.samples) +
             " samples, cycles " + grouped(first_) + " to " + grouped(last_);
  if (stats.clock_hz != 0) heading += " (" + time_text(last_ - first_, stats.clock_hz) + ")";
  out_.write("<text x=\"10\" y=\"20\" font-size=\"14\">" + xml_text(heading) + "</text>\n");
  out_.write(
      "<text x=\"10\" y=\"38\">One row per tile in file order, labelled with its physical "
      "tile number (the exchange&apos;s numbering, not the logical one).</text>\n");

  for (std::size_t k = 0; k <= kKinds; ++k) {
    const double x = kLabelWidth + static_cast<double>(k) * 150;
    const bool empty = k == kKinds;
    const std::string label =
        empty ? "no samples" : std::string(kind_name(static_cast<zel_package::ProfileStepKind>(k)));
    out_.write("<rect x=\"" + number(x) + "\" y=\"50\" width=\"12\" height=\"12\" fill=\"" +
               (empty ? kNoSamplesFill : kColours[k]) + "\"" +
               (empty ? " stroke=\"#999999\" stroke-width=\"0.5\"" : "") + "/><text x=\"" +
               number(x + 16) + "\" y=\"60\">" + label + "</text>\n");
  }
  if (by_columns_) {
    out_.write("<text x=\"" + number(kLabelWidth) +
               "\" y=\"78\">Too many samples for one bar each: each pixel column shows the kind "
               "with the most cycles in it.</text>\n");
  }

  // The cycle axis above and below the rows, ticks at round numbers, with a
  // faint line across the rows at each.
  const std::uint64_t step = tick_step(last_ - first_);
  std::string unit = "cycles";
  if (stats.clock_hz != 0) {
    unit += " (" + grouped(step) + " cycles = " + time_text(step, stats.clock_hz) + ")";
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
    for (std::uint64_t cycle = (first_ + step - 1) / step * step; cycle <= last_; cycle += step) {
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
  out_.write(axes);
}

double SvgWriter::x_of(std::uint64_t cycle) const {
  return kLabelWidth + static_cast<double>(cycle - first_) * px_per_cycle_;
}

void SvgWriter::tile(const zel_package::TileProfile& tile) {
  if (!window_.shows(tile.physical_tile)) return;
  const double y = kHeader + row_ * static_cast<double>(row_index_);
  text_.clear();
  if (row_index_ % label_every_ == 0) {
    text_ += "<text x=\"" + number(kLabelWidth - 6) + "\" y=\"" + number(y + row_ - 2) +
             "\" text-anchor=\"end\">tile " + std::to_string(tile.physical_tile) + "</text>\n";
  }
  ++row_index_;
  const std::size_t length = text_.size();
  if (by_columns_) {
    draw_columns(tile, y);
  } else {
    draw_bars(tile, y);
  }
  if (text_.size() == length) {
    text_ += "<rect x=\"" + number(kLabelWidth) + "\" y=\"" + number(y + 0.5) + "\" width=\"" +
             number(kPlotWidth) + "\" height=\"" + number(row_ - 1) + "\" fill=\"" +
             kNoSamplesFill + "\"><title>tile " + std::to_string(tile.physical_tile) +
             ": no samples</title></rect>\n";
  }
  out_.write(text_);
}

// One bar per sample, its tooltip naming it.
void SvgWriter::draw_bars(const zel_package::TileProfile& tile, double y) {
  const std::string bar_y = number(y + 0.5), bar_height = number(row_ - 1);
  for (const auto& s : tile.samples) {
    if (!window_.holds(s)) continue;
    // A sample that reaches past the window is drawn to its edge.
    const double x0 = x_of(std::max<std::uint64_t>(s.start_cycle, first_));
    const double x1 = x_of(std::clamp<std::uint64_t>(end_of(s), first_, last_));
    text_ +=
        "<rect x=\"" + number(x0) + "\" y=\"" + bar_y + "\" width=\"" +
        number(std::max(x1 - x0, 0.1)) + "\" height=\"" + bar_height + "\" fill=\"" +
        kColours[static_cast<std::size_t>(s.step.kind)] + "\"><title>" +
        xml_text("tile " + std::to_string(tile.physical_tile) + ": " + s.step.operation + " (" +
                 std::string(kind_name(s.step.kind)) + ", kernel " + s.step.kernel + ") cycles " +
                 std::to_string(s.start_cycle) + ".." + std::to_string(s.end_cycle)) +
        "</title></rect>\n";
  }
}

// Each pixel column takes the colour of the kind with the most cycles in it;
// the columns of one kind are one path, a line as thick as the row.
void SvgWriter::draw_columns(const zel_package::TileProfile& tile, double y) {
  cover_.assign(kColumns + 1, {});
  runs_.assign(kColumns + 1, {});
  const double cycles_per_column = static_cast<double>(last_ - first_) / kColumns;
  for (const auto& s : tile.samples) {
    if (!window_.holds(s)) continue;
    const auto kind = static_cast<std::size_t>(s.step.kind);
    // In columns from the left edge, cut at the picture's edges.
    const double a = static_cast<double>(std::max<std::uint64_t>(s.start_cycle, first_) - first_) /
                     cycles_per_column;
    const double b =
        static_cast<double>(std::clamp<std::uint64_t>(end_of(s), first_, last_) - first_) /
        cycles_per_column;
    if (b <= a) continue;
    const auto c0 = static_cast<std::size_t>(a);
    const auto c1 = std::min(static_cast<std::size_t>(b), kColumns);
    if (c0 == c1) {
      cover_[c0][kind] += b - a;
      continue;
    }
    // The partial columns at both ends, and a run of whole columns between.
    cover_[c0][kind] += static_cast<double>(c0 + 1) - a;
    cover_[c1][kind] += b - static_cast<double>(c1);
    runs_[c0 + 1][kind] += 1;
    runs_[c1][kind] -= 1;
  }
  std::array<std::string, kKinds> paths;
  std::array<std::size_t, kKinds> pen{};
  const std::string middle = number(y + row_ / 2);
  const auto draw = [&](std::size_t kind, std::size_t from, std::size_t to) {
    std::string& path = paths[kind];
    if (path.empty()) {
      path = "M" + std::to_string(static_cast<std::size_t>(kLabelWidth) + from) + " " + middle;
    } else {
      path += "m" + std::to_string(from - pen[kind]) + " 0";
    }
    path += "h" + std::to_string(to - from);
    pen[kind] = to;
  };
  std::array<double, kKinds> whole{};
  std::size_t run_kind = kKinds, run_start = 0;
  for (std::size_t c = 0; c <= kColumns; ++c) {
    std::size_t kind = kKinds;
    if (c < kColumns) {
      double most = 1e-9;
      for (std::size_t k = 0; k < kKinds; ++k) {
        whole[k] += runs_[c][k];
        const double covered = cover_[c][k] + whole[k];
        if (covered > most) {
          most = covered;
          kind = k;
        }
      }
    }
    if (kind == run_kind) continue;
    if (run_kind != kKinds) draw(run_kind, run_start, c);
    run_kind = kind;
    run_start = c;
  }
  const std::string thickness = number(row_ - 1);
  for (std::size_t k = 0; k < kKinds; ++k) {
    if (paths[k].empty()) continue;
    text_ += "<path d=\"" + paths[k] + "\" stroke=\"" + kColours[k] + "\" stroke-width=\"" +
             thickness + "\"/>\n";
  }
}

void SvgWriter::finish() {
  out_.write("</svg>\n");
}

void write_svg(const zel_package::ProfileReport& report, std::string_view title, Output& out) {
  const Window everything;
  SvgWriter writer(compute_stats(report), everything, title, out);
  for (const auto& tile : report.tiles) writer.tile(tile);
  writer.finish();
}

}  // namespace zel_profile
