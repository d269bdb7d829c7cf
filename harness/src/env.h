// The harness's view of its environment variables and of the numbers they
// (and the numeric options) carry.
//
// A variable counts as set only when it exists and its value is valid UTF-8;
// a value that is not valid text is treated exactly like an absent variable.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace harness {

// The value of `name` when it is set to valid text, else nothing.
std::optional<std::string> env_text(const char* name);

// Parses an unsigned decimal number: digits only, with one optional leading
// "+". On failure returns the reason, one of
//   "cannot parse integer from empty string"
//   "invalid digit found in string"      (anything else, a lone "+" or a "-")
//   "number too large to fit in target type"
std::expected<std::uint64_t, std::string> parse_unsigned(std::string_view text);

}  // namespace harness
