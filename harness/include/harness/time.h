// Time limits: thresholds by test kind, and the text forms of measured times.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "harness/options.h"
#include "harness/test.h"

namespace harness {

// The measured duration of one test (monotonic clock).
struct TestExecTime {
  std::chrono::nanoseconds duration{0};
  // Seconds with exactly three decimals and "s": 1.250s, 0.000s.
  std::string text() const;
  double seconds() const;
};

// The duration of a whole run. Text form: two decimals and "s", 83.07s.
struct TestSuiteExecTime {
  std::chrono::nanoseconds duration{0};
  std::string text() const;
  double seconds() const;
};

// The 60-second notice interval. Fixed for users; `set_timeout_interval_for_tests`
// lets unit tests shorten it (no option or variable reaches it).
std::chrono::nanoseconds timeout_interval();
void set_timeout_interval_for_tests(std::chrono::nanoseconds interval);

// The threshold of a test's kind: Unit, Integration and Doc from the options,
// Unknown fixed at warn 60 s, critical 120 s.
TimeThreshold threshold_for(const TestTimeOptions& options, TestKind kind);
bool is_warn(const TestTimeOptions& options, const TestDesc& desc, const TestExecTime& time);
bool is_critical(const TestTimeOptions& options, const TestDesc& desc, const TestExecTime& time);

}  // namespace harness
