// The pretty console format: one line per test ("test a ... ok"), then the
// failures with their output and the "test result:" line.
#include <memory>

#include "console_common.h"
#include "harness/formatter.h"

namespace harness {
namespace {

using console::ConsoleWriter;

class PrettyFormatter final : public OutputFormatter {
 public:
  PrettyFormatter(OutputSink& out, ConsoleFormatterConfig config)
      : out_(out), config_(std::move(config)) {}

  IoResult write_discovery_start() override { return {}; }

  IoResult write_test_discovered(const TestDesc& desc, std::string_view test_type) override {
    return out_.write(console::discovered_text(desc, test_type));
  }

  IoResult write_discovery_finish(const ConsoleTestDiscoveryState& state) override {
    ConsoleWriter out = writer();
    if (state.tests != 0 || state.benchmarks != 0) out.plain("\n");
    out.plain(counted(state.tests, "test") + ", " + counted(state.benchmarks, "benchmark") + "\n");
    return out.finish();
  }

  IoResult write_run_start(std::size_t test_count,
                           std::optional<std::uint64_t> shuffle_seed) override {
    return out_.write(console::run_start_text(test_count, shuffle_seed));
  }

  // A serial run shows the name before the test runs, so a hanging test can be seen.
  IoResult write_test_start(const TestDesc& desc) override {
    if (config_.is_multithreaded) return {};
    return out_.write(console::test_name_text(desc, config_.max_name_len));
  }

  IoResult write_timeout(const TestDesc& desc) override {
    return out_.write(console::timeout_text(desc));
  }

  IoResult write_result(const TestDesc& desc, const TestResult& result,
                        const std::optional<TestExecTime>& exec_time,
                        std::span<const std::uint8_t> /*stdout_bytes*/,
                        const ConsoleTestState& /*state*/) override {
    ConsoleWriter out = writer();
    // A parallel run writes each test's whole line when its result arrives.
    if (config_.is_multithreaded) out.plain(console::test_name_text(desc, config_.max_name_len));
    switch (result.kind) {
      case TestResult::Kind::Ok:
        out.colored("ok", Color::Green);
        break;
      case TestResult::Kind::Failed:
      case TestResult::Kind::FailedMsg:
        out.colored("FAILED", Color::Red);
        break;
      case TestResult::Kind::Ignored:
        if (desc.ignore_message) {
          out.colored("ignored, " + std::string(*desc.ignore_message), Color::Yellow);
        } else {
          out.colored("ignored", Color::Yellow);
        }
        break;
      case TestResult::Kind::Bench:
        out.colored("bench", Color::Cyan).plain(": " + result.bench.text());
        break;
      case TestResult::Kind::TimedFail:
        out.colored("FAILED (time limit exceeded)", Color::Red);
        break;
    }
    write_time(out, desc, exec_time);
    out.plain("\n");
    return out.finish();
  }

  std::expected<bool, IoError> write_run_finish(const ConsoleTestState& state) override {
    ConsoleWriter out = writer();
    if (state.show_output) console::write_results_section(out, state.not_failures, "successes");
    if (state.failed != 0) {
      if (!state.failures.empty()) console::write_results_section(out, state.failures, "failures");
      if (!state.time_failures.empty()) {
        console::write_results_section(out, state.time_failures, "failures (time limit exceeded)");
      }
    }
    const bool success = console::write_result_line(out, state);
    if (auto written = out.finish(); !written) return std::unexpected(written.error());
    return success;
  }

  IoResult write_merged_doctests_times(double /*total*/, double /*compilation*/) override {
    return {};
  }

 private:
  ConsoleWriter writer() { return ConsoleWriter(out_, config_.use_color); }

  static std::string counted(std::size_t n, std::string_view noun) {
    return std::to_string(n) + " " + std::string(noun) + (n == 1 ? "" : "s");
  }

  // " <1.250s>", red at the critical threshold of the test's kind, yellow at warn.
  void write_time(ConsoleWriter& out, const TestDesc& desc,
                  const std::optional<TestExecTime>& exec_time) const {
    if (!config_.time_options || !exec_time) return;
    const std::string text = " <" + exec_time->text() + ">";
    if (config_.use_color && is_critical(*config_.time_options, desc, *exec_time)) {
      out.colored(text, Color::Red);
    } else if (config_.use_color && is_warn(*config_.time_options, desc, *exec_time)) {
      out.colored(text, Color::Yellow);
    } else {
      out.plain(text);
    }
  }

  OutputSink& out_;
  ConsoleFormatterConfig config_;
};

}  // namespace

std::unique_ptr<OutputFormatter> make_pretty_formatter(OutputSink& out,
                                                       ConsoleFormatterConfig config) {
  return std::make_unique<PrettyFormatter>(out, std::move(config));
}

}  // namespace harness
