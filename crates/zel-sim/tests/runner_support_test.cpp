// What every runner shares: reading numbers, tiles, flags and jitter from its
// variables, and the fault rules.
#include <gtest/gtest.h>

#include "check.h"
#include "fault.h"
#include "runner.h"

namespace zel_sim::runner {
namespace {

TEST(Parse, DecimalHexAndListsAcceptOnlyTheirPlainForms) {
  struct Case {
    const char* text;
    std::optional<std::uint64_t> decimal;
    std::optional<std::uint64_t> hex;
  };
  for (const Case& c : {
           Case{"0", 0, std::nullopt},
           Case{"1471", 1471, std::nullopt},
           Case{"007", 7, std::nullopt},
           Case{"18446744073709551615", UINT64_MAX, std::nullopt},
           Case{"18446744073709551616", std::nullopt, std::nullopt},
           Case{"0x60000", std::nullopt, 0x60000},
           Case{"0X6fFfF", std::nullopt, 0x6ffff},
           Case{"0xffffffffffffffff", std::nullopt, UINT64_MAX},
           Case{"0x10000000000000000", std::nullopt, std::nullopt},
           Case{"0x", std::nullopt, std::nullopt},
           Case{"60000", 60000, std::nullopt},
           Case{"", std::nullopt, std::nullopt},
           Case{"+1", std::nullopt, std::nullopt},
           Case{"-1", std::nullopt, std::nullopt},
           Case{" 1", std::nullopt, std::nullopt},
           Case{"1 ", std::nullopt, std::nullopt},
           Case{"1e3", std::nullopt, std::nullopt},
       }) {
    EXPECT_EQ(parse_decimal(c.text), c.decimal) << c.text;
    EXPECT_EQ(parse_hex(c.text), c.hex) << c.text;
  }
  EXPECT_EQ(parse_decimal_list("1471,274"), (std::vector<std::uint64_t>{1471, 274}));
  EXPECT_EQ(parse_decimal_list("5"), (std::vector<std::uint64_t>{5}));
  for (const char* bad : {"", ",", "1,", ",1", "1,,2", "1, 2", "1;2"}) {
    EXPECT_EQ(parse_decimal_list(bad), std::nullopt) << bad;
  }
}

TEST(Environment, AnEmptyValueCountsAsUnset) {
  const Environment env({{"ZEL_HOST_TEST_TILE", ""}, {"ZEL_HOST_TEST_BYTES", "64"}});
  EXPECT_EQ(env.get("ZEL_HOST_TEST_TILE"), std::nullopt);
  EXPECT_EQ(env.get("ZEL_HOST_TEST_BYTES"), "64");
  EXPECT_EQ(env.get("ZEL_HOST_TEST_ADDRESS"), std::nullopt);
  EXPECT_EQ(*read_tile(env, "ZEL_HOST_TEST_TILE", 9), 9);
}

TEST(ReadVariables, BadValuesNameTheVariableAndTheValue) {
  const Environment env({{"TILE", "1472"},
                         {"NEG", "-3"},
                         {"FLAG", "yes"},
                         {"ON", "1"},
                         {"OFF", "0"},
                         {"ZEL_HOST_WRITE_JITTER_MAX_US", "1000001"}});
  EXPECT_EQ(read_tile(env, "TILE", 0).error().message,
            "TILE is \"1472\", expected a tile number from 0 to 1471");
  EXPECT_EQ(read_tile(env, "TILE", 0).error().exit_code, 2);
  EXPECT_EQ(read_decimal(env, "NEG", 1, 1, 10, "a count").error().message,
            "NEG is \"-3\", expected a count");
  EXPECT_EQ(read_flag(env, "FLAG").error().message,
            "FLAG is \"yes\", expected \"1\" (on) or \"0\" (off)");
  EXPECT_TRUE(*read_flag(env, "ON"));
  EXPECT_FALSE(*read_flag(env, "OFF"));
  EXPECT_FALSE(*read_flag(env, "UNSET"));
  EXPECT_EQ(read_jitter(env).error().message,
            "ZEL_HOST_WRITE_JITTER_MAX_US is \"1000001\", expected a delay in microseconds from "
            "0 to 1000000");
}

TEST(ReadVariables, JitterSettings) {
  const auto settings = [](std::map<std::string, std::string> values) {
    return read_jitter(Environment(std::move(values)));
  };
  EXPECT_FALSE(settings({})->enabled());
  EXPECT_FALSE(settings({{"ZEL_HOST_WRITE_JITTER_SEED", ""}})->enabled());
  EXPECT_EQ(settings({{"ZEL_HOST_WRITE_JITTER_SEED", "7"}})->seed, 7u);
  EXPECT_EQ(settings({{"ZEL_HOST_WRITE_JITTER_MAX_US", "250"}})->max_delay_us, 250u);
  EXPECT_EQ(settings({{"ZEL_HOST_WRITE_JITTER_SEED", "0x7"}}).error().message,
            "ZEL_HOST_WRITE_JITTER_SEED is \"0x7\", expected an unsigned 64-bit decimal number");
}

TEST(FaultRules, ParseInOrderAndKeepOnlyThisRunners) {
  using Action = FaultRule::Action;
  const auto rules = parse_faults(
      "zel-gemm-e2e", "sleep:0.5,zel-host-e2e=exit:3,zel-gemm-e2e=signal:9,corrupt,exit:0");
  ASSERT_TRUE(rules.has_value()) << rules.error();
  EXPECT_EQ(*rules, (std::vector<FaultRule>{{Action::Sleep, 0, 0.5},
                                            {Action::Signal, 9, 0},
                                            {Action::Corrupt, 0, 0},
                                            {Action::Exit, 0, 0}}));
  EXPECT_TRUE(parse_faults("zel-gemm-e2e", std::nullopt)->empty());
  EXPECT_TRUE(parse_faults("zel-host-e2e", "zel-gemm-e2e=exit:1")->empty());
  EXPECT_EQ(parse_faults("zel-host-e2e", "exit:255")->front().number, 255);
  EXPECT_EQ(parse_faults("zel-host-e2e", "sleep:2")->front().seconds, 2.0);
}

TEST(FaultRules, MalformedRulesAreNamed) {
  const std::string actions =
      "expected ACTION or RUNNER=ACTION, ACTION one of exit:N, signal:N, corrupt, sleep:S";
  const std::string signals = "expected signal:N with N a signal from 1 to " +
                              std::to_string(SIGRTMAX) + " whose default action ends the process";
  struct Case {
    const char* value;
    std::string message;
  };
  for (const Case& c : {
           Case{"explode", "ZEL_SIM_FAULT rule \"explode\" is malformed, " + actions},
           Case{"exit:1,", "ZEL_SIM_FAULT rule \"\" is malformed, " + actions},
           Case{"corrupt,,exit:1", "ZEL_SIM_FAULT rule \"\" is malformed, " + actions},
           Case{"Corrupt", "ZEL_SIM_FAULT rule \"Corrupt\" is malformed, " + actions},
           Case{"exit:256",
                "ZEL_SIM_FAULT rule \"exit:256\" is malformed, expected exit:N with N from 0 to "
                "255"},
           Case{"exit:",
                "ZEL_SIM_FAULT rule \"exit:\" is malformed, expected exit:N with N from "
                "0 to 255"},
           Case{"signal:0", "ZEL_SIM_FAULT rule \"signal:0\" is malformed, " + signals},
           Case{"signal:19", "ZEL_SIM_FAULT rule \"signal:19\" is malformed, " + signals},
           Case{"signal:17", "ZEL_SIM_FAULT rule \"signal:17\" is malformed, " + signals},
           Case{"signal:99999999999999999999",
                "ZEL_SIM_FAULT rule \"signal:99999999999999999999\" is malformed, " + signals},
           Case{"sleep:-1",
                "ZEL_SIM_FAULT rule \"sleep:-1\" is malformed, expected sleep:S with "
                "S seconds from 0 to 3600"},
           Case{"sleep:1.",
                "ZEL_SIM_FAULT rule \"sleep:1.\" is malformed, expected sleep:S with "
                "S seconds from 0 to 3600"},
           Case{"sleep:1e2",
                "ZEL_SIM_FAULT rule \"sleep:1e2\" is malformed, expected sleep:S "
                "with S seconds from 0 to 3600"},
           Case{"sleep:3601",
                "ZEL_SIM_FAULT rule \"sleep:3601\" is malformed, expected sleep:S "
                "with S seconds from 0 to 3600"},
           // Rules for other runners are checked too.
           Case{"zel-host-e2e=exit:x",
                "ZEL_SIM_FAULT rule \"zel-host-e2e=exit:x\" is malformed, "
                "expected exit:N with N from 0 to 255"},
           Case{"zel-gpu-e2e=exit:1",
                "ZEL_SIM_FAULT rule \"zel-gpu-e2e=exit:1\" is malformed, expected a runner name "
                "before \"=\": zel-host-e2e, zel-hardware-e2e, zel-randomized-e2e, zel-gemm-e2e "
                "or zel-attention-f16-e2e"},
           Case{"=exit:1",
                "ZEL_SIM_FAULT rule \"=exit:1\" is malformed, expected a runner name "
                "before \"=\": zel-host-e2e, zel-hardware-e2e, zel-randomized-e2e, "
                "zel-gemm-e2e or zel-attention-f16-e2e"},
       }) {
    const auto rules = parse_faults("zel-gemm-e2e", c.value);
    ASSERT_FALSE(rules.has_value()) << c.value;
    EXPECT_EQ(rules.error(), c.message);
  }
}

TEST(FaultRules, ApplyingSleepsAndCorruptDoesNotEndTheProcess) {
  using Action = FaultRule::Action;
  EXPECT_FALSE(apply_faults({}));
  EXPECT_TRUE(apply_faults({{Action::Sleep, 0, 0.001}, {Action::Corrupt, 0, 0}}));
}

TEST(FaultRulesDeathTest, ExitAndSignalEndTheProcess) {
  using Action = FaultRule::Action;
  EXPECT_EXIT(apply_faults({{Action::Exit, 7, 0}, {Action::Exit, 8, 0}}),
              ::testing::ExitedWithCode(7), "");
  EXPECT_EXIT(apply_faults({{Action::Signal, SIGTERM, 0}}), ::testing::KilledBySignal(SIGTERM), "");
}

TEST(Check, TheFirstMismatchNamesTileAddressExpectedAndFound) {
  const std::vector<std::uint8_t> want = {1, 2, 3, 4};
  const std::vector<std::uint8_t> same = {1, 2, 3, 4};
  const std::vector<std::uint8_t> off = {1, 2, 0xa3, 0xff};
  EXPECT_TRUE(compare_bytes("x", 5, 0x1000, want, same).has_value());
  const auto failure = compare_bytes("invocation 2 of 3", 1471, 0x1000, want, off);
  ASSERT_FALSE(failure.has_value());
  EXPECT_EQ(failure.error().exit_code, 1);
  EXPECT_EQ(
      failure.error().message,
      "invocation 2 of 3: mismatch on tile 1471 at address 0x1002: expected 0x03, found 0xa3");
}

}  // namespace
}  // namespace zel_sim::runner
