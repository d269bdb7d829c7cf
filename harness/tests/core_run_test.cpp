// The run loop: event order, ids, ignoring, shuffling, benchmarks, the
// worker limit, fail-fast and stray exceptions.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "core_test_support.h"
#include "harness/bencher.h"
#include "harness/run.h"
#include "run_loop.h"

namespace harness {
namespace {

using core_testing::dyn_test;
using core_testing::EventLog;
using core_testing::failing;
using core_testing::make_desc;
using core_testing::passing;
using core_testing::text_of;
using Lines = std::vector<std::string>;

TestOpts threads(std::size_t count) {
  TestOpts opts;
  opts.test_threads = count;
  return opts;
}

// A gate the test opens once; waiting on it gives up after ten seconds so a
// broken run loop fails the test instead of hanging it.
class Gate {
 public:
  void open() {
    std::lock_guard lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  bool wait() {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

TEST(RunTests, SerialRunReportsInListOrder) {
  std::vector<TestDescAndFn> tests = {passing("a"), failing("b"), passing("c")};
  tests[2].desc.ignore = true;
  EventLog log;
  ASSERT_TRUE(run_tests(threads(1), std::move(tests), log.handler()));
  EXPECT_EQ(log.lines, (Lines{"filtered_out 0", "filtered 3", "wait a", "result a ok", "wait b",
                              "result b failed", "wait c", "result c ignored"}));
}

TEST(RunTests, NothingSelectedSendsOnlyTheCounts) {
  TestOpts opts = threads(2);
  opts.filters = {"zzz"};
  EventLog log;
  ASSERT_TRUE(run_tests(opts, {passing("a"), passing("b")}, log.handler()));
  EXPECT_EQ(log.lines, (Lines{"filtered_out 2", "filtered 0"}));
}

TEST(RunTests, IgnoredAndForceIgnoredTestsNeverRun) {
  std::atomic<int> calls{0};
  auto counted = [&calls](std::string_view name) {
    return dyn_test(name, [&calls] {
      ++calls;
      return TestFailureResult{};
    });
  };
  std::vector<TestDescAndFn> tests = {counted("a"), counted("b")};
  tests[0].desc.ignore = true;
  EventLog log;
  ASSERT_TRUE(run_tests(threads(2), std::move(tests), log.handler()));
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(log.results[0].desc.name.as_str(), "a");
  EXPECT_EQ(log.results[0].result.kind, TestResult::Kind::Ignored);
  EXPECT_TRUE(log.results[0].stdout_bytes.empty());

  // Benchmarks alone asked for: every test is reported ignored.
  TestOpts bench_only = threads(1);
  bench_only.run_tests = false;
  bench_only.run_benchmarks = true;
  EventLog bench_log;
  ASSERT_TRUE(run_tests(bench_only, {counted("c")}, bench_log.handler()));
  EXPECT_EQ(calls.load(), 1);
  EXPECT_EQ(bench_log.lines.back(), "result c ignored");
}

TEST(RunTests, IdsFollowSelectionAcrossTestsAndBenchmarks) {
  auto bench = [](Bencher& b) -> TestFailureResult {
    b.iter([] {});
    return {};
  };
  std::vector<TestDescAndFn> tests = {
      {make_desc("m_bench"), DynBenchFn{bench}}, passing("skipped"), passing("t1"), passing("t2")};
  TestOpts opts = threads(1);
  opts.skip = {"skipped"};
  opts.run_benchmarks = true;
  EventLog log;
  ASSERT_TRUE(run_tests(opts, std::move(tests), log.handler()));
  EXPECT_EQ(log.lines, (Lines{"filtered_out 1", "filtered 3", "wait t1", "result t1 ok", "wait t2",
                              "result t2 ok", "wait m_bench", "result m_bench bench"}));
  ASSERT_EQ(log.results.size(), 3u);
  EXPECT_EQ(log.results[0].id, 1u);
  EXPECT_EQ(log.results[1].id, 2u);
  EXPECT_EQ(log.results[2].id, 0u);
  EXPECT_EQ(log.results[0].desc.name, TestName::aligned("t1", NamePadding::PadNone));
  EXPECT_EQ(log.results[2].desc.name, TestName::aligned("m_bench", NamePadding::PadOnRight));
  EXPECT_GT(log.results[2].result.bench.median_ns, 0.0);
}

TEST(RunTests, BenchmarksRunOnceAsTestsUnlessAskedFor) {
  std::atomic<int> iterations{0};
  auto bench = [&iterations](Bencher& b) -> TestFailureResult {
    b.iter([&iterations] { ++iterations; });
    return {};
  };
  EventLog log;
  ASSERT_TRUE(run_tests(threads(2), {{make_desc("b"), DynBenchFn{bench}}}, log.handler()));
  EXPECT_EQ(iterations.load(), 1);
  EXPECT_EQ(log.lines.back(), "result b ok");
  EXPECT_EQ(log.results[0].desc.name, TestName::aligned("b", NamePadding::PadNone));
}

TEST(RunTests, ShuffleSeedReordersTestsAndKeepsIds) {
  TestOpts opts = threads(1);
  opts.shuffle_seed = 0;
  EventLog log;
  ASSERT_TRUE(run_tests(opts, {passing("a"), passing("b"), passing("c")}, log.handler()));
  EXPECT_EQ(log.lines, (Lines{"filtered_out 0", "filtered 3 seed 0", "wait c", "result c ok",
                              "wait b", "result b ok", "wait a", "result a ok"}));
  EXPECT_EQ(log.results[0].id, 2u);

  TestOpts time_seeded = threads(1);
  time_seeded.shuffle = true;
  EventLog seeded_log;
  ASSERT_TRUE(run_tests(time_seeded, {passing("a")}, seeded_log.handler()));
  EXPECT_TRUE(seeded_log.lines[1].starts_with("filtered 1 seed ")) << seeded_log.lines[1];
}

TEST(RunTests, WallClockSeedIsWholeNanosecondsModulo64Bits) {
  EXPECT_EQ(seed_from_wall_clock({0, 0}), 0u);
  EXPECT_EQ(seed_from_wall_clock({1, 5}), 1'000'000'005u);
  // 2^64 ns is about 584.5 years: the year 2554 wraps around.
  EXPECT_EQ(seed_from_wall_clock({18'446'744'074, 0}), 290'448'384u);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(seed_from_wall_clock({-1, 999'999'999}), ::testing::ExitedWithCode(101),
              "\nFailed to get system time\n");
}

TEST(RunTests, MoreWorkersThanTestsStartsAllBeforeTheFirstResult) {
  constexpr int kTests = 4;
  std::atomic<int> started{0};
  Gate all_started;
  std::vector<TestDescAndFn> tests;
  for (int i = 0; i < kTests; ++i) {
    tests.push_back(dyn_test("t" + std::to_string(i), [&]() -> TestFailureResult {
      if (++started == kTests) all_started.open();
      if (!all_started.wait()) panic("not every test was started");
      return {};
    }));
  }
  EventLog log;
  ASSERT_TRUE(run_tests(threads(8), std::move(tests), log.handler()));
  EXPECT_EQ(log.lines.size(), 2u + 2 * kTests);
  for (int i = 0; i < kTests; ++i) {
    EXPECT_EQ(log.lines[2 + i], "wait t" + std::to_string(i));
    EXPECT_TRUE(log.lines[2 + kTests + i].ends_with(" ok")) << log.lines[2 + kTests + i];
  }
}

TEST(RunTests, NeverRunsMoreThanTheWorkerCount) {
  std::atomic<int> running{0};
  std::atomic<int> most{0};
  std::vector<TestDescAndFn> tests;
  for (int i = 0; i < 8; ++i) {
    tests.push_back(dyn_test("t" + std::to_string(i), [&] {
      const int now = ++running;
      int seen = most.load();
      while (now > seen && !most.compare_exchange_weak(seen, now)) {
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      --running;
      return TestFailureResult{};
    }));
  }
  EventLog log;
  ASSERT_TRUE(run_tests(threads(3), std::move(tests), log.handler()));
  EXPECT_EQ(log.results.size(), 8u);
  EXPECT_LE(most.load(), 3);
}

TEST(RunTests, FailFastStopsAtTheFirstFailure) {
  TestOpts serial = threads(1);
  serial.fail_fast = true;
  EventLog log;
  ASSERT_TRUE(run_tests(serial, {passing("a"), failing("b"), passing("c")}, log.handler()));
  EXPECT_EQ(log.lines, (Lines{"filtered_out 0", "filtered 3", "wait a", "result a ok", "wait b",
                              "result b failed"}));

  // In parallel mode the run returns while another test is still running;
  // that test can still deliver its message to nobody.
  auto gate = std::make_shared<Gate>();
  auto finished = std::make_shared<Gate>();
  TestOpts parallel = threads(2);
  parallel.fail_fast = true;
  EventLog parallel_log;
  ASSERT_TRUE(run_tests(parallel,
                        {dyn_test("blocked",
                                  [gate, finished] {
                                    gate->wait();
                                    finished->open();
                                    return TestFailureResult{};
                                  }),
                         failing("fails")},
                        parallel_log.handler()));
  EXPECT_EQ(parallel_log.lines, (Lines{"filtered_out 0", "filtered 2", "wait blocked", "wait fails",
                                       "result fails failed"}));
  gate->open();
  EXPECT_TRUE(finished->wait());
}

TEST(RunTests, EveryWayATestCanFailIsAFailedResult) {
  struct Case {
    const char* name;
    std::function<TestFailureResult()> body;
    ExpectFailure expect;
    const char* result;
    const char* output_contains;
  };
  const Case cases[] = {
      {"returned_text", [] { return TestFailureResult(std::unexpected("went wrong")); },
       ExpectFailure::no(), "failed", "\nwent wrong\n"},
      {"std_exception", []() -> TestFailureResult { throw std::runtime_error("bad state"); },
       ExpectFailure::no(), "failed", "\nbad state\n"},
      {"other_exception", []() -> TestFailureResult { throw 42; }, ExpectFailure::no(), "failed",
       "\nuncaught exception of type int\n"},
      {"other_exception_expected_text", []() -> TestFailureResult { throw 42; },
       ExpectFailure::with_message("x"),
       "failed_msg: expected panic with string value,\n found non-string value: `\"int\"`\n"
       "     expected substring: \"x\"",
       "uncaught exception of type int"},
      {"std_exception_expected_text",
       []() -> TestFailureResult { throw std::out_of_range("index 9 out of range"); },
       ExpectFailure::with_message("out of range"), "ok", "index 9 out of range"},
  };
  for (const auto& c : cases) {
    TestDescAndFn test = dyn_test(c.name, c.body);
    test.desc.expect_failure = c.expect;
    EventLog log;
    ASSERT_TRUE(run_tests(threads(1), {std::move(test)}, log.handler()));
    ASSERT_EQ(log.results.size(), 1u) << c.name;
    EXPECT_EQ(log.lines.back(), std::string("result ") + c.name + " " + c.result);
    const std::string output = text_of(log.results[0].stdout_bytes);
    EXPECT_NE(output.find(std::string("\nthread '") + c.name + "' ("), std::string::npos)
        << c.name << ": " << output;
    EXPECT_NE(output.find(c.output_contains), std::string::npos) << c.name << ": " << output;
  }
}

TEST(RunTests, AHandlerErrorEndsTheRun) {
  int events = 0;
  auto handler = [&events](TestEvent event) -> IoResult {
    ++events;
    if (std::holds_alternative<TestEvent::Wait>(event.event)) {
      return std::unexpected(IoError{EPIPE});
    }
    return {};
  };
  for (const std::size_t workers : {1u, 2u}) {
    events = 0;
    const IoResult result = run_tests(threads(workers), {passing("a"), passing("b")}, handler);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), IoError{EPIPE});
    EXPECT_EQ(events, 3);
  }
}

TEST(AssertTestResult, ZeroIsSuccessAnythingElseFails) {
  EXPECT_TRUE(assert_test_result(0));
  EXPECT_EQ(assert_test_result(3).error(),
            "the test returned a termination value with a non-zero status code (3) which "
            "indicates a failure");
  EXPECT_EQ(assert_test_result(-1).error(),
            "the test returned a termination value with a non-zero status code (-1) which "
            "indicates a failure");
}

}  // namespace
}  // namespace harness
