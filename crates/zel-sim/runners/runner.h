// What the five runners share: reading and checking their variables, the
// failure value they end with, and the main loop (read everything, apply the
// fault rules, run the scenario on a fresh card, report).
//
// Exit codes: 0 the scenario ran and every check passed; 1 a check failed or
// the card refused the scenario; 2 a variable had a bad value. Every failure
// is one line on standard error, "RUNNER: message".
#pragma once

#include <cstdint>
#include <cstdio>
#include <expected>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "card.h"
#include "fault.h"
#include "jitter.h"

namespace zel_sim::runner {

inline constexpr int kCheckFailed = 1;
inline constexpr int kBadInput = 2;

struct Failure {
  int exit_code;
  std::string message;  // one line, without the runner's name
};

using Outcome = std::expected<void, Failure>;

// The runner's variables. A variable set to the empty text counts as unset.
class Environment {
 public:
  // The process environment.
  Environment() = default;
  // A fixed set of variables (tests).
  explicit Environment(std::map<std::string, std::string> values) : values_(std::move(values)) {}

  std::optional<std::string> get(const std::string& name) const;

 private:
  std::optional<std::map<std::string, std::string>> values_;
};

// VARIABLE is "value", expected ... (exit code 2)
Failure bad_value(std::string_view variable, std::string_view value, std::string_view expected);

// Plain decimal digits (no sign, no blanks) that fit 64 bits.
std::optional<std::uint64_t> parse_decimal(std::string_view text);
// "0x" (or "0X") and hexadecimal digits that fit 64 bits.
std::optional<std::uint64_t> parse_hex(std::string_view text);
// Decimal numbers joined by "," without blanks; at least one.
std::optional<std::vector<std::uint64_t>> parse_decimal_list(std::string_view text);

// A decimal number from `min` to `max`, or `fallback` when unset.
std::expected<std::uint64_t, Failure> read_decimal(const Environment& env, const std::string& name,
                                                   std::uint64_t fallback, std::uint64_t min,
                                                   std::uint64_t max, std::string_view expected);
// A tile number from 0 to 1471, or `fallback` when unset.
std::expected<std::uint16_t, Failure> read_tile(const Environment& env, const std::string& name,
                                                std::uint16_t fallback);
// "1" is on, "0" or unset is off; anything else is a bad value.
std::expected<bool, Failure> read_flag(const Environment& env, const std::string& name);
// "ZEL_HOST_WRITE_JITTER_MAX_US" (0 to 1000000) and "ZEL_HOST_WRITE_JITTER_SEED".
std::expected<JitterSettings, Failure> read_jitter(const Environment& env);

// ZEL_CARD, the card this runner drives: 1 to 64 characters of a-z, 0-9 and
// _; "0" when unset.
std::expected<std::string, Failure> read_card(const Environment& env);

// With ZEL_SIM_CARD_STATE_DIR set, holds a non-blocking exclusive flock on
// <dir>/card-<id>.busy for the rest of the process, so that a double booking
// of a simulated card fails: "card <id> busy" (exit code 1) when another
// runner holds it.
Outcome claim_card(const Environment& env, std::string_view id);

// The card refused something: exit code 1 with the card's description.
Failure card_failure(std::string_view context, const SimError& error);

// Everything a runner does before its scenario: its fault rules and jitter,
// then its own configuration.
template <class Config, class Configure, class Run>
int runner_main(std::string_view name, Configure configure, Run run) {
  const Environment env;
  const auto report = [&](const Failure& failure) {
    std::fprintf(stderr, "%.*s: %s\n", static_cast<int>(name.size()), name.data(),
                 failure.message.c_str());
    return failure.exit_code;
  };
  auto faults = parse_faults(name, env.get("ZEL_SIM_FAULT"));
  if (!faults) return report(Failure{kBadInput, faults.error()});
  auto jitter = read_jitter(env);
  if (!jitter) return report(jitter.error());
  std::expected<Config, Failure> config = configure(env);
  if (!config) return report(config.error());
  const auto card_id = read_card(env);
  if (!card_id) return report(card_id.error());
  // Claimed before the fault rules, so a slowed runner holds its card while it waits.
  if (auto claimed = claim_card(env, *card_id); !claimed) return report(claimed.error());
  const bool corrupt = apply_faults(*faults);
  Card card(*jitter);
  if (corrupt) card.corrupt_next_host_read();
  Outcome outcome = run(*config, card);
  if (!outcome) return report(outcome.error());
  return 0;
}

}  // namespace zel_sim::runner
