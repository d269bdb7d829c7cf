#include "fleet.h"

#include <algorithm>

namespace zel_health {

std::uint32_t Fleet::card_id(const std::string& host, const std::string& card) {
  // A host name holds no "/" from gethostname, but a property could: the key
  // keeps the two apart whatever they hold.
  const std::string key = host + '\0' + card;
  const auto [at, added] = card_ids_.try_emplace(key, static_cast<std::uint32_t>(cards_.size()));
  if (added) cards_.push_back(Card{host, card});
  return at->second;
}

std::uint32_t Fleet::test_id(const std::string& name) {
  const auto [at, added] = test_ids_.try_emplace(name, static_cast<std::uint32_t>(tests_.size()));
  if (added) tests_.push_back(name);
  return at->second;
}

void Fleet::add(const RunReport& report) {
  const std::int64_t start = report.start;
  RunRecord run{start, card_id(report.host, report.card.value_or("-")), 0};
  for (const TestOutcome& outcome : report.outcomes) {
    Cell& cell = cells_[cell_key(run.card, test_id(outcome.test))];
    ++cell.runs;
    if (outcome.failed) {
      ++cell.failures;
      ++run.failed_tests;
    }
  }
  results_ += report.outcomes.size();
  first_start_ = runs_.empty() ? start : std::min(first_start_, start);
  last_start_ = runs_.empty() ? start : std::max(last_start_, start);
  runs_.push_back(run);
}

Cell Fleet::cell(std::uint32_t card, std::uint32_t test) const {
  const auto at = cells_.find(cell_key(card, test));
  return at == cells_.end() ? Cell{} : at->second;
}

}  // namespace zel_health
