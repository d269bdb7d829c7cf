// The one JSON string escaping of the harness, used for every string value of
// the JSON event stream (names, messages, paths, captured output).
#pragma once

#include <string>
#include <string_view>

namespace harness {

// Appends `text` escaped for use between the double quotes of a JSON string:
// `"` and `\` get a backslash; backspace, tab, line feed, form feed and
// carriage return become \b \t \n \f \r; every other byte below 0x20, and 0x7F,
// becomes \u00xx with lower-case hex digits. Every other byte, the bytes of
// multi-byte UTF-8 sequences included, is copied unchanged. Text that is not
// valid UTF-8 is first decoded lossily (each ill-formed subpart becomes
// U+FFFD), so every line stays readable JSON whatever bytes a test produced.
void append_json_escaped(std::string& out, std::string_view text);

std::string json_escape(std::string_view text);

}  // namespace harness
