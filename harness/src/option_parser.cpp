// Scanning of an argument list against an option table.
#include "option_parser.h"

#include <cstddef>

namespace harness {

namespace {

constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

std::size_t find_option(const std::vector<OptGroup>& table, std::string_view name) {
  if (name.empty()) return kNotFound;
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (table[i].short_name == name || table[i].long_name == name) return i;
  }
  return kNotFound;
}

bool takes_value(const OptGroup& option) {
  return option.kind != OptGroup::Kind::Flag;
}

// The byte length of the character that starts `text`: a well-formed UTF-8
// lead byte gives its sequence length, anything else counts as one byte, so a
// cluster of arbitrary bytes is still taken apart without reading past it.
std::size_t char_length(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text.front());
  std::size_t length = 1;
  if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
  } else if (lead >= 0xE0) {
    length = lead <= 0xEF ? 3 : 1;
  } else if (lead >= 0xC2) {
    length = 2;
  }
  if (length > text.size()) return 1;
  for (std::size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) return 1;
  }
  return length;
}

std::string unrecognized(std::string_view name) {
  return "Unrecognized option: '" + std::string(name) + "'";
}
std::string missing_value(std::string_view name) {
  return "Argument to option '" + std::string(name) + "' missing";
}
std::string unexpected_value(std::string_view name) {
  return "Option '" + std::string(name) + "' does not take an argument";
}

}  // namespace

std::optional<std::string> OptionMatches::value(std::string_view name) const {
  const auto& all = values(name);
  if (all.empty()) return std::nullopt;
  return all.front();
}

const std::vector<std::string>& OptionMatches::values(std::string_view name) const {
  static const std::vector<std::string> kNone;
  const std::size_t index = find_option(table_, name);
  return index == kNotFound ? kNone : values_[index];
}

std::expected<OptionMatches, std::string> parse_options(std::span<const std::string> args,
                                                        const std::vector<OptGroup>& table) {
  std::vector<std::vector<std::string>> values(table.size());
  std::vector<std::string> free;

  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    const bool has_next = i + 1 < args.size();

    if (arg == "--") {
      free.insert(free.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      break;
    }
    if (arg.size() < 2 || arg.front() != '-') {
      free.emplace_back(arg);
      continue;
    }

    if (arg.starts_with("--")) {
      const std::string_view body = arg.substr(2);
      const std::size_t eq = body.find('=');
      const std::string_view name = body.substr(0, eq);
      const std::size_t index = find_option(table, name);
      if (index == kNotFound) return std::unexpected(unrecognized(name));
      if (eq != std::string_view::npos) {
        if (!takes_value(table[index])) return std::unexpected(unexpected_value(name));
        values[index].emplace_back(body.substr(eq + 1));
      } else if (!takes_value(table[index])) {
        values[index].emplace_back();
      } else if (has_next) {
        values[index].push_back(args[++i]);
      } else {
        return std::unexpected(missing_value(name));
      }
      continue;
    }

    // A cluster of short options. A value option ends the cluster: the rest
    // of the argument, or else the next argument, is its value.
    std::string_view rest = arg.substr(1);
    while (!rest.empty()) {
      const std::string_view name = rest.substr(0, char_length(rest));
      rest.remove_prefix(name.size());
      const std::size_t index = find_option(table, name);
      if (index == kNotFound) return std::unexpected(unrecognized(name));
      if (!takes_value(table[index])) {
        values[index].emplace_back();
        continue;
      }
      if (!rest.empty()) {
        values[index].emplace_back(rest);
      } else if (has_next) {
        values[index].push_back(args[++i]);
      } else {
        return std::unexpected(missing_value(name));
      }
      break;
    }
  }

  for (std::size_t index = 0; index < table.size(); ++index) {
    const OptGroup& option = table[index];
    if (option.kind != OptGroup::Kind::Multi && values[index].size() > 1) {
      const std::string& name = option.long_name.empty() ? option.short_name : option.long_name;
      return std::unexpected("Option '" + name + "' given more than once");
    }
  }
  return OptionMatches(table, std::move(values), std::move(free));
}

}  // namespace harness
