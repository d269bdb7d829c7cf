// The JSON event stream: number forms and every event line, byte for byte.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "duration_text.h"
#include "harness/formatter.h"
#include "console_test_support.h"
#include "machine_test_support.h"

namespace harness {
namespace {

using namespace std::chrono_literals;
using Kind = TestResult::Kind;

using machine_testing::bytes;
using machine_testing::FullSink;

TestDesc make_desc(std::string_view name) {
  TestDesc desc = machine_testing::desc_named(name);
  desc.source_file = "crates/zel-runtime/tests/hardware_e2e.cpp";
  desc.start_line = 12;
  desc.start_col = 4;
  desc.end_line = 12;
  desc.end_col = 30;
  return desc;
}

ConsoleTestDiscoveryState discovered(std::size_t tests, std::size_t benchmarks,
                                     std::size_t ignored) {
  ConsoleTestDiscoveryState state;
  state.tests = tests;
  state.benchmarks = benchmarks;
  state.ignored = ignored;
  return state;
}

TEST(DurationText, ShortestRoundTripWithoutExponent) {
  struct Case {
    double seconds;
    std::string text;
  };
  const std::vector<Case> cases = {
      {1.5, "1.5"},
      {1.0, "1"},
      {0.0, "0"},
      {0.000001, "0.000001"},
      {1e-9, "0.000000001"},
      {0.1, "0.1"},
      {83.07, "83.07"},
      {1e21, "1000000000000000000000"},
      {TestExecTime{1'250'000'000ns}.seconds(), "1.25"},
      {TestExecTime{1ns}.seconds(), "0.000000001"},
  };
  for (const Case& c : cases) EXPECT_EQ(duration_text(c.seconds), c.text);

  for (const double seconds : {0.3, 2.0 / 3.0, 61.5, 123456.789012345, 5e-324,
                               1.7976931348623157e308, TestExecTime{987'654'321ns}.seconds()}) {
    const std::string text = duration_text(seconds);
    EXPECT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), seconds) << text;
  }
}

class JsonFormatterTest : public ::testing::Test {
 protected:
  std::string result_line(const TestDesc& desc, const TestResult& result,
                          std::optional<TestExecTime> time, std::string_view output,
                          bool show_output) {
    sink.clear();
    state.show_output = show_output;
    const auto out = bytes(output);
    EXPECT_TRUE(fmt->write_result(desc, result, time, out, state));
    return sink.text();
  }

  StringSink sink;
  std::unique_ptr<OutputFormatter> fmt = make_json_formatter(sink);
  ConsoleTestState state;
};

TEST_F(JsonFormatterTest, RunEvents) {
  ASSERT_TRUE(fmt->write_run_start(23, std::nullopt));
  ASSERT_TRUE(fmt->write_run_start(0, 18446744073709551615ULL));
  ASSERT_TRUE(fmt->write_test_start(make_desc("host_h2d_works")));
  ASSERT_TRUE(fmt->write_timeout(make_desc("say \"hi\"\t\x1b")));
  EXPECT_EQ(
      sink.text(),
      "{ \"type\": \"suite\", \"event\": \"started\", \"test_count\": 23 }\n"
      "{ \"type\": \"suite\", \"event\": \"started\", \"test_count\": 0, "
      "\"shuffle_seed\": 18446744073709551615 }\n"
      "{ \"type\": \"test\", \"event\": \"started\", \"name\": \"host_h2d_works\" }\n"
      "{ \"type\": \"test\", \"event\": \"timeout\", \"name\": \"say \\\"hi\\\"\\t\\u001b\" }\n");
}

TEST_F(JsonFormatterTest, ResultKeysFollowKindOutputAndShowOutput) {
  const TestDesc plain = make_desc("t");
  TestDesc ignored_with_reason = make_desc("t");
  ignored_with_reason.ignore_message = "needs \"real\" card";
  const TestExecTime one_and_a_half{1'500'000'000ns};
  struct Case {
    const char* what;
    const TestDesc& desc;
    TestResult result;
    std::optional<TestExecTime> time;
    std::string output;
    bool show_output;
    std::string line;
  };
  const std::string head = "{ \"type\": \"test\", \"name\": \"t\", \"event\": ";
  const std::vector<Case> cases = {
      {"ok, silent", plain, TestResult::ok(), {}, "", true, head + "\"ok\" }\n"},
      {"ok, output hidden", plain, TestResult::ok(), {}, "hello\n", false, head + "\"ok\" }\n"},
      {"ok, output shown",
       plain,
       TestResult::ok(),
       {},
       "hello\n",
       true,
       head + "\"ok\", \"stdout\": \"hello\\n\" }\n"},
      {"ok, timed", plain, TestResult::ok(), one_and_a_half, "", false,
       head + "\"ok\", \"exec_time\": 1.5 }\n"},
      {"failed, silent", plain, TestResult::failed(), {}, "", false, head + "\"failed\" }\n"},
      {"failed, output always shown",
       plain,
       TestResult::failed(),
       {},
       "boom\n",
       false,
       head + "\"failed\", \"stdout\": \"boom\\n\" }\n"},
      {"failed, output lossily decoded",
       plain,
       TestResult::failed(),
       {},
       "\xff\x1b\x7f",
       false,
       head + "\"failed\", \"stdout\": \"\xef\xbf\xbd\\u001b\\u007f\" }\n"},
      {"failed with message", plain, TestResult::failed_msg("test did not panic as expected"),
       TestExecTime{0ns}, "out", false,
       head + "\"failed\", \"exec_time\": 0, \"stdout\": \"out\", "
              "\"message\": \"test did not panic as expected\" }\n"},
      {"failed with multi-line message",
       plain,
       TestResult::failed_msg("panic did not contain expected string\n      panic message: \"x\""),
       {},
       "",
       false,
       head + "\"failed\", \"message\": \"panic did not contain expected string\\n      "
              "panic message: \\\"x\\\"\" }\n"},
      {"time limit", plain, TestResult::timed_fail(), one_and_a_half, "late\n", false,
       head + "\"failed\", \"exec_time\": 1.5, \"stdout\": \"late\\n\", "
              "\"reason\": \"time limit exceeded\" }\n"},
      {"ignored", plain, TestResult::ignored(), {}, "", false, head + "\"ignored\" }\n"},
      {"ignored with message",
       ignored_with_reason,
       TestResult::ignored(),
       {},
       "",
       false,
       head + "\"ignored\", \"message\": \"needs \\\"real\\\" card\" }\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(result_line(c.desc, c.result, c.time, c.output, c.show_output), c.line) << c.what;
  }
}

TEST_F(JsonFormatterTest, BenchmarkResult) {
  TestResult bench{Kind::Bench, {}, BenchSamples{.median_ns = 1200, .deviation_ns = 35.5}};
  EXPECT_EQ(result_line(make_desc("b"), bench, {}, "", false),
            "{ \"type\": \"bench\", \"name\": \"b\", \"median\": 1200, \"deviation\": 35.5 }\n");
  bench.bench.mb_s = 640;
  EXPECT_EQ(result_line(make_desc("b"), bench, {}, "", false),
            "{ \"type\": \"bench\", \"name\": \"b\", \"median\": 1200, \"deviation\": 35.5, "
            "\"mib_per_second\": 640 }\n");
}

TEST_F(JsonFormatterTest, RunFinishReportsOutcome) {
  state.passed = 20;
  state.ignored = 1;
  state.filtered_out = 2;
  state.exec_time = TestSuiteExecTime{83'070'000'000ns};
  auto ok = fmt->write_run_finish(state);
  ASSERT_TRUE(ok);
  EXPECT_TRUE(*ok);
  state.failed = 2;
  state.measured = 3;
  state.exec_time.reset();
  auto failed = fmt->write_run_finish(state);
  ASSERT_TRUE(failed);
  EXPECT_FALSE(*failed);
  EXPECT_EQ(sink.text(),
            "{ \"type\": \"suite\", \"event\": \"ok\", \"passed\": 20, \"failed\": 0, "
            "\"ignored\": 1, \"measured\": 0, \"filtered_out\": 2, \"exec_time\": 83.07 }\n"
            "{ \"type\": \"suite\", \"event\": \"failed\", \"passed\": 20, \"failed\": 2, "
            "\"ignored\": 1, \"measured\": 3, \"filtered_out\": 2 }\n");
}

TEST_F(JsonFormatterTest, DoctestTimesReport) {
  ASSERT_TRUE(fmt->write_merged_doctests_times(1.5, 0.25));
  EXPECT_EQ(sink.text(),
            "{ \"type\": \"report\", \"total_time\": 1.5, \"compilation_time\": 0.25 }\n");
}

TEST_F(JsonFormatterTest, ListingEvents) {
  TestDesc ignored = make_desc("tab\there");
  ignored.ignore = true;
  ignored.ignore_message = "no \\ card";
  ASSERT_TRUE(fmt->write_discovery_start());
  ASSERT_TRUE(fmt->write_test_discovered(make_desc("host_h2d_works"), "test"));
  ASSERT_TRUE(fmt->write_test_discovered(ignored, "benchmark"));
  ASSERT_TRUE(fmt->write_discovery_finish(discovered(1, 1, 1)));
  EXPECT_EQ(sink.text(),
            "{ \"type\": \"suite\", \"event\": \"discovery\" }\n"
            "{ \"type\": \"test\", \"event\": \"discovered\", \"name\": \"host_h2d_works\", "
            "\"ignore\": false, \"ignore_message\": \"\", "
            "\"source_path\": \"crates/zel-runtime/tests/hardware_e2e.cpp\", "
            "\"start_line\": 12, \"start_col\": 4, \"end_line\": 12, \"end_col\": 30 }\n"
            "{ \"type\": \"benchmark\", \"event\": \"discovered\", \"name\": \"tab\\there\", "
            "\"ignore\": true, \"ignore_message\": \"no \\\\ card\", "
            "\"source_path\": \"crates/zel-runtime/tests/hardware_e2e.cpp\", "
            "\"start_line\": 12, \"start_col\": 4, \"end_line\": 12, \"end_col\": 30 }\n"
            "{ \"type\": \"suite\", \"event\": \"completed\", \"tests\": 1, \"benchmarks\": 1, "
            "\"total\": 2, \"ignored\": 1 }\n");
}

// Output that tests print with capture off must not split a line: every event
// reaches the sink as exactly one write holding exactly one line.
TEST(JsonFormatter, EveryEventIsOneWriteOfOneLine) {
  testing::WriteLogSink sink;  // keeps each write apart: one per line
  auto fmt = make_json_formatter(sink);
  ConsoleTestState state;
  state.show_output = true;
  const auto output = bytes("line one\nline two\n");
  const TestDesc desc = make_desc("multi\nline\nname");
  ASSERT_TRUE(fmt->write_discovery_start());
  ASSERT_TRUE(fmt->write_test_discovered(desc, "test"));
  ASSERT_TRUE(fmt->write_discovery_finish({}));
  ASSERT_TRUE(fmt->write_run_start(1, 7));
  ASSERT_TRUE(fmt->write_test_start(desc));
  ASSERT_TRUE(fmt->write_timeout(desc));
  ASSERT_TRUE(
      fmt->write_result(desc, TestResult::failed_msg("a\nb"), TestExecTime{}, output, state));
  ASSERT_TRUE(fmt->write_run_finish(state));
  ASSERT_EQ(sink.writes.size(), 8u);
  for (const std::string& w : sink.writes) {
    EXPECT_EQ(w.find('\n'), w.size() - 1) << w;
  }
}

TEST(JsonFormatter, TwoPassingTestsGiveFiveLines) {
  StringSink sink;
  auto fmt = make_json_formatter(sink);
  ConsoleTestState state;
  state.total = 2;
  ASSERT_TRUE(fmt->write_run_start(2, std::nullopt));
  for (const char* name : {"a", "b"}) {
    ASSERT_TRUE(fmt->write_test_start(make_desc(name)));
    ASSERT_TRUE(fmt->write_result(make_desc(name), TestResult::ok(), {}, {}, state));
    ++state.passed;
  }
  state.exec_time = TestSuiteExecTime{2'000'000'000ns};
  ASSERT_TRUE(fmt->write_run_finish(state));
  EXPECT_EQ(sink.text(),
            "{ \"type\": \"suite\", \"event\": \"started\", \"test_count\": 2 }\n"
            "{ \"type\": \"test\", \"event\": \"started\", \"name\": \"a\" }\n"
            "{ \"type\": \"test\", \"name\": \"a\", \"event\": \"ok\" }\n"
            "{ \"type\": \"test\", \"event\": \"started\", \"name\": \"b\" }\n"
            "{ \"type\": \"test\", \"name\": \"b\", \"event\": \"ok\" }\n"
            "{ \"type\": \"suite\", \"event\": \"ok\", \"passed\": 2, \"failed\": 0, "
            "\"ignored\": 0, \"measured\": 0, \"filtered_out\": 0, \"exec_time\": 2 }\n");
}

TEST(JsonFormatter, WriteErrorsReachTheCaller) {
  FullSink sink;
  auto fmt = make_json_formatter(sink);
  const IoError no_space{ENOSPC};
  const TestDesc desc = make_desc("t");
  ConsoleTestState state;
  EXPECT_EQ(fmt->write_discovery_start().error(), no_space);
  EXPECT_EQ(fmt->write_test_discovered(desc, "test").error(), no_space);
  EXPECT_EQ(fmt->write_discovery_finish({}).error(), no_space);
  EXPECT_EQ(fmt->write_run_start(1, std::nullopt).error(), no_space);
  EXPECT_EQ(fmt->write_test_start(desc).error(), no_space);
  EXPECT_EQ(fmt->write_timeout(desc).error(), no_space);
  EXPECT_EQ(fmt->write_result(desc, TestResult::ok(), {}, {}, state).error(), no_space);
  EXPECT_EQ(fmt->write_run_finish(state).error(), no_space);
}

}  // namespace
}  // namespace harness
