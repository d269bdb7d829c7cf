// The registry of runners and temporary files, shared by the launches and the
// stop by signal.
#include "runner_registry.h"

#include <unistd.h>

#include "harness/stop.h"
#include "launcher.h"

namespace zel_runtime {

RunnerRegistry& runner_registry() {
  static auto* instance =
      new RunnerRegistry;  // never destroyed: abandoned threads may launch at exit
  return *instance;
}

[[noreturn]] void stay_until_the_end(std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  harness::note_blocked();
  for (;;) ::pause();
}

void launch_done([[maybe_unused]] std::unique_lock<std::mutex>& lock) {
  runner_registry().launching -= 1;
  runner_registry().changed.notify_all();
}

void note_temp_file(std::string path) {
  RunnerRegistry& r = runner_registry();
  std::lock_guard lock(r.mutex);
  r.temp_files.emplace_back(std::this_thread::get_id(), std::move(path));
}

void forget_temp_files() {
  RunnerRegistry& r = runner_registry();
  std::lock_guard lock(r.mutex);
  std::erase_if(r.temp_files,
                [](const auto& entry) { return entry.first == std::this_thread::get_id(); });
}

}  // namespace zel_runtime
