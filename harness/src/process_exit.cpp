#include "process_exit.h"

#include "harness/run.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace harness {
namespace {
std::atomic<bool> g_threads_abandoned{false};
std::atomic<bool> g_reports_held{false};
}  // namespace

void hold_reports() {
  g_reports_held.store(true);
}

bool reports_held() {
  return g_reports_held.load();
}

void wait_for_end() {
  for (;;) ::pause();
}

void note_threads_abandoned() {
  g_threads_abandoned.store(true);
}

void end_process(int status) {
  if (reports_held()) wait_for_end();
  if (!g_threads_abandoned.load()) std::exit(status);
  std::fflush(nullptr);
  std::_Exit(status);
}

}  // namespace harness
