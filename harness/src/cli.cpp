// The harness command line: the option table, the help text, and turning the
// arguments and the harness variables into one `TestOpts`.
#include "harness/cli.h"

#include <cstdio>
#include <iostream>
#include <span>
#include <sstream>

#include "engine_protocol.h"
#include "env.h"
#include "harness/fatal.h"
#include "option_parser.h"

namespace harness {

namespace {

using Kind = OptGroup::Kind;

OptGroup flag(std::string short_name, std::string long_name, std::string desc) {
  return {std::move(short_name), std::move(long_name), "", std::move(desc), Kind::Flag};
}
OptGroup value(std::string short_name, std::string long_name, std::string hint, std::string desc,
               Kind kind = Kind::Value) {
  return {std::move(short_name), std::move(long_name), std::move(hint), std::move(desc), kind};
}

// The multi-line descriptions keep the indentation of their continuation
// lines; the help re-flows them, so only their words reach the user.
constexpr const char* kColorDesc =
    "Configure coloring of output:\n"
    "            auto   = colorize if stdout is a tty and tests are run on serially (default);\n"
    "            always = always colorize output;\n"
    "            never  = never colorize output;\n";

constexpr const char* kFormatDesc =
    "Configure formatting of output:\n"
    "            pretty = Print verbose output;\n"
    "            terse  = Display one character per test;\n"
    "            json   = Output a json document;\n"
    "            junit  = Output a JUnit document";

constexpr const char* kUnstableDesc =
    "Enable nightly-only flags:\n"
    "            unstable-options = Allow use of experimental features";

constexpr const char* kReportTimeDesc =
    "Show execution time of each test.\n"
    "\n"
    "            Threshold values for colorized output can be configured via\n"
    "            `RUST_TEST_TIME_UNIT`, `RUST_TEST_TIME_INTEGRATION` and\n"
    "            `RUST_TEST_TIME_DOCTEST` environment variables.\n"
    "\n"
    "            Expected format of environment variable is "
    "`VARIABLE=WARN_TIME,CRITICAL_TIME`.\n"
    "            Durations must be specified in milliseconds, e.g. `500,2000` means that the "
    "warn time\n"
    "            is 0.5 seconds, and the critical time is 2 seconds.\n"
    "\n"
    "            Not available for --format=terse";

constexpr const char* kEnsureTimeDesc =
    "Treat excess of the test execution time limit as error.\n"
    "\n"
    "            Threshold values for this option can be configured via\n"
    "            `RUST_TEST_TIME_UNIT`, `RUST_TEST_TIME_INTEGRATION` and\n"
    "            `RUST_TEST_TIME_DOCTEST` environment variables.\n"
    "\n"
    "            Expected format of environment variable is "
    "`VARIABLE=WARN_TIME,CRITICAL_TIME`.\n"
    "\n"
    "            `CRITICAL_TIME` here means the limit that should not be exceeded by test.\n"
    "            ";

constexpr const char* kHelpNotes = R"(

The FILTER string is tested against the name of all tests, and only those
tests whose names contain the filter are run. Multiple filter strings may
be passed, which will run all tests matching any of the filters.

By default, all tests are run in parallel. This can be altered with the
--test-threads flag when running tests (set it to 1).

By default, the tests are run in alphabetical order. Use --shuffle to run
the tests in random order. Pass the generated "shuffle seed" to
--shuffle-seed to run the tests in the same order again. Note that
--shuffle and --shuffle-seed do not affect whether the tests are run in
parallel.

All tests have their standard output and standard error captured by default.
This can be overridden with the --no-capture flag to a value other than "0".
Logging is not captured by default.
)";

constexpr const char* kTestAttributes = R"(
Test Attributes:

    A test is a `TestDescAndFn` record in the program's registry whose
    function is a `StaticTestFn`: a function without arguments that returns
    success, or a failure text. Raising a failure (`panic`, `unwrap`, the
    assertion helpers) also fails the test.

    A benchmark is a record whose function is a `StaticBenchFn`, which is
    handed a `Bencher`. Benchmarks run only with --bench; otherwise each is
    run once as a test.

    A test expected to fail sets `expect_failure` in its `TestDesc`:
    `ExpectFailure::yes()` passes when the test fails in any way, and
    `ExpectFailure::with_message("text")` passes only when the failure
    message contains "text".

    An ignored test sets `ignore = true`, optionally with an
    `ignore_message` saying why. Ignored tests are reported but not run;
    --ignored runs only them and --include-ignored runs them as well.
)";

constexpr std::size_t kHintColumns = 24;
constexpr std::size_t kDescWidth = 54;

// One help entry: the option column, then the description re-flowed into
// rows of at most kDescWidth bytes (a longer word stands alone).
std::string usage_entry(const OptGroup& option, bool any_short) {
  std::string line = "    ";
  if (!option.short_name.empty()) {
    line += "-" + option.short_name + (option.long_name.empty() ? " " : ", ");
  } else if (any_short) {
    line += "    ";
  }
  if (!option.long_name.empty()) line += "--" + option.long_name + " ";
  if (option.kind != Kind::Flag) line += option.hint;

  const std::string indent(kHintColumns, ' ');
  if (line.size() < kHintColumns) {
    line.resize(kHintColumns, ' ');
  } else {
    line += "\n" + indent;
  }

  std::vector<std::string> rows;
  std::istringstream lines(option.desc);
  for (std::string text; std::getline(lines, text);) {
    std::istringstream words(text);
    std::string row;
    for (std::string word; words >> word;) {
      if (row.empty()) {
        row = word;
      } else if (row.size() + 1 + word.size() <= kDescWidth) {
        row += " " + word;
      } else {
        rows.push_back(std::move(row));
        row = word;
      }
    }
    if (!row.empty()) rows.push_back(std::move(row));
  }
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (i > 0) line += "\n" + indent;
    line += rows[i];
  }
  return line;
}

std::string gated_message(std::string_view what, std::string_view name) {
  return "The \"" + std::string(name) + "\" " + std::string(what) +
         " is only accepted on the nightly compiler with -Z unstable-options";
}

// Set and not exactly "0" (an empty value counts as set).
bool env_switch(const char* name) {
  const auto text = env_text(name);
  return text.has_value() && *text != "0";
}

}  // namespace

std::optional<TimeThreshold> TimeThreshold::from_env_var(const char* name) {
  const auto text = env_text(name);
  if (!text) return std::nullopt;
  const std::size_t comma = text->find(',');
  if (comma == std::string::npos) {
    fatal("Duration variable " + std::string(name) +
          " expected to have 2 numbers separated by comma, but got " + *text);
  }
  auto millis = [&](std::string_view part) {
    const auto count = parse_unsigned(part);
    if (!count) {
      fatal("Duration value in variable " + std::string(name) +
            " is expected to be a number, but got " + std::string(part));
    }
    return *count;
  };
  const std::uint64_t warn = millis(std::string_view(*text).substr(0, comma));
  const std::uint64_t critical = millis(std::string_view(*text).substr(comma + 1));
  if (warn > critical) {
    fatal("Test execution warn time should be less or equal to the critical time");
  }
  // A count of milliseconds beyond what nanoseconds can hold (about 292
  // years) is kept as the largest duration rather than wrapping around.
  auto duration = [](std::uint64_t ms) {
    using std::chrono::nanoseconds;
    constexpr auto kMaxMillis = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(nanoseconds::max()).count());
    return ms > kMaxMillis ? nanoseconds::max()
                           : nanoseconds(std::chrono::milliseconds(static_cast<std::int64_t>(ms)));
  };
  return TimeThreshold{duration(warn), duration(critical)};
}

std::vector<OptGroup> optgroups() {
  return {
      flag("", "include-ignored", "Run ignored and not ignored tests"),
      flag("", "ignored", "Run only ignored tests"),
      flag("", "force-run-in-process", "Forces tests to run in-process when panic=abort"),
      flag("", "exclude-should-panic", "Excludes tests marked as should_panic"),
      flag("", "test", "Run tests and not benchmarks"),
      flag("", "bench", "Run benchmarks instead of tests"),
      flag("", "list", "List all tests and benchmarks"),
      flag("", "fail-fast", "Don't start new tests after the first failure"),
      flag("h", "help", "Display this message"),
      value("", "logfile", "PATH", "Write logs to the specified file (deprecated)"),
      flag("", "no-capture", "don't capture stdout/stderr of each task, allow printing directly"),
      value("", "test-threads", "n_threads",
            "Number of threads used for running tests in parallel"),
      value("", "skip", "FILTER",
            "Skip tests whose names contain FILTER (this flag can be used multiple times)",
            Kind::Multi),
      flag("q", "quiet",
           "Display one character per test instead of one line. Alias to --format=terse"),
      flag("", "exact", "Exactly match filters rather than by substring"),
      value("", "color", "auto|always|never", kColorDesc),
      value("", "format", "pretty|terse|json|junit", kFormatDesc),
      flag("", "show-output", "Show captured stdout of successful tests"),
      value("Z", "", "unstable-options", kUnstableDesc),
      flag("", "report-time", kReportTimeDesc),
      flag("", "ensure-time", kEnsureTimeDesc),
      flag("", "shuffle", "Run tests in random order"),
      value("", "shuffle-seed", "SEED",
            "Run tests in random order; seed the random number generator with SEED"),
  };
}

std::string usage_text(const std::string& program, const std::vector<OptGroup>& groups) {
  bool any_short = false;
  for (const auto& option : groups) any_short = any_short || !option.short_name.empty();

  std::string text = "Usage: " + program + " [OPTIONS] [FILTERS...]\n\nOptions:\n";
  for (std::size_t i = 0; i < groups.size(); ++i) {
    if (i > 0) text += "\n";
    text += usage_entry(groups[i], any_short);
  }
  text += "\n";
  text += kHelpNotes;
  text += kTestAttributes;
  return text;
}

void usage(const std::string& program, const std::vector<OptGroup>& groups) {
  std::cout << usage_text(program, groups) << std::flush;
}

ParseOutcome parse_opts(const std::vector<std::string>& args) {
  // The help is built from a fresh table, so "--nocapture" never shows in it.
  std::vector<OptGroup> table = optgroups();
  table.push_back(flag("", "nocapture", "Deprecated, use `--no-capture`"));

  const std::span<const std::string> rest =
      args.empty() ? std::span<const std::string>() : std::span(args).subspan(1);
  auto parsed = parse_options(rest, table);
  if (!parsed) return ParseError{parsed.error()};
  const OptionMatches& m = *parsed;

  if (m.present("help")) {
    usage(args.empty() ? "..." : args.front(), optgroups());
    return HelpShown{};
  }

  bool unstable = false;
  if (const auto z = m.value("Z")) {
    if (!env_text("RUSTC_BOOTSTRAP")) {
      return ParseError{"the option `Z` is only accepted on the nightly compiler"};
    }
    if (*z != "unstable-options") return ParseError{"Unrecognized option to `Z`"};
    unstable = true;
  }

  for (const char* gated : {"force-run-in-process", "exclude-should-panic", "fail-fast",
                            "report-time", "ensure-time"}) {
    if (!unstable && m.present(gated)) return ParseError{gated_message("flag", gated)};
  }

  TestOpts opts;
  opts.force_run_in_process = m.present("force-run-in-process");
  opts.exclude_expect_failure = m.present("exclude-should-panic");

  if (m.present("report-time") || m.present("ensure-time")) {
    TestTimeOptions time;
    time.error_on_excess = m.present("ensure-time");
    if (auto t = TimeThreshold::from_env_var("RUST_TEST_TIME_UNIT")) time.unit_threshold = *t;
    if (auto t = TimeThreshold::from_env_var("RUST_TEST_TIME_INTEGRATION")) {
      time.integration_threshold = *t;
    }
    if (auto t = TimeThreshold::from_env_var("RUST_TEST_TIME_DOCTEST")) {
      time.doctest_threshold = *t;
    }
    opts.time_options = time;
  }

  if (m.present("shuffle")) {
    if (!unstable) return ParseError{gated_message("flag", "shuffle")};
    opts.shuffle = true;
  } else if (unstable) {
    opts.shuffle = env_switch("RUST_TEST_SHUFFLE");
  }

  if (const auto seed = m.value("shuffle-seed")) {
    if (!unstable) return ParseError{gated_message("option", "shuffle-seed")};
    const auto number = parse_unsigned(*seed);
    if (!number) {
      return ParseError{"argument for --shuffle-seed must be a number (error: " + number.error() +
                        ")"};
    }
    opts.shuffle_seed = *number;
  } else if (unstable) {
    if (const auto text = env_text("RUST_TEST_SHUFFLE_SEED")) {
      const auto number = parse_unsigned(*text);
      if (!number) fatal("RUST_TEST_SHUFFLE_SEED is `" + *text + "`, should be a number.");
      opts.shuffle_seed = *number;
    }
  }

  const bool include_ignored = m.present("include-ignored");
  const bool quiet = m.present("quiet");
  opts.exact = m.present("exact");
  opts.list = m.present("list");
  opts.skip = m.values("skip");
  opts.run_benchmarks = m.present("bench");
  opts.run_tests = !opts.run_benchmarks || m.present("test");
  opts.logfile = m.value("logfile");

  if (include_ignored && m.present("ignored")) {
    return ParseError{"the options --include-ignored and --ignored are mutually exclusive"};
  }
  if (include_ignored) {
    opts.run_ignored = RunIgnored::Yes;
  } else if (m.present("ignored")) {
    opts.run_ignored = RunIgnored::Only;
  }
  opts.filters = m.free;

  opts.nocapture =
      m.present("nocapture") || m.present("no-capture") || env_switch("RUST_TEST_NOCAPTURE");

  if (const auto threads = m.value("test-threads")) {
    const auto number = parse_unsigned(*threads);
    if (number && *number == 0) return ParseError{"argument for --test-threads must not be 0"};
    if (!number) {
      return ParseError{
          "argument for --test-threads must be a number > 0 (error: " + number.error() + ")"};
    }
    opts.test_threads = static_cast<std::size_t>(*number);
  }

  const std::string color = m.value("color").value_or("auto");
  if (color == "auto") {
    opts.color = ColorConfig::Auto;
  } else if (color == "always") {
    opts.color = ColorConfig::Always;
  } else if (color == "never") {
    opts.color = ColorConfig::Never;
  } else {
    return ParseError{"argument for --color must be auto, always, or never (was " + color + ")"};
  }

  if (const auto format = m.value("format")) {
    if (*format == "pretty") {
      opts.format = OutputFormat::Pretty;
    } else if (*format == "terse") {
      opts.format = OutputFormat::Terse;
    } else if (*format == "json" || *format == "junit") {
      if (!unstable) return ParseError{gated_message("format", *format)};
      opts.format = *format == "json" ? OutputFormat::Json : OutputFormat::Junit;
    } else {
      return ParseError{"argument for --format must be pretty, terse, json or junit (was " +
                        *format + ")"};
    }
  } else {
    opts.format = quiet ? OutputFormat::Terse : OutputFormat::Pretty;
  }

  opts.show_output = m.present("show-output");
  opts.fail_fast = m.present("fail-fast");

  auto engine = read_engine_requests();
  if (!engine) return ParseError{engine.error()};
  opts.engine = std::move(*engine);
  // A build engine's test filter stands in for a filter the command line does not give.
  if (opts.filters.empty() && opts.engine.test_only) opts.filters.push_back(*opts.engine.test_only);

  if (opts.logfile) {
    // A warning that cannot be written is not worth failing the run for.
    std::fputs("warning: `--logfile` is deprecated", stderr);
    std::fflush(stderr);
  }
  return opts;
}

}  // namespace harness
