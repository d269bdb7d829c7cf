// Selection: name filters, skip texts, exact matching, expected failures and
// the ignore modes, always in registry order.
#include <gtest/gtest.h>

#include "core_test_support.h"
#include "harness/run.h"

namespace harness {
namespace {

using core_testing::passing;

std::vector<TestDescAndFn> registry() {
  std::vector<TestDescAndFn> tests = {passing("alpha"), passing("alpha_beta"), passing("beta"),
                                      passing("gamma"), passing("delta")};
  tests[3].desc.ignore = true;
  tests[4].desc.expect_failure = ExpectFailure::yes();
  return tests;
}

// Selected names in order; "(i)" marks a test still flagged ignored.
std::string selected(const TestOpts& opts) {
  std::string out;
  for (const auto& test : filter_tests(opts, registry())) {
    if (!out.empty()) out += ' ';
    out += test.desc.name.as_str();
    if (test.desc.ignore) out += "(i)";
  }
  return out;
}

struct SelectCase {
  const char* label;
  std::vector<std::string> filters;
  std::vector<std::string> skip;
  bool exact = false;
  bool exclude_expect_failure = false;
  RunIgnored run_ignored = RunIgnored::No;
  const char* expected;
};

TEST(FilterTests, SelectsByTheRulesInRegistryOrder) {
  // clang-format off
  const SelectCase cases[] = {
      {"no filter keeps all", {}, {}, false, false, RunIgnored::No,
       "alpha alpha_beta beta gamma(i) delta"},
      {"empty filter matches every name", {""}, {}, false, false, RunIgnored::No,
       "alpha alpha_beta beta gamma(i) delta"},
      {"empty skip removes every name", {}, {""}, false, false, RunIgnored::No, ""},
      {"substring filter", {"alpha"}, {}, false, false, RunIgnored::No, "alpha alpha_beta"},
      {"substring in the middle", {"ha_b"}, {}, false, false, RunIgnored::No, "alpha_beta"},
      {"case-sensitive", {"ALPHA"}, {}, false, false, RunIgnored::No, ""},
      {"any of several filters, registry order kept", {"gamma", "beta"}, {}, false, false,
       RunIgnored::No, "alpha_beta beta gamma(i)"},
      {"exact filter takes whole names only", {"alpha"}, {}, true, false, RunIgnored::No, "alpha"},
      {"exact filter with a prefix selects nothing", {"alp"}, {}, true, false, RunIgnored::No, ""},
      {"filter and skip: skip wins", {"alpha"}, {"beta"}, false, false, RunIgnored::No, "alpha"},
      {"exact skip", {}, {"alpha"}, true, false, RunIgnored::No,
       "alpha_beta beta gamma(i) delta"},
      {"exclude expected failures", {}, {}, false, true, RunIgnored::No,
       "alpha alpha_beta beta gamma(i)"},
      {"ignored only, flag cleared", {}, {}, false, false, RunIgnored::Only, "gamma"},
      {"ignored included, flags cleared", {}, {}, false, false, RunIgnored::Yes,
       "alpha alpha_beta beta gamma delta"},
      {"ignored only after a filter", {"alpha"}, {}, false, false, RunIgnored::Only, ""},
  };
  // clang-format on
  for (const auto& c : cases) {
    TestOpts opts;
    opts.filters = c.filters;
    opts.skip = c.skip;
    opts.exact = c.exact;
    opts.exclude_expect_failure = c.exclude_expect_failure;
    opts.run_ignored = c.run_ignored;
    EXPECT_EQ(selected(opts), c.expected) << c.label;
  }
}

}  // namespace
}  // namespace harness
