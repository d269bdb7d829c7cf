// Per-tile cycle accounting. Every stretch of cycles a tile spends is a
// sample labelled with its kind of work (the four kinds of the profile
// format), the superstep it belongs to and static names of the operation and
// kernel. Tiles are indexed by physical number.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace zel_sim {

enum class StepKind : std::uint8_t { Exchange = 0, Compute = 1, Synchronization = 2, Idle = 3 };

struct CycleSample {
  StepKind kind = StepKind::Idle;
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::uint32_t superstep = 0;
  std::uint32_t invocation = 0;
  std::string_view operation;  // static text
  std::string_view kernel;     // static text
};

class CycleLog {
 public:
  explicit CycleLog(std::size_t tiles) : samples_(tiles), totals_(tiles) {}

  // Records a sample of `physical`; empty stretches are not recorded.
  void record(std::uint16_t physical, const CycleSample& sample);

  std::size_t tiles() const { return samples_.size(); }
  const std::vector<CycleSample>& samples(std::uint16_t physical) const {
    return samples_[physical];
  }
  // Cycles of `physical` spent in `kind`, over the whole run.
  std::uint64_t total(std::uint16_t physical, StepKind kind) const {
    return totals_[physical][static_cast<std::size_t>(kind)];
  }

 private:
  std::vector<std::vector<CycleSample>> samples_;
  std::vector<std::array<std::uint64_t, 4>> totals_;
};

}  // namespace zel_sim
