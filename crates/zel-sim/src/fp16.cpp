// binary16 <-> binary32 conversion by bit manipulation.
#include "fp16.h"

#include <bit>

namespace zel_sim {

std::uint16_t f16_from_float(float value) {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  const auto sign = static_cast<std::uint16_t>((bits >> 16) & 0x8000);
  const std::uint32_t exponent = (bits >> 23) & 0xff;
  std::uint32_t mantissa = bits & 0x7fffff;
  if (exponent == 0xff) {  // infinity or NaN (NaN stays quiet NaN)
    return static_cast<std::uint16_t>(sign | 0x7c00 | (mantissa != 0 ? 0x200 : 0));
  }
  const int unbiased = static_cast<int>(exponent) - 127;
  if (unbiased > 15) return static_cast<std::uint16_t>(sign | 0x7c00);  // overflow
  if (unbiased >= -14) {
    // Normal: keep 10 mantissa bits, round the 13 dropped ones to nearest even.
    std::uint32_t half = (static_cast<std::uint32_t>(unbiased + 15) << 10) | (mantissa >> 13);
    const std::uint32_t rest = mantissa & 0x1fff;
    if (rest > 0x1000 || (rest == 0x1000 && (half & 1) != 0)) ++half;  // may carry into inf
    return static_cast<std::uint16_t>(sign | half);
  }
  if (unbiased < -25) return sign;  // below half the smallest subnormal
  // Subnormal: the implicit bit becomes explicit and the value shifts right.
  mantissa |= 0x800000;
  const int shift = -unbiased - 14 + 13;  // 14..24
  std::uint32_t half = mantissa >> shift;
  const std::uint32_t rest = mantissa & ((1u << shift) - 1);
  const std::uint32_t midpoint = 1u << (shift - 1);
  if (rest > midpoint || (rest == midpoint && (half & 1) != 0)) ++half;
  return static_cast<std::uint16_t>(sign | half);
}

float f16_to_float(std::uint16_t bits) {
  const std::uint32_t sign = static_cast<std::uint32_t>(bits & 0x8000) << 16;
  const std::uint32_t exponent = (bits >> 10) & 0x1f;
  std::uint32_t mantissa = bits & 0x3ff;
  if (exponent == 0x1f) return std::bit_cast<float>(sign | 0x7f800000 | (mantissa << 13));
  if (exponent != 0) {
    return std::bit_cast<float>(sign | ((exponent + 112) << 23) | (mantissa << 13));
  }
  if (mantissa == 0) return std::bit_cast<float>(sign);
  // Subnormal: normalise into a float's wider exponent range.
  int e = -1;
  do {
    mantissa <<= 1;
    ++e;
  } while ((mantissa & 0x400) == 0);
  return std::bit_cast<float>(sign | (static_cast<std::uint32_t>(112 - e) << 23) |
                              ((mantissa & 0x3ff) << 13));
}

}  // namespace zel_sim
