// Edge coverage for AFL++ from GCC's -fsanitize-coverage=trace-pc: every
// instrumented basic block calls __sanitizer_cov_trace_pc, which marks the
// (previous block, this block) pair in the fuzzer's shared map. The AFL++
// runtime object supplies the map, the fork server and the persistent loop.
#include <cstdint>

extern "C" {
extern std::uint8_t* __afl_area_ptr;

__attribute__((no_sanitize_coverage)) void __sanitizer_cov_trace_pc() {
  static thread_local std::uintptr_t previous = 0;
  constexpr std::uintptr_t kMapMask = (1u << 16) - 1;  // the runtime's default 64-KiB map
  const auto pc = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  const std::uintptr_t current = ((pc >> 4) ^ (pc << 8)) & kMapMask;
  ++__afl_area_ptr[current ^ previous];
  previous = current >> 1;
}
}
