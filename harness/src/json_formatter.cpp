// The JSON event stream: one JSON object per line, written as events happen.
//
// Each line is built completely in memory and handed to the sink in a single
// write, so output that tests with capture off print at the same moment
// cannot split a line.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "duration_text.h"
#include "harness/formatter.h"
#include "zel_text.h"

namespace harness {
namespace {

// Builds one event line: `{ "key": value, ... }` and its line break.
class JsonLine {
 public:
  JsonLine& text(std::string_view key, std::string_view value) {
    open_key(key);
    text_ += '"';
    zel_text::append_json_escaped(text_, value);
    text_ += '"';
    return *this;
  }
  // A value written as it stands: a count, a duration, true or false.
  JsonLine& raw(std::string_view key, std::string_view value) {
    open_key(key);
    text_ += value;
    return *this;
  }
  JsonLine& count(std::string_view key, std::uint64_t value) {
    return raw(key, std::to_string(value));
  }
  // A duration in seconds, or another measured number, in the shortest
  // round-trip decimal form.
  JsonLine& number(std::string_view key, double value) {
    open_key(key);
    append_duration_text(text_, value);
    return *this;
  }
  IoResult write_to(OutputSink& out) {
    text_ += " }\n";
    return out.write(text_);
  }

 private:
  void open_key(std::string_view key) {
    text_ += text_.empty() ? "{ \"" : ", \"";
    text_ += key;
    text_ += "\": ";
  }
  std::string text_;
};

// Captured output as text; the escaping decodes it lossily.
std::string_view as_text(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

class JsonFormatter final : public OutputFormatter {
 public:
  explicit JsonFormatter(OutputSink& out) : out_(out) {}

  IoResult write_discovery_start() override {
    return JsonLine().text("type", "suite").text("event", "discovery").write_to(out_);
  }

  IoResult write_test_discovered(const TestDesc& desc, std::string_view test_type) override {
    return JsonLine()
        .text("type", test_type)
        .text("event", "discovered")
        .text("name", desc.name.as_str())
        .raw("ignore", desc.ignore ? "true" : "false")
        .text("ignore_message", desc.ignore_message.value_or(""))
        .text("source_path", desc.source_file)
        .count("start_line", desc.start_line)
        .count("start_col", desc.start_col)
        .count("end_line", desc.end_line)
        .count("end_col", desc.end_col)
        .write_to(out_);
  }

  IoResult write_discovery_finish(const ConsoleTestDiscoveryState& state) override {
    return JsonLine()
        .text("type", "suite")
        .text("event", "completed")
        .count("tests", state.tests)
        .count("benchmarks", state.benchmarks)
        .count("total", state.tests + state.benchmarks)
        .count("ignored", state.ignored)
        .write_to(out_);
  }

  IoResult write_run_start(std::size_t test_count,
                           std::optional<std::uint64_t> shuffle_seed) override {
    JsonLine line;
    line.text("type", "suite").text("event", "started").count("test_count", test_count);
    if (shuffle_seed) line.raw("shuffle_seed", std::to_string(*shuffle_seed));
    return line.write_to(out_);
  }

  IoResult write_test_start(const TestDesc& desc) override {
    return JsonLine()
        .text("type", "test")
        .text("event", "started")
        .text("name", desc.name.as_str())
        .write_to(out_);
  }

  IoResult write_timeout(const TestDesc& desc) override {
    return JsonLine()
        .text("type", "test")
        .text("event", "timeout")
        .text("name", desc.name.as_str())
        .write_to(out_);
  }

  IoResult write_result(const TestDesc& desc, const TestResult& result,
                        const std::optional<TestExecTime>& exec_time,
                        std::span<const std::uint8_t> stdout_bytes,
                        const ConsoleTestState& state) override {
    using Kind = TestResult::Kind;
    if (result.kind == Kind::Bench) return write_bench(desc, result.bench);

    JsonLine line;
    line.text("type", "test")
        .text("name", desc.name.as_str())
        .text("event", event_word(result.kind));
    if (exec_time) line.number("exec_time", exec_time->seconds());
    if (!stdout_bytes.empty() && (result.kind != Kind::Ok || state.show_output)) {
      line.text("stdout", as_text(stdout_bytes));
    }
    if (result.kind == Kind::TimedFail) {
      line.text("reason", "time limit exceeded");
    } else if (result.kind == Kind::FailedMsg) {
      line.text("message", result.message);
    } else if (result.kind == Kind::Ignored && desc.ignore_message) {
      line.text("message", *desc.ignore_message);
    }
    return line.write_to(out_);
  }

  std::expected<bool, IoError> write_run_finish(const ConsoleTestState& state) override {
    JsonLine line;
    line.text("type", "suite")
        .text("event", state.succeeded() ? "ok" : "failed")
        .count("passed", state.passed)
        .count("failed", state.failed)
        .count("ignored", state.ignored)
        .count("measured", state.measured)
        .count("filtered_out", state.filtered_out);
    if (state.exec_time) line.number("exec_time", state.exec_time->seconds());
    if (auto written = line.write_to(out_); !written) return std::unexpected(written.error());
    return state.succeeded();
  }

  IoResult write_merged_doctests_times(double total, double compilation) override {
    return JsonLine()
        .text("type", "report")
        .number("total_time", total)
        .number("compilation_time", compilation)
        .write_to(out_);
  }

 private:
  static std::string_view event_word(TestResult::Kind kind) {
    switch (kind) {
      case TestResult::Kind::Ok:
        return "ok";
      case TestResult::Kind::Ignored:
        return "ignored";
      case TestResult::Kind::Failed:
      case TestResult::Kind::FailedMsg:
      case TestResult::Kind::TimedFail:
      case TestResult::Kind::Bench:
        break;
    }
    return "failed";
  }

  IoResult write_bench(const TestDesc& desc, const BenchSamples& bench) {
    JsonLine line;
    line.text("type", "bench")
        .text("name", desc.name.as_str())
        .number("median", bench.median_ns)
        .number("deviation", bench.deviation_ns);
    if (bench.mb_s != 0) line.raw("mib_per_second", std::to_string(bench.mb_s));
    return line.write_to(out_);
  }

  OutputSink& out_;
};

}  // namespace

std::unique_ptr<OutputFormatter> make_json_formatter(OutputSink& out) {
  return std::make_unique<JsonFormatter>(out);
}

}  // namespace harness
