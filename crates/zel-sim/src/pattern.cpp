// SplitMix64 and the address-derived data patterns.
#include "pattern.h"

namespace zel_sim {

std::uint64_t mix64(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

std::uint64_t SplitMix64::next() {
  state_ += 0x9e3779b97f4a7c15ULL;
  return mix64(state_);
}

// The compiler's 128-bit integer; not ISO C++, hence the marker.
__extension__ using Wide = unsigned __int128;

std::uint64_t SplitMix64::below(std::uint64_t bound) {
  const Wide product = static_cast<Wide>(next()) * bound;
  return static_cast<std::uint64_t>(product >> 64);
}

std::uint64_t pattern_stream(PatternDomain domain, std::uint32_t tile, std::uint32_t invocation) {
  const std::uint64_t key = (std::uint64_t{static_cast<std::uint8_t>(domain)} << 56) ^
                            (std::uint64_t{tile} << 32) ^ invocation;
  return mix64(key ^ 0x5a454c2d53494dULL);
}

void fill_pattern(std::span<std::uint8_t> out, std::uint64_t stream, std::uint32_t address) {
  // One mixed word per aligned 8-byte group; each byte takes its lane of it.
  std::uint64_t group = ~std::uint64_t{0};
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const std::uint64_t at = std::uint64_t{address} + i;
    if (at / 8 != group) {
      group = at / 8;
      word = mix64(stream + group * 0x9e3779b97f4a7c15ULL);
    }
    out[i] = static_cast<std::uint8_t>(word >> (8 * (at % 8)));
  }
}

}  // namespace zel_sim
