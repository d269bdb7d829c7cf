// Output capture under load: 10,000 tests on 8 worker threads, each writing
// its own markers to std::cout and std::cerr in many small pieces, some of
// them failing afterwards. Every byte must land in its own test's buffer, in
// the order written, with nothing lost and nothing from another test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <iostream>
#include <source_location>
#include <string>
#include <thread>
#include <vector>

#include "core_test_support.h"
#include "harness/run.h"
#include "scoped_env.h"

namespace harness {
namespace {

using core_testing::dyn_test;
using core_testing::EventLog;
using core_testing::text_of;

// ThreadSanitizer slows thread creation about tenfold; a fifth of the tests
// keeps its run to a few seconds and still interleaves eight threads.
#if defined(__SANITIZE_THREAD__)
constexpr std::size_t kTests = 2'000;
#else
constexpr std::size_t kTests = 10'000;
#endif
constexpr std::size_t kWorkers = 8;
constexpr int kRounds = 4;
// Every seventh test fails after its markers, so that failure reports are
// written while other threads are printing too.
constexpr std::size_t kFailEvery = 7;

constexpr std::string_view kBacktraceNote =
    "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n";

bool fails(std::size_t test) {
  return test % kFailEvery == kFailEvery - 1;
}

std::string name_of(std::size_t test) {
  return "stress_" + std::to_string(test);
}

std::string markers_of(std::size_t test) {
  std::string out;
  for (int round = 0; round < kRounds; ++round) {
    for (const char* stream : {" stdout ", " stderr "}) {
      out.append("marker ").append(std::to_string(test)).append(stream);
      out.append(std::to_string(round)).append("\n");
    }
  }
  return out;
}

struct StressRun {
  std::source_location failure_site;
  // Each slot is written by its own test's thread before it reports, and read
  // by the run loop's thread after the report arrived.
  std::vector<long> thread_ids = std::vector<long>(kTests, 0);

  std::vector<TestDescAndFn> registry() {
    std::vector<TestDescAndFn> tests;
    tests.reserve(kTests);
    for (std::size_t i = 0; i < kTests; ++i) {
      tests.push_back(dyn_test(name_of(i), [this, i]() -> TestFailureResult {
        thread_ids[i] = static_cast<long>(gettid());
        for (int round = 0; round < kRounds; ++round) {
          // Several writes per line, a yield between the streams: the
          // threads' writes interleave as finely as the scheduler allows.
          std::cout << "marker " << i << " stdout " << round << '\n';
          std::this_thread::yield();
          std::cerr << "marker " << i << " stderr " << round << '\n';
        }
        if (fails(i)) panic("marker " + std::to_string(i) + " failed", failure_site);
        return {};
      }));
    }
    return tests;
  }

  std::string failure_report(std::size_t test) const {
    return "\nthread '" + name_of(test) + "' (" + std::to_string(thread_ids[test]) +
           ") panicked at " + failure_site.file_name() + ":" + std::to_string(failure_site.line()) +
           ":" + std::to_string(failure_site.column()) + ":\nmarker " + std::to_string(test) +
           " failed\n";
  }
};

TEST(CaptureStress, EveryByteLandsInItsOwnTestsBufferUnderEightThreads) {
  ScopedEnv env;
  env.unset("RUST_BACKTRACE");  // the once-per-process note, not a backtrace
  StressRun stress{std::source_location::current()};
  TestOpts opts;
  opts.test_threads = kWorkers;
  EventLog log;
  ASSERT_TRUE(run_tests(opts, stress.registry(), log.handler()));
  ASSERT_EQ(log.results.size(), kTests);

  std::vector<bool> seen(kTests, false);
  std::size_t notes = 0;
  for (const auto& done : log.results) {
    const std::size_t test = done.id;
    ASSERT_LT(test, kTests);
    ASSERT_FALSE(seen[test]) << "two results for " << name_of(test);
    seen[test] = true;
    ASSERT_EQ(done.desc.name.as_str(), name_of(test));

    std::string expected = markers_of(test);
    if (fails(test)) expected += stress.failure_report(test);
    std::string output = text_of(done.stdout_bytes);
    // The first failure report of the process carries the backtrace note;
    // which test that is depends on scheduling.
    if (fails(test) && output.ends_with(kBacktraceNote)) {
      ++notes;
      output.resize(output.size() - kBacktraceNote.size());
    }
    ASSERT_EQ(output, expected) << name_of(test);
    EXPECT_EQ(done.result.kind, fails(test) ? TestResult::Kind::Failed : TestResult::Kind::Ok)
        << name_of(test);
  }
  EXPECT_LE(notes, 1u);
}

}  // namespace
}  // namespace harness
