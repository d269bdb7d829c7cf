// The counts zel-health keeps from every report it reads: results and
// failures per test on each card, and one small record per run for the
// suspect cards' timelines. Nothing grows with a report's size.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "report_reader.h"

namespace zel_health {

struct Card {
  std::string host;
  std::string card;  // "-" for runs without a card
  std::string name() const { return host + "/" + card; }
};

// A test's results on one card.
struct Cell {
  std::uint32_t runs = 0;
  std::uint32_t failures = 0;
};

struct RunRecord {
  std::int64_t start = 0;  // seconds since the epoch
  std::uint32_t card = 0;
  std::uint32_t failed_tests = 0;
};

class Fleet {
 public:
  // Counts one run.
  void add(const RunReport& report);

  std::uint64_t reports() const { return runs_.size(); }
  std::uint64_t results() const { return results_; }
  const std::vector<Card>& cards() const { return cards_; }
  const std::vector<std::string>& tests() const { return tests_; }
  const std::vector<RunRecord>& runs() const { return runs_; }
  std::int64_t first_start() const { return first_start_; }
  std::int64_t last_start() const { return last_start_; }

  // The cell of test `test` on card `card`; none (runs 0) when it never ran there.
  Cell cell(std::uint32_t card, std::uint32_t test) const;
  // Every cell that has results, keyed by cell_key.
  const std::unordered_map<std::uint64_t, Cell>& cells() const { return cells_; }
  static std::uint64_t cell_key(std::uint32_t card, std::uint32_t test) {
    return static_cast<std::uint64_t>(card) << 32 | test;
  }

 private:
  std::uint32_t card_id(const std::string& host, const std::string& card);
  std::uint32_t test_id(const std::string& name);

  std::vector<Card> cards_;
  std::unordered_map<std::string, std::uint32_t> card_ids_;
  std::vector<std::string> tests_;
  std::unordered_map<std::string, std::uint32_t> test_ids_;
  std::unordered_map<std::uint64_t, Cell> cells_;
  std::vector<RunRecord> runs_;
  std::uint64_t results_ = 0;
  std::int64_t first_start_ = 0;
  std::int64_t last_start_ = 0;
};

}  // namespace zel_health
