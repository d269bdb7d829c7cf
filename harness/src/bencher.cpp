#include "harness/bencher.h"

#include <algorithm>
#include <chrono>
#include <vector>

namespace harness {
namespace {

using Clock = std::chrono::steady_clock;

double nanoseconds_of(const std::function<void()>& body, std::uint64_t calls) {
  const auto start = Clock::now();
  for (std::uint64_t i = 0; i < calls; ++i) body();
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
}

}  // namespace

void Bencher::iter(const std::function<void()>& body) {
  if (mode_ == Mode::Single) {
    body();
    return;
  }
  // Calibrate so that one sample takes about a millisecond, then take up to
  // 50 samples within about three seconds (at least 5).
  const double once = std::max(nanoseconds_of(body, 1), 1.0);
  const auto calls = static_cast<std::uint64_t>(std::max(1.0, 1e6 / once));
  std::vector<double> per_call;
  const auto budget_end = Clock::now() + std::chrono::seconds(3);
  while (per_call.size() < 50 && (per_call.size() < 5 || Clock::now() < budget_end)) {
    per_call.push_back(nanoseconds_of(body, calls) / static_cast<double>(calls));
  }
  std::sort(per_call.begin(), per_call.end());
  BenchSamples samples;
  const std::size_t n = per_call.size();
  samples.median_ns = n % 2 == 1 ? per_call[n / 2] : (per_call[n / 2 - 1] + per_call[n / 2]) / 2;
  samples.deviation_ns = per_call.back() - per_call.front();
  for (const double v : per_call) samples.sum_ns += v;
  summary_ = samples;
}

}  // namespace harness
