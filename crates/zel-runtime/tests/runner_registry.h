// What the launches and the stop by signal share: the runners alive, the
// launches under way, the temporary files of the tests in flight, and whether
// the program is being stopped. Everything here is guarded by the registry's
// mutex.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zel_runtime {

// How long runners get to end after SIGTERM before they get SIGKILL; a test
// whose runner had ended when a stop began gets as long to finish.
inline constexpr auto kGracePeriod = std::chrono::seconds(5);

// The runners alive and the temporary files of the tests in flight; `stopping`
// is set once, by the signal thread. Launches fork under the lock, so a runner
// is either registered before the stop signals the registered ones, or never
// started.
struct RunnerRegistry {
  std::mutex mutex;
  std::condition_variable changed;
  bool stopping = false;
  std::vector<pid_t> runners;
  int launching = 0;  // launches from their fork until they return or stay for the end
  std::vector<std::pair<std::thread::id, std::string>> temp_files;
};

// The one registry of the process.
RunnerRegistry& runner_registry();

// The calling test thread has nothing more to report: the program is ending
// by a signal. `lock` holds the registry's mutex.
[[noreturn]] void stay_until_the_end(std::unique_lock<std::mutex>& lock);

// The calling launch is over; `lock` holds the registry's mutex.
void launch_done(std::unique_lock<std::mutex>& lock);

}  // namespace zel_runtime
