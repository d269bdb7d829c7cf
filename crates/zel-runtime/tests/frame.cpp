// Launching runners and judging their exit status.
#include "frame.h"

#include "launcher.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>

#include "harness/debug.h"
#include "harness/stop.h"
#include "harness/test.h"

extern char** environ;

namespace zel_runtime {

std::mutex DEVICE;

DeviceGuard::DeviceGuard(std::source_location where) : lock_(DEVICE, std::defer_lock) {
  {
    const harness::Activity waiting("while waiting for the device");
    lock_.lock();
  }
  if (const auto& card = chosen_card()) {
    auto locked = CardLock::take(*card, harness::current_test_name());
    if (!locked) harness::panic(locked.error(), where);
    card_lock_.emplace(std::move(*locked));
  }
}

DeviceGuard::~DeviceGuard() {
  forget_temp_files();
}

DeviceGuard device(std::source_location where) {
  return DeviceGuard(where);
}

std::string runner_path(std::string_view name) {
  return join_path(kRunnerDir, name);
}

std::string debug_text(const OsError& error) {
  if (error.step == nullptr) return harness::os_error_debug(error.code);
  return std::string(error.step) + ": " + harness::os_error_debug(error.code);
}

std::string_view signal_name(int signal) {
  // Linux x86-64 numbering.
  static constexpr std::array<std::string_view, 32> kNames = {
      "",          "SIGHUP",  "SIGINT",    "SIGQUIT", "SIGILL",   "SIGTRAP", "SIGABRT", "SIGBUS",
      "SIGFPE",    "SIGKILL", "SIGUSR1",   "SIGSEGV", "SIGUSR2",  "SIGPIPE", "SIGALRM", "SIGTERM",
      "SIGSTKFLT", "SIGCHLD", "SIGCONT",   "SIGSTOP", "SIGTSTP",  "SIGTTIN", "SIGTTOU", "SIGURG",
      "SIGXCPU",   "SIGXFSZ", "SIGVTALRM", "SIGPROF", "SIGWINCH", "SIGIO",   "SIGPWR",  "SIGSYS"};
  if (signal < 1 || signal > 31) return {};
  return kNames[static_cast<std::size_t>(signal)];
}

std::string exit_status_text(ExitStatus status) {
  const int raw = status.raw;
  if (WIFEXITED(raw)) return "exit status: " + std::to_string(WEXITSTATUS(raw));
  if (WIFSIGNALED(raw)) {
    const int signal = WTERMSIG(raw);
    std::string text = "signal: " + std::to_string(signal);
    if (const auto name = signal_name(signal); !name.empty()) {
      text += " (";
      text += name;
      text += ")";
    }
    if (WCOREDUMP(raw)) text += " (core dumped)";
    return text;
  }
  // The wait asks for terminations only; anything else is reported raw.
  return "unrecognised wait status: " + std::to_string(raw) + " " + hex(static_cast<unsigned>(raw));
}

Command::Command(std::string program) : program_(std::move(program)) {
  // Every runner learns which card it drives; a test's own later setting of
  // the same name still wins.
  if (const auto& card = chosen_card()) env("ZEL_CARD", card->id);
}

Command& Command::env(std::string name, std::string value) {
  settings_.push_back({std::move(name), std::move(value)});
  return *this;
}

namespace {

std::string_view entry_name(std::string_view entry) {
  return entry.substr(0, entry.find('='));
}

}  // namespace

std::vector<std::string> runner_environment(const std::vector<std::string>& inherited,
                                            const std::vector<EnvPair>& settings) {
  std::vector<std::string> env = inherited;
  for (const auto& [name, value] : settings) {
    std::string entry = name + "=" + value;
    bool placed = false;
    for (auto it = env.begin(); it != env.end();) {
      if (entry_name(*it) != name) {
        ++it;
      } else if (!placed) {
        *it++ = entry;
        placed = true;
      } else {
        it = env.erase(it);
      }
    }
    if (!placed) env.push_back(std::move(entry));
  }
  return env;
}

std::expected<ExitStatus, OsError> Command::run() const {
  std::vector<std::string> inherited;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    inherited.emplace_back(*entry);
  }
  return launch(program_, settings_, runner_environment(inherited, settings_));
}

ExitStatus Command::status(std::string_view launch_message, std::source_location where) const {
  auto status = run();
  if (!status) {
    harness::panic(std::string(launch_message) + ": " + debug_text(status.error()), where);
  }
  return *status;
}

std::expected<int, OsError> open_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(OsError{errno});
  return fd;
}

std::expected<void, OsError> remove_file(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return std::unexpected(OsError{errno});
  return {};
}

std::string temp_dir() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr ? dir : "/tmp";
}

std::string cleared_temp_path(std::string_view name, std::source_location where) {
  std::string path = join_path(temp_dir(), name);
  if (auto removed = remove_file(path); !removed && removed.error().code != ENOENT) {
    harness::unwrap(std::move(removed), where);
  }
  note_temp_file(path);
  return path;
}

std::string join_path(std::string_view dir, std::string_view name) {
  std::string path(dir);
  if (!path.empty() && path.back() != '/') path.push_back('/');
  path += name;
  return path;
}

void configure_host_write_jitter(Command& command) {
  static constexpr std::pair<const char*, const char*> kForwarded[] = {
      {"ZEL_TEST_HOST_WRITE_JITTER_MAX_US", "ZEL_HOST_WRITE_JITTER_MAX_US"},
      {"ZEL_TEST_HOST_WRITE_JITTER_SEED", "ZEL_HOST_WRITE_JITTER_SEED"},
  };
  for (const auto& [own, runner_side] : kForwarded) {
    if (const char* value = std::getenv(own)) command.env(runner_side, value);
  }
}

ExitStatus host_test(const std::vector<EnvPair>& environment, std::source_location where) {
  Command command(runner_path("zel-host-e2e"));
  for (const auto& [name, value] : environment) command.env(name, value);
  configure_host_write_jitter(command);
  return command.status("launch host exchange test runner", where);
}

ExitStatus host_test(std::initializer_list<EnvPair> environment, std::source_location where) {
  return host_test(std::vector<EnvPair>(environment), where);
}

void require_success(std::string_view capability, ExitStatus status, std::source_location where) {
  if (status.success()) return;
  harness::panic("hardware capability " + harness::debug_str(capability) + " failed with " +
                     exit_status_text(status),
                 where);
}

}  // namespace zel_runtime
