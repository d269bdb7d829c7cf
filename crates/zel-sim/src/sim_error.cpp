// Text forms of the card's errors.
#include "sim_error.h"

namespace zel_sim {

std::string SimError::describe() const {
  return detail + " [" + zel_exchange::debug_text(code) + "]";
}
}  // namespace zel_sim
