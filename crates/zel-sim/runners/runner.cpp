// Reading runner variables and reporting failures.
#include "runner.h"

#include <cstdlib>
#include "text.h"
#include "zel_text.h"

namespace zel_sim::runner {

std::optional<std::string> Environment::get(const std::string& name) const {
  std::optional<std::string> value;
  if (values_) {
    if (const auto it = values_->find(name); it != values_->end()) value = it->second;
  } else if (const char* raw = std::getenv(name.c_str())) {
    value = raw;
  }
  if (value && value->empty()) value.reset();
  return value;
}

Failure bad_value(std::string_view variable, std::string_view value, std::string_view expected) {
  return {kBadInput, cat(variable, " is ", zel_text::debug_quoted(value), ", expected ", expected)};
}

namespace {

std::optional<std::uint64_t> parse_digits(std::string_view text, unsigned base) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    if (value > (UINT64_MAX - digit) / base) return std::nullopt;
    value = value * base + digit;
  }
  return value;
}

}  // namespace

std::optional<std::uint64_t> parse_decimal(std::string_view text) {
  return parse_digits(text, 10);
}

std::optional<std::uint64_t> parse_hex(std::string_view text) {
  if (!text.starts_with("0x") && !text.starts_with("0X")) return std::nullopt;
  return parse_digits(text.substr(2), 16);
}

std::optional<std::vector<std::uint64_t>> parse_decimal_list(std::string_view text) {
  std::vector<std::uint64_t> values;
  while (true) {
    const std::size_t comma = text.find(',');
    const auto value = parse_decimal(text.substr(0, comma));
    if (!value) return std::nullopt;
    values.push_back(*value);
    if (comma == std::string_view::npos) return values;
    text.remove_prefix(comma + 1);
  }
}

std::expected<std::uint64_t, Failure> read_decimal(const Environment& env, const std::string& name,
                                                   std::uint64_t fallback, std::uint64_t min,
                                                   std::uint64_t max, std::string_view expected) {
  const auto text = env.get(name);
  if (!text) return fallback;
  const auto value = parse_decimal(*text);
  if (!value || *value < min || *value > max) {
    return std::unexpected(bad_value(name, *text, expected));
  }
  return *value;
}

std::expected<std::uint16_t, Failure> read_tile(const Environment& env, const std::string& name,
                                                std::uint16_t fallback) {
  const auto tile = read_decimal(env, name, fallback, 0, zel_exchange::kT742Tiles - 1,
                                 "a tile number from 0 to 1471");
  if (!tile) return std::unexpected(tile.error());
  return static_cast<std::uint16_t>(*tile);
}

std::expected<bool, Failure> read_flag(const Environment& env, const std::string& name) {
  const auto text = env.get(name);
  if (!text || *text == "0") return false;
  if (*text == "1") return true;
  return std::unexpected(bad_value(name, *text, "\"1\" (on) or \"0\" (off)"));
}

std::expected<JitterSettings, Failure> read_jitter(const Environment& env) {
  JitterSettings settings;
  const auto max = read_decimal(env, "ZEL_HOST_WRITE_JITTER_MAX_US", 0, 0, 1'000'000,
                                "a delay in microseconds from 0 to 1000000");
  if (!max) return std::unexpected(max.error());
  settings.max_delay_us = static_cast<std::uint32_t>(*max);
  if (const auto text = env.get("ZEL_HOST_WRITE_JITTER_SEED")) {
    settings.seed = parse_decimal(*text);
    if (!settings.seed) {
      return std::unexpected(
          bad_value("ZEL_HOST_WRITE_JITTER_SEED", *text, "an unsigned 64-bit decimal number"));
    }
  }
  return settings;
}

Failure card_failure(std::string_view context, const SimError& error) {
  return {kCheckFailed, cat(context, ": the card refused: ", error.describe())};
}

}  // namespace zel_sim::runner
