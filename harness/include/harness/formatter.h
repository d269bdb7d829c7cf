// The formatter interface: what the run loop hands the output formats
// (pretty, terse, JSON, JUnit), and the run's counters and lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "harness/io.h"
#include "harness/options.h"
#include "harness/test.h"
#include "harness/time.h"

namespace harness {

// A benchmark's measurement summary (benchmarks are not used by this program).
struct BenchSamples {
  double median_ns = 0;
  double deviation_ns = 0;  // max minus min
  double sum_ns = 0;
  std::uint64_t mb_s = 0;
  std::string text() const;  // the summary text shown after "bench: "
};

struct TestResult {
  enum class Kind : std::uint8_t { Ok, Failed, FailedMsg, Ignored, Bench, TimedFail };
  Kind kind = Kind::Ok;
  std::string message;  // FailedMsg only
  BenchSamples bench;   // Bench only

  static TestResult ok() { return {}; }
  static TestResult failed() { return {Kind::Failed, {}, {}}; }
  static TestResult failed_msg(std::string m) { return {Kind::FailedMsg, std::move(m), {}}; }
  static TestResult ignored() { return {Kind::Ignored, {}, {}}; }
  static TestResult timed_fail() { return {Kind::TimedFail, {}, {}}; }
  bool is_failure() const {
    return kind == Kind::Failed || kind == Kind::FailedMsg || kind == Kind::TimedFail;
  }
};

using TestId = std::size_t;

struct CompletedTest {
  TestId id = 0;
  TestDesc desc;
  TestResult result;
  std::optional<TestExecTime> exec_time;
  std::vector<std::uint8_t> stdout_bytes;  // captured stdout and stderr, plus notes
  // Measured whether or not times are reported: for documents that always
  // carry them.
  std::optional<TestExecTime> measured_time;
};

struct MetricMap {
  struct Metric {
    std::string name;
    double value;
    double noise;
  };
  std::vector<Metric> metrics;
};

// A (description, captured output) pair of the run's lists.
using DescAndOutput = std::pair<TestDesc, std::vector<std::uint8_t>>;

// The run's counters and lists. Owned by the console driver on the main
// thread; formatters only read it.
struct ConsoleTestState {
  std::optional<std::string> log_path;  // the open log file, if any (the driver writes it)
  std::size_t total = 0;
  std::size_t passed = 0;
  std::size_t failed = 0;
  std::size_t ignored = 0;
  std::size_t filtered_out = 0;
  std::size_t measured = 0;
  std::optional<TestSuiteExecTime> exec_time;
  MetricMap metrics;
  bool show_output = false;
  std::vector<DescAndOutput> failures;
  std::vector<DescAndOutput> not_failures;
  std::vector<DescAndOutput> ignores;
  std::vector<DescAndOutput> time_failures;
  // A run stopped by a signal: "run interrupted by SIGTERM after 1.9 s; 20 of
  // 23 selected tests did not start". Such a run never succeeds.
  std::optional<std::string> interruption;

  std::size_t current_test_count() const { return passed + failed + ignored + measured; }
  bool succeeded() const { return failed == 0 && !interruption; }
};

struct ConsoleTestDiscoveryState {
  std::optional<std::string> log_path;
  std::size_t tests = 0;
  std::size_t benchmarks = 0;
  std::size_t ignored = 0;
};

class OutputFormatter {
 public:
  virtual ~OutputFormatter() = default;
  virtual IoResult write_discovery_start() = 0;
  // `test_type` is "test" or "benchmark".
  virtual IoResult write_test_discovered(const TestDesc& desc, std::string_view test_type) = 0;
  virtual IoResult write_discovery_finish(const ConsoleTestDiscoveryState& state) = 0;
  virtual IoResult write_run_start(std::size_t test_count,
                                   std::optional<std::uint64_t> shuffle_seed) = 0;
  virtual IoResult write_test_start(const TestDesc& desc) = 0;
  virtual IoResult write_timeout(const TestDesc& desc) = 0;
  // `state` has not yet been updated for this result.
  virtual IoResult write_result(const TestDesc& desc, const TestResult& result,
                                const std::optional<TestExecTime>& exec_time,
                                std::span<const std::uint8_t> stdout_bytes,
                                const ConsoleTestState& state) = 0;
  // Prints the summary; returns whether the run succeeded (failed == 0).
  virtual std::expected<bool, IoError> write_run_finish(const ConsoleTestState& state) = 0;
  virtual IoResult write_merged_doctests_times(double total, double compilation) = 0;
  // The test's measured time, told just before its `write_result` whether or
  // not times are reported; only a document that always carries times needs it.
  virtual void note_measured_time(const TestDesc&, TestExecTime) {}
};

// What a console formatter is told when it is created.
struct ConsoleFormatterConfig {
  bool use_color = false;
  std::size_t max_name_len = 0;  // longest name marked for right padding
  bool is_multithreaded = false;
  std::optional<TestTimeOptions> time_options;
};

// The sink must outlive the formatter.
std::unique_ptr<OutputFormatter> make_pretty_formatter(OutputSink& out,
                                                       ConsoleFormatterConfig config);
std::unique_ptr<OutputFormatter> make_terse_formatter(OutputSink& out,
                                                      ConsoleFormatterConfig config);
std::unique_ptr<OutputFormatter> make_json_formatter(OutputSink& out);
std::unique_ptr<OutputFormatter> make_junit_formatter(OutputSink& out);

// What a JUnit document kept by a test engine also records, so that reports of
// many hosts and shards can be told apart: the testsuite's `hostname` and
// `timestamp` attributes and a `properties` element, first in the testsuite.
struct JunitContext {
  std::string hostname;
  std::string timestamp;  // the run's start, UTC, "2026-12-09T14:03:07"
  std::vector<std::pair<std::string, std::string>> properties;  // name, value; in order
};
std::unique_ptr<OutputFormatter> make_junit_formatter(OutputSink& out, JunitContext context);

// Decodes `bytes` as UTF-8, replacing every invalid sequence with U+FFFD
// (maximal-subpart rule).
std::string utf8_lossy(std::span<const std::uint8_t> bytes);

}  // namespace harness
