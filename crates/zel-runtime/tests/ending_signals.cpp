// The signal thread and the stop it carries out.
#include "ending_signals.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <thread>

#include "card.h"
#include "frame.h"
#include "harness/stop.h"
#include "runner_registry.h"

namespace zel_runtime {
namespace {

using namespace std::chrono_literals;

constexpr std::array kEndingSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

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
  RunnerRegistry& r = runner_registry();
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

bool is_ending_signal(int signal) {
  return std::ranges::find(kEndingSignals, signal) != kEndingSignals.end();
}

}  // namespace zel_runtime
