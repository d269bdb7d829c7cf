// Per-thread output capture and the failure report a test's output carries.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <iostream>
#include <regex>

#include "core_test_support.h"
#include "harness/run.h"

namespace harness {
namespace {

using core_testing::dyn_test;
using core_testing::EventLog;
using core_testing::text_of;

TestOpts threads(std::size_t count) {
  TestOpts opts;
  opts.test_threads = count;
  return opts;
}

constexpr int kTests = 24;
constexpr int kRepeats = 300;

std::string expected_markers(int test) {
  const std::string tag = std::to_string(test);
  std::string out;
  for (int k = 0; k < kRepeats; ++k) {
    for (const char* stream : {" out ", " err ", " log "}) {
      out.append("t").append(tag).append(stream).append(std::to_string(k)).append("\n");
    }
  }
  return out;
}

std::vector<TestDescAndFn> marker_tests() {
  std::vector<TestDescAndFn> tests;
  for (int i = 0; i < kTests; ++i) {
    tests.push_back(dyn_test("t" + std::to_string(i), [i] {
      const std::string tag = "t" + std::to_string(i);
      for (int k = 0; k < kRepeats; ++k) {
        std::cout << tag << " out " << k << "\n";
        std::cerr << tag << " err " << k << "\n";
        std::clog << tag << " log " << k << std::endl;
      }
      return TestFailureResult{};
    }));
  }
  return tests;
}

TEST(Capture, EachTestKeepsExactlyItsOwnOutputUnderEightThreads) {
  EventLog log;
  ASSERT_TRUE(run_tests(threads(8), marker_tests(), log.handler()));
  ASSERT_EQ(log.results.size(), static_cast<std::size_t>(kTests));
  for (const auto& done : log.results) {
    const int test = std::stoi(std::string(done.desc.name.as_str().substr(1)));
    EXPECT_EQ(text_of(done.stdout_bytes), expected_markers(test)) << done.desc.name.as_str();
  }
}

TEST(Capture, NothingIsCapturedWithNocapture) {
  TestOpts opts = threads(2);
  opts.nocapture = true;
  EventLog log;
  // Writes straight to the real descriptors; only the result matters here.
  ASSERT_TRUE(run_tests(opts,
                        {dyn_test("loud",
                                  [] {
                                    std::cout << "(written straight to stdout)\n";
                                    return TestFailureResult{};
                                  })},
                        log.handler()));
  EXPECT_TRUE(log.results[0].stdout_bytes.empty());
}

TEST(Capture, FailureReportNamesTheWholeTestNameAndItsThread) {
  const std::string name = "a_test_name_longer_than_fifteen_bytes";
  std::string kernel_name;
  long test_tid = 0;
  EventLog log;
  ASSERT_TRUE(run_tests(threads(2),
                        {dyn_test(name,
                                  [&]() -> TestFailureResult {
                                    char buffer[64] = {};
                                    pthread_getname_np(pthread_self(), buffer, sizeof buffer);
                                    kernel_name = buffer;
                                    test_tid = static_cast<long>(gettid());
                                    std::cout << "first\n";
                                    panic("the message\nover two lines");
                                  })},
                        log.handler()));
  EXPECT_EQ(kernel_name, name.substr(0, 15));
  EXPECT_NE(test_tid, static_cast<long>(getpid()));
  const std::string output = text_of(log.results[0].stdout_bytes);
  const std::string report = "first\n\nthread '" + name + "' (" + std::to_string(test_tid) +
                             ") panicked at harness/tests/core_capture_test.cpp:";
  EXPECT_TRUE(output.starts_with(report)) << output;
  // Line and column of the panic call, then the message, then either the
  // once-per-process note or a backtrace, depending on RUST_BACKTRACE.
  EXPECT_TRUE(std::regex_search(
      output,
      std::regex(
          R"(cpp:\d+:\d+:\nthe message\nover two lines\n(note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n|stack backtrace:\n|$))")))
      << output;
}

}  // namespace
}  // namespace harness
