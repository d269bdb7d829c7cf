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
#include <iostream>
#include <mutex>
#include <thread>
#include <utility>

#include "harness/debug.h"
#include "harness/options.h"
#include "harness/run.h"

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
  std::vector<std::pair<std::thread::id, std::string>> temp_files;
};

Registry& registry() {
  static auto* instance = new Registry;  // never destroyed: abandoned threads may launch at exit
  return *instance;
}

// Where runners write; set by `configure_launches` before any test starts.
struct LaunchSettings {
  bool stdout_to_stderr = false;
  bool capture_output = false;
};
LaunchSettings g_settings;

// The calling test thread has nothing more to report: the program is ending
// by a signal.
[[noreturn]] void stay_until_the_end(std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  for (;;) ::pause();
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

// Reads the runner's output until it ends: end of file, or the runner's exit
// (a process it started may keep the pipe open), whichever comes first.
void collect_output(int read_fd, pid_t pid, OutputTail& tail) {
  Fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  ::fcntl(read_fd, F_SETFL, ::fcntl(read_fd, F_GETFL) | O_NONBLOCK);
  std::array<char, 1 << 16> chunk;
  bool exited = false;
  for (;;) {
    const ssize_t n = ::read(read_fd, chunk.data(), chunk.size());
    if (n > 0) {
      tail.append({chunk.data(), static_cast<std::size_t>(n)});
      continue;
    }
    if (n == 0) return;
    if (errno == EINTR) continue;
    if (errno != EAGAIN || exited) return;
    pollfd fds[2] = {{read_fd, POLLIN, 0}, {pidfd.get(), POLLIN, 0}};
    if (::poll(fds, pidfd.get() >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) return;
    // Once the runner has exited, what is in the pipe is read and no more.
    if (pidfd.get() >= 0 && (fds[1].revents & POLLIN) != 0) exited = true;
  }
}

// Waits until the runner has ended without reaping it, so that its pid cannot
// be reused while the stop may still signal it; then forgets and reaps it.
std::expected<ExitStatus, OsError> wait_for(pid_t pid) {
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

// The program ends by `signal`: no further report, every runner stopped, the
// temporary files of the tests in flight removed, then the signal's default
// action, so the parent sees the program killed by it.
[[noreturn]] void stop_and_end(int signal) {
  harness::hold_reports();
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
    for (const auto& [thread, path] : r.temp_files) ::unlink(path.c_str());
  }
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  ::sigaction(signal, &default_action, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  ::raise(signal);
  ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  ::_exit(128 + signal);  // a signal whose default action does not end the process
}

}  // namespace

std::optional<std::string> configure_launches(const harness::TestOpts& opts) {
  LaunchSettings settings;
  settings.stdout_to_stderr =
      opts.format == harness::OutputFormat::Json || opts.format == harness::OutputFormat::Junit;
  if (const char* value = std::getenv("ZEL_CAPTURE_RUNNER_OUTPUT")) {
    const std::string_view text(value);
    if (text == "1") {
      settings.capture_output = !opts.nocapture;
    } else if (!text.empty() && text != "0") {
      return "ZEL_CAPTURE_RUNNER_OUTPUT is " + harness::debug_str(text) +
             ", should be 1, 0 or empty";
    }
  }
  g_settings = settings;
  return std::nullopt;
}

std::expected<ExitStatus, OsError> launch(const std::string& program,
                                          std::vector<std::string> env) {
  // Everything the child needs is ready before the fork.
  std::vector<char*> envp;
  envp.reserve(env.size() + 1);
  for (auto& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string path = program;
  char* argv[] = {path.data(), nullptr};

  const LaunchSettings settings = g_settings;
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
  {
    Registry& r = registry();
    std::unique_lock lock(r.mutex);
    if (r.stopping) stay_until_the_end(lock);
    pid = ::fork();
    if (pid == 0) {
      become_runner(path.c_str(), argv, envp.data(), parent, status_write.get(), output_write.get(),
                    settings.stdout_to_stderr);
    }
    if (pid < 0) return std::unexpected(OsError{errno});
    r.runners.push_back(pid);
  }
  status_write.reset();
  output_write.reset();

  ChildFailure failure{};
  ssize_t got = 0;
  do {
    got = ::read(status_read.get(), &failure, sizeof failure);
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof failure)) {
    (void)wait_for(pid);
    return std::unexpected(OsError{failure.code, kChildSteps[failure.step]});
  }

  std::optional<OutputTail> output;
  if (settings.capture_output) {
    output.emplace(kKeptRunnerOutput);
    collect_output(output_read.get(), pid, *output);
  }
  const auto status = wait_for(pid);
  {
    Registry& r = registry();
    std::unique_lock lock(r.mutex);
    // A runner killed by an ending signal was most likely sent it together
    // with this program (Ctrl-C reaches the whole process group): its result
    // is not reported if the stop follows.
    if (status && WIFSIGNALED(status->raw) && is_ending_signal(WTERMSIG(status->raw))) {
      r.changed.wait_for(lock, 200ms, [&] { return r.stopping; });
    }
    if (r.stopping) stay_until_the_end(lock);
  }
  if (output) output->write_to(std::cout);
  return status;
}

void handle_ending_signals() {
  sigset_t handled;
  sigemptyset(&handled);
  for (const int signal : kEndingSignals) {
    struct sigaction current {};
    // A signal ignored at start (a background job's SIGINT) stays ignored.
    if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    sigaddset(&handled, signal);
  }
  ::pthread_sigmask(SIG_BLOCK, &handled, nullptr);
  std::thread([handled] {
    int signal = 0;
    while (::sigwait(&handled, &signal) != 0) {
    }
    stop_and_end(signal);
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
