// Number forms used in messages.
#include "text.h"

#include <array>
#include <charconv>

namespace zel_sim {

std::string hex(std::uint64_t value) {
  std::array<char, 20> buffer{};
  const auto end = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, 16).ptr;
  return "0x" + std::string(buffer.data(), end);
}

std::string hex_byte(std::uint8_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  return std::string("0x") + kDigits[value >> 4] + kDigits[value & 0xf];
}

namespace {

template <class Number>
std::string shortest(Number value) {
  std::array<char, 32> buffer{};
  const auto end = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value).ptr;
  return std::string(buffer.data(), end);
}

}  // namespace

std::string decimal(double value) {
  return shortest(value);
}
std::string decimal(float value) {
  return shortest(value);
}

}  // namespace zel_sim
