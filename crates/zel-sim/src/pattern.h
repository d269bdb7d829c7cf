// Data patterns and the seeded generator shared by the card and its runners.
//
// A pattern stream is derived from a domain, a tile and an invocation; the
// byte at an SRAM address is derived from the stream and the address. So a
// byte that went to the wrong tile, the wrong address, or that is left over
// from an earlier invocation does not match what the reader expects.
//
//   std::vector<std::uint8_t> data(64);
//   fill_pattern(data, pattern_stream(PatternDomain::Host, tile, 0), 0x1000);
#pragma once

#include <cstdint>
#include <span>

namespace zel_sim {

// SplitMix64: a small, fast generator whose output depends only on the seed,
// the same on every machine.
class SplitMix64 {
 public:
  explicit SplitMix64(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next();
  // A value from 0 to bound - 1 (bound >= 1), by a 128-bit multiply-high.
  std::uint64_t below(std::uint64_t bound);

 private:
  std::uint64_t state_;
};

// The SplitMix64 finaliser: a bijective 64-bit mixer.
std::uint64_t mix64(std::uint64_t value);

// Who produced a pattern, so that data written by the host and data written
// by a tile's own program never coincide.
enum class PatternDomain : std::uint8_t { Host = 1, Device = 2, Stale = 3 };

std::uint64_t pattern_stream(PatternDomain domain, std::uint32_t tile, std::uint32_t invocation);

// Fills `out` with the bytes of `stream` at addresses `address` onwards.
void fill_pattern(std::span<std::uint8_t> out, std::uint64_t stream, std::uint32_t address);

}  // namespace zel_sim
