// The console driver behind `run_tests_console` and `list_tests_console`,
// with the output sink passed in so that tests can read what it writes.
#pragma once

#include <expected>
#include <string>
#include <vector>

#include "harness/formatter.h"
#include "harness/io.h"
#include "harness/options.h"
#include "harness/test.h"

namespace harness {

// Runs the tests, reporting every event to `formatter`; returns its answer at
// run finish (true when no selected test failed), or the output error.
std::expected<bool, IoError> run_tests_with(OutputFormatter& formatter, const TestOpts& opts,
                                            std::vector<TestDescAndFn> tests);

// List mode with the formatter given.
IoResult list_tests_with(OutputFormatter& formatter, const TestOpts& opts,
                         std::vector<TestDescAndFn> tests);

// `stdout_is_terminal` decides automatic colour together with the sink.
std::expected<bool, IoError> run_tests_console_to(OutputSink& out, const TestOpts& opts,
                                                  std::vector<TestDescAndFn> tests,
                                                  bool stdout_is_terminal);

IoResult list_tests_console_to(OutputSink& out, const TestOpts& opts,
                               std::vector<TestDescAndFn> tests);

// The log-file line of one result: "{word} {name}[ <{time}>]\n".
std::string result_log_line(const CompletedTest& completed);

}  // namespace harness
