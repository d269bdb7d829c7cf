// Builders shared by the console formatter tests: descriptions, run states
// and a sink whose writes start failing after a given number.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "harness/formatter.h"
#include "harness/io.h"

namespace harness::testing {

inline TestDesc desc_named(std::string_view name, TestKind kind = TestKind::Integration) {
  return TestDesc{TestName::aligned(std::string(name), NamePadding::PadNone),
                  false,
                  std::nullopt,
                  "",
                  0,
                  0,
                  0,
                  0,
                  ExpectFailure::no(),
                  false,
                  false,
                  kind};
}

inline std::vector<std::uint8_t> bytes(std::string_view text) {
  return {text.begin(), text.end()};
}

inline DescAndOutput entry(std::string_view name, std::string_view output = "") {
  return {desc_named(name), bytes(output)};
}

// Accepts `good_writes` writes, then fails every write with ENOSPC.
class FailingSink final : public OutputSink {
 public:
  explicit FailingSink(int good_writes) : remaining_(good_writes) {}
  IoResult write(std::string_view bytes) override {
    if (remaining_-- <= 0) return std::unexpected(IoError{ENOSPC});
    text_.append(bytes);
    return {};
  }
  bool is_color_terminal() const override { return true; }
  std::string_view color_code(Color) const override { return {}; }
  std::string_view reset_code() const override { return {}; }
  int attempts_after_failure() const { return remaining_ < 0 ? -remaining_ : 0; }

 private:
  int remaining_;
  std::string text_;
};

// Keeps every write apart, to check that a line is written whole; a colour
// terminal with "{red}"-style codes.
class WriteLogSink final : public OutputSink {
 public:
  IoResult write(std::string_view bytes) override {
    writes.emplace_back(bytes);
    return {};
  }
  bool is_color_terminal() const override { return true; }
  std::string_view color_code(Color color) const override { return codes_.color_code(color); }
  std::string_view reset_code() const override { return codes_.reset_code(); }

  std::vector<std::string> writes;

 private:
  StringSink codes_{true};
};

}  // namespace harness::testing
