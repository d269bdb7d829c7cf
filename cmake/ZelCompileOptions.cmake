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

# One GoogleTest program per DIR/*_test.cpp, named PREFIX_<file name>:
#   zel_add_gtests(PREFIX DIR LIBS ... [SOURCES ...] [INCLUDE_DIRS ...] [DEFINITIONS ...])
function(zel_add_gtests prefix dir)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "LIBS;SOURCES;INCLUDE_DIRS;DEFINITIONS")
  file(GLOB test_sources CONFIGURE_DEPENDS ${dir}/*_test.cpp)
  foreach(test_source ${test_sources})
    get_filename_component(test_name ${test_source} NAME_WE)
    set(target ${prefix}_${test_name})
    zel_add_gtest(${target} ${test_source} ${arg_SOURCES})
    target_link_libraries(${target} PRIVATE ${arg_LIBS})
    if(arg_INCLUDE_DIRS)
      target_include_directories(${target} PRIVATE ${arg_INCLUDE_DIRS})
    endif()
    if(arg_DEFINITIONS)
      target_compile_definitions(${target} PRIVATE ${arg_DEFINITIONS})
    endif()
  endforeach()
endfunction()

# Fuzzing builds (scripts/fuzz): GCC's coverage hooks on every project source,
# fed to AFL++ by fuzz/afl_trace_pc.cpp. Only the fuzz_* targets link there.
set(ZEL_FUZZ_ENGINE "none" CACHE STRING "none (corpus replay) or afl (AFL++ driver)")
if(ZEL_FUZZ_ENGINE STREQUAL "afl")
  add_compile_options(-fsanitize-coverage=trace-pc)
endif()
