// The runner bound: its value, and the wait that keeps it.
#include "runner_bound.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "harness/debug.h"
#include "runner_registry.h"
#include "unique_fd.h"

namespace zel_runtime {

using namespace std::chrono_literals;

std::expected<std::optional<RunnerBound>, std::string> parse_runner_bound(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const auto bad = [&] {
    return std::unexpected("ZEL_RUNNER_TIMEOUT is " + harness::debug_str(text) +
                           ", expected seconds above 0 and at most 604800, such as 600 or 2.5");
  };
  const std::size_t point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
  const auto digits = [](std::string_view part) {
    return std::ranges::all_of(part, [](char c) { return c >= '0' && c <= '9'; });
  };
  if (whole.empty() || !digits(whole) || !digits(fraction) ||
      (point != std::string_view::npos && fraction.empty())) {
    return bad();
  }
  // Leading zeros may be many; what is left must be a week or less.
  const std::string_view significant =
      whole.substr(std::min(whole.find_first_not_of('0'), whole.size()));
  if (significant.size() > 6) return bad();
  std::int64_t seconds = 0;
  for (const char c : significant) seconds = seconds * 10 + (c - '0');
  std::int64_t nanoseconds = 0;
  for (std::size_t i = 0; i < 9; ++i) {
    nanoseconds = nanoseconds * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
  }
  const bool above_zero = seconds > 0 || fraction.find_first_not_of('0') != std::string_view::npos;
  if (!above_zero || seconds > 604800 ||
      (seconds == 604800 && fraction.find_first_not_of('0') != std::string_view::npos)) {
    return bad();
  }
  // Past nine decimals a bound still above zero is at least a nanosecond.
  const auto duration = std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanoseconds);
  return RunnerBound{std::max<std::chrono::nanoseconds>(duration, 1ns), std::string(text)};
}

bool follow_runner(pid_t pid, int read_fd, OutputTail* tail,
                   std::optional<std::chrono::steady_clock::time_point> deadline) {
  Fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (read_fd >= 0) ::fcntl(read_fd, F_SETFL, ::fcntl(read_fd, F_GETFL) | O_NONBLOCK);
  bool pipe_open = read_fd >= 0;
  bool exited = false;
  bool timed_out = false;
  for (;;) {
    if (pipe_open) pipe_open = read_available(read_fd, *tail);
    // Once the runner has exited, what is in the pipe is read and no more.
    if (exited || (pidfd.get() < 0 && !pipe_open)) return timed_out;
    int wait_ms = -1;
    if (deadline && pidfd.get() >= 0) {
      const auto left = *deadline - std::chrono::steady_clock::now();
      wait_ms = static_cast<int>(std::clamp<std::int64_t>(
          std::chrono::ceil<std::chrono::milliseconds>(left).count(), 0, 1 << 30));
    }
    pollfd fds[2] = {{pidfd.get(), POLLIN, 0}, {pipe_open ? read_fd : -1, POLLIN, 0}};
    const int ready = ::poll(fds, 2, wait_ms);
    if (ready < 0 && errno != EINTR) return timed_out;
    if ((fds[0].revents & POLLIN) != 0) {
      exited = true;
    } else if (ready == 0 && deadline) {
      // The bound is reached: the stop path's steps, for this runner alone.
      ::kill(pid, timed_out ? SIGKILL : SIGTERM);
      deadline =
          timed_out ? std::nullopt : std::optional(std::chrono::steady_clock::now() + kGracePeriod);
      timed_out = true;
    }
  }
}

}  // namespace zel_runtime
