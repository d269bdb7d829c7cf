// The harness command line: the option table, the help text and `parse_opts`.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "harness/options.h"

namespace harness {

// One row of the option table.
struct OptGroup {
  enum class Kind { Flag, Value, Multi };
  std::string short_name;  // "" or one character
  std::string long_name;   // "" or two or more characters
  std::string hint;        // value hint, "" for flags
  std::string desc;
  Kind kind = Kind::Flag;
};

// The 23 rows that the help prints, in help order ("--nocapture" is not among them).
std::vector<OptGroup> optgroups();

// The help text for `program` and `groups`, exactly as printed.
std::string usage_text(const std::string& program, const std::vector<OptGroup>& groups);
// Prints `usage_text` to standard output.
void usage(const std::string& program, const std::vector<OptGroup>& groups);

struct HelpShown {};
struct ParseError {
  std::string message;
};
using ParseOutcome = std::variant<TestOpts, HelpShown, ParseError>;

// Parses the whole argument list (args[0] is the program path). Fatal
// environment errors stop the process with status 101.
ParseOutcome parse_opts(const std::vector<std::string>& args);

}  // namespace harness
