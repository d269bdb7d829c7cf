// Raising test failures, fatal stops of the harness, the failure report with
// its backtrace, and the hook for failures that abort the process.
#include <cxxabi.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <utility>

#include "capture.h"
#include "failure_report.h"
#include "harness/fatal.h"
#include "harness/test.h"
#include "process_exit.h"
#include "thread.h"

#if __has_include(<backtrace.h>)
#include <backtrace.h>
#define HARNESS_HAVE_LIBBACKTRACE 1
#endif

namespace harness {
namespace {

std::atomic<bool> g_first_report{true};

bool backtrace_enabled() {
  static const bool enabled = [] {
    const char* value = std::getenv("RUST_BACKTRACE");
    return value != nullptr && std::strcmp(value, "0") != 0;
  }();
  return enabled;
}

std::string demangle(const char* name) {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> plain(
      abi::__cxa_demangle(name, nullptr, nullptr, &status), &std::free);
  return status == 0 && plain ? std::string(plain.get()) : std::string(name);
}

#ifdef HARNESS_HAVE_LIBBACKTRACE
struct BacktraceText {
  std::string text;
  int frame = 0;
};

void on_backtrace_error(void* data, const char* message, int errnum) {
  auto* out = static_cast<BacktraceText*>(data);
  if (out == nullptr) return;
  out->text += "  (backtrace unavailable: ";
  out->text += message;
  if (errnum > 0) {
    out->text += ": ";
    out->text += std::strerror(errnum);
  }
  out->text += ")\n";
}

bool is_reporting_frame(std::string_view name) {
  for (const std::string_view prefix :
       {"harness::panic(", "harness::fatal(", "harness::report_failure", "harness::failure_report",
        "harness::(anonymous namespace)::backtrace_text", "backtrace_text"}) {
    if (name.starts_with(prefix)) return true;
  }
  return false;
}

int on_backtrace_frame(void* data, std::uintptr_t pc, const char* file, int line,
                       const char* function) {
  auto* out = static_cast<BacktraceText*>(data);
  if (pc == static_cast<std::uintptr_t>(-1)) return 0;  // the end marker of the unwinder
  const std::string name = function != nullptr ? demangle(function) : std::string();
  // The frames of the reporting machinery itself say nothing to the reader.
  if (out->frame == 0 && is_reporting_frame(name)) return 0;
  std::array<char, 32> number{};
  std::snprintf(number.data(), number.size(), "%4d: ", out->frame++);
  out->text += number.data();
  if (function != nullptr) {
    out->text += name;
  } else {
    std::snprintf(number.data(), number.size(), "0x%jx", static_cast<std::uintmax_t>(pc));
    out->text += number.data();
  }
  out->text += '\n';
  if (file != nullptr) {
    out->text += "             at ";
    out->text += file;
    out->text += ':';
    out->text += std::to_string(line);
    out->text += '\n';
  }
  return 0;
}

std::string backtrace_text() {
  // The state is built once and lives for the process, as the library asks.
  static backtrace_state* state =
      backtrace_create_state(nullptr, /*threaded=*/1, on_backtrace_error, nullptr);
  BacktraceText out;
  out.text = "stack backtrace:\n";
  if (state == nullptr) {
    out.text += "  (backtrace unavailable)\n";
  } else {
    backtrace_full(state, 0, on_backtrace_frame, on_backtrace_error, &out);
  }
  return out.text;
}
#else
std::string backtrace_text() {
  return "stack backtrace:\n  (backtrace unavailable)\n";
}
#endif

// --- the hook for failures that abort the process ---------------------------

constexpr std::array<int, 5> kFatalSignals = {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL};

std::mutex g_hook_mutex;
bool g_hook_installed = false;
std::array<struct sigaction, kFatalSignals.size()> g_previous_actions{};
std::terminate_handler g_previous_terminate = nullptr;

void pass_signal_on(int signal, siginfo_t* info, void* context) {
  for (std::size_t i = 0; i < kFatalSignals.size(); ++i) {
    if (kFatalSignals[i] != signal) continue;
    const struct sigaction& previous = g_previous_actions[i];
    if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
      previous.sa_sigaction(signal, info, context);
    } else if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
      previous.sa_handler(signal);
    }
  }
  // The default action: delivered as soon as this handler returns (the
  // signal is blocked until then), for a fault and a raised signal alike.
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  sigaction(signal, &default_action, nullptr);
  raise(signal);
}

void on_fatal_signal(int signal, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  flush_capture_for_abort();
  pass_signal_on(signal, info, context);
  errno = saved_errno;
}

[[noreturn]] void on_terminate() {
  flush_capture_for_abort();
  if (g_previous_terminate != nullptr) g_previous_terminate();
  std::abort();
}

}  // namespace

std::string failure_report(std::string_view message, const FailureSite& site) {
  std::string report = "\nthread '";
  report += current_thread_name();
  report += "' (";
  report += std::to_string(current_thread_id());
  report += ") panicked at ";
  report += site.file;
  report += ':';
  report += std::to_string(site.line);
  report += ':';
  report += std::to_string(site.column);
  report += ":\n";
  report += message;
  report += '\n';
  if (backtrace_enabled()) {
    report += backtrace_text();
  } else if (g_first_report.exchange(false)) {
    report += "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n";
  }
  return report;
}

namespace {
thread_local BeforeFailureReport* t_before_report = nullptr;
}  // namespace

BeforeFailureReport::BeforeFailureReport(std::function<void()> note)
    : note_(std::move(note)), previous_(std::exchange(t_before_report, this)) {}

BeforeFailureReport::~BeforeFailureReport() {
  if (t_before_report == this) t_before_report = previous_;
}

void BeforeFailureReport::run_pending() {
  if (BeforeFailureReport* before = t_before_report) {
    t_before_report = before->previous_;  // once, and not again from inside
    if (before->note_) before->note_();
  }
}

void report_failure(std::string_view message, const FailureSite& site) {
  BeforeFailureReport::run_pending();
  // One write, so the report stays in one piece next to other threads' output.
  std::cerr << failure_report(message, site);
}

void panic(std::string message, std::source_location where) {
  report_failure(message, {where.file_name(), where.line(), where.column()});
  throw Panic{PanicPayload{std::move(message), "std::string"}};
}

void fatal(const std::string& message, std::source_location where) {
  // Straight to fd 2: a fatal stop must be seen even when raised on a
  // capturing thread.
  write_uncaptured(2, failure_report(message, {where.file_name(), where.line(), where.column()}));
  end_process(101);
}

void install_failure_hook() {
  std::lock_guard lock(g_hook_mutex);
  if (g_hook_installed) return;
  g_hook_installed = true;
  struct sigaction action {};
  action.sa_sigaction = on_fatal_signal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < kFatalSignals.size(); ++i) {
    sigaction(kFatalSignals[i], &action, &g_previous_actions[i]);
  }
  g_previous_terminate = std::set_terminate(on_terminate);
}

void remove_failure_hook() {
  std::lock_guard lock(g_hook_mutex);
  if (!g_hook_installed) return;
  g_hook_installed = false;
  for (std::size_t i = 0; i < kFatalSignals.size(); ++i) {
    // A handler that code under test installed since (and that passes on
    // to ours) stays: putting the old action back would silently drop it.
    struct sigaction current {};
    if (sigaction(kFatalSignals[i], nullptr, &current) == 0 &&
        (current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == on_fatal_signal) {
      sigaction(kFatalSignals[i], &g_previous_actions[i], nullptr);
    }
  }
  std::set_terminate(g_previous_terminate);
}

}  // namespace harness
