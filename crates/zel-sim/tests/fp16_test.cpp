// binary16 conversions: exact round trips and round-to-nearest-even.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>

#include "fp16.h"

namespace zel_sim {
namespace {

TEST(Fp16, EveryValueSurvivesARoundTripThroughFloat) {
  for (std::uint32_t bits = 0; bits <= 0xffff; ++bits) {
    const auto half = static_cast<std::uint16_t>(bits);
    const bool nan = (half & 0x7c00) == 0x7c00 && (half & 0x3ff) != 0;
    if (nan) {
      EXPECT_TRUE(std::isnan(f16_to_float(half)));
      EXPECT_TRUE(std::isnan(f16_to_float(f16_from_float(f16_to_float(half)))));
    } else {
      ASSERT_EQ(f16_from_float(f16_to_float(half)), half) << std::hex << bits;
    }
  }
}

TEST(Fp16, KnownValuesDecode) {
  EXPECT_EQ(f16_to_float(0x3c00), 1.0f);
  EXPECT_EQ(f16_to_float(0xc000), -2.0f);
  EXPECT_EQ(f16_to_float(0x7bff), 65504.0f);
  EXPECT_EQ(f16_to_float(0x0400), std::ldexp(1.0f, -14));  // smallest normal
  EXPECT_EQ(f16_to_float(0x0001), std::ldexp(1.0f, -24));  // smallest subnormal
  EXPECT_EQ(f16_to_float(0x03ff), std::ldexp(1023.0f, -24));
  EXPECT_EQ(f16_to_float(0x7c00), std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::signbit(f16_to_float(0x8000)));
}

TEST(Fp16, RoundsToNearestEven) {
  struct Case {
    float value;
    std::uint16_t bits;
  };
  const float ulp_at_one = std::ldexp(1.0f, -10);
  const float tiny = std::ldexp(1.0f, -24);
  for (const Case c : {
           Case{1.0f + ulp_at_one / 2, 0x3c00},      // tie, rounds to even 1.0
           Case{1.0f + 3 * ulp_at_one / 2, 0x3c02},  // tie, rounds up to even
           Case{1.0f + ulp_at_one * 0.51f, 0x3c01},  // above the tie
           Case{65504.0f + 16.0f, 0x7c00},           // tie above the largest: infinity
           Case{65504.0f + 15.0f, 0x7bff},           // below it: stays finite
           Case{1e9f, 0x7c00},                       // overflow
           Case{-1e9f, 0xfc00},
           Case{tiny / 2, 0x0000},      // tie at the bottom: to zero (even)
           Case{tiny * 0.75f, 0x0001},  // rounds up to the smallest
           Case{tiny * 1.5f, 0x0002},   // subnormal tie to even
           Case{tiny * 2.5f, 0x0002},
           Case{std::ldexp(1.0f, -14) - tiny / 4, 0x0400},  // subnormal rounding up to normal
           Case{std::ldexp(1.0f, -30), 0x0000},             // underflow
           Case{std::numeric_limits<float>::denorm_min(), 0x0000},
       }) {
    EXPECT_EQ(f16_from_float(c.value), c.bits) << c.value;
  }
  EXPECT_EQ(f16_from_float(std::numeric_limits<float>::quiet_NaN()) & 0x7e00, 0x7e00);
}

}  // namespace
}  // namespace zel_sim
