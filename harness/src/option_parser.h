// The general command-line parser under `parse_opts`: scans an argument list
// against an option table and records which options occurred with which
// values. It knows nothing about what the options mean.
//
//   auto matches = parse_options(args, table);   // args without the program path
//   if (!matches) report(matches.error());
//   matches->present("quiet");  matches->value("format");  matches->free;
#pragma once

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "harness/cli.h"

namespace harness {

class OptionMatches {
 public:
  OptionMatches(std::vector<OptGroup> table, std::vector<std::vector<std::string>> values,
                std::vector<std::string> free_args)
      : free(std::move(free_args)), table_(std::move(table)), values_(std::move(values)) {}

  // Free arguments in the order given; they become the filters.
  std::vector<std::string> free;

  // `name` is an option's short or long name without dashes; "q" and "quiet"
  // ask about the same option. Asking about a name that is not in the table
  // is a programming error and reads as absent.
  bool present(std::string_view name) const { return !values(name).empty(); }
  // The value of a value option that occurred (only repeatable options can
  // occur more than once; this returns the first).
  std::optional<std::string> value(std::string_view name) const;
  // Every value of `name`, in the order given; one empty text per flag occurrence.
  const std::vector<std::string>& values(std::string_view name) const;

 private:
  std::vector<OptGroup> table_;
  std::vector<std::vector<std::string>> values_;  // parallel to table_
};

// Scans `args` (the program path already removed). Rules: "--name=value" or
// "--name value" for long options; "-abc" clusters of short options, where a
// value option takes the rest of the cluster or else the next argument;
// "--" ends the options; every other argument (a lone "-" included) is free,
// wherever it stands. The first unknown option, missing value or unexpected
// value stops the scan; afterwards a non-repeatable option that occurred
// more than once is an error (the first such in table order).
std::expected<OptionMatches, std::string> parse_options(std::span<const std::string> args,
                                                        const std::vector<OptGroup>& table);

}  // namespace harness
