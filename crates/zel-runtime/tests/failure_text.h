// For unit tests of code that fails a test: runs `body` and returns the
// failure message it raised, or nothing when it returned normally.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "harness/test.h"

namespace zel_runtime {

template <typename Body>
std::optional<std::string> failure_text(Body&& body) {
  try {
    std::forward<Body>(body)();
  } catch (const harness::Panic& failure) {
    return failure.payload.text.value_or("<" + failure.payload.type_name + ">");
  }
  return std::nullopt;
}

}  // namespace zel_runtime
