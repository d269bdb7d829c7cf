// The harness core: selection, the run loop, threads, capture and results.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "harness/formatter.h"
#include "harness/options.h"
#include "harness/test.h"

namespace harness {

// The whole harness run for an owned list. Returns only when the process is
// to end with status 0.
void test_main(const std::vector<std::string>& args, std::vector<TestDescAndFn> tests,
               const BeforeRun& before_run = {});

// Adds a property to the JUnit document written to XML_OUTPUT_FILE (the
// card the run drives, say); the document lists the properties by name.
// Called before tests start, from the `BeforeRun` hook for instance.
void add_report_property(std::string name, std::string value);

// This host's name as the run's reports give it; empty when the system has none.
std::string host_name();

// Runs the tests and reports them through the chosen formatter; returns
// whether no selected test failed, or the output error.
std::expected<bool, IoError> run_tests_console(const TestOpts& opts,
                                               std::vector<TestDescAndFn> tests);

// List mode.
IoResult list_tests_console(const TestOpts& opts, std::vector<TestDescAndFn> tests);

struct TestEvent {
  struct FilteredOut { std::size_t count; };
  struct Filtered { std::size_t count; std::optional<std::uint64_t> shuffle_seed; };
  struct Wait { TestDesc desc; };
  struct Timeout { TestDesc desc; };
  struct Result { CompletedTest completed; };
  std::variant<FilteredOut, Filtered, Wait, Timeout, Result> event;
};

using EventHandler = std::function<IoResult(TestEvent)>;

// The run loop.
IoResult run_tests(const TestOpts& opts, std::vector<TestDescAndFn> tests,
                   const EventHandler& notify);

// Order-preserving selection by filters, skip texts, expected failure and
// ignore mode.
std::vector<TestDescAndFn> filter_tests(const TestOpts& opts, std::vector<TestDescAndFn> tests);

// The outcome of calling a test function: returned, or failed with a payload.
using TestOutcome = std::expected<void, PanicPayload>;

TestResult calc_result(const TestDesc& desc, const TestOutcome& outcome,
                       const std::optional<TestTimeOptions>& time_options,
                       const std::optional<TestExecTime>& exec_time);

}  // namespace harness
