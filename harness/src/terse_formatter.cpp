// The terse console format: one coloured character per passed or ignored
// test, a progress count every 87 characters, a line of its own for every
// failed test, then the failures and the "test result:" line.
#include <memory>

#include "console_common.h"
#include "harness/formatter.h"

namespace harness {
namespace {

using console::ConsoleWriter;

// A line holds 87 short results; the progress count follows them.
constexpr std::size_t kMaxColumn = 88;

class TerseFormatter final : public OutputFormatter {
 public:
  TerseFormatter(OutputSink& out, ConsoleFormatterConfig config)
      : out_(out), config_(std::move(config)) {}

  IoResult write_discovery_start() override { return {}; }

  IoResult write_test_discovered(const TestDesc& desc, std::string_view test_type) override {
    return out_.write(console::discovered_text(desc, test_type));
  }

  IoResult write_discovery_finish(const ConsoleTestDiscoveryState& /*state*/) override {
    return {};
  }

  IoResult write_run_start(std::size_t test_count,
                           std::optional<std::uint64_t> shuffle_seed) override {
    total_test_count_ = test_count;
    return out_.write(console::run_start_text(test_count, shuffle_seed));
  }

  // Only a serial benchmark shows its name before it runs.
  IoResult write_test_start(const TestDesc& desc) override {
    if (config_.is_multithreaded || desc.name.padding() != NamePadding::PadOnRight) return {};
    return out_.write(console::test_name_text(desc, config_.max_name_len));
  }

  IoResult write_timeout(const TestDesc& desc) override {
    return out_.write(console::timeout_text(desc));
  }

  IoResult write_result(const TestDesc& desc, const TestResult& result,
                        const std::optional<TestExecTime>& /*exec_time*/,
                        std::span<const std::uint8_t> /*stdout_bytes*/,
                        const ConsoleTestState& /*state*/) override {
    ConsoleWriter out = writer();
    switch (result.kind) {
      case TestResult::Kind::Ok:
        write_short_result(out, ".", Color::Green);
        break;
      case TestResult::Kind::Ignored:
        write_short_result(out, "i", Color::Yellow);
        break;
      case TestResult::Kind::Failed:
      case TestResult::Kind::FailedMsg:
      case TestResult::Kind::TimedFail:
        // A failed test stands on a line of its own, so its name is seen at once.
        if (test_column_ != 0) write_progress(out);
        ++test_count_;
        out.plain(std::string(desc.name.as_str()) + " --- ")
            .colored("FAILED", Color::Red)
            .plain("\n");
        break;
      case TestResult::Kind::Bench:
        if (config_.is_multithreaded)
          out.plain(console::test_name_text(desc, config_.max_name_len));
        out.colored("bench", Color::Cyan).plain(": " + result.bench.text()).plain("\n");
        break;
    }
    return out.finish();
  }

  std::expected<bool, IoError> write_run_finish(const ConsoleTestState& state) override {
    ConsoleWriter out = writer();
    if (state.show_output) console::write_results_section(out, state.not_failures, "successes");
    // Tests that failed only by their time limit were named on their own
    // line during the run; this section lists the other failures.
    if (state.failed != 0) console::write_results_section(out, state.failures, "failures");
    const bool success = console::write_result_line(out, state);
    if (total_test_count_ == 1 && state.ignores.size() == 1) {
      const TestDesc& ignored = state.ignores.front().first;
      if (ignored.ignore_message) {
        out.plain("test: " + std::string(ignored.name.as_str()) +
                  ", ignore_message: " + std::string(*ignored.ignore_message) + "\n\n");
      }
    }
    if (auto written = out.finish(); !written) return std::unexpected(written.error());
    return success;
  }

  IoResult write_merged_doctests_times(double /*total*/, double /*compilation*/) override {
    return {};
  }

 private:
  ConsoleWriter writer() { return ConsoleWriter(out_, config_.use_color); }

  void write_short_result(ConsoleWriter& out, std::string_view mark, Color color) {
    out.colored(mark, color);
    ++test_count_;
    ++test_column_;
    if (test_column_ % kMaxColumn == kMaxColumn - 1) write_progress(out);
  }

  // " {shown}/{total}\n": ends the current line of short results.
  void write_progress(ConsoleWriter& out) {
    // Appended piece by piece: a one-character literal + std::string trips a
    // g++ 12 -Wrestrict false positive at -O3.
    std::string progress = " ";
    progress.append(std::to_string(test_count_)).append("/");
    progress.append(std::to_string(total_test_count_)).append("\n");
    out.plain(progress);
    test_column_ = 0;
  }

  OutputSink& out_;
  ConsoleFormatterConfig config_;
  std::size_t test_count_ = 0;
  std::size_t test_column_ = 0;
  std::size_t total_test_count_ = 0;
};

}  // namespace

std::unique_ptr<OutputFormatter> make_terse_formatter(OutputSink& out,
                                                      ConsoleFormatterConfig config) {
  return std::make_unique<TerseFormatter>(out, std::move(config));
}

}  // namespace harness
