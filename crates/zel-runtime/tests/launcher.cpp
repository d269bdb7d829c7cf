#include "launcher.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <thread>
#include <utility>

#include "harness/debug.h"
#include "harness/options.h"
#include "harness/run.h"
#include "harness/stop.h"

namespace zel_runtime {
namespace {

using namespace std::chrono_literals;

// How long runners get to end after SIGTERM before they get SIGKILL.
constexpr auto kGracePeriod = 5s;

constexpr std::array kEndingSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The runners alive and the temporary files of the tests in flight; `stopping`
// is set once, by the signal thread. Launches fork under the lock, so a runner
// is either registered before the stop signals the registered ones, or never
// started.
struct Registry {
  std::mutex mutex;
  std::condition_variable changed;
  bool stopping = false;
  std::vector<pid_t> runners;
  int launching = 0;  // launches from their fork until they return or stay for the end
  std::vector<std::pair<std::thread::id, std::string>> temp_files;
};

Registry& registry() {
  static auto* instance = new Registry;  // never destroyed: abandoned threads may launch at exit
  return *instance;
}

// Where runners write and how long they may run; set by `configure_launches`
// before any test starts.
struct LaunchSettings {
  bool stdout_to_stderr = false;
  bool capture_output = false;  // also: the runner's command and status in the report
  bool keep_details = false;    // ZEL_CAPTURE_RUNNER_OUTPUT is "1"
  std::optional<RunnerBound> bound;
};
LaunchSettings g_settings;

// The calling test thread has nothing more to report: the program is ending
// by a signal.
[[noreturn]] void stay_until_the_end(std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  harness::note_blocked();
  for (;;) ::pause();
}

// The calling launch is over; `lock` holds the registry's mutex.
void launch_done([[maybe_unused]] std::unique_lock<std::mutex>& lock) {
  registry().launching -= 1;
  registry().changed.notify_all();
}

// A descriptor closed when it goes out of scope.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~Fd() { reset(); }
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

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

// Reads what is in the pipe now into `tail`; false once the pipe is at its
// end (or broken).
bool read_available(int read_fd, OutputTail& tail) {
  std::array<char, 1 << 16> chunk;
  for (;;) {
    const ssize_t n = ::read(read_fd, chunk.data(), chunk.size());
    if (n > 0) {
      tail.append({chunk.data(), static_cast<std::size_t>(n)});
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return n < 0 && errno == EAGAIN;
    }
  }
}

// Follows the runner until it has exited, reading its output into `tail`
// when there is a pipe (`read_fd` >= 0) until its end or the runner's exit (a
// process it started may keep the pipe open). A runner still running at
// `deadline` gets SIGTERM, and SIGKILL once the grace period has passed too.
// Returns whether the deadline was reached. Without a pidfd (a kernel before
// 5.3) the bound cannot be kept: the output is read to its end and the wait
// that follows blocks.
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
    Registry& r = registry();
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

bool is_ending_signal(int signal) {
  return std::ranges::find(kEndingSignals, signal) != kEndingSignals.end();
}

// How long the report of a stopped run may take once the runners are gone.
constexpr auto kReportBound = 10s;

// The program ends by `signal`, which arrived at `arrival`: every runner
// stopped, the tests whose runners had ended given the same grace to finish,
// the temporary files of the tests still in flight removed, the run's report
// finished with those tests interrupted, the card lock files cleared of this
// process, then the signal's default action, so the parent sees the program
// killed by it. From the start, any further ending signal ends the program at
// once (its default action).
[[noreturn]] void stop_and_end(int signal, const sigset_t& handled,
                               std::chrono::steady_clock::time_point arrival) {
  harness::begin_stop(std::string(signal_name(signal)), arrival);
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  for (const int each : kEndingSignals) {
    if (sigismember(&handled, each) == 1) ::sigaction(each, &default_action, nullptr);
  }
  ::pthread_sigmask(SIG_UNBLOCK, &handled, nullptr);
  Registry& r = registry();
  {
    std::unique_lock lock(r.mutex);
    r.stopping = true;
    r.changed.notify_all();
    for (const pid_t pid : r.runners) ::kill(pid, SIGTERM);
    if (!r.changed.wait_for(lock, kGracePeriod, [&] { return r.runners.empty(); })) {
      for (const pid_t pid : r.runners) ::kill(pid, SIGKILL);
      r.changed.wait_for(lock, kGracePeriod, [&] { return r.runners.empty(); });
    }
    // The launches write what their runners said into their tests' reports.
    r.changed.wait_for(lock, 1s, [&] { return r.launching == 0; });
  }
  harness::wait_for_finishing_tests(arrival + kGracePeriod);
  {
    // A test that finished has forgotten its files: a failed one keeps them.
    std::unique_lock lock(r.mutex);
    for (const auto& [thread, path] : r.temp_files) ::unlink(path.c_str());
  }
  harness::finish_stopped_run(kReportBound);
  clear_card_holders();
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  ::raise(signal);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::_exit(128 + signal);  // a signal whose default action does not end the process
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
  Registry& r = registry();
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

namespace {

// The ending signals not ignored at start, now blocked in the calling thread.
sigset_t block_handled_signals() {
  sigset_t handled;
  sigemptyset(&handled);
  for (const int signal : kEndingSignals) {
    struct sigaction current {};
    // A signal ignored at start (a background job's SIGINT) stays ignored.
    if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    sigaddset(&handled, signal);
  }
  ::pthread_sigmask(SIG_BLOCK, &handled, nullptr);
  return handled;
}

}  // namespace

void block_ending_signals() {
  (void)block_handled_signals();
}

void handle_ending_signals() {
  const sigset_t handled = block_handled_signals();
  std::thread([handled] {
    int signal = 0;
    while (::sigwait(&handled, &signal) != 0) {
    }
    stop_and_end(signal, handled, std::chrono::steady_clock::now());
  }).detach();
}

void note_temp_file(std::string path) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.temp_files.emplace_back(std::this_thread::get_id(), std::move(path));
}

void forget_temp_files() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  std::erase_if(r.temp_files,
                [](const auto& entry) { return entry.first == std::this_thread::get_id(); });
}

OutputTail::OutputTail(std::size_t capacity) : capacity_(capacity) {}

void OutputTail::append(std::string_view bytes) {
  total_ += bytes.size();
  if (bytes.size() >= capacity_) {
    ring_.assign(bytes.substr(bytes.size() - capacity_));
    next_ = 0;
    return;
  }
  if (ring_.size() < capacity_) {
    const std::size_t fits = std::min(bytes.size(), capacity_ - ring_.size());
    if (ring_.size() + fits > ring_.capacity()) {
      ring_.reserve(std::min(capacity_, std::max(2 * ring_.capacity(), ring_.size() + fits)));
    }
    ring_.append(bytes.substr(0, fits));
    bytes.remove_prefix(fits);
  }
  while (!bytes.empty()) {
    const std::size_t part = std::min(bytes.size(), capacity_ - next_);
    ring_.replace(next_, part, bytes.substr(0, part));
    next_ = (next_ + part) % capacity_;
    bytes.remove_prefix(part);
  }
}

void OutputTail::write_to(std::ostream& out) const {
  if (total_ > ring_.size()) {
    out << '[' << total_ - ring_.size() << " bytes of runner output left out; the last "
        << ring_.size() << " follow]\n";
  }
  const std::string_view kept(ring_);
  out << kept.substr(next_) << kept.substr(0, next_);
}

}  // namespace zel_runtime
