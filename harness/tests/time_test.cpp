// Text forms of measured times and the thresholds of each test kind.
#include "harness/time.h"

#include <gtest/gtest.h>

namespace harness {
namespace {

using namespace std::chrono_literals;

TEST(TimeText, TestTimesHaveThreeDecimalsAndRunTimesTwo) {
  const std::pair<std::chrono::nanoseconds, const char*> test_times[] = {
      {1250ms, "1.250s"},      {61500ms, "61.500s"}, {0ns, "0.000s"},
      {999999999ns, "1.000s"}, {14ms, "0.014s"},     {3600s + 1ms, "3600.001s"},
  };
  for (const auto& [d, text] : test_times) EXPECT_EQ(TestExecTime{d}.text(), text);
  const std::pair<std::chrono::nanoseconds, const char*> run_times[] = {
      {83070ms, "83.07s"},
      {0ns, "0.00s"},
      {1999ms, "2.00s"},
      {5ms, "0.01s"},
  };
  for (const auto& [d, text] : run_times) EXPECT_EQ(TestSuiteExecTime{d}.text(), text);
  EXPECT_DOUBLE_EQ(TestExecTime{61500ms}.seconds(), 61.5);
}

TEST(TimeThresholds, EachKindUsesItsOwnLimitsInclusive) {
  TestTimeOptions opts;
  opts.unit_threshold = {10ms, 20ms};
  opts.integration_threshold = {30ms, 40ms};
  opts.doctest_threshold = {50ms, 60ms};
  struct Case {
    TestKind kind;
    std::chrono::nanoseconds warn, critical;
  };
  const Case cases[] = {
      {TestKind::Unit, 10ms, 20ms},
      {TestKind::Integration, 30ms, 40ms},
      {TestKind::Doc, 50ms, 60ms},
      {TestKind::Unknown, 60s, 120s},
  };
  for (const auto& c : cases) {
    const auto kind = static_cast<int>(c.kind);
    EXPECT_EQ(threshold_for(opts, c.kind), (TimeThreshold{c.warn, c.critical})) << kind;
    const TestDesc desc{TestName::static_name("t"), false, std::nullopt, "",    0, 0, 0, 0,
                        ExpectFailure::no(),        false, false,        c.kind};
    EXPECT_FALSE(is_warn(opts, desc, {c.warn - 1ns})) << kind;
    EXPECT_TRUE(is_warn(opts, desc, {c.warn})) << kind;
    EXPECT_FALSE(is_critical(opts, desc, {c.warn})) << kind;
    EXPECT_FALSE(is_critical(opts, desc, {c.critical - 1ns})) << kind;
    EXPECT_TRUE(is_critical(opts, desc, {c.critical})) << kind;
  }
}

TEST(TimeoutInterval, IsSixtySecondsUnlessATestChangesIt) {
  EXPECT_EQ(timeout_interval(), 60s);
  set_timeout_interval_for_tests(5ms);
  EXPECT_EQ(timeout_interval(), 5ms);
  set_timeout_interval_for_tests(60s);
}

}  // namespace
}  // namespace harness
