// Sharding: the shards of a selection are disjoint, together they are the
// unsharded selection in its order, and bad shard variables are refused by
// name.
#include <gtest/gtest.h>

#include <algorithm>

#include "core_test_support.h"
#include "engine_protocol.h"
#include "harness/cli.h"
#include "harness/run.h"
#include "scoped_env.h"

namespace harness {
namespace {

using core_testing::passing;

std::vector<TestDescAndFn> registry(std::size_t count) {
  std::vector<TestDescAndFn> tests;
  for (std::size_t i = 0; i < count; ++i) tests.push_back(passing("t" + std::to_string(i)));
  return tests;
}

std::vector<std::string> names(const std::vector<TestDescAndFn>& tests) {
  std::vector<std::string> out;
  for (const auto& test : tests) out.emplace_back(test.desc.name.as_str());
  return out;
}

TEST(Sharding, ShardsPartitionTheFilteredSelectionInOrder) {
  for (const std::size_t count : {0u, 1u, 7u, 23u}) {
    for (const std::uint64_t total : {1u, 2u, 3u, 5u, 30u}) {
      TestOpts opts;
      opts.skip = {"t1"};  // the filters come first: positions count among the selected
      const std::vector<std::string> unsharded = names(filter_tests(opts, registry(count)));
      std::vector<std::string> seen;
      for (std::uint64_t index = 0; index < total; ++index) {
        opts.engine.shard = Shard{total, index};
        const auto shard = names(filter_tests(opts, registry(count)));
        for (std::size_t k = 0; k < shard.size(); ++k) {
          EXPECT_EQ(shard[k], unsharded[index + k * total]) << count << " " << total;
        }
        seen.insert(seen.end(), shard.begin(), shard.end());
      }
      std::sort(seen.begin(), seen.end());
      std::vector<std::string> expected = unsharded;
      std::sort(expected.begin(), expected.end());
      EXPECT_EQ(seen, expected) << count << " tests, " << total << " shards";
    }
  }
}

TEST(Sharding, VariablesAreReadWithTheOptions) {
  const char* const kVariables[] = {"TEST_TOTAL_SHARDS", "TEST_SHARD_INDEX",
                                    "TEST_SHARD_STATUS_FILE", "XML_OUTPUT_FILE",
                                    "TEST_PREMATURE_EXIT_FILE"};
  struct Case {
    const char* total;  // nullptr: unset
    const char* index;
    std::string error;  // empty: accepted
  };
  const Case cases[] = {
      {nullptr, nullptr, ""},
      {"3", "2", ""},
      {"1", "0", ""},
      {"+4", "03", ""},
      {"3", nullptr,
       "TEST_TOTAL_SHARDS is set but TEST_SHARD_INDEX is not; a test engine sets both"},
      {nullptr, "0",
       "TEST_SHARD_INDEX is set but TEST_TOTAL_SHARDS is not; a test engine sets both"},
      {"0", "0", "TEST_TOTAL_SHARDS is \"0\", expected at least 1 shard"},
      {"3", "3", "TEST_SHARD_INDEX is \"3\", expected an index below TEST_TOTAL_SHARDS (3)"},
      {"two", "0",
       "TEST_TOTAL_SHARDS is \"two\", expected a decimal number (invalid digit found in string)"},
      {"2", "",
       "TEST_SHARD_INDEX is \"\", expected a decimal number (cannot parse integer from "
       "empty string)"},
      {"2", "-1",
       "TEST_SHARD_INDEX is \"-1\", expected a decimal number (invalid digit found in string)"},
  };
  for (const Case& c : cases) {
    ScopedEnv env;
    for (const char* name : kVariables) env.unset(name);
    if (c.total) env.set("TEST_TOTAL_SHARDS", c.total);
    if (c.index) env.set("TEST_SHARD_INDEX", c.index);
    const ParseOutcome parsed = parse_opts({"prog", "--list"});
    if (c.error.empty()) {
      ASSERT_TRUE(std::holds_alternative<TestOpts>(parsed)) << c.total << " " << c.index;
      const TestOpts& opts = std::get<TestOpts>(parsed);
      EXPECT_EQ(opts.engine.shard.has_value(), c.total != nullptr);
      // With no variable set the options are exactly the defaults.
      if (!c.total) {
        EXPECT_EQ(opts.engine, EngineRequests{});
      }
    } else {
      ASSERT_TRUE(std::holds_alternative<ParseError>(parsed)) << c.error;
      EXPECT_EQ(std::get<ParseError>(parsed).message, c.error);
    }
  }
  // Help is shown whatever the shard variables say.
  ScopedEnv env;
  env.set("TEST_TOTAL_SHARDS", "0");
  env.unset("TEST_SHARD_INDEX");
  testing::internal::CaptureStdout();
  const ParseOutcome help = parse_opts({"prog", "--help"});
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(std::holds_alternative<HelpShown>(help));
}

}  // namespace
}  // namespace harness
