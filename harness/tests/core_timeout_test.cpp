// The 60-second notice (shortened here): once per long test in parallel
// mode, never in serial mode, never for a test that finished in time.
#include <gtest/gtest.h>

#include <thread>

#include "core_test_support.h"
#include "harness/run.h"
#include "harness/time.h"
#include "run_loop.h"

namespace harness {
namespace {

using core_testing::dyn_test;
using core_testing::EventLog;
using core_testing::make_desc;
using core_testing::passing;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

class ShortInterval {
 public:
  explicit ShortInterval(std::chrono::nanoseconds interval) {
    set_timeout_interval_for_tests(interval);
  }
  ~ShortInterval() { set_timeout_interval_for_tests(60s); }
};

TestDescAndFn sleeping(std::string_view name, std::chrono::milliseconds duration) {
  return dyn_test(name, [duration] {
    std::this_thread::sleep_for(duration);
    return TestFailureResult{};
  });
}

TestOpts threads(std::size_t count) {
  TestOpts opts;
  opts.test_threads = count;
  return opts;
}

TEST(Timeouts, ExpiredEntriesLeaveTheQueueAndOnlyRunningTestsAreReported) {
  const MonotonicInstant t0{};
  RunningTests running;
  running[0] = RunningTest{};
  running[2] = RunningTest{};
  TimeoutQueue queue = {{0, make_desc("a"), t0 + 1s},
                        {1, make_desc("finished"), t0 + 2s},
                        {2, make_desc("c"), t0 + 3s}};
  EXPECT_TRUE(get_timed_out_tests(running, queue, t0 + 500ms).empty());
  EXPECT_EQ(queue.size(), 3u);

  // A deadline equal to now has passed.
  const auto expired = get_timed_out_tests(running, queue, t0 + 2s);
  ASSERT_EQ(expired.size(), 1u);
  EXPECT_EQ(expired[0].name.as_str(), "a");
  ASSERT_EQ(queue.size(), 1u);
  EXPECT_EQ(queue.front().id, 2u);

  EXPECT_EQ(get_timed_out_tests(running, queue, t0 + 10s).size(), 1u);
  EXPECT_TRUE(queue.empty());
}

TEST(Timeouts, ParallelRunNotifiesALongTestExactlyOnceBeforeItsResult) {
  // Generous margins: "fast" must only finish before its own mark.
  ShortInterval interval(500ms);
  EventLog log;
  ASSERT_TRUE(run_tests(threads(2), {passing("fast"), sleeping("slow", 1500ms)}, log.handler()));
  EXPECT_EQ(log.lines, (Lines{"filtered_out 0", "filtered 2", "wait fast", "wait slow",
                              "result fast ok", "timeout slow", "result slow ok"}));
}

TEST(Timeouts, SerialRunNeverNotifies) {
  ShortInterval interval(50ms);
  EventLog log;
  ASSERT_TRUE(run_tests(threads(1), {sleeping("slow", 300ms), passing("quick")}, log.handler()));
  EXPECT_EQ(log.lines, (Lines{"filtered_out 0", "filtered 2", "wait slow", "result slow ok",
                              "wait quick", "result quick ok"}));
}

}  // namespace
}  // namespace harness
