// Turning a test's outcome into its result: expected failures, time limits
// and the join rule.
#include <gtest/gtest.h>

#include "core_test_support.h"
#include "harness/run.h"
#include "run_loop.h"

namespace harness {
namespace {

using core_testing::kind_word;
using core_testing::make_desc;
using namespace std::chrono_literals;

TestOutcome returned() {
  return {};
}
TestOutcome failed_with(std::string text) {
  return std::unexpected(PanicPayload{std::move(text), "std::string"});
}
TestOutcome failed_without_text(std::string type) {
  return std::unexpected(PanicPayload{std::nullopt, std::move(type)});
}

TEST(CalcResult, ExpectedFailureRules) {
  struct Case {
    ExpectFailure expect;
    TestOutcome outcome;
    std::string_view source_file;
    std::string result;
  };
  const Case cases[] = {
      {ExpectFailure::no(), returned(), "f.cpp", "ok"},
      {ExpectFailure::no(), failed_with("boom"), "f.cpp", "failed"},
      {ExpectFailure::yes(), failed_with("boom"), "f.cpp", "ok"},
      {ExpectFailure::yes(), failed_without_text("int"), "f.cpp", "ok"},
      {ExpectFailure::yes(), returned(), "src/t.cpp",
       "failed_msg: test did not panic as expected at src/t.cpp:7:5"},
      {ExpectFailure::yes(), returned(), "", "failed_msg: test did not panic as expected"},
      {ExpectFailure::with_message("oo"), returned(), "src/t.cpp",
       "failed_msg: test did not panic as expected at src/t.cpp:7:5"},
      {ExpectFailure::with_message("oo"), failed_with("boom"), "f.cpp", "ok"},
      {ExpectFailure::with_message(""), failed_with("boom"), "f.cpp", "ok"},
      {ExpectFailure::with_message("Boom"), failed_with("boom \"x\"\n"), "f.cpp",
       "failed_msg: panic did not contain expected string\n"
       "      panic message: \"boom \\\"x\\\"\\n\"\n"
       " expected substring: \"Boom\""},
      {ExpectFailure::with_message("a\tb"), failed_without_text("my::Error"), "f.cpp",
       "failed_msg: expected panic with string value,\n"
       " found non-string value: `\"my::Error\"`\n"
       "     expected substring: \"a\\tb\""},
  };
  for (const auto& c : cases) {
    TestDesc desc = make_desc("t");
    desc.expect_failure = c.expect;
    desc.source_file = c.source_file;
    EXPECT_EQ(kind_word(calc_result(desc, c.outcome, std::nullopt, std::nullopt)), c.result);
  }
}

TEST(CalcResult, EnsureTimeFailsOnlyPassingTestsAtTheirCriticalTime) {
  TestTimeOptions ensure;
  ensure.error_on_excess = true;
  TestTimeOptions report_only;  // --report-time alone
  struct Case {
    TestKind kind;
    std::chrono::nanoseconds time;
    const TestTimeOptions* options;
    TestOutcome outcome;
    const char* result;
  };
  const Case cases[] = {
      {TestKind::Integration, 999ms, &ensure, returned(), "ok"},
      {TestKind::Integration, 1000ms, &ensure, returned(), "timed_fail"},
      {TestKind::Integration, 5s, &report_only, returned(), "ok"},
      {TestKind::Integration, 5s, &ensure, failed_with("boom"), "failed"},
      {TestKind::Unit, 99ms, &ensure, returned(), "ok"},
      {TestKind::Unit, 100ms, &ensure, returned(), "timed_fail"},
      {TestKind::Doc, 1000ms, &ensure, returned(), "timed_fail"},
      {TestKind::Unknown, 119s, &ensure, returned(), "ok"},
      {TestKind::Unknown, 120s, &ensure, returned(), "timed_fail"},
  };
  for (const auto& c : cases) {
    const TestResult result =
        calc_result(make_desc("t", c.kind), c.outcome, *c.options, TestExecTime{c.time});
    EXPECT_EQ(kind_word(result), c.result)
        << static_cast<int>(c.kind) << " " << c.time.count() << "ns";
  }
  // No measured time, no time failure.
  EXPECT_EQ(kind_word(calc_result(make_desc("t"), returned(), ensure, std::nullopt)), "ok");
}

TEST(JoinOutcome, OnlyASuccessTurnsIntoAFailureWhenTheThreadFailedAfterReporting) {
  EXPECT_EQ(kind_word(apply_join_outcome(TestResult::ok(), true)),
            "failed_msg: panicked after reporting success");
  EXPECT_EQ(kind_word(apply_join_outcome(TestResult::ok(), false)), "ok");
  EXPECT_EQ(kind_word(apply_join_outcome(TestResult::failed(), true)), "failed");
  EXPECT_EQ(kind_word(apply_join_outcome(TestResult::ignored(), true)), "ignored");
}

}  // namespace
}  // namespace harness
