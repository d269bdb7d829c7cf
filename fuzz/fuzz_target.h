// The entry point every fuzz target defines. The same target builds two ways:
// with the AFL++ driver for fuzzing campaigns (ZEL_FUZZ_ENGINE=afl), and with
// replay_main.cpp as a plain regression program that runs a checked-in corpus.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

// Stops the process with a message when a property of the code under test does
// not hold; the fuzzer records the input as a crash.
[[noreturn]] void fuzz_check_failed(const char* what, const char* file, int line);
#define FUZZ_CHECK(cond) \
  ((cond) ? (void)0 : fuzz_check_failed(#cond, __FILE__, __LINE__))
