// One-line messages built from pieces: cat("tile ", 7, " at ", hex(0x1000)).
#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>

namespace zel_sim {

// "0x1f"
std::string hex(std::uint64_t value);
// "0x05": a byte as two hexadecimal digits.
std::string hex_byte(std::uint8_t value);
// The shortest text that reads back as the same value ("0.25", "-3", "1e-05").
std::string decimal(double value);
std::string decimal(float value);

namespace detail {
inline void append(std::string& out, std::string_view text) {
  out += text;
}
inline void append(std::string& out, char c) {
  out += c;
}
template <std::integral T>
requires(!std::same_as<T, char> && !std::same_as<T, bool>) void append(std::string& out, T value) {
  out += std::to_string(value);
}
}  // namespace detail

template <class... Parts>
std::string cat(const Parts&... parts) {
  std::string out;
  (detail::append(out, parts), ...);
  return out;
}

}  // namespace zel_sim
