// Pieces shared by the pretty and terse console formats: the writer that
// colours words and stops at the first failed write, and the texts both
// formats print (run start, test name, timeout notice, result sections,
// the "test result:" line, listing lines).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "harness/formatter.h"
#include "harness/io.h"

namespace harness::console {

// Gathers the pieces of one piece of output (a result line, the closing
// summary) and writes them to the sink with one write when finished, so a
// line reaches the terminal whole and costs one system call. Colour codes are
// placed around coloured words when colours are in use and the sink is a
// terminal.
class ConsoleWriter {
 public:
  ConsoleWriter(OutputSink& out, bool use_color)
      : out_(out), paint_(use_color && out.is_color_terminal()) {}

  ConsoleWriter& plain(std::string_view text);
  ConsoleWriter& colored(std::string_view word, Color color);

  // Writes what was gathered; the sink's error when that write failed.
  IoResult finish();

 private:
  OutputSink& out_;
  bool paint_;
  std::string pending_;
};

// "test {name} ... ", or "test {name} - {mode} ... " for a test that is not
// ignored and has a mode. Names marked for right padding are padded with
// blanks to `max_name_len`.
std::string test_name_text(const TestDesc& desc, std::size_t max_name_len);

// "\nrunning {count} test(s)[ (shuffle seed: {seed})]\n"
std::string run_start_text(std::size_t count, std::optional<std::uint64_t> shuffle_seed);

// "test {name} has been running for over 60 seconds\n"
std::string timeout_text(const TestDesc& desc);

// "{name}: {test_type}\n"
std::string discovered_text(const TestDesc& desc, std::string_view test_type);

// A results section: heading, the non-empty captured outputs, heading again,
// the sorted names.
void write_results_section(ConsoleWriter& out, std::span<const DescAndOutput> entries,
                           std::string_view heading);

// "\ntest result: ok|FAILED. {counts}; finished in {time}\n\n"; returns
// whether the run succeeded.
bool write_result_line(ConsoleWriter& out, const ConsoleTestState& state);

}  // namespace harness::console
