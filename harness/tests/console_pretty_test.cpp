// The pretty console format, driven directly with hand-built run states.
#include <gtest/gtest.h>

#include <chrono>

#include "console_test_support.h"
#include "harness/formatter.h"

namespace harness {
namespace {

using namespace std::chrono_literals;
using testing::bytes;
using testing::desc_named;
using testing::entry;

ConsoleFormatterConfig config(bool multithreaded, bool use_color = true) {
  ConsoleFormatterConfig c;
  c.use_color = use_color;
  c.is_multithreaded = multithreaded;
  return c;
}

TEST(PrettyFormatter, SerialRunWritesNameBeforeTheTestAndResultAfter) {
  StringSink sink(true);
  auto f = make_pretty_formatter(sink, config(false));
  ConsoleTestState st;
  st.total = 2;
  ASSERT_TRUE(f->write_run_start(2, std::nullopt));
  ASSERT_TRUE(f->write_test_start(desc_named("alpha")));
  EXPECT_EQ(sink.text(), "\nrunning 2 tests\ntest alpha ... ");
  ASSERT_TRUE(f->write_result(desc_named("alpha"), TestResult::ok(), std::nullopt, {}, st));
  ASSERT_TRUE(f->write_test_start(desc_named("beta")));
  ASSERT_TRUE(f->write_result(desc_named("beta"), TestResult::failed(), std::nullopt, {}, st));
  st.passed = 1;
  st.failed = 1;
  st.failures.push_back(entry("beta", "boom\n"));
  st.exec_time = TestSuiteExecTime{83070ms};
  const auto success = f->write_run_finish(st);
  ASSERT_TRUE(success);
  EXPECT_FALSE(*success);
  EXPECT_EQ(sink.text(),
            "\nrunning 2 tests\n"
            "test alpha ... {green}ok{reset}\n"
            "test beta ... {red}FAILED{reset}\n"
            "\nfailures:\n"
            "\n---- beta stdout ----\nboom\n\n"
            "\nfailures:\n"
            "    beta\n"
            "\ntest result: {red}FAILED{reset}. 1 passed; 1 failed; 0 ignored; 0 measured; "
            "0 filtered out; finished in 83.07s\n\n");
}

TEST(PrettyFormatter, ParallelRunWritesWholeLinesInCompletionOrder) {
  StringSink sink;  // not a terminal: no colour even though use_color is set
  auto f = make_pretty_formatter(sink, config(true));
  ConsoleTestState st;
  ASSERT_TRUE(f->write_run_start(1, 42));
  ASSERT_TRUE(f->write_test_start(desc_named("slow")));
  ASSERT_TRUE(f->write_test_start(desc_named("fast")));
  EXPECT_EQ(sink.text(), "\nrunning 1 test (shuffle seed: 42)\n");
  ASSERT_TRUE(f->write_timeout(desc_named("slow")));
  ASSERT_TRUE(f->write_result(desc_named("fast"), TestResult::ok(), std::nullopt, {}, st));
  ASSERT_TRUE(f->write_result(desc_named("slow"), TestResult::ok(), std::nullopt, {}, st));
  st.passed = 2;
  st.exec_time = TestSuiteExecTime{0ns};
  EXPECT_EQ(f->write_run_finish(st), true);
  EXPECT_EQ(sink.text(),
            "\nrunning 1 test (shuffle seed: 42)\n"
            "test slow has been running for over 60 seconds\n"
            "test fast ... ok\n"
            "test slow ... ok\n"
            "\ntest result: ok. 2 passed; 0 failed; 0 ignored; 0 measured; 0 filtered out; "
            "finished in 0.00s\n\n");
}

// A line reaches the terminal whole, in one write, colour codes included.
TEST(PrettyFormatter, EachLineAndTheSummaryIsOneWrite) {
  testing::WriteLogSink parallel_sink;
  auto parallel = make_pretty_formatter(parallel_sink, config(true));
  ConsoleTestState st;
  ASSERT_TRUE(parallel->write_result(desc_named("a"), TestResult::ok(), std::nullopt, {}, st));
  st.failed = 1;
  st.failures = {entry("b", "out\n")};
  st.exec_time = TestSuiteExecTime{1s};
  ASSERT_TRUE(parallel->write_run_finish(st));
  ASSERT_EQ(parallel_sink.writes.size(), 2u);
  EXPECT_EQ(parallel_sink.writes[0], "test a ... {green}ok{reset}\n");
  EXPECT_TRUE(parallel_sink.writes[1].starts_with("\nfailures:\n"));
  EXPECT_TRUE(parallel_sink.writes[1].ends_with("finished in 1.00s\n\n"));

  testing::WriteLogSink serial_sink;
  auto serial = make_pretty_formatter(serial_sink, config(false));
  ASSERT_TRUE(serial->write_test_start(desc_named("a")));
  ASSERT_TRUE(serial->write_result(desc_named("a"), TestResult::failed(), std::nullopt, {}, st));
  EXPECT_EQ(serial_sink.writes,
            (std::vector<std::string>{"test a ... ", "{red}FAILED{reset}\n"}));
}

TEST(PrettyFormatter, ResultWordsAndColours) {
  struct Case {
    const char* label;
    TestResult result;
    std::optional<std::string_view> ignore_message;
    const char* expected;
  };
  TestResult bench{TestResult::Kind::Bench, {}, {1234567, 8901, 0, 0}};
  const Case cases[] = {
      {"ok", TestResult::ok(), {}, "test t ... {green}ok{reset}\n"},
      {"failed", TestResult::failed(), {}, "test t ... {red}FAILED{reset}\n"},
      {"failed msg", TestResult::failed_msg("why"), {}, "test t ... {red}FAILED{reset}\n"},
      {"ignored", TestResult::ignored(), {}, "test t ... {yellow}ignored{reset}\n"},
      {"ignored msg", TestResult::ignored(), "needs a card",
       "test t ... {yellow}ignored, needs a card{reset}\n"},
      {"timed fail",
       TestResult::timed_fail(),
       {},
       "test t ... {red}FAILED (time limit exceeded){reset}\n"},
      {"bench", bench, {}, "test t ... {cyan}bench{reset}:      1,234,567 ns/iter (+/- 8,901)\n"},
  };
  for (const auto& c : cases) {
    StringSink sink(true);
    auto f = make_pretty_formatter(sink, config(true));
    TestDesc desc = desc_named("t");
    desc.ignore_message = c.ignore_message;
    ASSERT_TRUE(f->write_result(desc, c.result, std::nullopt, {}, ConsoleTestState{}));
    EXPECT_EQ(sink.text(), c.expected) << c.label;
  }
}

TEST(PrettyFormatter, NameTextShowsTheModeOfTestsThatAreNotIgnored) {
  struct Case {
    const char* label;
    ExpectFailure expect;
    bool compile_fail;
    bool no_run;
    bool ignore;
    const char* expected;
  };
  const Case cases[] = {
      {"plain", ExpectFailure::no(), false, false, false, "test t ... "},
      {"should panic", ExpectFailure::yes(), true, true, false, "test t - should panic ... "},
      {"with message", ExpectFailure::with_message("x"), false, false, false,
       "test t - should panic ... "},
      {"compile fail", ExpectFailure::no(), true, true, false, "test t - compile fail ... "},
      {"compile", ExpectFailure::no(), false, true, false, "test t - compile ... "},
      {"ignored", ExpectFailure::yes(), true, true, true, "test t ... "},
  };
  for (const auto& c : cases) {
    StringSink sink;
    auto f = make_pretty_formatter(sink, config(false));
    TestDesc desc = desc_named("t");
    desc.expect_failure = c.expect;
    desc.compile_fail = c.compile_fail;
    desc.no_run = c.no_run;
    desc.ignore = c.ignore;
    ASSERT_TRUE(f->write_test_start(desc));
    EXPECT_EQ(sink.text(), c.expected) << c.label;
  }
}

TEST(PrettyFormatter, BenchmarkNamesArePaddedAndTestNamesAreNot) {
  StringSink sink;
  ConsoleFormatterConfig c = config(false);
  c.max_name_len = 8;
  auto f = make_pretty_formatter(sink, c);
  TestDesc bench = desc_named("b");
  bench.name = TestName::aligned("b", NamePadding::PadOnRight);
  ASSERT_TRUE(f->write_test_start(bench));
  ASSERT_TRUE(f->write_test_start(desc_named("t")));
  EXPECT_EQ(sink.text(), "test b        ... test t ... ");
}

TEST(PrettyFormatter, TimeSuffixIsColouredByTheThresholdsOfTheTestsKind) {
  struct Case {
    TestKind kind;
    std::chrono::nanoseconds time;
    bool use_color;
    const char* expected;
  };
  const Case cases[] = {
      {TestKind::Integration, 499999999ns, true, "ok <0.500s>\n"},
      {TestKind::Integration, 500ms, true, "ok{yellow} <0.500s>{reset}\n"},
      {TestKind::Integration, 999ms, true, "ok{yellow} <0.999s>{reset}\n"},
      {TestKind::Integration, 1s, true, "ok{red} <1.000s>{reset}\n"},
      {TestKind::Integration, 1s, false, "ok <1.000s>\n"},
      {TestKind::Unit, 50ms, true, "ok{yellow} <0.050s>{reset}\n"},
      {TestKind::Unit, 100ms, true, "ok{red} <0.100s>{reset}\n"},
      {TestKind::Doc, 1s, true, "ok{red} <1.000s>{reset}\n"},
      {TestKind::Unknown, 59s, true, "ok <59.000s>\n"},
      {TestKind::Unknown, 60s, true, "ok{yellow} <60.000s>{reset}\n"},
      {TestKind::Unknown, 120s, true, "ok{red} <120.000s>{reset}\n"},
  };
  for (const auto& c : cases) {
    StringSink sink(true);
    ConsoleFormatterConfig cfg = config(false, c.use_color);
    cfg.time_options = TestTimeOptions{};
    auto f = make_pretty_formatter(sink, cfg);
    ASSERT_TRUE(f->write_result(desc_named("t", c.kind), TestResult::ok(), TestExecTime{c.time}, {},
                                ConsoleTestState{}));
    std::string expected = c.expected;
    if (c.use_color) expected.replace(0, 2, "{green}ok{reset}");
    EXPECT_EQ(sink.text(), expected) << static_cast<int>(c.kind) << " " << c.time.count();
  }
}

TEST(PrettyFormatter, NoTimeSuffixWithoutTimeOptionsOrWithoutAMeasuredTime) {
  StringSink sink;
  auto without_options = make_pretty_formatter(sink, config(false));
  ASSERT_TRUE(without_options->write_result(desc_named("t"), TestResult::ok(), TestExecTime{2s}, {},
                                            ConsoleTestState{}));
  ConsoleFormatterConfig cfg = config(false);
  cfg.time_options = TestTimeOptions{};
  auto without_time = make_pretty_formatter(sink, cfg);
  ASSERT_TRUE(without_time->write_result(desc_named("t"), TestResult::ignored(), std::nullopt, {},
                                         ConsoleTestState{}));
  EXPECT_EQ(sink.text(), "ok\nignored\n");
}

TEST(PrettyFormatter, ShowOutputPrintsTheSuccessesSection) {
  StringSink sink;
  auto f = make_pretty_formatter(sink, config(true));
  ConsoleTestState st;
  st.show_output = true;
  st.passed = 2;
  st.not_failures = {entry("says_hello", "hello\n"), entry("quiet")};
  st.exec_time = TestSuiteExecTime{1500ms};
  EXPECT_EQ(f->write_run_finish(st), true);
  EXPECT_EQ(sink.text(),
            "\nsuccesses:\n"
            "\n---- says_hello stdout ----\nhello\n\n"
            "\nsuccesses:\n"
            "    quiet\n"
            "    says_hello\n"
            "\ntest result: ok. 2 passed; 0 failed; 0 ignored; 0 measured; 0 filtered out; "
            "finished in 1.50s\n\n");
}

TEST(PrettyFormatter, FailureSectionsShowNotesReplacementCharactersAndSortedNames) {
  StringSink sink;
  auto f = make_pretty_formatter(sink, config(true));
  ConsoleTestState st;
  st.failed = 4;
  st.filtered_out = 19;
  st.failures = {entry("zeta", "note: expected a panic"), entry("Alpha"),
                 entry("beta", std::string_view("bad \xff\xc3 end", 10))};
  st.time_failures = {entry("slow", "took long\n")};
  EXPECT_EQ(f->write_run_finish(st), false);
  EXPECT_EQ(
      sink.text(),
      "\nfailures:\n"
      "\n---- zeta stdout ----\nnote: expected a panic\n"
      "---- beta stdout ----\nbad \xEF\xBF\xBD\xEF\xBF\xBD end\n"
      "\nfailures:\n"
      "    Alpha\n"
      "    beta\n"
      "    zeta\n"
      "\nfailures (time limit exceeded):\n"
      "\n---- slow stdout ----\ntook long\n\n"
      "\nfailures (time limit exceeded):\n"
      "    slow\n"
      "\ntest result: FAILED. 0 passed; 4 failed; 0 ignored; 0 measured; 19 filtered out\n\n");
}

TEST(PrettyFormatter, OnlyTimeFailuresPrintOnlyTheirSection) {
  StringSink sink;
  auto f = make_pretty_formatter(sink, config(true));
  ConsoleTestState st;
  st.failed = 1;
  st.time_failures = {entry("slow")};
  EXPECT_EQ(f->write_run_finish(st), false);
  EXPECT_EQ(sink.text(),
            "\nfailures (time limit exceeded):\n"
            "\nfailures (time limit exceeded):\n"
            "    slow\n"
            "\ntest result: FAILED. 0 passed; 1 failed; 0 ignored; 0 measured; 0 filtered out\n\n");
}

TEST(PrettyFormatter, ZeroTestsRunSucceeds) {
  StringSink sink;
  auto f = make_pretty_formatter(sink, config(true));
  ConsoleTestState st;
  st.filtered_out = 23;
  st.exec_time = TestSuiteExecTime{0ns};
  ASSERT_TRUE(f->write_run_start(0, std::nullopt));
  EXPECT_EQ(f->write_run_finish(st), true);
  EXPECT_EQ(sink.text(),
            "\nrunning 0 tests\n"
            "\ntest result: ok. 0 passed; 0 failed; 0 ignored; 0 measured; 23 filtered out; "
            "finished in 0.00s\n\n");
}

TEST(PrettyFormatter, ListingWritesOneLinePerEntryAndTheCountLine) {
  struct Case {
    std::vector<std::pair<const char*, const char*>> entries;
    const char* expected;
  };
  const Case cases[] = {
      {{}, "0 tests, 0 benchmarks\n"},
      {{{"a", "test"}}, "a: test\n\n1 test, 0 benchmarks\n"},
      {{{"a", "test"}, {"b", "test"}, {"m", "benchmark"}},
       "a: test\nb: test\nm: benchmark\n\n2 tests, 1 benchmark\n"},
      {{{"m", "benchmark"}, {"n", "benchmark"}},
       "m: benchmark\nn: benchmark\n\n0 tests, 2 benchmarks\n"},
  };
  for (const auto& c : cases) {
    StringSink sink(true);
    auto f = make_pretty_formatter(sink, config(false, false));
    ConsoleTestDiscoveryState st;
    ASSERT_TRUE(f->write_discovery_start());
    for (const auto& [name, type] : c.entries) {
      ASSERT_TRUE(f->write_test_discovered(desc_named(name), type));
      (std::string_view(type) == "test" ? st.tests : st.benchmarks) += 1;
    }
    ASSERT_TRUE(f->write_discovery_finish(st));
    EXPECT_EQ(sink.text(), c.expected);
  }
}

}  // namespace
}  // namespace harness
