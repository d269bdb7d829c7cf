// The options record of a harness run: every decision a user can influence
// reaches the harness through one `TestOpts`, built once at start-up.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace harness {

enum class RunIgnored { Yes, No, Only };
enum class ColorConfig { Auto, Always, Never };
enum class OutputFormat { Pretty, Terse, Json, Junit };

struct TimeThreshold {
  std::chrono::nanoseconds warn;
  std::chrono::nanoseconds critical;
  // The threshold in variable `name` ("WARN_MS,CRITICAL_MS"); nothing when
  // the variable is unset. A malformed value stops the process (status 101).
  static std::optional<TimeThreshold> from_env_var(const char* name);
  bool operator==(const TimeThreshold&) const = default;
};

struct TestTimeOptions {
  bool error_on_excess = false;
  TimeThreshold unit_threshold{std::chrono::milliseconds(50), std::chrono::milliseconds(100)};
  TimeThreshold integration_threshold{std::chrono::milliseconds(500),
                                      std::chrono::milliseconds(1000)};
  TimeThreshold doctest_threshold{std::chrono::milliseconds(500), std::chrono::milliseconds(1000)};
  bool operator==(const TestTimeOptions&) const = default;
};

// A share of the selected tests: those whose position among them, in
// registry order, modulo `total` is `index` (index < total).
struct Shard {
  std::uint64_t total = 1;
  std::uint64_t index = 0;
  bool operator==(const Shard&) const = default;
};

// What a test engine (a CI matrix, a build tool's test runner) asks of the
// program through its variables: TEST_TOTAL_SHARDS and TEST_SHARD_INDEX,
// TEST_SHARD_STATUS_FILE, XML_OUTPUT_FILE, TEST_PREMATURE_EXIT_FILE and
// TESTBRIDGE_TEST_ONLY. All empty when none is set.
struct EngineRequests {
  std::optional<Shard> shard;
  std::optional<std::string> test_only;            // a name filter, when the command line has none
  std::optional<std::string> shard_status_file;    // created or touched before tests run
  std::optional<std::string> xml_output_file;      // the run's JUnit document, also
  std::optional<std::string> premature_exit_file;  // exists while the program runs
  std::optional<std::string> report_dir;           // a folder that keeps every run's document
  bool operator==(const EngineRequests&) const = default;
};

struct TestOpts {
  bool list = false;
  std::vector<std::string> filters;
  bool exact = false;
  bool force_run_in_process = false;
  bool exclude_expect_failure = false;
  RunIgnored run_ignored = RunIgnored::No;
  bool run_tests = true;
  bool run_benchmarks = false;
  std::optional<std::string> logfile;
  bool nocapture = false;
  ColorConfig color = ColorConfig::Auto;
  OutputFormat format = OutputFormat::Pretty;
  bool shuffle = false;
  std::optional<std::uint64_t> shuffle_seed;
  std::optional<std::size_t> test_threads;  // never 0
  std::vector<std::string> skip;
  std::optional<TestTimeOptions> time_options;
  bool show_output = false;
  bool fail_fast = false;
  EngineRequests engine;
  bool operator==(const TestOpts&) const = default;
};

// The number of worker threads when "--test-threads" is absent:
// "RUST_TEST_THREADS" when set (a value that is not a positive integer stops
// the process with status 101), else the processors available to the process
// (affinity mask and cgroup CPU quota), at least 1.
std::size_t get_concurrency();

}  // namespace harness
