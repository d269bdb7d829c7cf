// A stop by signal: the stop itself, what each running test is doing, and
// the hand-over between the signal's thread and the run loop.
#include <atomic>
#include <cstdio>
#include <utility>

#include "stop_state.h"
#include "thread.h"

namespace harness {
namespace {

thread_local TestProgress* t_progress = nullptr;

enum class RunState { NotStarted, Running, Reported };

struct StopState {
  // Read before every test start and by every activity: a flag, not the lock.
  std::atomic<bool> begun{false};
  std::mutex mutex;
  std::condition_variable changed;
  std::optional<StopNotice> notice;
  RunState run = RunState::NotStarted;
  bool report_asked = false;
  std::function<void()> wake;
};

StopState& stop_state() {
  static auto* state = new StopState;  // never destroyed: test threads may outlive main
  return *state;
}

}  // namespace

Activity::Activity(std::string what) {
  if (t_progress == nullptr || stop_begun()) return;
  std::lock_guard lock(t_progress->mutex);
  previous_ = std::exchange(t_progress->activity, std::move(what));
  noted_ = true;
}

Activity::~Activity() {
  if (!noted_ || stop_begun()) return;
  std::lock_guard lock(t_progress->mutex);
  t_progress->activity = std::move(previous_);
}

std::string current_test_name() {
  if (t_progress == nullptr) return {};
  return std::string(current_thread_name());
}

void set_thread_progress(TestProgress* progress) {
  t_progress = progress;
}

void begin_stop(std::string signal_name, std::chrono::steady_clock::time_point arrival) {
  StopState& s = stop_state();
  std::lock_guard lock(s.mutex);
  if (s.notice) return;
  s.notice = StopNotice{std::move(signal_name), arrival};
  s.begun.store(true);
}

bool stop_begun() {
  return stop_state().begun.load();
}

std::optional<StopNotice> stop_notice() {
  StopState& s = stop_state();
  std::lock_guard lock(s.mutex);
  return s.notice;
}

std::string interrupted_message(const StopNotice& stop, TestProgress& progress) {
  const std::chrono::duration<double> ran = stop.arrival - progress.start;
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", ran.count() < 0 ? 0.0 : ran.count());
  std::string message = "interrupted by " + stop.signal_name + " after " + seconds + " s";
  std::lock_guard lock(progress.mutex);
  if (!progress.activity.empty()) message += " while " + progress.activity;
  return message;
}

void finish_stopped_run(std::chrono::steady_clock::duration bound) {
  StopState& s = stop_state();
  std::unique_lock lock(s.mutex);
  if (s.run != RunState::Running) return;
  s.report_asked = true;
  if (s.wake) s.wake();
  s.changed.wait_for(lock, bound, [&] { return s.run != RunState::Running; });
}

void mark_run_started() {
  StopState& s = stop_state();
  std::lock_guard lock(s.mutex);
  s.run = RunState::Running;
}

void mark_run_reported() {
  StopState& s = stop_state();
  {
    std::lock_guard lock(s.mutex);
    s.run = RunState::Reported;
  }
  s.changed.notify_all();
}

StopWaker::StopWaker(std::function<void()> wake) {
  StopState& s = stop_state();
  std::lock_guard lock(s.mutex);
  s.wake = std::move(wake);
  if (s.report_asked) s.wake();
}

StopWaker::~StopWaker() {
  StopState& s = stop_state();
  std::lock_guard lock(s.mutex);
  s.wake = nullptr;
}

}  // namespace harness
