// One run's report, read from the engine document hardware_e2e writes to
// XML_OUTPUT_FILE: who ran (host, card, start) and which tests passed or failed.
// Captured output is parsed past, never kept.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

namespace zel_health {

struct TestOutcome {
  std::string test;  // the test's full name
  bool failed = false;
};

struct RunReport {
  std::string host;                 // the "host" property
  std::optional<std::string> card;  // the "card" property; none when the run had no card
  std::int64_t start = 0;           // the testsuite's timestamp (UTC), as seconds since 1970
  std::vector<TestOutcome> outcomes;
};

// The report in `path`, or why it is not one (the parser's first error with
// its line, or the part of a report that is missing), as a phrase that can
// stand after the path in a warning.
std::expected<RunReport, std::string> read_report(const std::string& path);

}  // namespace zel_health
