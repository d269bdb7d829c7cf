#include "launcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "runner_bound.h"
#include "runner_output.h"

namespace zel_runtime {
namespace {

TEST(OutputTail, KeepsTheEndAfterALineCountingWhatWasLeftOut) {
  const struct {
    std::vector<std::string_view> pieces;
    std::string text;
  } cases[] = {
      {{}, ""},
      {{"ab", "cd"}, "abcd"},
      {{"abc", "de"}, "[1 bytes of runner output left out; the last 4 follow]\nbcde"},
      {{"abcdef"}, "[2 bytes of runner output left out; the last 4 follow]\ncdef"},
      {{"a", "b", "c", "d", "e", "f", "g"},
       "[3 bytes of runner output left out; the last 4 follow]\ndefg"},
      {{"abc", "defghij", "k"}, "[7 bytes of runner output left out; the last 4 follow]\nhijk"},
      {{"abcd", "efg", "hi"}, "[5 bytes of runner output left out; the last 4 follow]\nfghi"},
  };
  for (const auto& c : cases) {
    OutputTail tail(4);
    for (const auto piece : c.pieces) tail.append(piece);
    std::ostringstream text;
    tail.write_to(text);
    EXPECT_EQ(text.str(), c.text);
  }
}

TEST(RunnerBound, AcceptsSecondsAboveZeroUpToAWeekAndNamesAnythingElse) {
  using std::chrono::nanoseconds;
  const struct {
    std::string_view text;
    std::optional<std::int64_t> ns;  // nothing: refused
  } cases[] = {
      {"600", 600'000'000'000},
      {"2.5", 2'500'000'000},
      {"0600", 600'000'000'000},
      {"0.001", 1'000'000},
      {"604800", 604800'000'000'000},
      {"604800.000", 604800'000'000'000},
      {"0.0000000001", 1},  // past nine decimals, still above zero
      {"0", {}},
      {"0.0", {}},
      {"604800.5", {}},
      {"604801", {}},
      {"-1", {}},
      {"+1", {}},
      {" 5", {}},
      {"5 ", {}},
      {"1e3", {}},
      {".5", {}},
      {"5.", {}},
      {"1.2.3", {}},
      {"abc", {}},
      {"99999999999999999999", {}},
  };
  for (const auto& c : cases) {
    const auto bound = parse_runner_bound(c.text);
    if (c.ns) {
      ASSERT_TRUE(bound && *bound) << c.text;
      EXPECT_EQ((*bound)->duration, nanoseconds(*c.ns)) << c.text;
      EXPECT_EQ((*bound)->text, c.text);
    } else {
      ASSERT_FALSE(bound) << c.text;
      EXPECT_EQ(bound.error(), "ZEL_RUNNER_TIMEOUT is \"" + std::string(c.text) +
                                   "\", expected seconds above 0 and at most 604800, such as "
                                   "600 or 2.5");
    }
  }
  const auto unset = parse_runner_bound("");
  ASSERT_TRUE(unset);
  EXPECT_FALSE(*unset);
}

TEST(RunnerCommandLine, QuotesOnlyWhatAShellWouldSplitOrExpand) {
  EXPECT_EQ(runner_command_line("/opt/zel/bin/zel-gemm-e2e",
                                {{"ZEL_CARD", "1"},
                                 {"ZEL_GEMM_DIMENSION", "128"},
                                 {"ZEL_PROFILE_OUTPUT", "/tmp/zel-stack-gemm-profile-4242.capnp"}}),
            "ZEL_CARD=1 ZEL_GEMM_DIMENSION=128 "
            "ZEL_PROFILE_OUTPUT=/tmp/zel-stack-gemm-profile-4242.capnp /opt/zel/bin/zel-gemm-e2e");
  EXPECT_EQ(runner_command_line("/my runners/x", {{"A", ""}, {"B", "it's $HOME"}}),
            "A='' B='it'\\''s $HOME' '/my runners/x'");
}

}  // namespace
}  // namespace zel_runtime
