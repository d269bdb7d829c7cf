// The colour escape sequences of the terminal named by "TERM", read from the
// terminfo database once, so that no one else in the process sees the
// terminal library's global state change.
#pragma once

#include <array>
#include <optional>
#include <string>

namespace harness {

struct TerminalCodes {
  // The expanded "setaf" by colour number, for the numbers below "colors";
  // empty for the rest, and for all when "setaf" or "setab" is missing.
  std::array<std::optional<std::string>, 8> foreground;
  // "sgr0", else "sgr", else "op"; empty when the description has none.
  std::optional<std::string> reset;
};

// The codes of the terminal named by "TERM", for output on `fd`; empty when
// "TERM" is unset or empty or names no description the library can find
// ("TERMINFO", ~/.terminfo, "TERMINFO_DIRS", the system directories). Never
// prints anything.
std::optional<TerminalCodes> load_terminal_codes(int fd);

}  // namespace harness
