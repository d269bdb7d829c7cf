// Debug text: the text form of values used in failure messages.
//
// A text is written in double quotes with quotes, backslashes and control
// characters escaped ("a\"b\n"); an operating-system error names its number,
// kind and message (Os { code: 2, kind: NotFound, message: "No such file or directory" }).
#pragma once

#include <string>
#include <string_view>

namespace harness {

// `text` between double quotes; `"` and `\` get a backslash, \t \r \n \0 their
// usual escapes, other control characters (and DEL) \u{xx} in lower-case hex.
// Bytes of multi-byte UTF-8 sequences pass unchanged.
std::string debug_str(std::string_view text);

// The kind name of an errno value as the runtime names it (NotFound,
// PermissionDenied, BrokenPipe, ...; "Uncategorized" for the rest).
std::string_view errno_kind_name(int code);

// Os { code: N, kind: Kind, message: "strerror text" }
std::string os_error_debug(int code);

}  // namespace harness
