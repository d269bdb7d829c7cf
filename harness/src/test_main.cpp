// The harness entry: options, list mode or a run through the console driver,
// the event handler with the run's counters, the log file, the exit status.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "capture.h"
#include "console_driver.h"
#include "engine_protocol.h"
#include "failure_report.h"
#include "harness/cli.h"
#include "harness/fatal.h"
#include "harness/run.h"
#include "process_exit.h"
#include "stop_state.h"

namespace harness {
namespace {

// The process arguments, saved by the C runtime's initialiser hook (it hands
// argc and argv to every .init_array function), so `test_main_static` needs
// no parameters for them.
int g_argc = 0;
char** g_argv = nullptr;

void save_process_arguments(int argc, char** argv, char**) {
  g_argc = argc;
  g_argv = argv;
}

__attribute__((section(".init_array"),
               used)) void (*const save_arguments_entry)(int, char**,
                                                         char**) = save_process_arguments;

std::vector<std::string> process_arguments() {
  std::vector<std::string> args;
  if (g_argv != nullptr) {
    for (int i = 0; i < g_argc; ++i) args.emplace_back(g_argv[i]);
    return args;
  }
  std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
  for (std::size_t start = 0; start < all.size();) {
    const std::size_t end = all.find('\0', start);
    args.push_back(all.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return args;
}

// The log file, written unbuffered beside the chosen format.
class LogFile {
 public:
  static std::expected<LogFile, IoError> create(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return std::unexpected(IoError{errno});
    return LogFile(fd);
  }
  LogFile(LogFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  LogFile& operator=(LogFile&&) = delete;
  ~LogFile() {
    if (fd_ >= 0) ::close(fd_);
  }

  IoResult write(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        return std::unexpected(IoError{errno});
      }
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
  }

 private:
  explicit LogFile(int fd) : fd_(fd) {}
  int fd_;
};

std::expected<std::optional<LogFile>, IoError> open_log(const TestOpts& opts) {
  if (!opts.logfile) return std::optional<LogFile>();
  auto log = LogFile::create(*opts.logfile);
  if (!log) return std::unexpected(log.error());
  return std::optional<LogFile>(std::move(*log));
}

bool is_benchmark_fn(const TestFn& fn) {
  return std::holds_alternative<StaticBenchFn>(fn) || std::holds_alternative<DynBenchFn>(fn);
}

// Owns the run's counters and lists; every event arrives here on the main
// thread.
class ConsoleRun {
 public:
  ConsoleRun(OutputFormatter& formatter, std::optional<LogFile> log, const TestOpts& opts)
      : formatter_(formatter), log_(std::move(log)) {
    state_.log_path = opts.logfile;
    state_.show_output = opts.show_output;
  }

  ConsoleTestState& state() { return state_; }

  IoResult on_event(TestEvent event) {
    return std::visit([this](auto& e) { return handle(e); }, event.event);
  }

 private:
  IoResult handle(TestEvent::FilteredOut& e) {
    state_.filtered_out = e.count;
    return {};
  }
  IoResult handle(TestEvent::Filtered& e) {
    state_.total = e.count;
    return formatter_.write_run_start(e.count, e.shuffle_seed);
  }
  IoResult handle(TestEvent::Wait& e) { return formatter_.write_test_start(e.desc); }
  IoResult handle(TestEvent::Timeout& e) { return formatter_.write_timeout(e.desc); }
  IoResult handle(TestEvent::Result& e) {
    CompletedTest& done = e.completed;
    if (log_) {
      if (auto written = log_->write(result_log_line(done)); !written) return written;
    }
    if (done.measured_time) formatter_.note_measured_time(done.desc, *done.measured_time);
    if (auto written = formatter_.write_result(done.desc, done.result, done.exec_time,
                                               done.stdout_bytes, state_);
        !written) {
      return written;
    }
    switch (done.result.kind) {
      case TestResult::Kind::Ok:
        state_.passed += 1;
        state_.not_failures.emplace_back(std::move(done.desc), std::move(done.stdout_bytes));
        break;
      case TestResult::Kind::Ignored:
        state_.ignored += 1;
        state_.ignores.emplace_back(std::move(done.desc), std::move(done.stdout_bytes));
        break;
      case TestResult::Kind::Bench:
        state_.metrics.metrics.push_back({std::string(done.desc.name.as_str()),
                                          done.result.bench.median_ns,
                                          done.result.bench.deviation_ns});
        state_.measured += 1;
        break;
      case TestResult::Kind::Failed:
        state_.failed += 1;
        state_.failures.emplace_back(std::move(done.desc), std::move(done.stdout_bytes));
        break;
      case TestResult::Kind::FailedMsg: {
        state_.failed += 1;
        const std::string note = "note: " + done.result.message;
        done.stdout_bytes.insert(done.stdout_bytes.end(), note.begin(), note.end());
        state_.failures.emplace_back(std::move(done.desc), std::move(done.stdout_bytes));
        break;
      }
      case TestResult::Kind::TimedFail:
        state_.failed += 1;
        state_.time_failures.emplace_back(std::move(done.desc), std::move(done.stdout_bytes));
        break;
    }
    return {};
  }

  OutputFormatter& formatter_;
  std::optional<LogFile> log_;
  ConsoleTestState state_;
};

std::unique_ptr<OutputFormatter> make_run_formatter(OutputSink& out, const TestOpts& opts,
                                                    const std::vector<TestDescAndFn>& tests,
                                                    bool stdout_is_terminal) {
  switch (opts.format) {
    case OutputFormat::Json:
      return make_json_formatter(out);
    case OutputFormat::Junit:
      return make_junit_formatter(out);
    case OutputFormat::Pretty:
    case OutputFormat::Terse:
      break;
  }
  ConsoleFormatterConfig config;
  switch (opts.color) {
    case ColorConfig::Always:
      config.use_color = true;
      break;
    case ColorConfig::Never:
      config.use_color = false;
      break;
    case ColorConfig::Auto:
      config.use_color = !opts.nocapture && stdout_is_terminal && out.is_color_terminal();
      break;
  }
  for (const auto& test : tests) {
    if (is_benchmark_fn(test.testfn)) {
      config.max_name_len = std::max(config.max_name_len, test.desc.name.as_str().size());
    }
  }
  const std::size_t threads = opts.test_threads ? *opts.test_threads : get_concurrency();
  config.is_multithreaded = threads != 1;
  config.time_options = opts.time_options;
  return opts.format == OutputFormat::Terse ? make_terse_formatter(out, config)
                                            : make_pretty_formatter(out, config);
}

// "run interrupted by SIGTERM after 1.9 s; 20 of 23 selected tests did not start"
std::string interruption_sentence(const StopNotice& stop,
                                  std::chrono::steady_clock::time_point run_start,
                                  const ConsoleTestState& state) {
  const std::chrono::duration<double> ran = stop.arrival - run_start;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", std::max(ran.count(), 0.0));
  const std::size_t not_started = state.total - std::min(state.total, state.current_test_count());
  return "run interrupted by " + stop.signal_name + " after " + seconds + " s; " +
         std::to_string(not_started) + " of " + std::to_string(state.total) +
         " selected tests did not start";
}

void write_stderr(std::string_view text) {
  write_uncaptured(2, text);
}

}  // namespace

std::string result_log_line(const CompletedTest& completed) {
  std::string line;
  const TestResult& result = completed.result;
  switch (result.kind) {
    case TestResult::Kind::Ok:
      line = "ok";
      break;
    case TestResult::Kind::Failed:
      line = "failed";
      break;
    case TestResult::Kind::FailedMsg:
      line = "failed: " + result.message;
      break;
    case TestResult::Kind::Ignored:
      line = "ignored";
      if (completed.desc.ignore_message) line += ": " + std::string(*completed.desc.ignore_message);
      break;
    case TestResult::Kind::Bench:
      line = result.bench.text();
      break;
    case TestResult::Kind::TimedFail:
      line = "failed (time limit exceeded)";
      break;
  }
  line += ' ';
  line += completed.desc.name.as_str();
  if (completed.exec_time) line += " <" + completed.exec_time->text() + ">";
  line += '\n';
  return line;
}

std::expected<bool, IoError> run_tests_console_to(OutputSink& out, const TestOpts& opts,
                                                  std::vector<TestDescAndFn> tests,
                                                  bool stdout_is_terminal) {
  std::unique_ptr<OutputFormatter> formatter =
      make_run_formatter(out, opts, tests, stdout_is_terminal);
  formatter = with_engine_documents(std::move(formatter), opts.engine);
  return run_tests_with(*formatter, opts, std::move(tests));
}

std::expected<bool, IoError> run_tests_with(OutputFormatter& formatter, const TestOpts& opts,
                                            std::vector<TestDescAndFn> tests) {
  auto log = open_log(opts);
  if (!log) return std::unexpected(log.error());
  ConsoleRun run(formatter, std::move(*log), opts);
  const auto start = std::chrono::steady_clock::now();
  if (auto ran = run_tests(opts, std::move(tests),
                           [&run](TestEvent event) { return run.on_event(std::move(event)); });
      !ran) {
    return std::unexpected(ran.error());
  }
  ConsoleTestState& state = run.state();
  state.exec_time = TestSuiteExecTime{std::chrono::steady_clock::now() - start};
  // A stopped run reports the tests that started, counts only those, and
  // says how much of the run it cut off.
  if (const std::optional<StopNotice> stop = stop_notice()) {
    state.interruption = interruption_sentence(*stop, start, state);
    state.total = state.current_test_count();
  }
  if (!opts.fail_fast && state.current_test_count() != state.total) {
    fatal("assertion failed: opts.fail_fast || st.current_test_count() == st.total");
  }
  return formatter.write_run_finish(state);
}

std::expected<bool, IoError> run_tests_console(const TestOpts& opts,
                                               std::vector<TestDescAndFn> tests) {
  std::unique_ptr<OutputSink> out = make_stdout_sink();
  return run_tests_console_to(*out, opts, std::move(tests), ::isatty(1) == 1);
}

IoResult list_tests_console_to(OutputSink& out, const TestOpts& opts,
                               std::vector<TestDescAndFn> tests) {
  std::unique_ptr<OutputFormatter> formatter;
  switch (opts.format) {
    case OutputFormat::Json:
      formatter = make_json_formatter(out);
      break;
    case OutputFormat::Terse:
      formatter = make_terse_formatter(out, ConsoleFormatterConfig{});
      break;
    case OutputFormat::Pretty:
    case OutputFormat::Junit:
      formatter = make_pretty_formatter(out, ConsoleFormatterConfig{});
      break;
  }
  return list_tests_with(*formatter, opts, std::move(tests));
}

IoResult list_tests_with(OutputFormatter& formatter, const TestOpts& opts,
                         std::vector<TestDescAndFn> tests) {
  auto log = open_log(opts);
  if (!log) return std::unexpected(log.error());
  ConsoleTestDiscoveryState state;
  state.log_path = opts.logfile;
  if (auto written = formatter.write_discovery_start(); !written) return written;
  for (const auto& test : filter_tests(opts, std::move(tests))) {
    const std::string_view kind = is_benchmark_fn(test.testfn) ? "benchmark" : "test";
    (kind == "test" ? state.tests : state.benchmarks) += 1;
    if (test.desc.ignore) state.ignored += 1;
    if (auto written = formatter.write_test_discovered(test.desc, kind); !written) return written;
    if (*log) {
      std::string line(kind);
      line += ' ';
      line += test.desc.name.as_str();
      line += '\n';
      if (auto written = (*log)->write(line); !written) return written;
    }
  }
  return formatter.write_discovery_finish(state);
}

IoResult list_tests_console(const TestOpts& opts, std::vector<TestDescAndFn> tests) {
  std::unique_ptr<OutputSink> out = make_stdout_sink();
  return list_tests_console_to(*out, opts, std::move(tests));
}

void test_main(const std::vector<std::string>& args, std::vector<TestDescAndFn> tests,
               const BeforeRun& before_run) {
  ParseOutcome parsed = parse_opts(args);
  if (std::holds_alternative<HelpShown>(parsed)) {
    finish_normally();
    return;
  }
  if (const auto* error = std::get_if<ParseError>(&parsed)) {
    write_stderr("error: " + error->message + "\n");
    end_process(101);
  }
  const TestOpts& opts = std::get<TestOpts>(parsed);
  const auto stop = [](const std::string& problem) {
    write_stderr("error: " + problem + "\n");
    end_process(101);
  };
  if (auto problem = mark_running(opts.engine)) stop(*problem);
  if (opts.list) {
    if (auto listed = list_tests_console(opts, std::move(tests)); !listed) {
      write_stderr("error: io error when listing tests: " + listed.error().debug() + "\n");
      end_process(101);
    }
    finish_normally();
    return;
  }
  if (before_run) {
    if (const std::optional<std::string> problem = before_run(opts)) stop(*problem);
  }
  if (auto problem = touch_shard_status_file(opts.engine)) stop(*problem);
  if (auto problem = check_xml_output_file(opts.engine)) stop(*problem);
  if (auto problem = prepare_report_dir(opts.engine)) stop(*problem);
  // A crashing test's captured output must not land inside a document.
  const bool document_on_stdout =
      opts.format == OutputFormat::Json || opts.format == OutputFormat::Junit;
  set_abort_output_fd(document_on_stdout ? 2 : 1);
  if (!opts.nocapture) install_failure_hook();
  const std::expected<bool, IoError> passed = run_tests_console(opts, std::move(tests));
  mark_run_reported();
  // Stopped by a signal: the program's signal handling ends the process.
  if (stop_begun()) wait_for_end();
  remove_failure_hook();
  if (!passed) {
    write_stderr("error: io error when listing tests: " + passed.error().debug() + "\n");
    end_process(101);
  }
  if (!*passed) end_process(101);
  finish_normally();
}

namespace {
TestDescAndFn owned_copy(const TestDescAndFn& test) {
  if (!std::holds_alternative<StaticTestFn>(test.testfn) &&
      !std::holds_alternative<StaticBenchFn>(test.testfn)) {
    fatal("non-static tests passed to test::test_main_static");
  }
  return test;
}
}  // namespace

void test_main_static(std::span<const TestDescAndFn* const> tests, const BeforeRun& before_run) {
  std::vector<TestDescAndFn> owned;
  owned.reserve(tests.size());
  for (const TestDescAndFn* test : tests) owned.push_back(owned_copy(*test));
  test_main(process_arguments(), std::move(owned), before_run);
}

void test_main_static(std::span<const TestDescAndFn> tests, const BeforeRun& before_run) {
  std::vector<TestDescAndFn> owned;
  owned.reserve(tests.size());
  for (const TestDescAndFn& test : tests) owned.push_back(owned_copy(test));
  test_main(process_arguments(), std::move(owned), before_run);
}

TestFailureResult assert_test_result(int termination) {
  if (termination == 0) return {};
  return std::unexpected("the test returned a termination value with a non-zero status code (" +
                         std::to_string(termination) + ") which indicates a failure");
}

}  // namespace harness
