// The seeded generator of the randomized tests: wyrand, with a multiply-high
// reduction for bounded draws. The same seed yields the same tiles on every
// machine, so a randomized test always exercises the same cases.
//
//   Rng rng = Rng::with_seed(0x243f6a8885a308d3);
//   std::set<std::uint16_t> tiles = draw_tiles(rng, 8, 1472);  // {34, 71, ...}
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>

namespace zel_runtime {

class Rng {
  __extension__ using U128 = unsigned __int128;

 public:
  static constexpr Rng with_seed(std::uint64_t seed) { return Rng(seed); }

  constexpr std::uint64_t state() const { return state_; }

  constexpr std::uint64_t gen_u64() {
    state_ += 0x2d358dccaa6c78a5ULL;
    const auto product = static_cast<U128>(state_) * (state_ ^ 0x8bb84b93962eacc9ULL);
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
  }

  constexpr std::uint32_t gen_u32() { return static_cast<std::uint32_t>(gen_u64()); }

  static constexpr std::uint32_t mul_high_u32(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::uint32_t>((std::uint64_t{a} * b) >> 32);
  }

  // A value from 0 to n - 1 (n at least 1). Draws whose low product falls
  // below (2^32 - n) mod n are rejected, so every value is equally likely.
  constexpr std::uint32_t gen_mod_u32(std::uint32_t n) {
    std::uint32_t r = gen_u32();
    std::uint32_t hi = mul_high_u32(r, n);
    std::uint32_t lo = r * n;
    if (lo < n) {
      const std::uint32_t threshold = (0u - n) % n;
      while (lo < threshold) {
        r = gen_u32();
        hi = mul_high_u32(r, n);
        lo = r * n;
      }
    }
    return hi;
  }

  // A value in [low, end), for low < end <= 65536.
  constexpr std::uint16_t u16(std::uint16_t low, std::uint32_t end) {
    const auto high = static_cast<std::uint16_t>(end - 1);
    if (low == 0 && high == 0xffff) return static_cast<std::uint16_t>(gen_u32());
    const auto len = static_cast<std::uint16_t>(high - low + 1);
    return static_cast<std::uint16_t>(low + gen_mod_u32(len));
  }

 private:
  explicit constexpr Rng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t state_;
};

// Draws tiles from [0, end) until `count` distinct ones are held; a repeat is
// dropped but still advances the generator.
inline std::set<std::uint16_t> draw_tiles(Rng& rng, std::size_t count, std::uint32_t end) {
  std::set<std::uint16_t> tiles;
  while (tiles.size() < count) tiles.insert(rng.u16(0, end));
  return tiles;
}

}  // namespace zel_runtime
