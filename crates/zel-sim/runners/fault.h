// Fault injection for people and tests, from "ZEL_SIM_FAULT": rules separated
// by ",", each ACTION or RUNNER=ACTION. Actions: exit:N (end with code N),
// signal:N (end by signal N), corrupt (flip one byte of the first D2H batch)
// and sleep:S (wait S seconds, fractions allowed). Rules naming another runner
// are skipped; the rest apply in order before the scenario runs.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zel_sim::runner {

inline constexpr std::string_view kRunnerNames[] = {"zel-host-e2e", "zel-hardware-e2e",
                                                    "zel-randomized-e2e", "zel-gemm-e2e",
                                                    "zel-attention-f16-e2e"};

struct FaultRule {
  enum class Action { Exit, Signal, Corrupt, Sleep };
  Action action;
  int number = 0;      // exit code or signal
  double seconds = 0;  // sleep
  bool operator==(const FaultRule&) const = default;
};

// The rules of `value` that apply to `runner`, or the message naming the
// first malformed rule.
std::expected<std::vector<FaultRule>, std::string> parse_faults(std::string_view runner,
                                                                std::optional<std::string> value);

// Applies the rules in order: sleeps, or ends the process by exit or signal.
// Returns whether a corrupt rule was seen before that.
bool apply_faults(const std::vector<FaultRule>& rules);

}  // namespace zel_sim::runner
