#include "health_text.h"

#include <algorithm>
#include <set>

#include "number_text.h"
#include "run_time.h"

namespace zel_health {
namespace {

using zel_tools::align_left;
using zel_tools::align_right;

// An expected count: "2.4", "17", or two significant digits when small ("0.043").
std::string expected_text(double expected) {
  if (expected >= 10) return zel_tools::fixed(expected, 0);
  if (expected >= 0.95) return zel_tools::fixed(expected, 1);
  char text[32];
  std::snprintf(text, sizeof text, "%.2g", expected);
  return text;
}

std::string cards_text(std::uint64_t count) {
  return std::to_string(count) + (count == 1 ? " card" : " cards");
}

}  // namespace

std::string health_text(const Fleet& fleet, const Findings& findings, bool all) {
  const auto& cards = fleet.cards();
  const auto& tests = fleet.tests();
  std::set<std::string> hosts;
  for (const Card& card : cards) hosts.insert(card.host);
  std::string out = std::to_string(fleet.reports()) + " reports, " +
                    std::to_string(fleet.results()) + " test results, " + cards_text(cards.size()) +
                    " on " + std::to_string(hosts.size()) +
                    (hosts.size() == 1 ? " host, " : " hosts, ") + start_text(fleet.first_start()) +
                    " to " + start_text(fleet.last_start()) + "\n";

  std::vector<bool> suspect(cards.size());
  for (const CardFinding& card : findings.cards) {
    suspect[card.card] = card.suspect;
    if (!card.suspect) continue;
    out += "card " + cards[card.card].name() + " is suspect: " + std::to_string(card.failures) +
           " failures in " + std::to_string(card.results) + " results over " +
           std::to_string(card.tests_run) + " tests, " + expected_text(card.expected) +
           " expected from the tests' rates on the other cards (p = " + p_text(card.p) + ")\n";
  }
  for (const CellFinding& cell : findings.cells) {
    if (!cell.fails_here) continue;
    out += "test " + tests[cell.test] + " fails on card " + cards[cell.card].name() + ": " +
           std::to_string(cell.here.failures) + " of " + std::to_string(cell.here.runs) +
           " runs there, " + std::to_string(cell.elsewhere.failures) + " of " +
           std::to_string(cell.elsewhere.runs) + " elsewhere\n";
  }
  for (const TestFinding& test : findings.tests) {
    if (test.verdict != TestVerdict::kBroken && test.verdict != TestVerdict::kFlaky) continue;
    out += "test " + tests[test.test] + " is " + verdict_name(test.verdict) + ": " +
           std::to_string(test.failures) + " failures in " + std::to_string(test.runs) +
           " runs on " + std::to_string(test.cards_failing) + " of " + cards_text(test.cards) +
           "\n";
  }

  // The table: a row per test on a card, where it failed (everywhere it ran with --all).
  std::vector<const CellFinding*> rows;
  for (const CellFinding& cell : findings.cells) {
    if (all || cell.here.failures > 0) rows.push_back(&cell);
  }
  if (rows.empty()) {
    out += "\nno test failed\n";
    return out;
  }
  std::size_t test_width = 4;
  std::size_t card_width = 4;
  for (const CellFinding* row : rows) {
    test_width = std::max(test_width, tests[row->test].size());
    card_width = std::max(card_width, cards[row->card].name().size());
  }
  out += "\n" + align_left("test", test_width) + "  " + align_left("card", card_width) +
         "  failures  runs\n";
  for (const CellFinding* row : rows) {
    std::string note;
    if (row->fails_here) note = "  fails here";
    if (suspect[row->card]) note += note.empty() ? "  suspect card" : ", suspect card";
    std::string line = align_left(tests[row->test], test_width) + "  " +
                       align_left(cards[row->card].name(), card_width) + "  " +
                       align_right(std::to_string(row->here.failures), 8) + "  " +
                       align_right(std::to_string(row->here.runs), 4) + note;
    out += line + "\n";
  }
  return out;
}

}  // namespace zel_health
