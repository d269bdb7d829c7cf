// Starting a runner: the fork, the child's set-up before exec, the wait, and
// what its test's report gets of it.
#include "launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <utility>

#include "card.h"
#include "ending_signals.h"
#include "harness/debug.h"
#include "harness/options.h"
#include "harness/run.h"
#include "harness/stop.h"
#include "runner_output.h"
#include "runner_registry.h"
#include "unique_fd.h"

namespace zel_runtime {
namespace {

using namespace std::chrono_literals;

// Where runners write and how long they may run; set by `configure_launches`
// before any test starts.
struct LaunchSettings {
  bool stdout_to_stderr = false;
  bool capture_output = false;  // also: the runner's command and status in the report
  bool keep_details = false;    // ZEL_CAPTURE_RUNNER_OUTPUT is "1"
  std::optional<RunnerBound> bound;
};
LaunchSettings g_settings;

std::expected<std::pair<Fd, Fd>, OsError> make_pipe(const char* step) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(OsError{errno, step});
  return std::pair{Fd(fds[0]), Fd(fds[1])};
}

// What the child reports through the status pipe when a step before the
// runner's own code fails: the step and its errno. Nothing arrives when the
// exec succeeds (the pipe closes on exec).
struct ChildFailure {
  int step;
  int code;
};

constexpr const char* kChildSteps[] = {nullptr, "runner signal mask", "runner parent-death signal",
                                       "runner output redirection"};
enum ChildStep { kExec = 0, kMask = 1, kParentDeath = 2, kRedirect = 3 };

[[noreturn]] void fail_child(int status_fd, ChildStep step) {
  const ChildFailure failure{step, errno};
  [[maybe_unused]] const ssize_t n = ::write(status_fd, &failure, sizeof failure);
  ::_exit(127);
}

// Runs in the child between fork and exec: async-signal-safe calls only.
[[noreturn]] void become_runner(const char* program, char* const* argv, char* const* envp,
                                pid_t parent, int status_fd, int output_fd, bool stdout_to_stderr) {
  sigset_t none;
  sigemptyset(&none);
  if (::sigprocmask(SIG_SETMASK, &none, nullptr) != 0) fail_child(status_fd, kMask);
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  ::sigaction(SIGPIPE, &default_action, nullptr);
  // Fires when the thread that forked ends, which is the test thread waiting
  // for this runner: it ends only with the process.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) fail_child(status_fd, kParentDeath);
  if (::getppid() != parent) ::_exit(127);  // the program is already gone
  if (output_fd >= 0) {
    if (::dup2(output_fd, 1) < 0 || ::dup2(output_fd, 2) < 0) fail_child(status_fd, kRedirect);
  } else if (stdout_to_stderr) {
    if (::dup2(2, 1) < 0) fail_child(status_fd, kRedirect);
  }
  ::execve(program, argv, envp);
  fail_child(status_fd, kExec);
}

// The wait status of the ended child that `info` describes.
ExitStatus status_of(const siginfo_t& info) {
  if (info.si_code == CLD_EXITED) return ExitStatus{(info.si_status & 0xff) << 8};
  return ExitStatus{info.si_status | (info.si_code == CLD_DUMPED ? 0x80 : 0)};
}

// How the runner's end relates to a stop.
enum class RunnerEnd { BeforeTheStop, DuringTheStop };

// Waits until the runner `name` has ended without reaping it, so that its pid
// cannot be reused while the stop may still signal it; then forgets and reaps
// it. A runner that ended before any stop began leaves its test finishing on
// its own, which its activity says before the runner is reaped: whoever sees
// the runner gone sees the test's new activity.
std::expected<ExitStatus, OsError> wait_for(pid_t pid, const std::string& name,
                                            RunnerEnd* ended = nullptr) {
  siginfo_t info{};
  int error = 0;
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0) {
    if (errno != EINTR) {
      error = errno;
      break;
    }
  }
  {
    RunnerRegistry& r = runner_registry();
    std::unique_lock lock(r.mutex);
    if (!r.stopping) {
      if (error == 0) {
        harness::note_activity(
            "after its runner " + name + " ended (" + exit_status_text(status_of(info)) + ")",
            harness::Course::Finishing);
      }
      if (ended != nullptr) *ended = RunnerEnd::BeforeTheStop;
    }
    std::erase(r.runners, pid);
    r.changed.notify_all();
  }
  if (error != 0) return std::unexpected(OsError{error});
  int raw = 0;
  while (::waitpid(pid, &raw, 0) < 0) {
    if (errno != EINTR) return std::unexpected(OsError{errno});
  }
  return ExitStatus{raw};
}

std::string base_name(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "runner: exit status: 1 after 0.412 s"
std::string status_line(ExitStatus status, std::chrono::steady_clock::duration ran) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", std::chrono::duration<double>(ran).count());
  return "runner: " + exit_status_text(status) + " after " + seconds + " s\n";
}

}  // namespace

std::string runner_command_line(const std::string& program, const std::vector<EnvPair>& settings) {
  std::string line;
  for (const auto& [name, value] : settings) {
    line += name;
    line += '=';
    line += shell_quoted(value);
    line += ' ';
  }
  return line + shell_quoted(program);
}

std::string shell_quoted(std::string_view text) {
  const bool plain = !text.empty() && std::ranges::all_of(text, [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("_@%+=:,./-").find(c) != std::string_view::npos;
  });
  if (plain) return std::string(text);
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::optional<std::string> configure_launches(const harness::TestOpts& opts) {
  LaunchSettings settings;
  settings.stdout_to_stderr =
      opts.format == harness::OutputFormat::Json || opts.format == harness::OutputFormat::Junit;
  if (const char* value = std::getenv("ZEL_CAPTURE_RUNNER_OUTPUT")) {
    const std::string_view text(value);
    if (text == "1") {
      settings.capture_output = !opts.nocapture;
      settings.keep_details = true;
    } else if (!text.empty() && text != "0") {
      return "ZEL_CAPTURE_RUNNER_OUTPUT is " + harness::debug_str(text) +
             ", should be 1, 0 or empty";
    }
  }
  if (const char* value = std::getenv("ZEL_RUNNER_TIMEOUT")) {
    auto bound = parse_runner_bound(value);
    if (!bound) return bound.error();
    settings.bound = std::move(*bound);
  }
  g_settings = settings;
  return std::nullopt;
}

bool keeps_failure_details() {
  return g_settings.keep_details;
}

std::expected<ExitStatus, OsError> launch(const std::string& program,
                                          const std::vector<EnvPair>& settings_shown,
                                          std::vector<std::string> env) {
  // Everything the child needs is ready before the fork.
  std::vector<char*> envp;
  envp.reserve(env.size() + 1);
  for (auto& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string path = program;
  char* argv[] = {path.data(), nullptr};

  const LaunchSettings settings = g_settings;
  const std::string name = base_name(program);
  // The line goes into the test's report even when the launch fails, so a
  // missing runner's path shows.
  if (settings.capture_output) {
    std::cout << "runner: " + runner_command_line(program, settings_shown) + "\n";
  }
  harness::note_activity("while its runner " + name + " was running", harness::Course::Blocked);
  auto status_pipe = make_pipe("runner launch status pipe");
  if (!status_pipe) return std::unexpected(status_pipe.error());
  auto& [status_read, status_write] = *status_pipe;
  std::pair<Fd, Fd> output_pipe;
  if (settings.capture_output) {
    auto made = make_pipe("runner output pipe");
    if (!made) return std::unexpected(made.error());
    output_pipe = std::move(*made);
  }
  auto& [output_read, output_write] = output_pipe;

  const pid_t parent = ::getpid();
  pid_t pid = 0;
  const auto started = std::chrono::steady_clock::now();
  RunnerRegistry& r = runner_registry();
  {
    std::unique_lock lock(r.mutex);
    if (r.stopping) stay_until_the_end(lock);
    pid = ::fork();
    if (pid == 0) {
      become_runner(path.c_str(), argv, envp.data(), parent, status_write.get(), output_write.get(),
                    settings.stdout_to_stderr);
    }
    if (pid < 0) return std::unexpected(OsError{errno});
    r.runners.push_back(pid);
    r.launching += 1;
  }
  status_write.reset();
  output_write.reset();

  ChildFailure failure{};
  ssize_t got = 0;
  do {
    got = ::read(status_read.get(), &failure, sizeof failure);
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof failure)) {
    (void)wait_for(pid, name);
    std::unique_lock lock(r.mutex);
    launch_done(lock);
    return std::unexpected(OsError{failure.code, kChildSteps[failure.step]});
  }

  std::optional<OutputTail> output;
  if (settings.capture_output) output.emplace(kKeptRunnerOutput);
  std::optional<std::chrono::steady_clock::time_point> deadline;
  if (settings.bound) deadline = started + settings.bound->duration;
  const bool timed_out =
      follow_runner(pid, output ? output_read.get() : -1, output ? &*output : nullptr, deadline);
  RunnerEnd ended = RunnerEnd::DuringTheStop;
  const auto status = wait_for(pid, name, &ended);
  const auto ran = std::chrono::steady_clock::now() - started;
  // What the report of the test gets: the runner's output, the bound, how it ended.
  const auto write_report = [&] {
    std::string lines;
    if (timed_out) {
      lines = "runner " + name + " timed out after " + settings.bound->text + " s";
      if (const auto& card = chosen_card()) lines += " on card " + card->id;
      lines += " and was stopped\n";
    }
    if (output && status) lines += status_line(*status, ran);
    if (output) output->write_to(std::cout);
    std::cout << lines;
  };
  std::unique_lock lock(r.mutex);
  // A runner killed by an ending signal was most likely sent it together
  // with this program (Ctrl-C reaches the whole process group): the stop
  // that follows reports its test. A runner that ended otherwise before the
  // stop began leaves its test to finish with its own result.
  bool stays = ended == RunnerEnd::DuringTheStop;
  if (!timed_out && status && WIFSIGNALED(status->raw) && is_ending_signal(WTERMSIG(status->raw))) {
    stays = r.changed.wait_for(lock, 200ms, [&] { return r.stopping; });
  }
  if (stays && r.stopping) {
    lock.unlock();
    write_report();
    lock.lock();
    launch_done(lock);
    stay_until_the_end(lock);
  }
  launch_done(lock);
  lock.unlock();
  write_report();
  return status;
}

}  // namespace zel_runtime
