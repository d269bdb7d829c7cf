#include "health_svg.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "number_text.h"
#include "run_time.h"
#include "zel_text.h"

namespace zel_health {
namespace {

constexpr int kCellWidth = 24;
constexpr int kCellHeight = 18;
constexpr int kHostGap = 10;
constexpr int kMargin = 12;
constexpr double kCharWidth = 6.6;  // 11 px sans-serif, wide enough for most names
constexpr int kRunWidth = 8;

std::string escaped(std::string_view text) {
  std::string out;
  zel_text::append_xml_attribute(out, text);
  return out;
}

int text_width(std::size_t characters) {
  return static_cast<int>(std::ceil(static_cast<double>(characters) * kCharWidth));
}

// From pale orange at a few failures to dark red at all of them.
std::string share_colour(double share) {
  const double t = std::clamp(share, 0.0, 1.0);
  const auto mix = [t](int from, int to) {
    return static_cast<int>(std::lround(from + (to - from) * std::sqrt(t)));
  };
  char colour[8];
  std::snprintf(colour, sizeof colour, "#%02x%02x%02x", mix(0xfd, 0xa5), mix(0xd8, 0x00),
                mix(0xb0, 0x10));
  return colour;
}

const char* test_colour(TestVerdict verdict, bool fails_somewhere) {
  if (verdict == TestVerdict::kBroken) return "#a50010";
  if (fails_somewhere) return "#6a1b9a";
  if (verdict == TestVerdict::kFlaky) return "#c25400";
  return "#222";
}

}  // namespace

void write_svg(const Fleet& fleet, const Findings& findings, zel_tools::Output& out) {
  const auto& cards = fleet.cards();
  const auto& tests = fleet.tests();

  // Columns: cards in order, a gap where the host changes.
  std::vector<int> column_x(cards.size());
  std::vector<std::pair<std::string, int>> host_starts;
  std::size_t longest_card = 0;
  std::size_t longest_test = 0;
  for (const std::string& test : tests) longest_test = std::max(longest_test, test.size());
  std::vector<std::uint32_t> flagged_cells(tests.size());
  for (const CellFinding& cell : findings.cells) flagged_cells[cell.test] += cell.fails_here;

  const int label_width = text_width(longest_test + 10) + kMargin;
  int x = label_width;
  for (const CardFinding& card : findings.cards) {
    const Card& named = cards[card.card];
    if (host_starts.empty() || host_starts.back().first != named.host) {
      if (!host_starts.empty()) x += kHostGap;
      host_starts.emplace_back(named.host, x);
    }
    column_x[card.card] = x;
    x += kCellWidth;
    longest_card = std::max(longest_card, named.name().size() + 2);
  }
  const int map_right = x;
  const int title_height = 40;
  const int header_height = text_width(longest_card) + 24;
  const int map_top = title_height + header_height;
  const int map_bottom = map_top + static_cast<int>(findings.tests.size()) * kCellHeight;

  // The suspect cards' runs in time order.
  std::map<std::uint32_t, std::vector<RunRecord>> timelines;
  for (const CardFinding& card : findings.cards) {
    if (card.suspect) timelines[card.card];
  }
  for (const RunRecord& run : fleet.runs()) {
    if (const auto at = timelines.find(run.card); at != timelines.end()) at->second.push_back(run);
  }
  std::size_t longest_timeline = 0;
  for (auto& [card, runs] : timelines) {
    std::ranges::sort(runs, {}, &RunRecord::start);
    longest_timeline = std::max(longest_timeline, runs.size());
  }
  const int timeline_top = map_bottom + 50;
  const int timeline_row = 46;
  const int width =
      std::max({map_right, label_width + static_cast<int>(longest_timeline) * kRunWidth,
                text_width(110)}) +
      kMargin;
  const int height =
      timeline_top +
      (timelines.empty() ? 10 : 30 + static_cast<int>(timelines.size()) * timeline_row);

  std::string text;
  text += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(width) +
          "\" height=\"" + std::to_string(height) + "\" viewBox=\"0 0 " + std::to_string(width) +
          " " + std::to_string(height) +
          "\" font-family=\"DejaVu Sans, sans-serif\" font-size=\"11\">\n"
          "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n";
  text += "<text x=\"" + std::to_string(kMargin) + "\" y=\"20\" font-size=\"14\">" +
          std::to_string(fleet.reports()) + " reports, " + std::to_string(fleet.results()) +
          " test results, " + start_text(fleet.first_start()) + " to " +
          start_text(fleet.last_start()) + "</text>\n<text x=\"" + std::to_string(kMargin) +
          "\" y=\"34\" fill=\"#555\">each cell: a test on a card, coloured by the share of its "
          "runs that failed, with its failures; red: suspect card, purple: fails on one card, "
          "orange: flaky, dark red: broken</text>\n";
  out.write(text);

  // Host names over their cards, card names upright above their column.
  text.clear();
  for (const auto& [host, start] : host_starts) {
    text += "<text x=\"" + std::to_string(start) + "\" y=\"" + std::to_string(title_height + 12) +
            "\" font-weight=\"bold\">" + escaped(host) + "</text>\n";
  }
  for (const CardFinding& card : findings.cards) {
    const int cx = column_x[card.card] + kCellWidth / 2 + 4;
    text += "<text transform=\"translate(" + std::to_string(cx) + "," +
            std::to_string(map_top - 4) + ") rotate(-90)\"" +
            (card.suspect ? " fill=\"#c00000\" font-weight=\"bold\"" : "") + ">" +
            escaped(cards[card.card].name()) + "</text>\n";
    if (card.suspect) {
      text += "<rect x=\"" + std::to_string(column_x[card.card] - 1) + "\" y=\"" +
              std::to_string(map_top - 1) + "\" width=\"" + std::to_string(kCellWidth + 2) +
              "\" height=\"" + std::to_string(map_bottom - map_top + 2) +
              "\" fill=\"none\" stroke=\"#c00000\" stroke-width=\"2\"/>\n";
    }
  }
  out.write(text);

  // A row per test: its name (with its verdict when flagged), then its cells.
  std::size_t next_cell = 0;
  for (std::size_t row = 0; row < findings.tests.size(); ++row) {
    const TestFinding& test = findings.tests[row];
    const int y = map_top + static_cast<int>(row) * kCellHeight;
    const bool fails_somewhere = flagged_cells[test.test] > 0;
    std::string label = tests[test.test];
    if (test.verdict == TestVerdict::kBroken || test.verdict == TestVerdict::kFlaky) {
      label += std::string(" (") + verdict_name(test.verdict) + ")";
    } else if (fails_somewhere) {
      label += " (one card)";
    }
    const bool flagged = fails_somewhere || test.verdict == TestVerdict::kBroken ||
                         test.verdict == TestVerdict::kFlaky;
    text = "<g><text x=\"" + std::to_string(label_width - 6) + "\" y=\"" + std::to_string(y + 13) +
           "\" text-anchor=\"end\" fill=\"" + test_colour(test.verdict, fails_somewhere) + "\"" +
           (flagged ? " font-weight=\"bold\"" : "") + ">" + escaped(label) + "</text>\n";
    for (; next_cell < findings.cells.size() && findings.cells[next_cell].test == test.test;
         ++next_cell) {
      const CellFinding& cell = findings.cells[next_cell];
      const int cx = column_x[cell.card];
      const std::string at = "x=\"" + std::to_string(cx) + "\" y=\"" + std::to_string(y) + "\"";
      if (cell.here.failures == 0) {
        text += "<rect " + at + " width=\"" + std::to_string(kCellWidth - 1) + "\" height=\"" +
                std::to_string(kCellHeight - 1) + "\" fill=\"#e8f0e8\"/>\n";
        continue;
      }
      const double share = static_cast<double>(cell.here.failures) / cell.here.runs;
      text += "<rect " + at + " width=\"" + std::to_string(kCellWidth - 1) + "\" height=\"" +
              std::to_string(kCellHeight - 1) + "\" fill=\"" + share_colour(share) + "\"" +
              (cell.fails_here ? " stroke=\"#6a1b9a\" stroke-width=\"2\"" : "") + "><title>" +
              escaped(tests[cell.test] + " on " + cards[cell.card].name()) + ": " +
              std::to_string(cell.here.failures) + " of " + std::to_string(cell.here.runs) +
              " runs failed</title></rect>\n<text x=\"" + std::to_string(cx + kCellWidth / 2) +
              "\" y=\"" + std::to_string(y + 13) + "\" text-anchor=\"middle\" font-size=\"10\"" +
              (share > 0.5 ? " fill=\"#fff\"" : "") + ">" + std::to_string(cell.here.failures) +
              "</text>\n";
    }
    text += "</g>\n";
    out.write(text);
  }

  if (timelines.empty()) {
    out.write("</svg>\n");
    return;
  }
  text = "<text x=\"" + std::to_string(kMargin) + "\" y=\"" + std::to_string(timeline_top) +
         "\" font-size=\"13\">The suspect cards' runs in time order, coloured by how many tests "
         "failed (green: none)</text>\n";
  int row_y = timeline_top + 20;
  for (const auto& [card, runs] : timelines) {
    std::uint32_t most = 1;
    const RunRecord* first_failing = nullptr;
    for (const RunRecord& run : runs) {
      most = std::max(most, run.failed_tests);
      if (run.failed_tests > 0 && first_failing == nullptr) first_failing = &run;
    }
    text += "<text x=\"" + std::to_string(label_width - 6) + "\" y=\"" +
            std::to_string(row_y + 12) + "\" text-anchor=\"end\" fill=\"#c00000\" " +
            "font-weight=\"bold\">" + escaped(cards[card].name()) + "</text>\n";
    for (std::size_t i = 0; i < runs.size(); ++i) {
      const RunRecord& run = runs[i];
      const std::string fill = run.failed_tests == 0
                                   ? "#9ccc9c"
                                   : share_colour(static_cast<double>(run.failed_tests) / most);
      text += "<rect x=\"" + std::to_string(label_width + static_cast<int>(i) * kRunWidth) +
              "\" y=\"" + std::to_string(row_y) + "\" width=\"" + std::to_string(kRunWidth - 1) +
              "\" height=\"16\" fill=\"" + fill + "\"><title>" + start_text(run.start) + ": " +
              std::to_string(run.failed_tests) + " tests failed</title></rect>\n";
    }
    text += "<text x=\"" + std::to_string(label_width) + "\" y=\"" + std::to_string(row_y + 30) +
            "\" fill=\"#555\">" + std::to_string(runs.size()) + " runs, " +
            start_text(runs.front().start) + " to " + start_text(runs.back().start) +
            (first_failing ? "; first failing run " + start_text(first_failing->start) : "") +
            "</text>\n";
    row_y += timeline_row;
    out.write(text);
    text.clear();
  }
  out.write(text + "</svg>\n");
}

}  // namespace zel_health
