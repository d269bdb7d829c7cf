// Numbers and columns as text, for the tools' reports and drawings (zel-profile,
// zel-health).
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

namespace zel_tools {

// `value` with `decimals` digits after the point: fixed(0.5, 2) is "0.50".
inline std::string fixed(double value, int decimals) {
  char buf[64];
  const auto end = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  return std::string(buf, end.ptr);
}

// The shortest text that reads back as `value` (JSON-compatible for finite values).
inline std::string shortest(double value) {
  char buf[64];
  const auto end = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, end.ptr);
}

// 12,345,678
inline std::string grouped(std::uint64_t value) {
  std::string digits = std::to_string(value);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

inline std::string align_right(std::string_view text, std::size_t width) {
  return std::string(width > text.size() ? width - text.size() : 0, ' ') + std::string(text);
}

inline std::string align_left(std::string_view text, std::size_t width) {
  return std::string(text) + std::string(width > text.size() ? width - text.size() : 0, ' ');
}

}  // namespace zel_tools
