// Pieces of the run loop shared between run.cpp and its unit tests: starting
// one test, the running-test table and the 60-second time-out queue.
#pragma once

#include <time.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "channel.h"
#include "harness/formatter.h"
#include "harness/options.h"
#include "harness/test.h"
#include "stop_state.h"
#include "thread.h"

namespace harness {

using Completions = Channel<CompletedTest>;
using MonotonicInstant = std::chrono::steady_clock::time_point;

// A started test; no handle when it ran (or was reported) on the calling
// thread. Its description and progress serve the report of a stopped run.
struct RunningTest {
  std::optional<ThreadHandle> thread;
  std::optional<TestDesc> desc;
  std::shared_ptr<TestProgress> progress;
};
using RunningTests = std::map<TestId, RunningTest>;

// A test's 60-second mark, kept in start order.
struct TimeoutEntry {
  TestId id;
  TestDesc desc;
  MonotonicInstant deadline;
};
using TimeoutQueue = std::deque<TimeoutEntry>;

// Removes from the front of `queue` every entry whose deadline is not later
// than `now`; returns, in queue order, the descriptions of those whose tests
// are still in `running`.
std::vector<TestDesc> get_timed_out_tests(const RunningTests& running, TimeoutQueue& queue,
                                          MonotonicInstant now);

// Starts one test: reports it ignored without a thread, runs a benchmark on
// the calling thread, or starts a thread named after the test (on the calling
// thread when the system is out of threads). Exactly one completion message
// reaches `completions` for it. A test run on a thread captures into
// `progress`'s buffer, when given, and notes its activities there.
std::optional<ThreadHandle> run_test(const TestOpts& opts, bool force_ignore, TestId id,
                                     TestDescAndFn test,
                                     const std::shared_ptr<Completions>& completions,
                                     const std::shared_ptr<TestProgress>& progress = nullptr);

// The results of a run stopped by `stop`, for the tests still in `running`:
// each failed with the interruption's message and what it had captured.
std::vector<CompletedTest> interrupted_results(const RunningTests& running, const StopNotice& stop,
                                               bool time_reported);

// The default shuffle seed: the wall-clock time as whole nanoseconds since
// 1970, low 64 bits. A clock before 1970 stops the process.
std::uint64_t seed_from_wall_clock(const timespec& now);

// The join rule: a thread that failed after reporting success turns `Ok`
// into "panicked after reporting success".
TestResult apply_join_outcome(TestResult result, bool thread_failed);

}  // namespace harness
