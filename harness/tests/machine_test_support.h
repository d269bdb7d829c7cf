// Builders shared by the JSON and JUnit formatter tests: descriptions,
// captured output and a sink whose every write fails.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "harness/formatter.h"
#include "harness/io.h"

namespace harness::machine_testing {

inline TestDesc desc_named(std::string_view name, TestKind kind = TestKind::Integration) {
  return TestDesc{.name = TestName::dyn_name(std::string(name)),
                  .ignore = false,
                  .ignore_message = std::nullopt,
                  .source_file = "",
                  .expect_failure = ExpectFailure::no(),
                  .kind = kind};
}

inline std::vector<std::uint8_t> bytes(std::string_view text) {
  return {text.begin(), text.end()};
}

// Fails every write with ENOSPC, as a full disk does.
class FullSink final : public OutputSink {
 public:
  IoResult write(std::string_view) override { return std::unexpected(IoError{ENOSPC}); }
  bool is_color_terminal() const override { return false; }
  std::string_view color_code(Color) const override { return {}; }
  std::string_view reset_code() const override { return {}; }
};

}  // namespace harness::machine_testing
