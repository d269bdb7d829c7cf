// What the run loop and the test threads share about a stop by signal: each
// running test's progress (its start, its captured output, what it is doing)
// and the stop itself.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "capture.h"
#include "harness/stop.h"

namespace harness {

// One running test, as a stop's report sees it.
struct TestProgress {
  std::chrono::steady_clock::time_point start;
  std::shared_ptr<CaptureBuffer> buffer;  // null when output is not captured
  std::mutex mutex;
  std::string activity = "while starting";  // under `mutex`
  bool finishing = false;                   // under the stop's own lock
};

// Makes `progress` the calling thread's for `Activity` (null: none).
void set_thread_progress(TestProgress* progress);

// The test of `progress` has sent its result: a stop waits no more for it.
void note_test_done(TestProgress& progress);

struct StopNotice {
  std::string signal_name;
  std::chrono::steady_clock::time_point arrival;
};

// The stop, once `begin_stop` was called.
std::optional<StopNotice> stop_notice();

// "interrupted by SIGTERM after 61.2 s while waiting for the card".
std::string interrupted_message(const StopNotice& stop, TestProgress& progress);

// The run's report is written, or the program ends without one:
// `finish_stopped_run` waits until then.
void mark_run_reported();

// Registers how to make the run loop stop waiting for tests while the object
// lives; wakes it at once if the report was asked for already.
class StopWaker {
 public:
  explicit StopWaker(std::function<void()> wake);
  ~StopWaker();
  StopWaker(const StopWaker&) = delete;
  StopWaker& operator=(const StopWaker&) = delete;
};

}  // namespace harness
