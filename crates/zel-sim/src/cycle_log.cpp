// Recording of cycle samples and per-kind totals.
#include "cycle_log.h"

namespace zel_sim {

void CycleLog::record(std::uint16_t physical, const CycleSample& sample) {
  if (sample.end <= sample.start) return;
  samples_[physical].push_back(sample);
  totals_[physical][static_cast<std::size_t>(sample.kind)] += sample.end - sample.start;
}

}  // namespace zel_sim
