// A target that leaks what the input "leak" asks it to, so the replay
// program's leak check can be seen to work.
#include <cstring>

#include "fuzz_target.h"

char* volatile fuzz_leaky_last = nullptr;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 4 && std::memcmp(data, "leak", 4) == 0) {
    fuzz_leaky_last = new char[64];
    fuzz_leaky_last = nullptr;  // the only pointer to it is gone
  }
  return 0;
}
