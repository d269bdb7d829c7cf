// How long a runner may run, and following a runner to its end: a runner
// still running at its deadline is stopped as a stop by signal stops it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "runner_output.h"

namespace zel_runtime {

// How long a runner may run ("ZEL_RUNNER_TIMEOUT"), and the value as given.
struct RunnerBound {
  std::chrono::nanoseconds duration;
  std::string text;
};

// "ZEL_RUNNER_TIMEOUT": nothing when empty; seconds as digits with an
// optional fraction ("600", "2.5", "0600"), above 0 and at most 604800;
// anything else is one line naming the variable and its value.
std::expected<std::optional<RunnerBound>, std::string> parse_runner_bound(std::string_view text);

// Follows the runner until it has exited, reading its output into `tail`
// when there is a pipe (`read_fd` >= 0) until its end or the runner's exit (a
// process it started may keep the pipe open). A runner still running at
// `deadline` gets SIGTERM, and SIGKILL once the grace period has passed too.
// Returns whether the deadline was reached. Without a pidfd (a kernel before
// 5.3) the bound cannot be kept: the output is read to its end and the wait
// that follows blocks.
bool follow_runner(pid_t pid, int read_fd, OutputTail* tail,
                   std::optional<std::chrono::steady_clock::time_point> deadline);

}  // namespace zel_runtime
