// Debug text of texts and operating-system errors, byte for byte, and the
// one-line promise of debug text whatever bytes a text holds.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "zel_text.h"
#include "zel_utf8.h"

namespace zel_text {
namespace {

TEST(DebugQuoted, EscapesByCharacterAndBrokenUtf8ByByte) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"", R"("")"},
      {"plain text", R"("plain text")"},
      {"a\"b\\c", R"("a\"b\\c")"},
      {std::string("t\tr\rn\nz\0", 8), R"("t\tr\rn\nz\0")"},
      {"\x01\x1b[0m\x1f\x7f", R"("\u{1}\u{1b}[0m\u{1f}\u{7f}")"},
      {"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      // Bytes that belong to no well-formed sequence, one escape each.
      {"a\xff", R"("a\xff")"},
      {"\x80\xbf", R"("\x80\xbf")"},
      {"\xff"
       "7\n",
       R"("\xff7\n")"},
      {"\xc3", R"("\xc3")"},
      {"\xff\xc3", R"("\xff\xc3")"},
      {"\xe2\x82", R"("\xe2\x82")"},
      {"\xf0\x9f\x98X", R"("\xf0\x9f\x98X")"},
      {"\xc0\xaf", R"("\xc0\xaf")"},                  // overlong
      {"\xed\xa0\x80", R"("\xed\xa0\x80")"},          // surrogate
      {"\xf4\x90\x80\x80", R"("\xf4\x90\x80\x80")"},  // above U+10FFFF
      // Escaping resumes with the next well-formed character.
      {"\xe2\x82\xc3\xa9\x01\xff\"", "\"\\xe2\\x82\xc3\xa9\\u{1}\\xff\\\"\""},
  };
  for (const Case& c : cases) EXPECT_EQ(debug_quoted(c.in), c.out) << "input: " << c.in;
}

// Whatever two bytes a text holds, its debug text is valid UTF-8 with no
// control character: one printable line.
TEST(DebugQuoted, EveryBytePairGivesOnePrintableLine) {
  for (int first = 0; first < 256; ++first) {
    for (int second = 0; second < 256; ++second) {
      const std::string text{static_cast<char>(first), static_cast<char>(second)};
      const std::string quoted = debug_quoted(text);
      ASSERT_TRUE(zel_utf8::validate(quoted)) << first << " " << second;
      for (const char c : quoted) {
        const auto byte = static_cast<unsigned char>(c);
        ASSERT_TRUE(byte >= 0x20 && byte != 0x7f) << first << " " << second;
      }
    }
  }
}

TEST(OsErrorDebug, CodeKindAndMessage) {
  struct Case {
    int code;
    std::string_view kind;
    std::string debug;
  };
  const std::vector<Case> cases = {
      {ENOENT, "NotFound",
       R"(Os { code: 2, kind: NotFound, message: "No such file or directory" })"},
      {EACCES, "PermissionDenied",
       R"(Os { code: 13, kind: PermissionDenied, message: "Permission denied" })"},
      {EPERM, "PermissionDenied",
       R"(Os { code: 1, kind: PermissionDenied, message: "Operation not permitted" })"},
      {ENOSPC, "StorageFull",
       R"(Os { code: 28, kind: StorageFull, message: "No space left on device" })"},
      {EPIPE, "BrokenPipe", R"(Os { code: 32, kind: BrokenPipe, message: "Broken pipe" })"},
      {EAGAIN, "WouldBlock",
       R"(Os { code: 11, kind: WouldBlock, message: "Resource temporarily unavailable" })"},
      {ENAMETOOLONG, "InvalidFilename",
       R"(Os { code: 36, kind: InvalidFilename, message: "File name too long" })"},
      {EIO, "Uncategorized",
       R"(Os { code: 5, kind: Uncategorized, message: "Input/output error" })"},
      {9999, "Uncategorized",
       R"(Os { code: 9999, kind: Uncategorized, message: "Unknown error 9999" })"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(errno_kind_name(c.code), c.kind) << c.code;
    EXPECT_EQ(os_error_debug(c.code), c.debug);
  }
}

}  // namespace
}  // namespace zel_text
