// Run start times: the reports' UTC timestamps ("2026-11-01T02:00:00") as
// seconds since the epoch and back, and the forms --since accepts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zel_health {

// "2026-11-01T02:00:00" as seconds since 1970-01-01T00:00:00; none when the
// text is not exactly that form or names no real time (2026-02-30).
std::optional<std::int64_t> parse_start(std::string_view text);

// --since: "2026-11-06" (its midnight) or "2026-11-06T02:00:00".
std::optional<std::int64_t> parse_since(std::string_view text);

std::string start_text(std::int64_t seconds);

}  // namespace zel_health
