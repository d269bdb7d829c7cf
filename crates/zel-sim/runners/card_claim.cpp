// Which simulated card a runner drives, and the claim that makes a double
// booking visible (declared in runner.h).
#include <algorithm>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "runner.h"
#include "text.h"
#include "zel_text.h"

namespace zel_sim::runner {

std::expected<std::string, Failure> read_card(const Environment& env) {
  const auto id = env.get("ZEL_CARD");
  if (!id) return std::string("0");
  const bool valid = id->size() <= 64 && std::ranges::all_of(*id, [](char c) {
                       return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
                     });
  if (!valid) {
    return std::unexpected(
        bad_value("ZEL_CARD", *id, "a card id of 1 to 64 characters from a-z, 0-9 and _"));
  }
  return *id;
}

Outcome claim_card(const Environment& env, std::string_view id) {
  const auto dir = env.get("ZEL_SIM_CARD_STATE_DIR");
  if (!dir) return {};
  const std::string path = cat(*dir, "/card-", id, ".busy");
  const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    return std::unexpected(
        Failure{kBadInput, cat("ZEL_SIM_CARD_STATE_DIR is ", zel_text::debug_quoted(*dir),
                               ", expected a folder where ", zel_text::debug_quoted(path),
                               " can be created: ", std::strerror(errno))});
  }
  // The descriptor stays open until the process ends, and the claim with it.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK)
      return std::unexpected(Failure{kCheckFailed, cat("card ", id, " busy")});
    return std::unexpected(
        Failure{kCheckFailed, cat("cannot claim card ", id, " at ", zel_text::debug_quoted(path),
                                  ": ", std::strerror(errno))});
  }
  return {};
}

}  // namespace zel_sim::runner
