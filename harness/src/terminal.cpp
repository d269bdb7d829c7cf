// Reading colour capabilities through the system's terminfo library.
#include "terminal.h"

#include <term.h>

#include <algorithm>
#include <cstdlib>

namespace harness {
namespace {

std::optional<std::string> string_cap(const char* name) {
  const char* value = tigetstr(name);
  // (char*)-1 means "not a string capability"; null means absent.
  if (value == nullptr || value == reinterpret_cast<const char*>(-1)) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> expand(const std::string& cap, long param) {
  // Capabilities taking fewer parameters ignore the rest; "sgr" reads nine.
  const char* out = tiparm(cap.c_str(), param, 0L, 0L, 0L, 0L, 0L, 0L, 0L, 0L);
  if (out == nullptr) return std::nullopt;
  return std::string(out);
}

}  // namespace

std::optional<TerminalCodes> load_terminal_codes(int fd) {
  const char* term = std::getenv("TERM");
  if (term == nullptr || *term == '\0') return std::nullopt;

  TERMINAL* const previous = cur_term;
  int status = 0;  // passing it keeps the library from printing and exiting
  if (setupterm(term, fd, &status) != 0) {  // 0 is the library's OK
    set_curterm(previous);
    return std::nullopt;
  }

  TerminalCodes codes;
  const auto setaf = string_cap("setaf");
  const auto setab = string_cap("setab");
  const int colors = setaf && setab ? std::max(tigetnum("colors"), 0) : 0;
  for (int number = 0; number < static_cast<int>(codes.foreground.size()); ++number) {
    if (number < colors)
      codes.foreground[static_cast<std::size_t>(number)] = expand(*setaf, number);
  }
  for (const char* name : {"sgr0", "sgr", "op"}) {
    if (const auto cap = string_cap(name)) {
      codes.reset = expand(*cap, 0);
      break;
    }
  }

  del_curterm(set_curterm(previous));
  return codes;
}

}  // namespace harness
