# Warnings, sanitizers and path mapping shared by every target of the project.

add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor)
if(ZEL_WERROR)
  add_compile_options(-Werror)
endif()
# g++ 12 reports false -Wrestrict overlaps in std::string concatenation at -O3.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  add_compile_options(-Wno-restrict)
endif()

# Source positions in failure reports and listings are relative to the
# repository root (crates/zel-runtime/tests/hardware_e2e.cpp:42:5).
add_compile_options(-fmacro-prefix-map=${CMAKE_SOURCE_DIR}/=)

if(ZEL_SANITIZE)
  add_compile_options(-fsanitize=${ZEL_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${ZEL_SANITIZE})
endif()

# Adds a GoogleTest unit-test executable and registers its cases with CTest.
function(zel_add_gtest name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main GTest::gmock)
  gtest_discover_tests(${name} TEST_PREFIX "${name}." DISCOVERY_TIMEOUT 60)
endfunction()

# Fuzzing builds (scripts/fuzz): GCC's coverage hooks on every project source,
# fed to AFL++ by fuzz/afl_trace_pc.cpp. Only the fuzz_* targets link there.
set(ZEL_FUZZ_ENGINE "none" CACHE STRING "none (corpus replay) or afl (AFL++ driver)")
if(ZEL_FUZZ_ENGINE STREQUAL "afl")
  add_compile_options(-fsanitize-coverage=trace-pc)
endif()
