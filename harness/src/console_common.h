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

// Writes to a sink one piece at a time, each reaching the sink at once. After
// the first failed write it writes nothing more and keeps that error, so a
// sequence of writes reads as straight-line code.
class ConsoleWriter {
 public:
  ConsoleWriter(OutputSink& out, bool use_color) : out_(out), use_color_(use_color) {}

  ConsoleWriter& plain(std::string_view text);
  // The word in `color` when colours are in use and the sink is a terminal.
  ConsoleWriter& colored(std::string_view word, Color color);

  const IoResult& result() const { return result_; }

 private:
  OutputSink& out_;
  bool use_color_;
  IoResult result_;
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
