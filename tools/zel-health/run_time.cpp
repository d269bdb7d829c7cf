#include "run_time.h"

#include <charconv>
#include <ctime>

namespace zel_health {
namespace {

// The digits in `text` from `at` for `count` characters, or -1.
int digits(std::string_view text, std::size_t at, std::size_t count) {
  int value = 0;
  const char* first = text.data() + at;
  const auto [end, error] = std::from_chars(first, first + count, value);
  return error == std::errc() && end == first + count && *first != '-' && *first != '+' ? value
                                                                                        : -1;
}

}  // namespace

std::optional<std::int64_t> parse_start(std::string_view text) {
  if (text.size() != 19 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':') {
    return std::nullopt;
  }
  std::tm when{};
  const int fields[] = {digits(text, 0, 4),  digits(text, 5, 2),  digits(text, 8, 2),
                        digits(text, 11, 2), digits(text, 14, 2), digits(text, 17, 2)};
  for (const int field : fields) {
    if (field < 0) return std::nullopt;
  }
  when.tm_year = fields[0] - 1900;
  when.tm_mon = fields[1] - 1;
  when.tm_mday = fields[2];
  when.tm_hour = fields[3];
  when.tm_min = fields[4];
  when.tm_sec = fields[5];
  const std::tm asked = when;
  const std::time_t seconds = ::timegm(&when);
  // timegm normalises 2026-02-30 to March: a time it changed was not a real one.
  if (when.tm_year != asked.tm_year || when.tm_mon != asked.tm_mon ||
      when.tm_mday != asked.tm_mday || when.tm_hour != asked.tm_hour ||
      when.tm_min != asked.tm_min || when.tm_sec != asked.tm_sec) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(seconds);
}

std::optional<std::int64_t> parse_since(std::string_view text) {
  if (text.size() == 10) return parse_start(std::string(text) + "T00:00:00");
  return parse_start(text);
}

std::string start_text(std::int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm utc{};
  ::gmtime_r(&time, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  return text;
}

}  // namespace zel_health
