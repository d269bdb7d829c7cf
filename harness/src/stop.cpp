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

struct StopState {
  // Read before every test start and by every activity: a flag, not the lock.
  std::atomic<bool> begun{false};
  std::mutex mutex;
  std::condition_variable changed;
  std::optional<StopNotice> notice;
  bool reported = false;
  bool report_asked = false;
  int finishing = 0;  // running tests whose course is `Finishing`
  std::function<void()> wake;
};

StopState& stop_state() {
  static auto* state = new StopState;  // never destroyed: test threads may outlive main
  return *state;
}

// Sets the course of `progress`; returns the one it had.
Course set_course(TestProgress& progress, Course course) {
  StopState& s = stop_state();
  const bool finishing = course == Course::Finishing;
  {
    std::lock_guard lock(s.mutex);
    if (progress.finishing == finishing) return course;
    progress.finishing = finishing;
    s.finishing += finishing ? 1 : -1;
  }
  s.changed.notify_all();
  return finishing ? Course::Blocked : Course::Finishing;
}

// Replaces the calling test's phrase, unless a stop has begun, and its course.
void replace_activity(std::string& phrase, Course& course) {
  if (!stop_begun()) {
    std::lock_guard lock(t_progress->mutex);
    std::swap(t_progress->activity, phrase);
  }
  course = set_course(*t_progress, course);
}

}  // namespace

Activity::Activity(std::string phrase, Course course) {
  if (t_progress == nullptr) return;
  previous_phrase_ = std::move(phrase);
  previous_course_ = course;
  replace_activity(previous_phrase_, previous_course_);
  noted_ = true;
}

Activity::~Activity() {
  if (noted_) replace_activity(previous_phrase_, previous_course_);
}

void note_activity(std::string phrase, Course course) {
  if (t_progress != nullptr) replace_activity(phrase, course);
}

void note_blocked() {
  if (t_progress != nullptr) (void)set_course(*t_progress, Course::Blocked);
}

void note_test_done(TestProgress& progress) {
  (void)set_course(progress, Course::Blocked);
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
  if (!progress.activity.empty()) message += " " + progress.activity;
  return message;
}

void wait_for_finishing_tests(std::chrono::steady_clock::time_point deadline) {
  StopState& s = stop_state();
  std::unique_lock lock(s.mutex);
  s.changed.wait_until(lock, deadline, [&] { return s.finishing == 0 || s.reported; });
}

void finish_stopped_run(std::chrono::steady_clock::duration bound) {
  StopState& s = stop_state();
  std::unique_lock lock(s.mutex);
  if (s.reported) return;
  s.report_asked = true;
  if (s.wake) s.wake();
  s.changed.wait_for(lock, bound, [&] { return s.reported; });
}

void mark_run_reported() {
  StopState& s = stop_state();
  {
    std::lock_guard lock(s.mutex);
    s.reported = true;
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
