// Well-formed UTF-8 as the Unicode standard defines it (no overlong forms, no
// surrogates, nothing above U+10FFFF), with the position and length of the
// first ill-formed sequence, and lossy decoding that replaces each maximal
// ill-formed subpart with U+FFFD.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace zel_utf8 {

struct Utf8Error {
  // Bytes before the first ill-formed sequence, all well-formed.
  std::size_t valid_up_to = 0;
  // Length (1 to 3) of the maximal subpart of the ill-formed sequence; empty
  // when the text ends inside a sequence that is well-formed so far.
  std::optional<std::uint8_t> error_len;
  bool operator==(const Utf8Error&) const = default;
};

// Utf8Error { valid_up_to: 2, error_len: Some(1) }
std::string debug_text(const Utf8Error& error);

std::expected<void, Utf8Error> validate(std::string_view bytes);

// `bytes` with every ill-formed subpart replaced by U+FFFD (EF BF BD).
std::string decode_lossy(std::string_view bytes);

}  // namespace zel_utf8
