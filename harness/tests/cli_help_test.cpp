// The help text: every entry of the option table as printed, the usage
// line, the closing notes, and the re-flow rules on tables of our own.
#include <gtest/gtest.h>

#include <string>

#include "harness/cli.h"

namespace harness {
namespace {

// Three entries (the options too long for the hint column) keep the blank
// after the option name at the end of their first line.
const std::string kEntries =
    "        --include-ignored \n"
    "                        Run ignored and not ignored tests\n"
    "        --ignored       Run only ignored tests\n"
    "        --force-run-in-process \n"
    "                        Forces tests to run in-process when panic=abort\n"
    "        --exclude-should-panic \n"
    "                        Excludes tests marked as should_panic\n"
    "        --test          Run tests and not benchmarks\n"
    "        --bench         Run benchmarks instead of tests\n"
    "        --list          List all tests and benchmarks\n"
    "        --fail-fast     Don't start new tests after the first failure\n"
    "    -h, --help          Display this message\n"
    "        --logfile PATH  Write logs to the specified file (deprecated)\n"
    "        --no-capture    don't capture stdout/stderr of each task, allow\n"
    "                        printing directly\n"
    "        --test-threads n_threads\n"
    "                        Number of threads used for running tests in parallel\n"
    "        --skip FILTER   Skip tests whose names contain FILTER (this flag can\n"
    "                        be used multiple times)\n"
    "    -q, --quiet         Display one character per test instead of one line.\n"
    "                        Alias to --format=terse\n"
    "        --exact         Exactly match filters rather than by substring\n"
    "        --color auto|always|never\n"
    "                        Configure coloring of output:\n"
    "                        auto = colorize if stdout is a tty and tests are run\n"
    "                        on serially (default);\n"
    "                        always = always colorize output;\n"
    "                        never = never colorize output;\n"
    "        --format pretty|terse|json|junit\n"
    "                        Configure formatting of output:\n"
    "                        pretty = Print verbose output;\n"
    "                        terse = Display one character per test;\n"
    "                        json = Output a json document;\n"
    "                        junit = Output a JUnit document\n"
    "        --show-output   Show captured stdout of successful tests\n"
    "    -Z unstable-options Enable nightly-only flags:\n"
    "                        unstable-options = Allow use of experimental features\n"
    "        --report-time   Show execution time of each test.\n"
    "                        Threshold values for colorized output can be\n"
    "                        configured via\n"
    "                        `RUST_TEST_TIME_UNIT`, `RUST_TEST_TIME_INTEGRATION`\n"
    "                        and\n"
    "                        `RUST_TEST_TIME_DOCTEST` environment variables.\n"
    "                        Expected format of environment variable is\n"
    "                        `VARIABLE=WARN_TIME,CRITICAL_TIME`.\n"
    "                        Durations must be specified in milliseconds, e.g.\n"
    "                        `500,2000` means that the warn time\n"
    "                        is 0.5 seconds, and the critical time is 2 seconds.\n"
    "                        Not available for --format=terse\n"
    "        --ensure-time   Treat excess of the test execution time limit as\n"
    "                        error.\n"
    "                        Threshold values for this option can be configured via\n"
    "                        `RUST_TEST_TIME_UNIT`, `RUST_TEST_TIME_INTEGRATION`\n"
    "                        and\n"
    "                        `RUST_TEST_TIME_DOCTEST` environment variables.\n"
    "                        Expected format of environment variable is\n"
    "                        `VARIABLE=WARN_TIME,CRITICAL_TIME`.\n"
    "                        `CRITICAL_TIME` here means the limit that should not\n"
    "                        be exceeded by test.\n"
    "        --shuffle       Run tests in random order\n"
    "        --shuffle-seed SEED\n"
    "                        Run tests in random order; seed the random number\n"
    "                        generator with SEED\n";

const std::string kNotes =
    "The FILTER string is tested against the name of all tests, and only those\n"
    "tests whose names contain the filter are run. Multiple filter strings may\n"
    "be passed, which will run all tests matching any of the filters.\n"
    "\n"
    "By default, all tests are run in parallel. This can be altered with the\n"
    "--test-threads flag when running tests (set it to 1).\n"
    "\n"
    "By default, the tests are run in alphabetical order. Use --shuffle to run\n"
    "the tests in random order. Pass the generated \"shuffle seed\" to\n"
    "--shuffle-seed to run the tests in the same order again. Note that\n"
    "--shuffle and --shuffle-seed do not affect whether the tests are run in\n"
    "parallel.\n"
    "\n"
    "All tests have their standard output and standard error captured by default.\n"
    "This can be overridden with the --no-capture flag to a value other than \"0\".\n"
    "Logging is not captured by default.\n";

TEST(Help, PrintsEveryEntryByteForByte) {
  const std::string text = usage_text("target/debug/hardware_e2e", optgroups());
  const std::string head = "Usage: target/debug/hardware_e2e [OPTIONS] [FILTERS...]\n\nOptions:\n";
  ASSERT_TRUE(text.starts_with(head));
  ASSERT_GE(text.size(), head.size() + kEntries.size());
  EXPECT_EQ(text.substr(head.size(), kEntries.size()), kEntries);
  // The notes follow the last entry after two blank lines.
  const std::string rest = text.substr(head.size() + kEntries.size());
  ASSERT_TRUE(rest.starts_with("\n\n" + kNotes)) << rest;
  const std::string attributes = rest.substr(2 + kNotes.size());
  EXPECT_TRUE(attributes.starts_with("\nTest Attributes:\n\n")) << attributes;
  EXPECT_TRUE(attributes.ends_with(".\n"));
  for (const char* word : {"TestDescAndFn", "StaticTestFn", "StaticBenchFn", "expect_failure",
                           "ExpectFailure::yes()", "ExpectFailure::with_message(\"text\")",
                           "ignore = true", "ignore_message", "--ignored", "--include-ignored"}) {
    EXPECT_NE(attributes.find(word), std::string::npos) << word;
  }
}

TEST(Help, TableHasTwentyThreeRowsAndHidesNocapture) {
  const auto table = optgroups();
  EXPECT_EQ(table.size(), 23u);
  for (const auto& row : table) EXPECT_NE(row.long_name, "nocapture");
  EXPECT_EQ(usage_text("p", table).find("nocapture"), std::string::npos);
}

// Stored descriptions keep their own line breaks and indentation; only the
// help collapses them.
TEST(Help, StoresMultiLineDescriptionsVerbatim) {
  const auto table = optgroups();
  auto desc = [&](const std::string& long_name) {
    for (const auto& row : table) {
      if (row.long_name == long_name || (long_name.empty() && row.short_name == "Z"))
        return row.desc;
    }
    return std::string("<missing>");
  };
  EXPECT_EQ(desc(""),
            "Enable nightly-only flags:\n"
            "            unstable-options = Allow use of experimental features");
  EXPECT_EQ(desc("color"),
            "Configure coloring of output:\n"
            "            auto   = colorize if stdout is a tty and tests are run on serially "
            "(default);\n"
            "            always = always colorize output;\n"
            "            never  = never colorize output;\n");
  EXPECT_TRUE(
      desc("ensure-time")
          .starts_with(
              "Treat excess of the test execution time limit as error.\n\n            Threshold"));
  EXPECT_TRUE(desc("ensure-time").ends_with("exceeded by test.\n            "));
  EXPECT_TRUE(desc("report-time").ends_with("\n\n            Not available for --format=terse"));
}

struct LayoutCase {
  OptGroup row;
  std::string entry;
};

// Layout rules on rows of our own: the hint column, tables without short
// names, and words longer than a row.
TEST(Help, LaysOutEntries) {
  const std::string wide(60, 'w');
  const std::vector<LayoutCase> cases = {
      {{"x", "", "", "flag with short name only", OptGroup::Kind::Flag},
       "    -x                  flag with short name only"},
      // 23 characters are padded to the column; 24 break the line after the blank.
      {{"", "twelve-chars", "", "d", OptGroup::Kind::Flag}, "        --twelve-chars  d"},
      {{"", "thirteen-char", "", "d", OptGroup::Kind::Flag},
       "        --thirteen-char \n                        d"},
      {{"", "long", "", "a " + wide + " b", OptGroup::Kind::Flag},
       "        --long          a\n                        " + wide +
           "\n                        b"},
      {{"", "blank", "", "  \n\n  ", OptGroup::Kind::Flag}, "        --blank         "},
      {{"", "v", "HINT", "first\n   second   line\n", OptGroup::Kind::Multi},
       "        --v HINT        first\n                        second line"},
  };
  for (const auto& c : cases) {
    // Each table also holds a row with a short name, as ours does.
    const std::string text = usage_text("p", {c.row, {"s", "", "", "short", OptGroup::Kind::Flag}});
    const std::string head = "Usage: p [OPTIONS] [FILTERS...]\n\nOptions:\n";
    const std::string tail = "\n    -s                  short\n\n\nThe FILTER";
    ASSERT_TRUE(text.starts_with(head));
    const std::size_t end = text.find(tail);
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(text.substr(head.size(), end - head.size()), c.entry) << c.row.long_name;
  }
}

TEST(Help, OmitsTheShortColumnWhenNoRowHasAShortName) {
  const std::string text = usage_text("p", {{"", "alpha", "", "one", OptGroup::Kind::Flag},
                                            {"", "beta", "B", "two", OptGroup::Kind::Value}});
  EXPECT_NE(text.find("Options:\n    --alpha             one\n    --beta B            two\n\n\n"),
            std::string::npos)
      << text;
}

}  // namespace
}  // namespace harness
