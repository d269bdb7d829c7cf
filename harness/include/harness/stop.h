// A run stopped by a signal still leaves a whole report. The program's signal
// handling calls `begin_stop` as the signal arrives, ends what it must (its
// runners, say), then `finish_stopped_run`, and ends the process by the signal
// once that returns. Every test that finished is reported as usual; every test
// still running is reported failed with "interrupted by SIGTERM after 61.2 s
// while <what it was doing>", which tests say with `Activity`:
//
//   {
//     harness::Activity waiting("waiting for the card");
//     take_the_card();
//   }
#pragma once

#include <chrono>
#include <string>

namespace harness {

// What the calling test is doing while the object lives. Does nothing on a
// thread that runs no test, and nothing once a stop has begun: the report
// describes the moment the signal arrived.
class Activity {
 public:
  explicit Activity(std::string what);
  ~Activity();
  Activity(const Activity&) = delete;
  Activity& operator=(const Activity&) = delete;

 private:
  std::string previous_;
  bool noted_ = false;
};

// The name of the test running on the calling thread; empty on other threads.
std::string current_test_name();

// The program is being stopped by the signal named `signal_name` ("SIGTERM"),
// which arrived at `arrival`: no further test starts, and what every running
// test is doing stays as it was. Later calls do nothing.
void begin_stop(std::string signal_name, std::chrono::steady_clock::time_point arrival);

// True once `begin_stop` was called.
bool stop_begun();

// Has the run in progress write its report now, with the tests still running
// reported as interrupted, and waits until it is written, at most `bound`.
// Returns at once when no run is in progress. From `begin_stop` on, the
// harness never ends the process itself: that is left to the caller.
void finish_stopped_run(std::chrono::steady_clock::duration bound);

}  // namespace harness
