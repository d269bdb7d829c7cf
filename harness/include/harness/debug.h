// Debug text: the text form of values used in failure messages, under the
// harness's names. The forms themselves are zel_text's, shared with every
// other part of the workspace.
//
// A text is written in double quotes with quotes, backslashes and control
// characters escaped ("a\"b\n"); an operating-system error names its number,
// kind and message (Os { code: 2, kind: NotFound, message: "No such file or directory" }).
#pragma once

#include <string>
#include <string_view>

#include "zel_text.h"

namespace harness {

inline std::string debug_str(std::string_view text) {
  return zel_text::debug_quoted(text);
}

inline std::string os_error_debug(int code) {
  return zel_text::os_error_debug(code);
}

}  // namespace harness
