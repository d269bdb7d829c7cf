// The console driver: the run's counters and lists as the formatter sees
// them, the log file, list mode, output errors and the formatter choice.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include "console_driver.h"
#include "core_test_support.h"
#include "harness/bencher.h"
#include "harness/io.h"

namespace harness {
namespace {

using core_testing::dyn_test;
using core_testing::failing;
using core_testing::make_desc;
using core_testing::passing;
using core_testing::text_of;

// Writes every call down and keeps a copy of the final state.
class RecordingFormatter final : public OutputFormatter {
 public:
  std::vector<std::string> calls;
  std::optional<ConsoleTestState> finish_state;
  std::optional<ConsoleTestDiscoveryState> discovery_state;
  std::string fail_on;  // a call name that returns an output error

  IoResult write_discovery_start() override { return note("discovery_start"); }
  IoResult write_test_discovered(const TestDesc& desc, std::string_view kind) override {
    return note("discovered " + std::string(desc.name.as_str()) + " " + std::string(kind));
  }
  IoResult write_discovery_finish(const ConsoleTestDiscoveryState& state) override {
    discovery_state = state;
    return note("discovery_finish");
  }
  IoResult write_run_start(std::size_t count, std::optional<std::uint64_t> seed) override {
    return note("run_start " + std::to_string(count) + (seed ? " seed" : ""));
  }
  IoResult write_test_start(const TestDesc& desc) override {
    return note("start " + std::string(desc.name.as_str()));
  }
  IoResult write_timeout(const TestDesc& desc) override {
    return note("timeout " + std::string(desc.name.as_str()));
  }
  IoResult write_result(const TestDesc& desc, const TestResult& result,
                        const std::optional<TestExecTime>&, std::span<const std::uint8_t>,
                        const ConsoleTestState& state) override {
    // The counters do not yet include this result.
    return note("result " + std::string(desc.name.as_str()) + " " +
                core_testing::kind_word(result) + " after " +
                std::to_string(state.current_test_count()));
  }
  std::expected<bool, IoError> write_run_finish(const ConsoleTestState& state) override {
    finish_state = state;
    if (auto noted = note("run_finish"); !noted) return std::unexpected(noted.error());
    return state.failed == 0;
  }
  IoResult write_merged_doctests_times(double, double) override { return note("merged"); }

 private:
  IoResult note(std::string call) {
    const bool fails = !fail_on.empty() && call.starts_with(fail_on);
    calls.push_back(std::move(call));
    if (fails) return std::unexpected(IoError{ENOSPC});
    return {};
  }
};

std::vector<std::string> names(const std::vector<DescAndOutput>& list) {
  std::vector<std::string> out;
  for (const auto& [desc, output] : list) out.emplace_back(desc.name.as_str());
  return out;
}

// A path in a fresh temporary directory, removed with it.
class TempPath {
 public:
  TempPath() {
    char dir[] = "/tmp/core_console_test.XXXXXX";
    dir_ = ::mkdtemp(dir);
    path_ = dir_ + "/log.txt";
  }
  ~TempPath() {
    std::remove(path_.c_str());
    ::rmdir(dir_.c_str());
  }
  const std::string& path() const { return path_; }
  std::string read() const {
    std::ifstream in(path_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  std::string dir_;
  std::string path_;
};

std::vector<TestDescAndFn> mixed_registry() {
  std::vector<TestDescAndFn> tests = {passing("a_passes"),      failing("b_fails"),
                                      passing("c_ignored"),     passing("d_ignored_why"),
                                      passing("e_should_fail"), passing("f_filtered")};
  tests[2].desc.ignore = true;
  tests[3].desc.ignore = true;
  tests[3].desc.ignore_message = "why";
  tests[4].desc.expect_failure = ExpectFailure::yes();
  tests[4].desc.source_file = "";
  return tests;
}

TEST(ConsoleRun, CountersAndListsReachTheRunFinish) {
  TestOpts opts;
  opts.test_threads = 1;
  opts.skip = {"filtered"};
  opts.show_output = true;
  RecordingFormatter formatter;
  const auto passed = run_tests_with(formatter, opts, mixed_registry());
  ASSERT_TRUE(passed);
  EXPECT_FALSE(*passed);
  EXPECT_EQ(
      formatter.calls,
      (std::vector<std::string>{
          "run_start 5", "start a_passes", "result a_passes ok after 0", "start b_fails",
          "result b_fails failed after 1", "start c_ignored", "result c_ignored ignored after 2",
          "start d_ignored_why", "result d_ignored_why ignored after 3", "start e_should_fail",
          "result e_should_fail failed_msg: test did not panic as expected after 4",
          "run_finish"}));
  const ConsoleTestState& st = *formatter.finish_state;
  EXPECT_EQ(st.total, 5u);
  EXPECT_EQ(st.passed, 1u);
  EXPECT_EQ(st.failed, 2u);
  EXPECT_EQ(st.ignored, 2u);
  EXPECT_EQ(st.filtered_out, 1u);
  EXPECT_EQ(st.measured, 0u);
  EXPECT_TRUE(st.show_output);
  EXPECT_TRUE(st.exec_time.has_value());
  EXPECT_EQ(names(st.not_failures), std::vector<std::string>{"a_passes"});
  EXPECT_EQ(names(st.failures), (std::vector<std::string>{"b_fails", "e_should_fail"}));
  EXPECT_EQ(names(st.ignores), (std::vector<std::string>{"c_ignored", "d_ignored_why"}));
  EXPECT_TRUE(st.time_failures.empty());
  // A message result adds its note to the end of the output, without a line break.
  EXPECT_EQ(text_of(st.failures[1].second), "note: test did not panic as expected");
  EXPECT_TRUE(text_of(st.failures[0].second).starts_with("\nthread 'b_fails' ("));
}

TEST(ConsoleRun, TimeFailuresAndBenchmarksHaveTheirOwnLists) {
  TestOpts opts;
  opts.test_threads = 2;
  opts.run_benchmarks = true;
  opts.time_options = TestTimeOptions{};
  opts.time_options->error_on_excess = true;
  opts.time_options->unit_threshold = {std::chrono::nanoseconds(0), std::chrono::nanoseconds(0)};
  auto bench = [](Bencher& b) -> TestFailureResult {
    b.iter([] {});
    return {};
  };
  RecordingFormatter formatter;
  const auto passed = run_tests_with(
      formatter, opts, {passing("too_slow"), {make_desc("bench_me"), DynBenchFn{bench}}});
  ASSERT_TRUE(passed);
  EXPECT_FALSE(*passed);
  const ConsoleTestState& st = *formatter.finish_state;
  EXPECT_EQ(st.failed, 1u);
  EXPECT_EQ(st.measured, 1u);
  EXPECT_EQ(names(st.time_failures), std::vector<std::string>{"too_slow"});
  EXPECT_TRUE(st.failures.empty());
  ASSERT_EQ(st.metrics.metrics.size(), 1u);
  EXPECT_EQ(st.metrics.metrics[0].name, "bench_me");
}

TEST(ConsoleRun, FailFastLeavesTheCountsShortOfTheTotal) {
  TestOpts opts;
  opts.test_threads = 1;
  opts.fail_fast = true;
  RecordingFormatter formatter;
  const auto passed = run_tests_with(formatter, opts, {failing("a"), passing("b"), passing("c")});
  ASSERT_TRUE(passed);
  EXPECT_FALSE(*passed);
  EXPECT_EQ(formatter.finish_state->total, 3u);
  EXPECT_EQ(formatter.finish_state->current_test_count(), 1u);
}

TEST(ConsoleRun, LogFileHasOneLinePerResult) {
  TempPath log;
  TestOpts opts;
  opts.test_threads = 1;
  opts.logfile = log.path();
  opts.skip = {"filtered"};
  RecordingFormatter formatter;
  ASSERT_TRUE(run_tests_with(formatter, opts, mixed_registry()));
  EXPECT_EQ(log.read(),
            "ok a_passes\n"
            "failed b_fails\n"
            "ignored c_ignored\n"
            "ignored: why d_ignored_why\n"
            "failed: test did not panic as expected e_should_fail\n");
  EXPECT_EQ(formatter.finish_state->log_path, log.path());

  // With time reporting every line carries the time; a time failure has its word.
  opts.time_options = TestTimeOptions{};
  opts.time_options->error_on_excess = true;
  opts.time_options->unit_threshold = {std::chrono::nanoseconds(0), std::chrono::nanoseconds(0)};
  opts.skip.clear();
  ASSERT_TRUE(run_tests_with(formatter, opts, {passing("slow")}));
  EXPECT_TRUE(std::regex_match(
      log.read(), std::regex(R"(failed \(time limit exceeded\) slow <\d+\.\d{3}s>\n)")))
      << log.read();
}

TEST(ConsoleRun, ResultLogLinesByKind) {
  CompletedTest done{0, make_desc("t"), TestResult::ok(), std::nullopt, {}, std::nullopt};
  EXPECT_EQ(result_log_line(done), "ok t\n");
  done.result = TestResult::failed_msg("two\nlines");
  EXPECT_EQ(result_log_line(done), "failed: two\nlines t\n");
  done.result = TestResult::timed_fail();
  done.exec_time = TestExecTime{std::chrono::milliseconds(1250)};
  EXPECT_EQ(result_log_line(done), "failed (time limit exceeded) t <1.250s>\n");
  done.result.kind = TestResult::Kind::Bench;
  done.exec_time.reset();
  EXPECT_EQ(result_log_line(done), done.result.bench.text() + " t\n");
}

TEST(ConsoleRun, OutputErrorsEndTheRun) {
  for (const char* failing_call : {"run_start", "start", "result", "run_finish"}) {
    RecordingFormatter formatter;
    formatter.fail_on = failing_call;
    TestOpts opts;
    opts.test_threads = 2;
    const auto passed = run_tests_with(formatter, opts, {passing("a"), passing("b")});
    ASSERT_FALSE(passed) << failing_call;
    EXPECT_EQ(passed.error(), IoError{ENOSPC});
    EXPECT_TRUE(formatter.calls.back().starts_with(failing_call));
  }
  // A log file that cannot be created stops the run before it starts.
  RecordingFormatter formatter;
  TestOpts opts;
  opts.logfile = "/nonexistent-dir/log.txt";
  const auto passed = run_tests_with(formatter, opts, {passing("a")});
  ASSERT_FALSE(passed);
  EXPECT_EQ(passed.error(), IoError{ENOENT});
  EXPECT_TRUE(formatter.calls.empty());
}

TEST(ListTests, ListsSelectedEntriesWithKindWordsAndCounts) {
  TempPath log;
  TestOpts opts;
  opts.logfile = log.path();
  opts.skip = {"skipped"};
  auto bench = [](Bencher&) -> TestFailureResult { return {}; };
  std::vector<TestDescAndFn> tests = {passing("a"),
                                      {make_desc("b"), DynBenchFn{bench}},
                                      passing("c_ignored"),
                                      passing("skipped"),
                                      {make_desc("d"), DynBenchAsTestFn{bench}}};
  tests[2].desc.ignore = true;
  RecordingFormatter formatter;
  ASSERT_TRUE(list_tests_with(formatter, opts, std::move(tests)));
  EXPECT_EQ(formatter.calls,
            (std::vector<std::string>{"discovery_start", "discovered a test",
                                      "discovered b benchmark", "discovered c_ignored test",
                                      "discovered d test", "discovery_finish"}));
  EXPECT_EQ(formatter.discovery_state->tests, 3u);
  EXPECT_EQ(formatter.discovery_state->benchmarks, 1u);
  EXPECT_EQ(formatter.discovery_state->ignored, 1u);
  EXPECT_EQ(log.read(), "test a\nbenchmark b\ntest c_ignored\ntest d\n");

  RecordingFormatter failing_formatter;
  failing_formatter.fail_on = "discovered";
  const IoResult listed = list_tests_with(failing_formatter, TestOpts{}, {passing("a")});
  ASSERT_FALSE(listed);
  EXPECT_EQ(listed.error(), IoError{ENOSPC});
}

TEST(ConsoleRun, ColourFollowsTheChoiceCaptureAndTerminal) {
  struct Case {
    ColorConfig color;
    bool nocapture;
    bool stdout_is_terminal;
    bool sink_is_colour_terminal;
    bool coloured;
  };
  const Case cases[] = {
      {ColorConfig::Always, false, false, true, true},
      {ColorConfig::Always, false, false, false, false},  // raw stdout never shows colour
      {ColorConfig::Never, false, true, true, false},
      {ColorConfig::Auto, false, true, true, true},
      {ColorConfig::Auto, true, true, true, false},
      {ColorConfig::Auto, false, false, true, false},
  };
  for (const auto& c : cases) {
    StringSink sink(c.sink_is_colour_terminal);
    TestOpts opts;
    opts.test_threads = 1;
    opts.color = c.color;
    opts.nocapture = c.nocapture;
    ASSERT_TRUE(run_tests_console_to(sink, opts, {passing("a")}, c.stdout_is_terminal));
    EXPECT_EQ(sink.text().find("{green}") != std::string::npos, c.coloured)
        << static_cast<int>(c.color) << c.nocapture << c.stdout_is_terminal << ": " << sink.text();
  }
}

}  // namespace
}  // namespace harness
