// Builders shared by the harness core tests: records with inline bodies, and
// an event handler that writes every event down as one line of text.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "harness/run.h"
#include "harness/test.h"

namespace harness::core_testing {

inline TestDesc make_desc(std::string_view name, TestKind kind = TestKind::Unit) {
  return TestDesc{.name = TestName::static_name(name),
                  .ignore = false,
                  .ignore_message = std::nullopt,
                  .source_file = "src/t.cpp",
                  .start_line = 7,
                  .start_col = 5,
                  .end_line = 7,
                  .end_col = 9,
                  .expect_failure = ExpectFailure::no(),
                  .compile_fail = false,
                  .no_run = false,
                  .kind = kind};
}

inline TestDescAndFn dyn_test(std::string_view name, std::function<TestFailureResult()> body) {
  return {make_desc(name), DynTestFn{std::move(body)}};
}

inline TestDescAndFn passing(std::string_view name) {
  return dyn_test(name, [] { return TestFailureResult{}; });
}

inline TestDescAndFn failing(std::string_view name) {
  return dyn_test(name, []() -> TestFailureResult { panic("boom"); });
}

inline std::string kind_word(const TestResult& result) {
  switch (result.kind) {
    case TestResult::Kind::Ok:
      return "ok";
    case TestResult::Kind::Failed:
      return "failed";
    case TestResult::Kind::FailedMsg:
      return "failed_msg: " + result.message;
    case TestResult::Kind::Ignored:
      return "ignored";
    case TestResult::Kind::Bench:
      return "bench";
    case TestResult::Kind::TimedFail:
      return "timed_fail";
  }
  return "?";
}

// Writes every event down ("wait a", "result a ok", ...), keeping the
// completion messages for closer looks.
struct EventLog {
  std::vector<std::string> lines;
  std::vector<CompletedTest> results;

  EventHandler handler() {
    return [this](TestEvent event) -> IoResult {
      std::visit([this](auto& e) { record(e); }, event.event);
      return {};
    };
  }

  void record(TestEvent::FilteredOut& e) {
    lines.push_back("filtered_out " + std::to_string(e.count));
  }
  void record(TestEvent::Filtered& e) {
    lines.push_back("filtered " + std::to_string(e.count) +
                    (e.shuffle_seed ? " seed " + std::to_string(*e.shuffle_seed) : ""));
  }
  void record(TestEvent::Wait& e) { lines.push_back("wait " + std::string(e.desc.name.as_str())); }
  void record(TestEvent::Timeout& e) {
    lines.push_back("timeout " + std::string(e.desc.name.as_str()));
  }
  void record(TestEvent::Result& e) {
    lines.push_back("result " + std::string(e.completed.desc.name.as_str()) + " " +
                    kind_word(e.completed.result));
    results.push_back(std::move(e.completed));
  }
};

inline std::string text_of(const std::vector<std::uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace harness::core_testing
