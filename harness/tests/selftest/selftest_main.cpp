// harness_selftest: a test program built on the harness, for end-to-end tests
// of the harness itself. The environment variable "HARNESS_SELFTEST_REGISTRY"
// chooses its registry (registry order = byte order of the names):
//
//   basic (also when unset), handed over with test_main_static:
//     expect_failure_any_message      expects a failure, fails            -> ok
//     expect_failure_but_passes       expects a failure, passes           -> FAILED, note
//                                     "test did not panic as expected at {file}:{line}:{col}"
//     expect_failure_message_differs  expects "expected text", fails with
//                                     "another text"                      -> FAILED, note
//     expect_failure_message_matches  expects "boom", fails with
//                                     "boom went the test"                -> ok
//     fails_with_panic                prints "before the failure\n" to stdout, then
//                                     fails with "assertion failed: left == right"
//     fails_with_unwrap               unwraps an error: "called `Result::unwrap()` on an
//                                     `Err` value: SelftestError(\"no such tile\")"
//     ignored_plain                   ignored
//     ignored_with_message            ignored, message "needs a card"
//     passes                          passes silently
//     passes_printing                 prints "hello from stdout\n" (std::cout) and
//                                     "hello from stderr\n" (std::cerr), passes
//   many: HARNESS_SELFTEST_COUNT (default 200) silent passing tests test_000,
//     test_001, ... (zero-padded to the width of the largest number).
//   slow: one test, sleeps, that sleeps HARNESS_SELFTEST_SLEEP_MS (default 100) ms.
//   timing: doc_sleeps (Doc), integration_sleeps (Integration), unit_sleeps (Unit),
//     unit_sleeps_then_fails (Unit, fails with "failed after sleeping"),
//     unknown_sleeps (Unknown); each sleeps HARNESS_SELFTEST_SLEEP_MS (default 0) ms.
//   abort: one test, crashes, that prints "captured before the crash\n" to stdout
//     and "captured stderr before the crash\n" to stderr, then ends the process
//     as HARNESS_SELFTEST_CRASH says: segv (default; raises SIGSEGV), abort
//     (std::abort), terminate (an exception escaping a noexcept function),
//     stack_overflow (unbounded recursion).
//   markers: HARNESS_SELFTEST_COUNT (default 8) tests marker_0, marker_1, ...;
//     test i prints "marker {i} stdout {k}\n" to stdout and "marker {i} stderr {k}\n"
//     to stderr for k = 0 .. HARNESS_SELFTEST_REPEAT-1 (default 100), then passes,
//     or fails with "marker {i} failed" when HARNESS_SELFTEST_FAIL is "1".
//   stack: one test, reports_stack_size_and_thread_name, that prints
//     "stack {bytes}\nthread {kernel thread name}\n" to stdout and passes.
//   nonstatic: one record with a dynamic function handed to test_main_static,
//     which refuses it.
//
// Failure reports name the kernel thread id ("thread 'x' (12345) panicked at"):
// normalise it (tests/support/e2e.py) before comparing bytes, and compare with
// one worker thread (RUST_TEST_THREADS=1) where the once-per-process backtrace
// note must land on a known test.
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "harness/run.h"
#include "harness/test.h"

namespace {

using harness::ExpectFailure;
using harness::TestDesc;
using harness::TestDescAndFn;
using harness::TestFailureResult;
using harness::TestKind;
using harness::TestName;

std::size_t env_number(const char* name, std::size_t fallback) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return fallback;
  return static_cast<std::size_t>(std::strtoull(value, nullptr, 10));
}

void sleep_ms(std::size_t fallback) {
  std::this_thread::sleep_for(
      std::chrono::milliseconds(env_number("HARNESS_SELFTEST_SLEEP_MS", fallback)));
}

TestDesc desc(std::string name, std::size_t line, TestKind kind = TestKind::Unit) {
  return TestDesc{.name = TestName::static_name(name),
                  .ignore = false,
                  .ignore_message = std::nullopt,
                  .source_file = __FILE__,
                  .start_line = line,
                  .start_col = 4,
                  .end_line = line,
                  .end_col = 4 + name.size(),
                  .expect_failure = ExpectFailure::no(),
                  .compile_fail = false,
                  .no_run = false,
                  .kind = kind};
}

TestDesc expecting(TestDesc d, ExpectFailure expect) {
  d.expect_failure = expect;
  return d;
}

TestDesc ignored(TestDesc d, std::optional<std::string_view> message) {
  d.ignore = true;
  d.ignore_message = message;
  return d;
}

// --- basic ---

struct SelftestError {
  std::string what;
};
std::string debug_text(const SelftestError& e) {
  return "SelftestError(\"" + e.what + "\")";
}

TestFailureResult fails_any() {
  harness::panic("any failure");
}
TestFailureResult passes() {
  return {};
}
TestFailureResult fails_another_text() {
  harness::panic("another text");
}
TestFailureResult fails_boom() {
  harness::panic("boom went the test");
}
TestFailureResult fails_with_panic() {
  std::cout << "before the failure\n";
  harness::panic("assertion failed: left == right");
}
TestFailureResult fails_with_unwrap() {
  std::expected<int, SelftestError> lookup = std::unexpected(SelftestError{"no such tile"});
  harness::unwrap(std::move(lookup));
  return {};
}
TestFailureResult passes_printing() {
  std::cout << "hello from stdout\n";
  std::cerr << "hello from stderr\n";
  return {};
}

const std::vector<TestDescAndFn>& basic_registry() {
  static const std::vector<TestDescAndFn> registry = {
      {expecting(desc("expect_failure_any_message", __LINE__), ExpectFailure::yes()),
       harness::StaticTestFn{&fails_any}},
      {expecting(desc("expect_failure_but_passes", __LINE__), ExpectFailure::yes()),
       harness::StaticTestFn{&passes}},
      {expecting(desc("expect_failure_message_differs", __LINE__),
                 ExpectFailure::with_message("expected text")),
       harness::StaticTestFn{&fails_another_text}},
      {expecting(desc("expect_failure_message_matches", __LINE__),
                 ExpectFailure::with_message("boom")),
       harness::StaticTestFn{&fails_boom}},
      {desc("fails_with_panic", __LINE__), harness::StaticTestFn{&fails_with_panic}},
      {desc("fails_with_unwrap", __LINE__), harness::StaticTestFn{&fails_with_unwrap}},
      {ignored(desc("ignored_plain", __LINE__), std::nullopt), harness::StaticTestFn{&passes}},
      {ignored(desc("ignored_with_message", __LINE__), "needs a card"),
       harness::StaticTestFn{&passes}},
      {desc("passes", __LINE__), harness::StaticTestFn{&passes}},
      {desc("passes_printing", __LINE__), harness::StaticTestFn{&passes_printing}},
  };
  return registry;
}

// --- many, markers ---

std::string padded(std::size_t i, std::size_t count) {
  const std::size_t width = std::to_string(count > 0 ? count - 1 : 0).size();
  std::string digits = std::to_string(i);
  return std::string(width - digits.size(), '0') + digits;
}

std::vector<TestDescAndFn> many_registry() {
  const std::size_t count = env_number("HARNESS_SELFTEST_COUNT", 200);
  std::vector<TestDescAndFn> registry;
  for (std::size_t i = 0; i < count; ++i) {
    registry.push_back(
        {desc("test_" + padded(i, count), __LINE__), harness::StaticTestFn{&passes}});
  }
  return registry;
}

std::vector<TestDescAndFn> markers_registry() {
  const std::size_t count = env_number("HARNESS_SELFTEST_COUNT", 8);
  const std::size_t repeat = env_number("HARNESS_SELFTEST_REPEAT", 100);
  const char* fail = std::getenv("HARNESS_SELFTEST_FAIL");
  const bool fails = fail != nullptr && std::string(fail) == "1";
  std::vector<TestDescAndFn> registry;
  for (std::size_t i = 0; i < count; ++i) {
    auto body = [i, repeat, fails]() -> TestFailureResult {
      for (std::size_t k = 0; k < repeat; ++k) {
        std::cout << "marker " << i << " stdout " << k << "\n";
        std::cerr << "marker " << i << " stderr " << k << "\n";
      }
      if (fails) harness::panic("marker " + std::to_string(i) + " failed");
      return {};
    };
    registry.push_back({desc("marker_" + std::to_string(i), __LINE__), harness::DynTestFn{body}});
  }
  return registry;
}

// --- slow, timing ---

TestFailureResult sleeps_100() {
  sleep_ms(100);
  return {};
}
TestFailureResult sleeps_0() {
  sleep_ms(0);
  return {};
}
TestFailureResult sleeps_then_fails() {
  sleep_ms(0);
  harness::panic("failed after sleeping");
}

const std::vector<TestDescAndFn>& slow_registry() {
  static const std::vector<TestDescAndFn> registry = {
      {desc("sleeps", __LINE__), harness::StaticTestFn{&sleeps_100}},
  };
  return registry;
}

const std::vector<TestDescAndFn>& timing_registry() {
  static const std::vector<TestDescAndFn> registry = {
      {desc("doc_sleeps", __LINE__, TestKind::Doc), harness::StaticTestFn{&sleeps_0}},
      {desc("integration_sleeps", __LINE__, TestKind::Integration),
       harness::StaticTestFn{&sleeps_0}},
      {desc("unit_sleeps", __LINE__, TestKind::Unit), harness::StaticTestFn{&sleeps_0}},
      {desc("unit_sleeps_then_fails", __LINE__, TestKind::Unit),
       harness::StaticTestFn{&sleeps_then_fails}},
      {desc("unknown_sleeps", __LINE__, TestKind::Unknown), harness::StaticTestFn{&sleeps_0}},
  };
  return registry;
}

// --- abort ---

void throw_error() {
  throw std::runtime_error("escaped a noexcept function");
}
// Called through a volatile pointer so the compiler cannot see the throw.
void (*volatile g_thrower)() = &throw_error;
void escape_noexcept() noexcept {
  g_thrower();
}

// Deeper than any stack; the volatile array keeps every frame alive.
volatile int g_depth_limit = 1 << 30;
int recurse(int depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  if (depth >= g_depth_limit) return frame[0];
  return recurse(depth + 1) + frame[0];
}

TestFailureResult crashes() {
  std::cout << "captured before the crash\n";
  std::cerr << "captured stderr before the crash\n";
  const char* kind = std::getenv("HARNESS_SELFTEST_CRASH");
  const std::string how = kind != nullptr ? kind : "segv";
  if (how == "abort") std::abort();
  if (how == "terminate") escape_noexcept();
  if (how == "stack_overflow") return recurse(0) == 0 ? TestFailureResult{} : TestFailureResult{};
  raise(SIGSEGV);
  return {};
}

const std::vector<TestDescAndFn>& abort_registry() {
  static const std::vector<TestDescAndFn> registry = {
      {desc("crashes", __LINE__), harness::StaticTestFn{&crashes}},
  };
  return registry;
}

// --- stack, nonstatic ---

TestFailureResult reports_stack_size_and_thread_name() {
  pthread_attr_t attr;
  pthread_getattr_np(pthread_self(), &attr);
  std::size_t size = 0;
  pthread_attr_getstacksize(&attr, &size);
  pthread_attr_destroy(&attr);
  char name[64] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  std::cout << "stack " << size << "\nthread " << name << "\n";
  return {};
}

const std::vector<TestDescAndFn>& stack_registry() {
  static const std::vector<TestDescAndFn> registry = {
      {desc("reports_stack_size_and_thread_name", __LINE__),
       harness::StaticTestFn{&reports_stack_size_and_thread_name}},
  };
  return registry;
}

const std::vector<TestDescAndFn>& nonstatic_registry() {
  static const std::vector<TestDescAndFn> registry = {
      {desc("dynamic", __LINE__), harness::DynTestFn{&passes}},
  };
  return registry;
}

std::vector<std::string> arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace

int main(int argc, char** argv) {
  const char* chosen = std::getenv("HARNESS_SELFTEST_REGISTRY");
  const std::string registry = chosen != nullptr ? chosen : "basic";
  if (registry == "basic") {
    harness::test_main_static(std::span<const TestDescAndFn>(basic_registry()));
  } else if (registry == "many") {
    harness::test_main(arguments(argc, argv), many_registry());
  } else if (registry == "markers") {
    harness::test_main(arguments(argc, argv), markers_registry());
  } else if (registry == "slow") {
    harness::test_main_static(std::span<const TestDescAndFn>(slow_registry()));
  } else if (registry == "timing") {
    harness::test_main_static(std::span<const TestDescAndFn>(timing_registry()));
  } else if (registry == "abort") {
    harness::test_main_static(std::span<const TestDescAndFn>(abort_registry()));
  } else if (registry == "stack") {
    harness::test_main_static(std::span<const TestDescAndFn>(stack_registry()));
  } else if (registry == "nonstatic") {
    harness::test_main_static(std::span<const TestDescAndFn>(nonstatic_registry()));
  } else {
    std::fprintf(stderr, "harness_selftest: unknown registry '%s'\n", registry.c_str());
    return 2;
  }
  return 0;
}
