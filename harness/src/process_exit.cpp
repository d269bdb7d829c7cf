#include "process_exit.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "harness/stop.h"
#include "stop_state.h"

namespace harness {
namespace {
std::atomic<bool> g_threads_abandoned{false};
// Written once before any test thread exists; only read afterwards.
std::string g_remove_at_end;
}  // namespace

void remove_at_normal_end(std::string path) {
  g_remove_at_end = std::move(path);
}

void finish_normally() {
  // A process being stopped by a signal ends by that signal, not by itself:
  // the stop waits for no report of a run that will not come.
  mark_run_reported();
  if (stop_begun()) wait_for_end();
  if (!g_remove_at_end.empty()) ::unlink(g_remove_at_end.c_str());
}

void note_threads_abandoned() {
  g_threads_abandoned.store(true);
}

void wait_for_end() {
  for (;;) ::pause();
}

void end_process(int status) {
  finish_normally();
  if (!g_threads_abandoned.load()) std::exit(status);
  std::fflush(nullptr);
  std::_Exit(status);
}

}  // namespace harness
