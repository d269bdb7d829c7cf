// How much the harness adds to running many trivial tests: the wall time of
// 10,000 passing tests through the run loop (and through the whole console
// driver with the pretty format into memory), at 1 and 2 worker threads,
// against a floor program that only creates, names, runs and joins one thread
// per test and sends one message each. Both run in the same process, each
// measurement repeated; the medians and their ratios are printed.
//
//   target/core-release/harness_overhead [tests] [repeats]
#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "console_driver.h"
#include "harness/io.h"
#include "harness/run.h"

namespace {

using Clock = std::chrono::steady_clock;

harness::TestFailureResult trivial() {
  return {};
}

std::vector<harness::TestDescAndFn> registry(std::size_t count) {
  std::vector<harness::TestDescAndFn> tests;
  tests.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    harness::TestDesc desc{harness::TestName::static_name("test_" + std::to_string(i)),
                           false,
                           std::nullopt,
                           "bench/harness_overhead.cpp",
                           1,
                           1,
                           1,
                           1,
                           harness::ExpectFailure::no(),
                           false,
                           false,
                           harness::TestKind::Unit};
    tests.push_back({std::move(desc), harness::StaticTestFn{&trivial}});
  }
  return tests;
}

// --- the floor: one named thread per test, one message each ---

struct Mailbox {
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<std::size_t> messages;
};

struct FloorJob {
  Mailbox* mailbox;
  std::size_t id;
  std::string name;
};

void* floor_thread(void* raw) {
  auto* job = static_cast<FloorJob*>(raw);
  pthread_setname_np(pthread_self(), job->name.substr(0, 15).c_str());
  (void)trivial();
  {
    std::lock_guard lock(job->mailbox->mutex);
    job->mailbox->messages.push_back(job->id);
  }
  job->mailbox->ready.notify_one();
  return nullptr;
}

void run_floor(std::size_t count, std::size_t workers) {
  Mailbox mailbox;
  std::vector<FloorJob> jobs(count);
  std::vector<pthread_t> threads(count);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 2 * 1024 * 1024);
  std::size_t next = 0;
  std::size_t running = 0;
  std::size_t done = 0;
  while (done < count) {
    while (running < workers && next < count) {
      jobs[next] = FloorJob{&mailbox, next, "test_" + std::to_string(next)};
      if (pthread_create(&threads[next], &attr, floor_thread, &jobs[next]) != 0) std::abort();
      ++next;
      ++running;
    }
    std::size_t id;
    {
      std::unique_lock lock(mailbox.mutex);
      mailbox.ready.wait(lock, [&] { return !mailbox.messages.empty(); });
      id = mailbox.messages.front();
      mailbox.messages.pop_front();
    }
    pthread_join(threads[id], nullptr);
    --running;
    ++done;
  }
  pthread_attr_destroy(&attr);
}

// --- the harness ---

void run_loop(std::size_t count, std::size_t workers) {
  harness::TestOpts opts;
  opts.test_threads = workers;
  std::size_t results = 0;
  auto counted = [&results](harness::TestEvent event) -> harness::IoResult {
    if (std::holds_alternative<harness::TestEvent::Result>(event.event)) ++results;
    return {};
  };
  if (!harness::run_tests(opts, registry(count), counted) || results != count) std::abort();
}

void run_console(std::size_t count, std::size_t workers) {
  harness::TestOpts opts;
  opts.test_threads = workers;
  harness::StringSink sink;
  const auto passed = harness::run_tests_console_to(sink, opts, registry(count), false);
  if (!passed || !*passed) std::abort();
}

double elapsed_ms(const std::function<void()>& body) {
  const auto start = Clock::now();
  body();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10'000;
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
  std::printf("%zu trivial tests, median of %d runs\n", count, repeats);
  std::printf("%-8s %12s %12s %12s %10s %10s\n", "workers", "floor ms", "run loop ms", "console ms",
              "loop/floor", "cons/floor");
  for (const std::size_t workers : {1u, 2u}) {
    // Interleaved, so that a burst of load elsewhere on the machine hits all
    // three alike.
    std::vector<double> floor, loop, console;
    for (int i = 0; i < repeats; ++i) {
      floor.push_back(elapsed_ms([&] { run_floor(count, workers); }));
      loop.push_back(elapsed_ms([&] { run_loop(count, workers); }));
      console.push_back(elapsed_ms([&] { run_console(count, workers); }));
    }
    const double f = median(floor), l = median(loop), c = median(console);
    std::printf("%-8zu %12.1f %12.1f %12.1f %10.2f %10.2f\n", workers, f, l, c, l / f, c / f);
  }
  return 0;
}
