// The terse console format: short results, progress counts, failure lines and
// the end-of-run sections; and how both console formats stop at a failed write.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "console_test_support.h"
#include "harness/formatter.h"

namespace harness {
namespace {

using namespace std::chrono_literals;
using testing::desc_named;
using testing::entry;

ConsoleFormatterConfig config(bool multithreaded, bool use_color = true) {
  ConsoleFormatterConfig c;
  c.use_color = use_color;
  c.is_multithreaded = multithreaded;
  return c;
}

std::string repeat(std::string_view piece, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += piece;
  return out;
}

TEST(TerseFormatter, TwoHundredPassesEndALineWithProgressEvery87Results) {
  StringSink sink;
  auto f = make_terse_formatter(sink, config(false));
  ConsoleTestState st;
  ASSERT_TRUE(f->write_run_start(200, std::nullopt));
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(f->write_test_start(desc_named("t")));
    ASSERT_TRUE(f->write_result(desc_named("t"), TestResult::ok(), std::nullopt, {}, st));
  }
  st.passed = 200;
  st.exec_time = TestSuiteExecTime{12340ms};
  EXPECT_EQ(f->write_run_finish(st), true);
  EXPECT_EQ(sink.text(), "\nrunning 200 tests\n" + repeat(".", 87) + " 87/200\n" + repeat(".", 87) +
                             " 174/200\n" + repeat(".", 26) +
                             "\ntest result: ok. 200 passed; 0 failed; 0 ignored; 0 measured; "
                             "0 filtered out; finished in 12.34s\n\n");
}

TEST(TerseFormatter, FailureStandsOnItsOwnLineAndRestartsTheColumn) {
  StringSink sink(true);
  auto f = make_terse_formatter(sink, config(true));
  ConsoleTestState st;
  ASSERT_TRUE(f->write_run_start(95, std::nullopt));
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(f->write_result(desc_named("p"), TestResult::ok(), std::nullopt, {}, st));
  }
  ASSERT_TRUE(
      f->write_result(desc_named("broken"), TestResult::failed(), TestExecTime{3s}, {}, st));
  // A failure at column 0 writes no empty progress line.
  ASSERT_TRUE(
      f->write_result(desc_named("late"), TestResult::timed_fail(), TestExecTime{3s}, {}, st));
  ASSERT_TRUE(f->write_result(desc_named("skipped"), TestResult::ignored(), std::nullopt, {}, st));
  // The column restarted at the failures, so the next progress comes 87 marks later.
  for (int i = 0; i < 87; ++i) {
    ASSERT_TRUE(f->write_result(desc_named("p"), TestResult::ok(), std::nullopt, {}, st));
  }
  ASSERT_TRUE(
      f->write_result(desc_named("msg"), TestResult::failed_msg("m"), TestExecTime{3s}, {}, st));
  EXPECT_EQ(sink.text(), "\nrunning 95 tests\n" + repeat("{green}.{reset}", 5) + " 5/95\n" +
                             "broken --- {red}FAILED{reset}\n" + "late --- {red}FAILED{reset}\n" +
                             "{yellow}i{reset}" + repeat("{green}.{reset}", 86) + " 94/95\n" +
                             "{green}.{reset}" + " 95/95\n" + "msg --- {red}FAILED{reset}\n");
}

TEST(TerseFormatter, TestStartShowsOnlySerialBenchmarkNames) {
  TestDesc bench = desc_named("bench_me");
  bench.name = TestName::aligned("bench_me", NamePadding::PadOnRight);
  ConsoleFormatterConfig serial = config(false);
  serial.max_name_len = 10;
  StringSink sink;
  auto f = make_terse_formatter(sink, serial);
  ASSERT_TRUE(f->write_test_start(desc_named("a_test")));
  ASSERT_TRUE(f->write_test_start(bench));
  ASSERT_TRUE(f->write_result(bench, {TestResult::Kind::Bench, {}, {10, 2, 0, 5}}, std::nullopt, {},
                              ConsoleTestState{}));
  auto parallel = make_terse_formatter(sink, config(true));
  ASSERT_TRUE(parallel->write_test_start(bench));
  ASSERT_TRUE(parallel->write_result(bench, {TestResult::Kind::Bench, {}, {10, 2, 0, 0}},
                                     std::nullopt, {}, ConsoleTestState{}));
  ASSERT_TRUE(parallel->write_timeout(desc_named("a_test")));
  EXPECT_EQ(sink.text(),
            "test bench_me   ... bench:             10 ns/iter (+/- 2) = 5 MB/s\n"
            "test bench_me ... bench:             10 ns/iter (+/- 2)\n"
            "test a_test has been running for over 60 seconds\n");
}

TEST(TerseFormatter, RunFinishListsFailuresButNotTimeFailures) {
  StringSink sink(true);
  auto f = make_terse_formatter(sink, config(true));
  ConsoleTestState st;
  st.show_output = true;
  st.passed = 1;
  st.failed = 1;
  st.not_failures = {entry("good", "hello\n")};
  st.time_failures = {entry("slow", "printed\n")};
  st.exec_time = TestSuiteExecTime{2s};
  EXPECT_EQ(f->write_run_finish(st), false);
  EXPECT_EQ(sink.text(),
            "\nsuccesses:\n"
            "\n---- good stdout ----\nhello\n\n"
            "\nsuccesses:\n"
            "    good\n"
            "\nfailures:\n"
            "\nfailures:\n"
            "\ntest result: {red}FAILED{reset}. 1 passed; 1 failed; 0 ignored; 0 measured; "
            "0 filtered out; finished in 2.00s\n\n");
}

TEST(TerseFormatter, SingleIgnoredTestWithAMessageIsExplainedAfterTheResultLine) {
  struct Case {
    const char* label;
    std::size_t total;
    std::optional<std::string_view> message;
    const char* tail;
  };
  const Case cases[] = {
      {"one ignored with message", 1, "no card here",
       "test: lone, ignore_message: no card here\n\n"},
      {"one ignored without message", 1, std::nullopt, ""},
      {"ignored among two", 2, "no card here", ""},
  };
  for (const auto& c : cases) {
    StringSink sink;
    auto f = make_terse_formatter(sink, config(false));
    ASSERT_TRUE(f->write_run_start(c.total, std::nullopt));
    ConsoleTestState st;
    st.ignored = 1;
    st.passed = c.total - 1;
    TestDesc lone = desc_named("lone");
    lone.ignore_message = c.message;
    st.ignores = {{lone, {}}};
    EXPECT_EQ(f->write_run_finish(st), true);
    const std::string line = "\ntest result: ok. " + std::to_string(c.total - 1) +
                             " passed; 0 failed; 1 ignored; 0 measured; 0 filtered out\n\n";
    EXPECT_EQ(sink.text(), "\nrunning " + std::to_string(c.total) +
                               (c.total == 1 ? " test\n" : " tests\n") + line + c.tail)
        << c.label;
  }
}

TEST(TerseFormatter, ListingHasNoCountLine) {
  StringSink sink;
  auto f = make_terse_formatter(sink, config(false));
  ConsoleTestDiscoveryState st{std::nullopt, 2, 0, 0};
  ASSERT_TRUE(f->write_discovery_start());
  ASSERT_TRUE(f->write_test_discovered(desc_named("a"), "test"));
  ASSERT_TRUE(f->write_test_discovered(desc_named("b"), "test"));
  ASSERT_TRUE(f->write_discovery_finish(st));
  EXPECT_EQ(sink.text(), "a: test\nb: test\n");
}

// Every operation hands back the first failed write and writes nothing after it.
TEST(ConsoleFormatters, StopAtTheFirstFailedWrite) {
  using Factory = std::function<std::unique_ptr<OutputFormatter>(OutputSink&)>;
  const std::pair<const char*, Factory> formats[] = {
      {"pretty", [](OutputSink& s) { return make_pretty_formatter(s, config(false)); }},
      {"terse", [](OutputSink& s) { return make_terse_formatter(s, config(false)); }},
  };
  ConsoleTestState st;
  st.show_output = true;
  st.failed = 1;
  st.not_failures = {entry("a", "out")};
  st.failures = {entry("b", "out")};
  st.exec_time = TestSuiteExecTime{1s};
  for (const auto& [label, make] : formats) {
    for (int good = 0; good < 12; ++good) {
      testing::FailingSink sink(good);
      auto f = make(sink);
      const auto result = f->write_run_finish(st);
      if (!result) {
        EXPECT_EQ(result.error(), IoError{ENOSPC}) << label << " " << good;
        EXPECT_EQ(sink.attempts_after_failure(), 1) << label << " " << good;
      }
    }
    testing::FailingSink sink(0);
    auto f = make(sink);
    EXPECT_EQ(f->write_run_start(3, std::nullopt), std::unexpected(IoError{ENOSPC})) << label;
    EXPECT_EQ(f->write_result(desc_named("x"), TestResult::failed(), std::nullopt, {}, st),
              std::unexpected(IoError{ENOSPC}))
        << label;
    EXPECT_EQ(f->write_timeout(desc_named("x")), std::unexpected(IoError{ENOSPC})) << label;
    EXPECT_EQ(f->write_test_discovered(desc_named("x"), "test"), std::unexpected(IoError{ENOSPC}))
        << label;
  }
}

}  // namespace
}  // namespace harness
