// The command line: scanning rules, interpretation order, every error message
// and the options record each accepted command line yields.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "harness/cli.h"
#include "scoped_env.h"

namespace harness {
namespace {

using namespace std::chrono_literals;

const char* const kHarnessVariables[] = {
    "RUSTC_BOOTSTRAP",        "RUST_TEST_NOCAPTURE", "RUST_TEST_SHUFFLE",
    "RUST_TEST_SHUFFLE_SEED", "RUST_TEST_TIME_UNIT", "RUST_TEST_TIME_INTEGRATION",
    "RUST_TEST_TIME_DOCTEST", "RUST_TEST_THREADS",
};

class ParseOpts : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kHarnessVariables) env.unset(name);
  }

  static ParseOutcome parse(std::vector<std::string> args) {
    args.insert(args.begin(), "prog");
    return parse_opts(args);
  }

  ScopedEnv env;
};

struct Env {
  std::string name;
  std::string value;
};

struct ErrorCase {
  std::vector<std::string> args;
  std::string message;
  std::vector<Env> env = {};
};

// Every message comes back bare: the harness entry adds "error: " and the
// line break when it reports it.
TEST_F(ParseOpts, RejectsBadCommandLinesWithExactMessages) {
  const std::string json_gated =
      R"(The "json" format is only accepted on the nightly compiler with -Z unstable-options)";
  const Env bootstrap{"RUSTC_BOOTSTRAP", "1"};
  const std::vector<ErrorCase> cases = {
      // Scanning.
      {{"--frobnicate"}, "Unrecognized option: 'frobnicate'"},
      {{"-x"}, "Unrecognized option: 'x'"},
      {{"-qx"}, "Unrecognized option: 'x'"},
      {{"--frob=1"}, "Unrecognized option: 'frob'"},
      {{"--Exact"}, "Unrecognized option: 'Exact'"},
      {{"--exa"}, "Unrecognized option: 'exa'"},
      {{"-quiet"}, "Unrecognized option: 'u'"},
      {{"-q\xc3\xa9"}, "Unrecognized option: '\xc3\xa9'"},
      {{"-\xff"}, "Unrecognized option: '\xff'"},
      {{"--=x"}, "Unrecognized option: ''"},
      {{"---list"}, "Unrecognized option: '-list'"},
      {{"-q=x"}, "Unrecognized option: '='"},
      {{"--format"}, "Argument to option 'format' missing"},
      {{"--list", "-Z"}, "Argument to option 'Z' missing"},
      {{"--list=yes"}, "Option 'list' does not take an argument"},
      {{"--list="}, "Option 'list' does not take an argument"},
      {{"-h", "--frobnicate"}, "Unrecognized option: 'frobnicate'"},
      {{"--frobnicate", "--format"}, "Unrecognized option: 'frobnicate'"},
      {{"--format", "--frobnicate"},
       "argument for --format must be pretty, terse, json or "
       "junit (was --frobnicate)"},
      // Duplicates are found after the whole scan, in table order.
      {{"--exact", "--exact"}, "Option 'exact' given more than once"},
      {{"-q", "--quiet"}, "Option 'quiet' given more than once"},
      {{"-qq"}, "Option 'quiet' given more than once"},
      {{"-Zunstable-options", "-Z", "unstable-options"}, "Option 'Z' given more than once"},
      {{"--format=json", "--format", "pretty"}, "Option 'format' given more than once"},
      {{"--nocapture", "--nocapture"}, "Option 'nocapture' given more than once"},
      {{"--exact", "--exact", "--frobnicate"}, "Unrecognized option: 'frobnicate'"},
      {{"--list", "--exact", "--exact", "--list"}, "Option 'list' given more than once"},
      // Unstable options.
      {{"-Z", "unstable-options"}, "the option `Z` is only accepted on the nightly compiler"},
      {{"-Z", "unstable"}, "Unrecognized option to `Z`", {bootstrap}},
      {{"-Z", "unstable"}, "the option `Z` is only accepted on the nightly compiler"},
      {{"-Zunstable-options", "--format=json"},
       "the option `Z` is only accepted on the nightly compiler",
       {{"RUSTC_BOOTSTRAP", "\xff"}}},
      // Gated flags, checked in a fixed order.
      {{"--force-run-in-process"},
       R"(The "force-run-in-process" flag is only accepted on the nightly compiler with -Z unstable-options)"},
      {{"--exclude-should-panic"},
       R"(The "exclude-should-panic" flag is only accepted on the nightly compiler with -Z unstable-options)"},
      {{"--report-time", "--fail-fast"},
       R"(The "fail-fast" flag is only accepted on the nightly compiler with -Z unstable-options)"},
      {{"--ensure-time", "--report-time"},
       R"(The "report-time" flag is only accepted on the nightly compiler with -Z unstable-options)"},
      {{"--ensure-time"},
       R"(The "ensure-time" flag is only accepted on the nightly compiler with -Z unstable-options)"},
      {{"--shuffle"},
       R"(The "shuffle" flag is only accepted on the nightly compiler with -Z unstable-options)"},
      {{"--shuffle-seed", "3"},
       R"(The "shuffle-seed" option is only accepted on the nightly compiler with -Z unstable-options)"},
      {{"--shuffle-seed", "x", "--shuffle"},
       R"(The "shuffle" flag is only accepted on the nightly compiler with -Z unstable-options)"},
      // A gated flag is reported before a bad value of a later step.
      {{"--fail-fast", "--test-threads", "0"},
       R"(The "fail-fast" flag is only accepted on the nightly compiler with -Z unstable-options)"},
      {{"--format=json"}, json_gated},
      {{"--format", "junit"},
       R"(The "junit" format is only accepted on the nightly compiler with -Z unstable-options)"},
      {{"--format=json", "-Z", "unstable-options"},
       "the option `Z` is only accepted on the nightly compiler"},
      // Values.
      {{"-Zunstable-options", "--shuffle-seed", "12a"},
       "argument for --shuffle-seed must be a number (error: invalid digit found in string)",
       {bootstrap}},
      {{"-Zunstable-options", "--shuffle-seed="},
       "argument for --shuffle-seed must be a number (error: cannot parse integer from empty "
       "string)",
       {bootstrap}},
      {{"-Zunstable-options", "--shuffle-seed=18446744073709551616"},
       "argument for --shuffle-seed must be a number (error: number too large to fit in target "
       "type)",
       {bootstrap}},
      {{"--include-ignored", "--ignored"},
       "the options --include-ignored and --ignored are mutually exclusive"},
      {{"--ignored", "--include-ignored", "--test-threads", "0"},
       "the options --include-ignored and --ignored are mutually exclusive"},
      {{"--test-threads", "0"}, "argument for --test-threads must not be 0"},
      {{"--test-threads=+0"}, "argument for --test-threads must not be 0"},
      {{"--test-threads="},
       "argument for --test-threads must be a number > 0 (error: cannot parse integer from "
       "empty string)"},
      {{"--test-threads", "x4"},
       "argument for --test-threads must be a number > 0 (error: invalid digit found in string)"},
      {{"--test-threads", "+"},
       "argument for --test-threads must be a number > 0 (error: invalid digit found in string)"},
      {{"--test-threads", "-4"},
       "argument for --test-threads must be a number > 0 (error: invalid digit found in string)"},
      {{"--test-threads", " 4"},
       "argument for --test-threads must be a number > 0 (error: invalid digit found in string)"},
      {{"--test-threads", "99999999999999999999"},
       "argument for --test-threads must be a number > 0 (error: number too large to fit in "
       "target type)"},
      {{"--test-threads", "0", "--color", "red"}, "argument for --test-threads must not be 0"},
      {{"--color", "red", "--format", "xml"},
       "argument for --color must be auto, always, or never (was red)"},
      {{"--color=Always"}, "argument for --color must be auto, always, or never (was Always)"},
      {{"--color="}, "argument for --color must be auto, always, or never (was )"},
      {{"--format", "xml"}, "argument for --format must be pretty, terse, json or junit (was xml)"},
      {{"-q", "--format=Terse"},
       "argument for --format must be pretty, terse, json or junit (was Terse)"},
  };
  for (const ErrorCase& c : cases) {
    ScopedEnv scoped;
    for (const Env& e : c.env) scoped.set(e.name, e.value);
    std::string shown;
    for (const auto& a : c.args) shown += "[" + a + "] ";
    SCOPED_TRACE(shown);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const ParseOutcome outcome = parse(c.args);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_TRUE(std::holds_alternative<ParseError>(outcome));
    EXPECT_EQ(std::get<ParseError>(outcome).message, c.message);
  }
}

struct AcceptCase {
  std::vector<std::string> args;
  std::function<void(TestOpts&)> expect;  // applied to the defaults
  std::vector<Env> env = {};
};

TEST_F(ParseOpts, BuildsTheOptionsRecord) {
  const Env bootstrap{"RUSTC_BOOTSTRAP", "1"};
  const std::vector<AcceptCase> cases = {
      {{}, [](TestOpts&) {}},
      {{"--"}, [](TestOpts&) {}},
      // Free arguments are filters wherever they stand.
      {{"a", "--exact", "b"},
       [](TestOpts& o) {
         o.filters = {"a", "b"};
         o.exact = true;
       }},
      {{"-"}, [](TestOpts& o) { o.filters = {"-"}; }},
      {{""}, [](TestOpts& o) { o.filters = {""}; }},
      {{"--", "--list", "-q"},
       [](TestOpts& o) {
         o.filters = {"--list", "-q"};
       }},
      {{"x", "--", "--", "y"},
       [](TestOpts& o) {
         o.filters = {"x", "--", "y"};
       }},
      // A value option takes the next argument whatever it looks like.
      {{"--skip", "--list"}, [](TestOpts& o) { o.skip = {"--list"}; }},
      {{"--skip", "a", "--skip=b", "--skip", ""},
       [](TestOpts& o) {
         o.skip = {"a", "b", ""};
       }},
      {{"--skip=a=b"}, [](TestOpts& o) { o.skip = {"a=b"}; }},
      {{"--logfile", "--"}, [](TestOpts& o) { o.logfile = "--"; }},
      {{"--logfile="}, [](TestOpts& o) { o.logfile = ""; }},
      {{"--list", "--include-ignored"},
       [](TestOpts& o) {
         o.list = true;
         o.run_ignored = RunIgnored::Yes;
       }},
      {{"--ignored"}, [](TestOpts& o) { o.run_ignored = RunIgnored::Only; }},
      // Tests and benchmarks.
      {{"--test"}, [](TestOpts&) {}},
      {{"--bench"},
       [](TestOpts& o) {
         o.run_benchmarks = true;
         o.run_tests = false;
       }},
      {{"--bench", "--test"}, [](TestOpts& o) { o.run_benchmarks = true; }},
      // Capture.
      {{"--nocapture"}, [](TestOpts& o) { o.nocapture = true; }},
      {{"--no-capture", "--nocapture"}, [](TestOpts& o) { o.nocapture = true; }},
      {{}, [](TestOpts& o) { o.nocapture = true; }, {{"RUST_TEST_NOCAPTURE", ""}}},
      {{}, [](TestOpts& o) { o.nocapture = true; }, {{"RUST_TEST_NOCAPTURE", "00"}}},
      {{}, [](TestOpts&) {}, {{"RUST_TEST_NOCAPTURE", "0"}}},
      {{}, [](TestOpts&) {}, {{"RUST_TEST_NOCAPTURE", "\xc3\x28"}}},
      // Threads.
      {{"--test-threads", "+4"}, [](TestOpts& o) { o.test_threads = 4; }},
      {{"--test-threads=007"}, [](TestOpts& o) { o.test_threads = 7; }},
      {{}, [](TestOpts&) {}, {{"RUST_TEST_THREADS", "0"}}},  // read only when running
      // Colour and format.
      {{"--color", "always"}, [](TestOpts& o) { o.color = ColorConfig::Always; }},
      {{"--color=never"}, [](TestOpts& o) { o.color = ColorConfig::Never; }},
      {{"--color", "auto"}, [](TestOpts&) {}},
      {{"--quiet"}, [](TestOpts& o) { o.format = OutputFormat::Terse; }},
      {{"-q", "--format", "pretty"}, [](TestOpts&) {}},
      {{"--format", "terse"}, [](TestOpts& o) { o.format = OutputFormat::Terse; }},
      {{"-Zunstable-options", "--format=json"},
       [](TestOpts& o) { o.format = OutputFormat::Json; },
       {bootstrap}},
      {{"-Z", "unstable-options", "-q", "--format", "junit"},
       [](TestOpts& o) { o.format = OutputFormat::Junit; },
       {bootstrap}},
      {{"-Zunstable-options"}, [](TestOpts&) {}, {{"RUSTC_BOOTSTRAP", ""}}},
      // Short clusters: a value option takes the rest of the cluster.
      {{"-qZunstable-options", "--fail-fast"},
       [](TestOpts& o) {
         o.format = OutputFormat::Terse;
         o.fail_fast = true;
       },
       {bootstrap}},
      {{"--show-output", "--exact"},
       [](TestOpts& o) {
         o.show_output = true;
         o.exact = true;
       }},
      // Unstable flags.
      {{"-Zunstable-options", "--force-run-in-process", "--exclude-should-panic"},
       [](TestOpts& o) {
         o.force_run_in_process = true;
         o.exclude_expect_failure = true;
       },
       {bootstrap}},
      // Shuffling.
      {{"-Zunstable-options", "--shuffle"}, [](TestOpts& o) { o.shuffle = true; }, {bootstrap}},
      {{"-Zunstable-options", "--shuffle-seed", "+0"},
       [](TestOpts& o) { o.shuffle_seed = 0; },
       {bootstrap}},
      {{"-Zunstable-options", "--shuffle-seed=18446744073709551615"},
       [](TestOpts& o) { o.shuffle_seed = 18446744073709551615ull; },
       {bootstrap}},
      {{"-Zunstable-options"},
       [](TestOpts& o) {
         o.shuffle = true;
         o.shuffle_seed = 42;
       },
       {bootstrap, {"RUST_TEST_SHUFFLE", ""}, {"RUST_TEST_SHUFFLE_SEED", "42"}}},
      {{"-Zunstable-options"}, [](TestOpts&) {}, {bootstrap, {"RUST_TEST_SHUFFLE", "0"}}},
      // The seed option wins; a bad variable it replaces is never looked at.
      {{"-Zunstable-options", "--shuffle-seed", "5"},
       [](TestOpts& o) { o.shuffle_seed = 5; },
       {bootstrap, {"RUST_TEST_SHUFFLE_SEED", "bad"}}},
      // Without unstable options the shuffle variables are not read at all.
      {{}, [](TestOpts&) {}, {{"RUST_TEST_SHUFFLE", "1"}, {"RUST_TEST_SHUFFLE_SEED", "bad"}}},
      {{"-Zunstable-options"}, [](TestOpts&) {}, {bootstrap, {"RUST_TEST_SHUFFLE_SEED", "\xff"}}},
      // Time options.
      {{"-Zunstable-options", "--report-time"},
       [](TestOpts& o) { o.time_options = TestTimeOptions{}; },
       {bootstrap}},
      {{"-Zunstable-options", "--ensure-time"},
       [](TestOpts& o) {
         o.time_options = TestTimeOptions{};
         o.time_options->error_on_excess = true;
       },
       {bootstrap}},
      {{"-Zunstable-options", "--report-time"},
       [](TestOpts& o) {
         o.time_options = TestTimeOptions{};
         o.time_options->unit_threshold = {100ms, 200ms};
         o.time_options->integration_threshold = {1ms, 1ms};
         o.time_options->doctest_threshold = {0ms, 9223372036854ms};
       },
       {bootstrap,
        {"RUST_TEST_TIME_UNIT", "100,200"},
        {"RUST_TEST_TIME_INTEGRATION", "+1,1"},
        {"RUST_TEST_TIME_DOCTEST", "0,9223372036854"}}},
      // Thresholds are read only with time options, so bad ones do no harm otherwise.
      {{}, [](TestOpts&) {}, {{"RUST_TEST_TIME_UNIT", "500"}}},
      // Millisecond counts beyond what a duration holds stay at the largest duration.
      {{"-Zunstable-options", "--report-time"},
       [](TestOpts& o) {
         o.time_options = TestTimeOptions{};
         o.time_options->unit_threshold = {std::chrono::nanoseconds::max(),
                                           std::chrono::nanoseconds::max()};
       },
       {bootstrap, {"RUST_TEST_TIME_UNIT", "18446744073709551615,18446744073709551615"}}},
  };
  for (const AcceptCase& c : cases) {
    ScopedEnv scoped;
    for (const Env& e : c.env) scoped.set(e.name, e.value);
    std::string shown;
    for (const auto& a : c.args) shown += "[" + a + "] ";
    SCOPED_TRACE(shown);
    TestOpts expected;
    c.expect(expected);
    testing::internal::CaptureStderr();  // the --logfile warning
    const ParseOutcome outcome = parse(c.args);
    testing::internal::GetCapturedStderr();
    if (const auto* error = std::get_if<ParseError>(&outcome)) FAIL() << error->message;
    ASSERT_TRUE(std::holds_alternative<TestOpts>(outcome));
    EXPECT_EQ(std::get<TestOpts>(outcome), expected);
  }
}

TEST_F(ParseOpts, EmptyArgumentListYieldsDefaults) {
  const ParseOutcome outcome = parse_opts({});
  ASSERT_TRUE(std::holds_alternative<TestOpts>(outcome));
  EXPECT_EQ(std::get<TestOpts>(outcome), TestOpts{});
}

TEST_F(ParseOpts, HelpWinsOverEverythingButScanErrors) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-h"},
        {"--help"},
        {"-h", "--format", "xml"},
        {"-qh"},
        {"--help", "-Z", "nonsense", "--shuffle", "--include-ignored", "--ignored"}}) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const ParseOutcome outcome = parse(args);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(std::holds_alternative<HelpShown>(outcome)) << args.front();
    EXPECT_EQ(out, usage_text("prog", optgroups()));
  }
  testing::internal::CaptureStdout();
  EXPECT_TRUE(std::holds_alternative<ParseError>(parse({"-h", "-h"})));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(ParseOpts, LogfileWarnsOnlyAfterEveryCheckPassed) {
  testing::internal::CaptureStderr();
  const ParseOutcome ok = parse({"--logfile", "run.log"});
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "warning: `--logfile` is deprecated");
  ASSERT_TRUE(std::holds_alternative<TestOpts>(ok));
  EXPECT_EQ(std::get<TestOpts>(ok).logfile, "run.log");

  testing::internal::CaptureStderr();
  const ParseOutcome bad = parse({"--logfile=run.log", "--color", "red"});
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(std::holds_alternative<ParseError>(bad));
}

struct FatalCase {
  std::vector<std::string> args;
  Env variable;
  std::string message;
};

// Bad harness variables stop the process with status 101 and the message on
// standard error.
TEST_F(ParseOpts, BadHarnessVariablesAreFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::vector<FatalCase> cases = {
      {{"-Zunstable-options"},
       {"RUST_TEST_SHUFFLE_SEED", "abc"},
       "RUST_TEST_SHUFFLE_SEED is `abc`, should be a number."},
      {{"-Zunstable-options", "--shuffle"},
       {"RUST_TEST_SHUFFLE_SEED", ""},
       "RUST_TEST_SHUFFLE_SEED is ``, should be a number."},
      {{"-Zunstable-options", "--report-time"},
       {"RUST_TEST_TIME_UNIT", "500"},
       "Duration variable RUST_TEST_TIME_UNIT expected to have 2 numbers separated by comma, "
       "but got 500"},
      {{"-Zunstable-options", "--ensure-time"},
       {"RUST_TEST_TIME_INTEGRATION", "a,b"},
       "Duration value in variable RUST_TEST_TIME_INTEGRATION is expected to be a number, but "
       "got a"},
      {{"-Zunstable-options", "--ensure-time"},
       {"RUST_TEST_TIME_DOCTEST", "5,b"},
       "Duration value in variable RUST_TEST_TIME_DOCTEST is expected to be a number, but got b"},
      {{"-Zunstable-options", "--report-time"},
       {"RUST_TEST_TIME_UNIT", "1,2,3"},
       "Duration value in variable RUST_TEST_TIME_UNIT is expected to be a number, but got 2,3"},
      {{"-Zunstable-options", "--report-time"},
       {"RUST_TEST_TIME_UNIT", " 1,2"},
       "Duration value in variable RUST_TEST_TIME_UNIT is expected to be a number, but got  1"},
      {{"-Zunstable-options", "--report-time"},
       {"RUST_TEST_TIME_UNIT", "200,100"},
       "Test execution warn time should be less or equal to the critical time"},
      // A fatal threshold comes before a later step's returned error.
      {{"-Zunstable-options", "--report-time", "--color", "red"},
       {"RUST_TEST_TIME_UNIT", ","},
       "Duration value in variable RUST_TEST_TIME_UNIT is expected to be a number, but got "},
  };
  for (const FatalCase& c : cases) {
    SCOPED_TRACE(c.message);
    ScopedEnv scoped;
    scoped.set("RUSTC_BOOTSTRAP", "1");
    scoped.set(c.variable.name, c.variable.value);
    EXPECT_EXIT(parse(c.args), testing::ExitedWithCode(101), testing::HasSubstr(c.message + "\n"));
  }
}

}  // namespace
}  // namespace harness
