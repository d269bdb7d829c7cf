// The profile as a trace-event JSON document, the format that trace viewers
// such as Perfetto and chrome://tracing open: one process for the card, one
// thread per tile, one complete event per sample.
#pragma once

#include <string_view>

#include "output.h"
#include "zel_package.h"

namespace zel_profile {

// Times are microseconds of `clock_hz`; a profile whose clock_hz is 0 is
// written in cycles instead (and says so in "otherData").
void write_trace(const zel_package::ProfileReport& report, std::string_view card_name, Output& out);

// `text` as a JSON string literal, quotes included.
std::string json_string(std::string_view text);

}  // namespace zel_profile
