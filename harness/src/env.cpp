// Environment variables as valid text, and the unsigned-number parse.
#include "env.h"

#include <cstdlib>
#include <limits>

#include "zel_utf8.h"

namespace harness {

std::optional<std::string> env_text(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  std::string text(value);
  if (!zel_utf8::validate(text)) return std::nullopt;
  return text;
}

std::expected<std::uint64_t, std::string> parse_unsigned(std::string_view text) {
  if (text.empty()) return std::unexpected("cannot parse integer from empty string");
  if (text.front() == '+') text.remove_prefix(1);
  // A sign with nothing after it is a bad digit, not an empty string.
  if (text.empty()) return std::unexpected("invalid digit found in string");
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  // Digits are taken left to right and the first problem met is the reason,
  // so "99999999999999999999x" overflows before its bad digit is seen.
  for (const char c : text) {
    if (c < '0' || c > '9') return std::unexpected("invalid digit found in string");
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (kMax - digit) / 10) {
      return std::unexpected("number too large to fit in target type");
    }
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace harness
