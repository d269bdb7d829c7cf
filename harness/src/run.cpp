// The run loop: selection, ids, shuffling, serial and parallel execution,
// the 60-second notices, results and joining.
#include "harness/run.h"

#include <cxxabi.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <utility>

#include "capture.h"
#include "engine_protocol.h"
#include "failure_report.h"
#include "harness/bencher.h"
#include "harness/debug.h"
#include "harness/fatal.h"
#include "harness/shuffle.h"
#include "harness/time.h"
#include "process_exit.h"
#include "run_loop.h"
#include "stop_state.h"

namespace harness {
namespace {

bool is_benchmark(const TestFn& fn) {
  return std::holds_alternative<StaticBenchFn>(fn) || std::holds_alternative<DynBenchFn>(fn);
}

TestFn as_test(TestFn fn) {
  if (auto* bench = std::get_if<StaticBenchFn>(&fn)) return StaticBenchAsTestFn{bench->fn};
  if (auto* bench = std::get_if<DynBenchFn>(&fn)) return DynBenchAsTestFn{std::move(bench->fn)};
  return fn;
}

bool name_matches(std::string_view name, std::string_view text, bool exact) {
  return exact ? name == text : name.find(text) != std::string_view::npos;
}

bool matches_any(std::string_view name, const std::vector<std::string>& texts, bool exact) {
  for (const auto& text : texts) {
    if (name_matches(name, text, exact)) return true;
  }
  return false;
}

std::string current_exception_type() {
  const std::type_info* type = abi::__cxa_current_exception_type();
  if (type == nullptr) return "unknown";
  int status = 0;
  char* plain = abi::__cxa_demangle(type->name(), nullptr, nullptr, &status);
  std::string name = status == 0 && plain != nullptr ? plain : type->name();
  std::free(plain);
  return name;
}

// Calls a test body and turns every way it can fail into a failure value.
// `panic` has already written its report; the other ways write one here, at
// the test's declaration, so that the reason is in the captured output.
template <typename Body>
TestOutcome call_catching(const TestDesc& desc, Body&& body) {
  const FailureSite site{desc.source_file, desc.start_line, desc.start_col};
  try {
    TestFailureResult returned = body();
    if (returned) return {};
    report_failure(returned.error(), site);
    return std::unexpected(PanicPayload{std::move(returned.error()), "std::string"});
  } catch (Panic& failure) {
    return std::unexpected(std::move(failure.payload));
  } catch (const std::exception& error) {
    const std::string type = current_exception_type();
    report_failure(error.what(), site);
    return std::unexpected(PanicPayload{std::string(error.what()), type});
  } catch (...) {
    const std::string type = current_exception_type();
    report_failure("uncaught exception of type " + type, site);
    return std::unexpected(PanicPayload{std::nullopt, type});
  }
}

TestFailureResult call_test_fn(const TestFn& fn) {
  return std::visit(
      [](const auto& f) -> TestFailureResult {
        using F = std::decay_t<decltype(f)>;
        if constexpr (std::is_same_v<F, StaticTestFn> || std::is_same_v<F, DynTestFn>) {
          return f.fn();
        } else {
          Bencher once(Bencher::Mode::Single);
          return f.fn(once);
        }
      },
      fn);
}

// The part of a test that runs on its thread.
struct TestRun {
  TestId id;
  TestDesc desc;
  TestFn fn;
  bool nocapture;
  std::optional<TestTimeOptions> time_options;
  std::shared_ptr<Completions> completions;
  std::shared_ptr<TestProgress> progress;

  void run() {
    auto buffer =
        progress ? progress->buffer : (nocapture ? nullptr : std::make_shared<CaptureBuffer>());
    CaptureScope capture(buffer);
    set_thread_progress(progress.get());
    const auto start = std::chrono::steady_clock::now();
    const TestOutcome outcome = call_catching(desc, [this] { return call_test_fn(fn); });
    const TestExecTime measured{std::chrono::steady_clock::now() - start};
    std::optional<TestExecTime> exec_time;
    if (time_options) exec_time = measured;
    set_thread_progress(nullptr);
    capture.stop();
    TestResult result = calc_result(desc, outcome, time_options, exec_time);
    completions->send(CompletedTest{id, std::move(desc), std::move(result), exec_time,
                                    buffer ? buffer->take() : std::vector<std::uint8_t>{},
                                    measured});
    // Only now: a stop that stops waiting for it must find its result sent.
    if (progress) note_test_done(*progress);
  }

  void run_as_benchmark() {
    auto buffer = nocapture ? nullptr : std::make_shared<CaptureBuffer>();
    CaptureScope capture(buffer);
    Bencher bencher(Bencher::Mode::Measure);
    const TestOutcome outcome = call_catching(desc, [&] {
      return std::visit(
          [&](const auto& f) -> TestFailureResult {
            using F = std::decay_t<decltype(f)>;
            if constexpr (std::is_same_v<F, StaticBenchFn> || std::is_same_v<F, DynBenchFn>) {
              return f.fn(bencher);
            } else {
              return {};
            }
          },
          fn);
    });
    capture.stop();
    TestResult result;
    if (!outcome) {
      result = TestResult::failed();
    } else if (bencher.summary()) {
      result.kind = TestResult::Kind::Bench;
      result.bench = *bencher.summary();
    }
    completions->send(CompletedTest{id, std::move(desc), std::move(result), std::nullopt,
                                    buffer ? buffer->take() : std::vector<std::uint8_t>{},
                                    std::nullopt});
  }
};

using IdAndTest = std::pair<TestId, TestDescAndFn>;

// Waits for the next completion; in parallel mode also sends the notices of
// tests that passed their 60-second mark meanwhile. Nothing once a stop's
// report is asked for and every completion already sent was received.
std::expected<std::optional<CompletedTest>, IoError> receive_completion(
    Completions& completions, const RunningTests& running, TimeoutQueue& queue,
    const EventHandler& notify) {
  while (true) {
    if (queue.empty()) return completions.recv();
    std::optional<CompletedTest> message = completions.recv_until(queue.front().deadline);
    for (auto& desc : get_timed_out_tests(running, queue, std::chrono::steady_clock::now())) {
      if (auto sent = notify(TestEvent{TestEvent::Timeout{std::move(desc)}}); !sent) {
        return std::unexpected(sent.error());
      }
    }
    if (message) return message;
    if (completions.woken()) return std::nullopt;
  }
}

// A stop's report was asked for: the tests still running are reported as
// interrupted, and their threads are left to the end of the process.
IoResult report_interrupted(const RunningTests& running, const TestOpts& opts,
                            const EventHandler& notify) {
  const std::optional<StopNotice> stop = stop_notice();
  if (!stop) return {};
  for (auto& done : interrupted_results(running, *stop, opts.time_options.has_value())) {
    if (auto sent = notify(TestEvent{TestEvent::Result{std::move(done)}}); !sent) return sent;
  }
  for (const auto& [id, test] : running) {
    if (test.thread) note_threads_abandoned();
  }
  return {};
}

}  // namespace

std::vector<TestDescAndFn> filter_tests(const TestOpts& opts, std::vector<TestDescAndFn> tests) {
  std::vector<TestDescAndFn> selected;
  selected.reserve(tests.size());
  for (auto& test : tests) {
    const std::string_view name = test.desc.name.as_str();
    if (!opts.filters.empty() && !matches_any(name, opts.filters, opts.exact)) continue;
    if (!opts.skip.empty() && matches_any(name, opts.skip, opts.exact)) continue;
    if (opts.exclude_expect_failure && test.desc.expect_failure.kind != ExpectFailure::Kind::No) {
      continue;
    }
    switch (opts.run_ignored) {
      case RunIgnored::Yes:
        test.desc.ignore = false;
        break;
      case RunIgnored::Only:
        if (!test.desc.ignore) continue;
        test.desc.ignore = false;
        break;
      case RunIgnored::No:
        break;
    }
    selected.push_back(std::move(test));
  }
  return keep_shard(opts.engine.shard, std::move(selected));
}

TestResult calc_result(const TestDesc& desc, const TestOutcome& outcome,
                       const std::optional<TestTimeOptions>& time_options,
                       const std::optional<TestExecTime>& exec_time) {
  const ExpectFailure& expect = desc.expect_failure;
  TestResult result;
  if (expect.kind == ExpectFailure::Kind::No) {
    result = outcome ? TestResult::ok() : TestResult::failed();
  } else if (outcome) {
    std::string message = "test did not panic as expected";
    if (!desc.source_file.empty()) {
      message += " at " + std::string(desc.source_file) + ":" + std::to_string(desc.start_line) +
                 ":" + std::to_string(desc.start_col);
    }
    result = TestResult::failed_msg(std::move(message));
  } else if (expect.kind == ExpectFailure::Kind::Yes) {
    result = TestResult::ok();
  } else if (const auto& text = outcome.error().text) {
    if (text->find(expect.message) == std::string::npos) {
      result = TestResult::failed_msg(
          "panic did not contain expected string\n      panic message: " + debug_str(*text) +
          "\n expected substring: " + debug_str(expect.message));
    }
  } else {
    result =
        TestResult::failed_msg("expected panic with string value,\n found non-string value: `" +
                               debug_str(outcome.error().type_name) +
                               "`\n     expected substring: " + debug_str(expect.message));
  }
  if (result.kind == TestResult::Kind::Ok && time_options && time_options->error_on_excess &&
      exec_time && is_critical(*time_options, desc, *exec_time)) {
    result = TestResult::timed_fail();
  }
  return result;
}

std::uint64_t seed_from_wall_clock(const timespec& now) {
  if (now.tv_sec < 0) fatal("Failed to get system time");
  // Unsigned arithmetic wraps, which keeps exactly the low 64 bits.
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

TestResult apply_join_outcome(TestResult result, bool thread_failed) {
  if (thread_failed && result.kind == TestResult::Kind::Ok) {
    return TestResult::failed_msg("panicked after reporting success");
  }
  return result;
}

std::vector<TestDesc> get_timed_out_tests(const RunningTests& running, TimeoutQueue& queue,
                                          MonotonicInstant now) {
  std::vector<TestDesc> timed_out;
  while (!queue.empty() && queue.front().deadline <= now) {
    TimeoutEntry entry = std::move(queue.front());
    queue.pop_front();
    if (running.contains(entry.id)) timed_out.push_back(std::move(entry.desc));
  }
  return timed_out;
}

std::vector<CompletedTest> interrupted_results(const RunningTests& running, const StopNotice& stop,
                                               bool time_reported) {
  std::vector<CompletedTest> results;
  for (const auto& [id, test] : running) {
    if (!test.desc || !test.progress) continue;
    TestProgress& progress = *test.progress;
    const TestExecTime ran{
        std::max(stop.arrival - progress.start, std::chrono::steady_clock::duration::zero())};
    results.push_back(CompletedTest{
        id, *test.desc, TestResult::failed_msg(interrupted_message(stop, progress)),
        time_reported ? std::optional(ran) : std::nullopt,
        progress.buffer ? progress.buffer->copy() : std::vector<std::uint8_t>{}, ran});
  }
  return results;
}

std::optional<ThreadHandle> run_test(const TestOpts& opts, bool force_ignore, TestId id,
                                     TestDescAndFn test,
                                     const std::shared_ptr<Completions>& completions,
                                     const std::shared_ptr<TestProgress>& progress) {
  if (force_ignore || test.desc.ignore) {
    completions->send(CompletedTest{
        id, std::move(test.desc), TestResult::ignored(), std::nullopt, {}, std::nullopt});
    return std::nullopt;
  }
  const bool benchmark = is_benchmark(test.testfn);
  auto work =
      std::make_shared<TestRun>(TestRun{id, std::move(test.desc), std::move(test.testfn),
                                        opts.nocapture, opts.time_options, completions, progress});
  if (benchmark) {
    work->run_as_benchmark();
    return std::nullopt;
  }
  std::string name(work->desc.name.as_str());
  auto thread = spawn_named_thread(std::move(name), [work] { work->run(); });
  if (thread) return std::move(*thread);
  if (thread.error() == EAGAIN) {
    work->run();
    return std::nullopt;
  }
  fatal("failed to spawn thread to run test: " + std::string(std::strerror(thread.error())));
}

IoResult run_tests(const TestOpts& opts, std::vector<TestDescAndFn> tests,
                   const EventHandler& notify) {
  const std::size_t registry_size = tests.size();
  std::vector<TestDescAndFn> selected = filter_tests(opts, std::move(tests));
  if (!opts.run_benchmarks) {
    for (auto& test : selected) test.testfn = as_test(std::move(test.testfn));
  }

  std::vector<IdAndTest> test_list;
  std::vector<IdAndTest> bench_list;
  TestId next_id = 0;
  for (auto& test : selected) {
    const bool benchmark = is_benchmark(test.testfn);
    test.desc.name =
        test.desc.name.with_padding(benchmark ? NamePadding::PadOnRight : NamePadding::PadNone);
    (benchmark ? bench_list : test_list).emplace_back(next_id++, std::move(test));
  }

  if (auto sent = notify(TestEvent{TestEvent::FilteredOut{registry_size - selected.size()}});
      !sent) {
    return sent;
  }
  std::optional<std::uint64_t> seed = opts.shuffle_seed;
  if (!seed && opts.shuffle) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    seed = seed_from_wall_clock(now);
  }
  if (auto sent = notify(TestEvent{TestEvent::Filtered{selected.size(), seed}}); !sent) {
    return sent;
  }
  const std::size_t concurrency = opts.test_threads ? *opts.test_threads : get_concurrency();
  if (seed) shuffle_tests(*seed, test_list);
  const bool force_ignore = !opts.run_tests;

  install_dispatching_streams();
  auto completions = std::make_shared<Completions>();
  const StopWaker stop_waker([completions] { completions->wake(); });
  // What a stop's report needs of a test about to start.
  const auto started = [&opts](const TestDesc& desc) {
    auto progress = std::make_shared<TestProgress>();
    progress->start = std::chrono::steady_clock::now();
    if (!opts.nocapture) progress->buffer = std::make_shared<CaptureBuffer>();
    return RunningTest{std::nullopt, desc, std::move(progress)};
  };

  if (concurrency == 1) {
    for (auto& [id, test] : test_list) {
      if (stop_begun()) break;
      RunningTests running;
      RunningTest& current = running[id] = started(test.desc);
      if (auto sent = notify(TestEvent{TestEvent::Wait{test.desc}}); !sent) return sent;
      current.thread =
          run_test(opts, force_ignore, id, std::move(test), completions, current.progress);
      std::optional<CompletedTest> done = completions->recv();
      if (!done) return report_interrupted(running, opts, notify);
      done->result =
          apply_join_outcome(std::move(done->result), current.thread && current.thread->join());
      const bool failed = done->result.is_failure();
      if (auto sent = notify(TestEvent{TestEvent::Result{std::move(*done)}}); !sent) return sent;
      if (opts.fail_fast && failed) return {};
    }
  } else {
    RunningTests running;
    TimeoutQueue timeouts;
    // Threads still running when the loop leaves early are abandoned: their
    // handles detach and their messages go unread.
    struct AbandonGuard {
      RunningTests& running;
      ~AbandonGuard() {
        for (const auto& [id, test] : running) {
          if (test.thread) note_threads_abandoned();
        }
      }
    } abandon_guard{running};
    std::size_t next = 0;
    // A stop starts no further test.
    const auto more = [&] { return next < test_list.size() && !stop_begun(); };
    while (more() || !running.empty()) {
      while (running.size() < concurrency && more()) {
        auto& [id, test] = test_list[next++];
        const MonotonicInstant deadline = std::chrono::steady_clock::now() + timeout_interval();
        TestDesc desc = test.desc;
        RunningTest& entry = running[id] = started(desc);
        if (auto sent = notify(TestEvent{TestEvent::Wait{desc}}); !sent) return sent;
        entry.thread =
            run_test(opts, force_ignore, id, std::move(test), completions, entry.progress);
        timeouts.push_back(TimeoutEntry{id, std::move(desc), deadline});
      }
      if (running.empty()) break;
      auto done = receive_completion(*completions, running, timeouts, notify);
      if (!done) return std::unexpected(done.error());
      if (!*done) return report_interrupted(running, opts, notify);
      auto finished = running.extract((*done)->id);
      const bool thread_failed =
          !finished.empty() && finished.mapped().thread && finished.mapped().thread->join();
      CompletedTest& completed = **done;
      completed.result = apply_join_outcome(std::move(completed.result), thread_failed);
      const bool failed = completed.result.is_failure();
      if (auto sent = notify(TestEvent{TestEvent::Result{std::move(completed)}}); !sent) {
        return sent;
      }
      if (opts.fail_fast && failed) return {};
    }
  }

  if (opts.run_benchmarks) {
    for (auto& [id, bench] : bench_list) {
      if (stop_begun()) break;
      if (auto sent = notify(TestEvent{TestEvent::Wait{bench.desc}}); !sent) return sent;
      std::optional<ThreadHandle> thread = run_test(opts, false, id, std::move(bench), completions);
      // A benchmark runs on this thread: its message is already sent.
      std::optional<CompletedTest> done = completions->recv();
      if (!done) break;
      done->result = apply_join_outcome(std::move(done->result), thread && thread->join());
      if (auto sent = notify(TestEvent{TestEvent::Result{std::move(*done)}}); !sent) return sent;
    }
  }
  return {};
}

}  // namespace harness
