// Parsing and applying "ZEL_SIM_FAULT" rules.
#include "fault.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include "text.h"

#include "runner.h"
#include "zel_text.h"

namespace zel_sim::runner {

namespace {

constexpr std::string_view kActions =
    "ACTION or RUNNER=ACTION, ACTION one of exit:N, signal:N, corrupt, sleep:S";

// Signals whose default action stops the process or does nothing: the runner
// would not end, and a test waiting for it could hang.
bool ends_process(int signal) {
  switch (signal) {
    case SIGSTOP:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
    case SIGCHLD:
    case SIGCONT:
    case SIGURG:
    case SIGWINCH:
      return false;
    default:
      return signal >= 1 && signal <= SIGRTMAX;
  }
}

// "1.5" or "2": digits with an optional fraction, nothing else.
std::optional<double> parse_seconds(std::string_view text) {
  const std::size_t dot = text.find('.');
  const auto whole = text.substr(0, dot);
  const auto fraction = dot == std::string_view::npos ? std::string_view{} : text.substr(dot + 1);
  const auto digits = [](std::string_view part) {
    return std::ranges::all_of(part, [](char c) { return c >= '0' && c <= '9'; });
  };
  if (whole.empty() || !digits(whole) || !digits(fraction)) return std::nullopt;
  if (dot != std::string_view::npos && fraction.empty()) return std::nullopt;
  double seconds = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return seconds;
}

std::expected<FaultRule, std::string> parse_action(std::string_view rule, std::string_view action) {
  const auto malformed = [&](std::string_view expected) {
    return std::unexpected(cat("ZEL_SIM_FAULT rule ", zel_text::debug_quoted(rule),
                               " is malformed, expected ", expected));
  };
  if (action == "corrupt") return FaultRule{FaultRule::Action::Corrupt};
  if (action.starts_with("exit:")) {
    const auto code = parse_decimal(action.substr(5));
    if (!code || *code > 255) return malformed("exit:N with N from 0 to 255");
    return FaultRule{FaultRule::Action::Exit, static_cast<int>(*code)};
  }
  if (action.starts_with("signal:")) {
    const auto signal = parse_decimal(action.substr(7));
    if (!signal || *signal > 1000 || !ends_process(static_cast<int>(*signal))) {
      return malformed(cat("signal:N with N a signal from 1 to ", SIGRTMAX,
                           " whose default action ends the process"));
    }
    return FaultRule{FaultRule::Action::Signal, static_cast<int>(*signal)};
  }
  if (action.starts_with("sleep:")) {
    const auto seconds = parse_seconds(action.substr(6));
    if (!seconds || *seconds > 3600) return malformed("sleep:S with S seconds from 0 to 3600");
    return FaultRule{FaultRule::Action::Sleep, 0, *seconds};
  }
  return malformed(kActions);
}

}  // namespace

std::expected<std::vector<FaultRule>, std::string> parse_faults(std::string_view runner,
                                                                std::optional<std::string> value) {
  std::vector<FaultRule> rules;
  if (!value) return rules;
  std::string_view rest = *value;
  while (true) {
    const std::size_t comma = rest.find(',');
    const std::string_view rule = rest.substr(0, comma);
    std::string_view action = rule;
    bool applies = true;
    if (const std::size_t equals = rule.find('='); equals != std::string_view::npos) {
      const std::string_view name = rule.substr(0, equals);
      if (std::ranges::find(kRunnerNames, name) == std::end(kRunnerNames)) {
        return std::unexpected(
            cat("ZEL_SIM_FAULT rule ", zel_text::debug_quoted(rule),
                " is malformed, expected a runner name before \"=\": zel-host-e2e, "
                "zel-hardware-e2e, zel-randomized-e2e, zel-gemm-e2e or zel-attention-f16-e2e"));
      }
      applies = name == runner;
      action = rule.substr(equals + 1);
    }
    // Rules for other runners are checked too, so a typo never goes unnoticed.
    auto parsed = parse_action(rule, action);
    if (!parsed) return std::unexpected(parsed.error());
    if (applies) rules.push_back(*parsed);
    if (comma == std::string_view::npos) return rules;
    rest.remove_prefix(comma + 1);
  }
}

bool apply_faults(const std::vector<FaultRule>& rules) {
  bool corrupt = false;
  for (const FaultRule& rule : rules) {
    switch (rule.action) {
      case FaultRule::Action::Corrupt:
        corrupt = true;
        break;
      case FaultRule::Action::Sleep:
        std::this_thread::sleep_for(std::chrono::duration<double>(rule.seconds));
        break;
      case FaultRule::Action::Exit:
        std::fflush(nullptr);
        std::exit(rule.number);
      case FaultRule::Action::Signal: {
        std::fflush(nullptr);
        ::signal(rule.number, SIG_DFL);
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, rule.number);
        sigprocmask(SIG_UNBLOCK, &only, nullptr);
        ::raise(rule.number);
        // Not reached for the signals parse_faults accepts; never report success.
        ::_exit(128 + rule.number);
      }
    }
  }
  return corrupt;
}

}  // namespace zel_sim::runner
