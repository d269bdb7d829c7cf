// Thresholds by test kind and the text forms of measured times.
#include "harness/time.h"

#include <atomic>
#include <cstdio>

namespace harness {
namespace {

// Tests that run past their deadline for this long get one notice.
constexpr std::chrono::nanoseconds kDefaultTimeoutInterval = std::chrono::seconds(60);

// Only unit tests of the run loop change it, before any run starts; an atomic
// keeps that change race-free with the threads those tests start.
std::atomic<std::chrono::nanoseconds::rep> g_timeout_interval{kDefaultTimeoutInterval.count()};

// Kind Unknown has no variable of its own; its limits never change.
constexpr TimeThreshold kUnknownThreshold{std::chrono::seconds(60), std::chrono::seconds(120)};

double to_seconds(std::chrono::nanoseconds duration) {
  const auto whole = std::chrono::duration_cast<std::chrono::seconds>(duration);
  const auto nanos = duration - whole;
  return static_cast<double>(whole.count()) + static_cast<double>(nanos.count()) / 1e9;
}

std::string seconds_text(double seconds, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*fs", decimals, seconds);
  return buf;
}

}  // namespace

double TestExecTime::seconds() const {
  return to_seconds(duration);
}
std::string TestExecTime::text() const {
  return seconds_text(seconds(), 3);
}

double TestSuiteExecTime::seconds() const {
  return to_seconds(duration);
}
std::string TestSuiteExecTime::text() const {
  return seconds_text(seconds(), 2);
}

std::chrono::nanoseconds timeout_interval() {
  return std::chrono::nanoseconds(g_timeout_interval.load(std::memory_order_relaxed));
}

void set_timeout_interval_for_tests(std::chrono::nanoseconds interval) {
  g_timeout_interval.store(interval.count(), std::memory_order_relaxed);
}

TimeThreshold threshold_for(const TestTimeOptions& options, TestKind kind) {
  switch (kind) {
    case TestKind::Unit:
      return options.unit_threshold;
    case TestKind::Integration:
      return options.integration_threshold;
    case TestKind::Doc:
      return options.doctest_threshold;
    case TestKind::Unknown:
      break;
  }
  return kUnknownThreshold;
}

bool is_warn(const TestTimeOptions& options, const TestDesc& desc, const TestExecTime& time) {
  return time.duration >= threshold_for(options, desc.kind).warn;
}

bool is_critical(const TestTimeOptions& options, const TestDesc& desc, const TestExecTime& time) {
  return time.duration >= threshold_for(options, desc.kind).critical;
}

}  // namespace harness
