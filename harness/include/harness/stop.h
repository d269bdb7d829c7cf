// A run stopped by a signal still leaves a whole report. The program's signal
// handling calls `begin_stop` as the signal arrives, ends what it must (its
// runners, say), gives the tests that are finishing on their own their grace
// (`wait_for_finishing_tests`), then calls `finish_stopped_run`, and ends the
// process by the signal once that returns. Every test that finished is
// reported as usual; every test still running is reported failed with
// "interrupted by SIGTERM after 61.2 s while <what it was doing>", which tests
// say with `Activity` and `note_activity`:
//
//   {
//     harness::Activity waiting("while waiting for the card");
//     take_the_card();
//   }
#pragma once

#include <chrono>
#include <string>

namespace harness {

// How a test goes on from an activity, as a stop sees it: `Blocked` on
// something the stop ends or never lets go (a runner, a lock), or `Finishing`
// on its own (judging a result), which a stop gives its grace.
enum class Course { Blocked, Finishing };

// What the calling test is doing while the object lives: the phrase that ends
// its interrupted message ("while waiting for the card"). Does nothing on a
// thread that runs no test. Once a stop has begun only the course changes:
// the message describes the moment the signal arrived. A test that has said
// nothing yet is "while starting".
class Activity {
 public:
  explicit Activity(std::string phrase, Course course = Course::Blocked);
  ~Activity();
  Activity(const Activity&) = delete;
  Activity& operator=(const Activity&) = delete;

 private:
  std::string previous_phrase_;
  Course previous_course_ = Course::Blocked;
  bool noted_ = false;
};

// What the calling test does from now on, until its next activity; like
// `Activity`, but not undone ("after its runner zel-gemm-e2e ended (exit
// status: 1)").
void note_activity(std::string phrase, Course course);

// The calling test will not end before the process does: a stop stops
// waiting for it. Its phrase stays as it is.
void note_blocked();

// The name of the test running on the calling thread; empty on other threads.
std::string current_test_name();

// The program is being stopped by the signal named `signal_name` ("SIGTERM"),
// which arrived at `arrival`: no further test starts, and what every running
// test is doing stays as it was. Later calls do nothing.
void begin_stop(std::string signal_name, std::chrono::steady_clock::time_point arrival);

// True once `begin_stop` was called.
bool stop_begun();

// Waits until no running test is `Finishing`, the run's report is written, or
// `deadline` has passed.
void wait_for_finishing_tests(std::chrono::steady_clock::time_point deadline);

// Has the run write its report now, with the tests still running reported as
// interrupted, and waits until it is written, at most `bound`. A stop that
// arrived before the run has the run that follows start no test and report;
// a program that ends without a run returns at once. From `begin_stop` on,
// the harness never ends the process itself: that is left to the caller.
void finish_stopped_run(std::chrono::steady_clock::duration bound);

}  // namespace harness
