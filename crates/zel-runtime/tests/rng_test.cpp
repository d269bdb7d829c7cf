#include "rng.h"

#include <gtest/gtest.h>

#include <vector>

#include "frame.h"

namespace zel_runtime {
namespace {

constexpr std::uint64_t kIncrement = 0x2d358dccaa6c78a5;

TEST(Rng, FirstStepOfTheFirstHostSeed) {
  Rng rng = Rng::with_seed(0x243f6a8885a308d3);
  EXPECT_EQ(rng.state(), 0x243f6a8885a308d3u);
  EXPECT_EQ(rng.gen_u64(), 0xc54e4afe19351146u);
  EXPECT_EQ(rng.state(), 0x5174f855300f8178u);

  Rng again = Rng::with_seed(0x243f6a8885a308d3);
  EXPECT_EQ(again.gen_u32(), 0x19351146u);
  Rng bounded = Rng::with_seed(0x243f6a8885a308d3);
  EXPECT_EQ(bounded.gen_mod_u32(1472), 144u);
}

TEST(Rng, MulHighIsTheUpperHalfOfTheProduct) {
  EXPECT_EQ(Rng::mul_high_u32(0x19351146, 1472), 144u);
  EXPECT_EQ(Rng::mul_high_u32(0xffffffff, 0xffffffff), 0xfffffffeu);
  EXPECT_EQ(Rng::mul_high_u32(0x80000000, 2), 1u);
}

struct HostCase {
  std::uint64_t seed;
  std::vector<std::uint16_t> draws;
  const char* tile_list;
};

TEST(Rng, HostCasesDrawTheirEightTilesWithoutRejection) {
  const HostCase cases[] = {
      {0x243f6a8885a308d3,
       {144, 956, 34, 1243, 71, 1300, 1157, 1104},
       "34,71,144,956,1104,1157,1243,1300"},
      {0x13198a2e03707344, {647, 11, 451, 108, 958, 536, 19, 846}, "11,19,108,451,536,647,846,958"},
      {0xa4093822299f31d0,
       {82, 416, 19, 602, 893, 829, 1187, 1065},
       "19,82,416,602,829,893,1065,1187"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(hex(c.seed));
    Rng rng = Rng::with_seed(c.seed);
    std::vector<std::uint16_t> draws;
    for (int i = 0; i < 8; ++i) draws.push_back(rng.u16(0, 1472));
    EXPECT_EQ(draws, c.draws);
    // One generator step per draw: nothing was rejected.
    EXPECT_EQ(rng.state(), c.seed + 8 * kIncrement);

    Rng tiles_rng = Rng::with_seed(c.seed);
    EXPECT_EQ(tile_list(draw_tiles(tiles_rng, 8, 1472)), c.tile_list);
  }
}

TEST(Rng, RejectedDrawsAreRedrawn) {
  // With n = 2^31 + 1 about half the draws fall below the threshold; these
  // values and step counts come from an independent implementation.
  Rng rng = Rng::with_seed(1);
  const std::uint32_t n = 0x80000001;
  EXPECT_EQ(rng.gen_mod_u32(n), 2039292739u);
  EXPECT_EQ(rng.state(), 1 + 3 * kIncrement);
  EXPECT_EQ(rng.gen_mod_u32(n), 287036260u);
  EXPECT_EQ(rng.gen_mod_u32(n), 668140101u);
  EXPECT_EQ(rng.gen_mod_u32(n), 1876021323u);
  EXPECT_EQ(rng.state(), 1 + 17 * kIncrement);
}

TEST(Rng, FullRangeTakesTheLowSixteenBits) {
  Rng rng = Rng::with_seed(5);
  EXPECT_EQ(rng.u16(0, 65536), 2290);
  EXPECT_EQ(rng.u16(0, 65536), 15210);
  EXPECT_EQ(rng.u16(0, 65536), 988);
}

TEST(Rng, RepeatedTilesAreDroppedAndDrawingGoesOn) {
  // Seed 2 over ten tiles draws 2, 4, 4, 0, 5, 0, 4, 6: three repeats before
  // the fifth distinct tile.
  Rng rng = Rng::with_seed(2);
  EXPECT_EQ(tile_list(draw_tiles(rng, 5, 10)), "0,2,4,5,6");
  EXPECT_EQ(rng.state(), 2 + 8 * kIncrement);
}

}  // namespace
}  // namespace zel_runtime
