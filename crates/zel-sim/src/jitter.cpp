// The jitter plan: a seeded Fisher-Yates shuffle plus per-packet delays.
#include "jitter.h"

#include <algorithm>
#include <numeric>
#include <thread>

namespace zel_sim {

HostWriteJitter::HostWriteJitter(JitterSettings settings)
    : settings_(settings), rng_(settings.seed.value_or(0)) {}

JitterPlan HostWriteJitter::plan(std::size_t packets) {
  JitterPlan plan;
  plan.order.resize(packets);
  std::iota(plan.order.begin(), plan.order.end(), std::size_t{0});
  if (!settings_.enabled()) return plan;
  for (std::size_t i = packets; i > 1; --i) {
    std::swap(plan.order[i - 1], plan.order[rng_.below(i)]);
  }
  if (settings_.max_delay_us > 0) {
    for (std::size_t i = 0; i < packets; ++i) {
      plan.delay_us += rng_.below(std::uint64_t{settings_.max_delay_us} + 1);
    }
  }
  return plan;
}

void HostWriteJitter::wait(const JitterPlan& plan) {
  const auto left = kSleepBudget - slept_;
  const auto nap = std::min(std::chrono::microseconds(plan.delay_us), left);
  if (nap.count() <= 0) return;
  std::this_thread::sleep_for(nap);
  slept_ += nap;
}

}  // namespace zel_sim
