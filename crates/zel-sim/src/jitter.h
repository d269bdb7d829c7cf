// Host-write jitter: a seeded plan that delays and reorders the packets of a
// host transfer batch, as a busy host link would. The plan depends only on
// the seed and the batch sizes seen so far, so a run can be repeated exactly;
// the card's results never depend on it, because the packets of one batch
// never overlap.
//
//   HostWriteJitter jitter({.max_delay_us = 50, .seed = 7});
//   JitterPlan plan = jitter.plan(packet_count);  // order and total delay
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "pattern.h"

namespace zel_sim {

struct JitterSettings {
  // Each packet is delayed by 0 to max_delay_us microseconds.
  std::uint32_t max_delay_us = 0;
  // Absent with max_delay_us 0: no jitter at all (packets in issue order).
  std::optional<std::uint64_t> seed;

  bool enabled() const { return max_delay_us > 0 || seed.has_value(); }
};

struct JitterPlan {
  std::vector<std::size_t> order;  // delivery order: indices of the issued packets
  std::uint64_t delay_us = 0;      // sum of the packets' delays
};

class HostWriteJitter {
 public:
  // Real sleeping is capped so that a large maximum keeps runs fast; the plan
  // still carries the full simulated delay.
  static constexpr std::chrono::microseconds kSleepBudget{2000};

  explicit HostWriteJitter(JitterSettings settings = {});

  JitterPlan plan(std::size_t packets);
  // Sleeps for the plan's delay, as far as the remaining budget allows.
  void wait(const JitterPlan& plan);

 private:
  JitterSettings settings_;
  SplitMix64 rng_;
  std::chrono::microseconds slept_{0};
};

}  // namespace zel_sim
