// Harness variables: valid-text reading, the unsigned-number parse, and the
// worker count from "RUST_TEST_THREADS" or the processors available.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "env.h"
#include "harness/options.h"
#include "processors.h"
#include "scoped_env.h"

namespace harness {
namespace {

constexpr const char* kEmpty = "cannot parse integer from empty string";
constexpr const char* kDigit = "invalid digit found in string";
constexpr const char* kLarge = "number too large to fit in target type";

TEST(ParseUnsigned, AcceptsDigitsWithOptionalPlus) {
  const std::pair<const char*, std::uint64_t> cases[] = {
      {"0", 0},
      {"+0", 0},
      {"007", 7},
      {"+42", 42},
      {"18446744073709551615", 18446744073709551615ull},
      {"+00018446744073709551615", 18446744073709551615ull},
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(parse_unsigned(text), value) << text;
}

TEST(ParseUnsigned, GivesTheReasonOfTheFirstProblem) {
  const std::pair<const char*, const char*> cases[] = {
      {"", kEmpty},
      {"+", kDigit},
      {"-", kDigit},
      {"-1", kDigit},
      {"++1", kDigit},
      {" 1", kDigit},
      {"1 ", kDigit},
      {"1_000", kDigit},
      {"0x10", kDigit},
      {"\xd9\xa3", kDigit},  // a non-ASCII digit
      {"18446744073709551616", kLarge},
      {"99999999999999999999", kLarge},
      {"99999999999999999999x", kLarge},  // overflow is met before the bad digit
      {"x99999999999999999999", kDigit},
  };
  for (const auto& [text, reason] : cases) {
    const auto parsed = parse_unsigned(text);
    ASSERT_FALSE(parsed.has_value()) << text;
    EXPECT_EQ(parsed.error(), reason) << text;
  }
}

TEST(EnvText, TreatsInvalidUtf8AsUnset) {
  ScopedEnv env;
  env.unset("ZEL_CLI_TEST_VAR");
  EXPECT_EQ(env_text("ZEL_CLI_TEST_VAR"), std::nullopt);
  env.set("ZEL_CLI_TEST_VAR", "");
  EXPECT_EQ(env_text("ZEL_CLI_TEST_VAR"), "");
  env.set("ZEL_CLI_TEST_VAR", "caf\xc3\xa9");
  EXPECT_EQ(env_text("ZEL_CLI_TEST_VAR"), "caf\xc3\xa9");
  for (const char* bad : {"\xff", "caf\xc3", "\xed\xa0\x80", "\xc0\xaf"}) {
    env.set("ZEL_CLI_TEST_VAR", bad);
    EXPECT_EQ(env_text("ZEL_CLI_TEST_VAR"), std::nullopt);
  }
}

TEST(GetConcurrency, ReadsRustTestThreads) {
  ScopedEnv env;
  for (const auto& [text, count] : {std::pair{"1", 1u}, {"+3", 3u}, {"64", 64u}}) {
    env.set("RUST_TEST_THREADS", text);
    EXPECT_EQ(get_concurrency(), count) << text;
  }
}

TEST(GetConcurrency, DefaultsToAvailableProcessors) {
  ScopedEnv env;
  env.unset("RUST_TEST_THREADS");
  const std::size_t count = get_concurrency();
  EXPECT_GE(count, 1u);
  EXPECT_LE(count, affinity_processors().value_or(1));
  // Invalid text counts as unset.
  env.set("RUST_TEST_THREADS", "\xff");
  EXPECT_EQ(get_concurrency(), count);
}

TEST(GetConcurrency, BadRustTestThreadsIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const char* bad : {"0", "four", "", "-1", "+", "99999999999999999999"}) {
    ScopedEnv env;
    env.set("RUST_TEST_THREADS", bad);
    EXPECT_EXIT(get_concurrency(), testing::ExitedWithCode(101),
                testing::HasSubstr("RUST_TEST_THREADS is `" + std::string(bad) +
                                   "`, should be a positive integer.\n"))
        << bad;
  }
}

// A fake root with /proc/self/{cgroup,mountinfo} and a cgroup hierarchy.
class CgroupTree : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() /
            ("zel-cgroup-" + std::to_string(::getpid()) + "-" +
             testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_ / "proc/self");
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  void write(const std::string& relative, const std::string& text) {
    const auto path = root_ / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
  }

  std::filesystem::path root_;
};

constexpr const char* kV2Mount =
    "25 30 0:22 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw,nsdelegate\n";

TEST_F(CgroupTree, Version2TakesTheTightestQuotaUpTheTree) {
  write("proc/self/mountinfo", std::string("22 1 8:1 / / rw - ext4 /dev/sda1 rw\n") + kV2Mount);
  write("proc/self/cgroup", "0::/box/job\n");
  EXPECT_EQ(cgroup_processor_limit(root_), std::nullopt);  // no cpu.max anywhere

  write("sys/fs/cgroup/box/job/cpu.max", "max 100000\n");
  EXPECT_EQ(cgroup_processor_limit(root_), std::nullopt);
  write("sys/fs/cgroup/box/cpu.max", "350000 100000\n");
  EXPECT_EQ(cgroup_processor_limit(root_), 3u);  // whole processors, rounded down
  write("sys/fs/cgroup/box/job/cpu.max", "200000 100000\n");
  EXPECT_EQ(cgroup_processor_limit(root_), 2u);
  write("sys/fs/cgroup/box/job/cpu.max", "50000 100000\n");
  EXPECT_EQ(cgroup_processor_limit(root_), 1u);  // a fraction still allows one
  write("sys/fs/cgroup/box/job/cpu.max", "garbage\n");
  EXPECT_EQ(cgroup_processor_limit(root_), 3u);
}

TEST_F(CgroupTree, Version2InsideANamespaceRoot) {
  write("proc/self/mountinfo", kV2Mount);
  write("proc/self/cgroup", "0::/\n");
  write("sys/fs/cgroup/cpu.max", "400000 100000\n");
  EXPECT_EQ(cgroup_processor_limit(root_), 4u);
}

TEST_F(CgroupTree, Version1CfsQuota) {
  write("proc/self/mountinfo",
        "30 25 0:26 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"
        "31 25 0:27 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n");
  write("proc/self/cgroup", "5:memory:/job\n4:cpu,cpuacct:/job\n");
  write("sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "-1\n");
  write("sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_period_us", "100000\n");
  EXPECT_EQ(cgroup_processor_limit(root_), std::nullopt);
  write("sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_quota_us", "250000\n");
  EXPECT_EQ(cgroup_processor_limit(root_), 2u);
  write("sys/fs/cgroup/cpu,cpuacct/job/cpu.cfs_period_us", "0\n");
  EXPECT_EQ(cgroup_processor_limit(root_), std::nullopt);
}

TEST_F(CgroupTree, NoInformationMeansNoLimit) {
  EXPECT_EQ(cgroup_processor_limit(root_), std::nullopt);
  write("proc/self/cgroup", "0::/job\n");
  EXPECT_EQ(cgroup_processor_limit(root_), std::nullopt);  // no cgroup2 mount
}

}  // namespace
}  // namespace harness
