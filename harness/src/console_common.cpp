// Texts and writing primitives shared by the pretty and terse formats.
#include "console_common.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace harness::console {

ConsoleWriter& ConsoleWriter::plain(std::string_view text) {
  pending_.append(text);
  return *this;
}

ConsoleWriter& ConsoleWriter::colored(std::string_view word, Color color) {
  if (!paint_) return plain(word);
  pending_.append(out_.color_code(color)).append(word).append(out_.reset_code());
  return *this;
}

IoResult ConsoleWriter::finish() {
  const std::string text = std::exchange(pending_, {});
  return out_.write(text);
}

namespace {

std::optional<std::string_view> test_mode(const TestDesc& desc) {
  if (desc.ignore) return std::nullopt;
  if (desc.expect_failure.kind != ExpectFailure::Kind::No) return "should panic";
  if (desc.compile_fail) return "compile fail";
  if (desc.no_run) return "compile";
  return std::nullopt;
}

}  // namespace

std::string test_name_text(const TestDesc& desc, std::size_t max_name_len) {
  std::string name(desc.name.as_str());
  if (desc.name.padding() == NamePadding::PadOnRight && name.size() < max_name_len) {
    name.append(max_name_len - name.size(), ' ');
  }
  if (const auto mode = test_mode(desc)) {
    return "test " + name + " - " + std::string(*mode) + " ... ";
  }
  return "test " + name + " ... ";
}

std::string run_start_text(std::size_t count, std::optional<std::uint64_t> shuffle_seed) {
  std::string text = "\nrunning " + std::to_string(count) + (count == 1 ? " test" : " tests");
  if (shuffle_seed) text += " (shuffle seed: " + std::to_string(*shuffle_seed) + ")";
  return text + "\n";
}

std::string timeout_text(const TestDesc& desc) {
  // The notice names the fixed interval, whatever unit tests set it to.
  return "test " + std::string(desc.name.as_str()) + " has been running for over 60 seconds\n";
}

std::string discovered_text(const TestDesc& desc, std::string_view test_type) {
  return std::string(desc.name.as_str()) + ": " + std::string(test_type) + "\n";
}

void write_results_section(ConsoleWriter& out, std::span<const DescAndOutput> entries,
                           std::string_view heading) {
  // Appended piece by piece: the operator+ chain trips a g++ 12 -Wrestrict
  // false positive at -O3.
  std::string heading_line = "\n";
  heading_line.append(heading).append(":\n");
  out.plain(heading_line);

  std::vector<std::string_view> names;
  names.reserve(entries.size());
  std::string outputs;
  for (const auto& [desc, output] : entries) {
    names.push_back(desc.name.as_str());
    if (output.empty()) continue;
    outputs += "---- ";
    outputs += desc.name.as_str();
    outputs += " stdout ----\n";
    outputs += utf8_lossy(output);
    outputs += "\n";
  }
  if (!outputs.empty()) out.plain("\n").plain(outputs);

  out.plain(heading_line);
  std::sort(names.begin(), names.end());
  for (const auto name : names) {
    out.plain("    " + std::string(name) + "\n");
  }
}

bool write_result_line(ConsoleWriter& out, const ConsoleTestState& state) {
  const bool success = state.succeeded();
  if (state.interruption) out.plain("\n" + *state.interruption + "\n");
  out.plain("\ntest result: ");
  if (success) {
    out.colored("ok", Color::Green);
  } else {
    out.colored("FAILED", Color::Red);
  }
  out.plain(". " + std::to_string(state.passed) + " passed; " + std::to_string(state.failed) +
            " failed; " + std::to_string(state.ignored) + " ignored; " +
            std::to_string(state.measured) + " measured; " + std::to_string(state.filtered_out) +
            " filtered out");
  if (state.exec_time) out.plain("; finished in " + state.exec_time->text());
  out.plain("\n\n");
  return success;
}

}  // namespace harness::console

namespace harness {

namespace {

// 1234567 -> "1,234,567"
std::string with_thousands(std::uint64_t n) {
  std::string digits = std::to_string(n);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

}  // namespace

// "     1,234,567 ns/iter (+/- 8,901)", then " = {n} MB/s" when a throughput was measured.
std::string BenchSamples::text() const {
  std::string median = with_thousands(static_cast<std::uint64_t>(std::max(median_ns, 0.0)));
  if (median.size() < 14) median.insert(0, 14 - median.size(), ' ');
  std::string out = median + " ns/iter (+/- " +
                    with_thousands(static_cast<std::uint64_t>(std::max(deviation_ns, 0.0))) + ")";
  if (mb_s != 0) out += " = " + std::to_string(mb_s) + " MB/s";
  return out;
}

}  // namespace harness
