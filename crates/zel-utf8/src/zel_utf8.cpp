#include "zel_utf8.h"

namespace zel_utf8 {

namespace {

// Checks the sequence starting at `pos`: its length when well-formed, else the error.
std::expected<std::size_t, Utf8Error> sequence_at(std::string_view s, std::size_t pos) {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = at(pos);
  if (lead < 0x80) return 1;

  std::size_t width = 0;
  unsigned char second_lo = 0x80, second_hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    width = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    width = 3;
    if (lead == 0xE0) second_lo = 0xA0;  // no overlong forms
    if (lead == 0xED) second_hi = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    width = 4;
    if (lead == 0xF0) second_lo = 0x90;  // no overlong forms
    if (lead == 0xF4) second_hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return std::unexpected(Utf8Error{pos, 1});
  }

  for (std::size_t k = 1; k < width; ++k) {
    if (pos + k >= s.size()) return std::unexpected(Utf8Error{pos, std::nullopt});
    const unsigned char lo = k == 1 ? second_lo : 0x80;
    const unsigned char hi = k == 1 ? second_hi : 0xBF;
    const unsigned char b = at(pos + k);
    if (b < lo || b > hi) return std::unexpected(Utf8Error{pos, static_cast<std::uint8_t>(k)});
  }
  return width;
}

}  // namespace

std::string debug_text(const Utf8Error& error) {
  std::string out = "Utf8Error { valid_up_to: " + std::to_string(error.valid_up_to) + ", error_len: ";
  out += error.error_len ? "Some(" + std::to_string(*error.error_len) + ")" : std::string("None");
  return out + " }";
}

std::expected<void, Utf8Error> validate(std::string_view bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    // ASCII runs are the common case in profiles and test output.
    while (pos < bytes.size() && static_cast<unsigned char>(bytes[pos]) < 0x80) ++pos;
    if (pos == bytes.size()) break;
    auto width = sequence_at(bytes, pos);
    if (!width) return std::unexpected(width.error());
    pos += *width;
  }
  return {};
}

std::string decode_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    auto width = sequence_at(bytes, pos);
    if (width) {
      out.append(bytes.substr(pos, *width));
      pos += *width;
    } else {
      out.append("\xEF\xBF\xBD");
      // A sequence cut off by the end of the text is one ill-formed subpart.
      pos = width.error().error_len ? pos + *width.error().error_len : bytes.size();
    }
  }
  return out;
}

}  // namespace zel_utf8
