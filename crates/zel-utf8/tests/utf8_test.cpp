// Well-formed UTF-8: where the first ill-formed sequence starts and how long
// its maximal subpart is, for every kind of lead byte and every cut-off point.
#include <gtest/gtest.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "zel_utf8.h"

namespace {

using zel_utf8::Utf8Error;

struct Case {
  std::string bytes;
  std::optional<Utf8Error> error;  // empty: well-formed
};

const auto ok = std::nullopt;
Utf8Error at(std::size_t valid_up_to, std::optional<std::uint8_t> error_len) {
  return Utf8Error{valid_up_to, error_len};
}

void check(const std::initializer_list<Case>& cases) {
  for (const auto& [bytes, error] : cases) {
    std::string hex;
    for (const unsigned char b : bytes) hex += std::to_string(b) + " ";
    SCOPED_TRACE(hex);
    const auto result = zel_utf8::validate(bytes);
    if (error) {
      ASSERT_FALSE(result.has_value());
      EXPECT_EQ(result.error(), *error);
    } else {
      EXPECT_TRUE(result.has_value());
    }
  }
}

TEST(Utf8Validate, OneByteLeads) {
  check({
      {"", ok},
      {std::string("\0\x01\x7f", 3), ok},
      {"ab\xFF", at(2, 1)},
      {"\x80", at(0, 1)},  // a continuation byte cannot start a sequence
      {"a\xBF", at(1, 1)},
      {"\xC0\x80", at(0, 1)},  // C0 and C1 only start overlong forms
      {"\xC1\xBF", at(0, 1)},
      {"\xF5\x80\x80\x80", at(0, 1)},  // beyond U+10FFFF
      {"\xF8\x88\x80\x80\x80", at(0, 1)},
      {"\xFE", at(0, 1)},
  });
}

TEST(Utf8Validate, TwoByteLeads) {
  check({
      {"\xC2\x80", ok},
      {"\xDF\xBF", ok},
      {"x\xC2", at(1, std::nullopt)},
      {"\xC2\x7F", at(0, 1)},
      {"\xDF\xC0", at(0, 1)},
  });
}

TEST(Utf8Validate, ThreeByteLeads) {
  check({
      {"\xE0\xA0\x80", ok},
      {"\xE1\x80\x80", ok},
      {"\xEC\xBF\xBF", ok},
      {"\xED\x9F\xBF", ok},  // U+D7FF, just below the surrogates
      {"\xEE\x80\x80", ok},
      {"\xEF\xBF\xBF", ok},
      {"a\xE2\x82", at(1, std::nullopt)},
      {"a\xE2", at(1, std::nullopt)},
      {"\xE2\x82z", at(0, 2)},
      {"\xE2z", at(0, 1)},
      {"\xE0\x9F\xBF", at(0, 1)},  // overlong
      {"\xE0\xA0", at(0, std::nullopt)},
      {"\xED\xA0\x80", at(0, 1)},  // surrogate U+D800
      {"\xED\xBF\xBF", at(0, 1)},  // surrogate U+DFFF
      {"\xED\x9F", at(0, std::nullopt)},
      {"\xEF\xBF\xC0", at(0, 2)},
  });
}

TEST(Utf8Validate, FourByteLeads) {
  check({
      {"\xF0\x90\x80\x80", ok},
      {"\xF1\x80\x80\x80", ok},
      {"\xF3\xBF\xBF\xBF", ok},
      {"\xF4\x8F\xBF\xBF", ok},  // U+10FFFF
      {"\xF0", at(0, std::nullopt)},
      {"\xF0\x90", at(0, std::nullopt)},
      {"ab\xF0\x90\x80", at(2, std::nullopt)},
      {"\xF0\x8F\xBF\xBF", at(0, 1)},  // overlong
      {"\xF4\x90\x80\x80", at(0, 1)},  // above U+10FFFF
      {"\xF1z", at(0, 1)},
      {"\xF1\x80z", at(0, 2)},
      {"\xF1\x80\x80z", at(0, 3)},
      {"\xF4\x8F\xBF\xC0", at(0, 3)},
  });
}

TEST(Utf8Validate, ReportsTheFirstFaultAfterWellFormedText) {
  check({
      {"h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80!", ok},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xFF\xC2", at(9, 1)},
      {std::string(1000, 'a') + "\xE2\x82" + "\xFF", at(1000, 2)},
  });
}

// An independent oracle: a sequence is well-formed exactly when it is the
// shortest encoding of a scalar value (not a surrogate, at most U+10FFFF).
std::string_view encode(char32_t cp, char (&buf)[4]) {
  if (cp < 0x80) {
    buf[0] = static_cast<char>(cp);
    return {buf, 1};
  }
  if (cp < 0x800) {
    buf[0] = static_cast<char>(0xC0 | (cp >> 6));
    buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return {buf, 2};
  }
  if (cp < 0x10000) {
    buf[0] = static_cast<char>(0xE0 | (cp >> 12));
    buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return {buf, 3};
  }
  buf[0] = static_cast<char>(0xF0 | (cp >> 18));
  buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return {buf, 4};
}

bool oracle_well_formed(std::string_view s) {
  const auto b = [&](std::size_t i) {
    return static_cast<char32_t>(static_cast<unsigned char>(s[i]));
  };
  char32_t cp = 0;
  if (s.size() == 2) cp = ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
  if (s.size() == 3) cp = ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
  if (s.size() == 4) {
    cp = ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
  }
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  char buf[4];
  return encode(cp, buf) == s;
}

TEST(Utf8Validate, AgreesWithTheOracleOnEveryShortSequence) {
  char buf[4];
  for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    if (!zel_utf8::validate(encode(cp, buf))) FAIL() << std::hex << static_cast<std::uint32_t>(cp);
  }
  // Every two- and three-byte sequence after a non-ASCII lead; after a
  // four-byte lead the second byte decides, so the later ones take their
  // boundary values.
  const auto agrees = [](std::string_view s) {
    return zel_utf8::validate(s).has_value() == oracle_well_formed(s);
  };
  const auto hex = [](std::string_view s) {
    std::string out;
    for (const unsigned char c : s) out += std::to_string(c) + " ";
    return out;
  };
  const unsigned char edges[] = {0x7F, 0x80, 0xBF, 0xC0};
  for (unsigned lead = 0x80; lead <= 0xFF; ++lead) {
    buf[0] = static_cast<char>(lead);
    for (unsigned second = 0; second < 256; ++second) {
      buf[1] = static_cast<char>(second);
      if (!agrees({buf, 2})) FAIL() << hex({buf, 2});
      if (lead < 0xE0) continue;
      for (unsigned third = 0; third < 256; ++third) {
        buf[2] = static_cast<char>(third);
        if (lead < 0xF0) {
          if (!agrees({buf, 3})) FAIL() << hex({buf, 3});
          continue;
        }
        if (third != 0x7F && third != 0x80 && third != 0xBF && third != 0xC0) continue;
        for (const unsigned char fourth : edges) {
          buf[3] = static_cast<char>(fourth);
          if (!agrees({buf, 4})) FAIL() << hex({buf, 4});
        }
      }
    }
  }
}

TEST(Utf8DecodeLossy, ReplacesEachMaximalSubpart) {
  struct Lossy {
    std::string bytes, text;
  };
  const Lossy cases[] = {
      {"plain", "plain"},
      {"a\xFF"
       "b",
       "a\xEF\xBF\xBD"
       "b"},
      // The Unicode standard's own example: seven replacements.
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
       "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"
       "b\xEF\xBF\xBD"
       "c\xEF\xBF\xBD\xEF\xBF\xBD"
       "d"},
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"ok\xE2\x82", "ok\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) EXPECT_EQ(zel_utf8::decode_lossy(c.bytes), c.text);
}

TEST(Utf8ErrorText, WritesBothFields) {
  EXPECT_EQ(debug_text(at(2, 1)), "Utf8Error { valid_up_to: 2, error_len: Some(1) }");
  EXPECT_EQ(debug_text(at(1, std::nullopt)), "Utf8Error { valid_up_to: 1, error_len: None }");
}

}  // namespace
