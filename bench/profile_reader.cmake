# The profile reader against reading the file and a bare traversal of the
# message: target/<build>/profile_reader_bench
find_package(benchmark CONFIG QUIET)
if(NOT benchmark_FOUND)
  message(STATUS "Google Benchmark not found: profile_reader_bench is not built")
  return()
endif()
add_executable(profile_reader_bench ${CMAKE_CURRENT_LIST_DIR}/profile_reader_bench.cpp)
target_link_libraries(profile_reader_bench PRIVATE zel_package benchmark::benchmark)
