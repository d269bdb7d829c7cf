// Under the fuzzer a failed property is a crash, so that AFL++ keeps the input.
#include <cstdio>
#include <cstdlib>

#include "fuzz_target.h"

void fuzz_check_failed(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property failed: %s\n", file, line, what);
  std::abort();
}
