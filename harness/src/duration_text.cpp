// Shortest round-trip decimal text of a number of seconds.
#include "duration_text.h"

#include <array>
#include <charconv>
#include <cmath>

namespace harness {

void append_duration_text(std::string& out, double seconds) {
  // Durations come from a monotonic clock and are finite; a non-finite value
  // would print as "inf" or "nan", which no JSON or XML reader takes as a
  // number, so it is written as 0 instead.
  if (!std::isfinite(seconds)) seconds = 0;
  // to_chars in fixed form without a precision is the shortest fixed-point
  // text that parses back to the same double. The largest finite double has
  // 309 integer digits; 17 significant digits after the point at most.
  std::array<char, 400> buffer{};
  const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), seconds,
                                       std::chars_format::fixed);
  // The buffer holds any finite double in fixed form, so ec is always success.
  (void)ec;
  out.append(buffer.data(), end);
}

std::string duration_text(double seconds) {
  std::string out;
  append_duration_text(out, seconds);
  return out;
}

}  // namespace harness
