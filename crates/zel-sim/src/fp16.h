// IEEE 754 binary16 values stored as their 16 bits, converted to and from
// float with round-to-nearest-even (subnormals, infinities and NaN kept).
#pragma once

#include <cstdint>

namespace zel_sim {

std::uint16_t f16_from_float(float value);
float f16_to_float(std::uint16_t bits);

// Rounds a float to the nearest binary16 value.
inline float round_to_f16(float value) {
  return f16_to_float(f16_from_float(value));
}

}  // namespace zel_sim
