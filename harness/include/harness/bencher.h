// Measuring a benchmark function: the harness hands it a `Bencher`, and the
// function calls `iter` with the code to time.
//
//   harness::TestFailureResult bench_copy(harness::Bencher& b) {
//     b.iter([] { copy_once(); });
//     return {};
//   }
//
// Run as a benchmark, `iter` times many calls; run as a test (benchmarks are
// not asked for), it calls the code exactly once.
#pragma once

#include <functional>
#include <optional>

#include "harness/formatter.h"

namespace harness {

class Bencher {
 public:
  enum class Mode { Measure, Single };
  explicit Bencher(Mode mode) : mode_(mode) {}

  void iter(const std::function<void()>& body);

  // The measurement, once `iter` has been called in `Measure` mode.
  const std::optional<BenchSamples>& summary() const { return summary_; }

 private:
  Mode mode_;
  std::optional<BenchSamples> summary_;
};

}  // namespace harness
