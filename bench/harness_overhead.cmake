# The harness run loop against a floor program that only starts, names, runs
# and joins one thread per test: target/<build>/harness_overhead. It also
# spawns gtest_10k (GoogleTest running as many trivial tests) and
# harness_selftest when they are built beside it.
add_executable(harness_overhead ${CMAKE_CURRENT_LIST_DIR}/harness_overhead.cpp)
target_link_libraries(harness_overhead PRIVATE harness)
target_include_directories(harness_overhead PRIVATE ${CMAKE_SOURCE_DIR}/harness/src)

add_executable(gtest_10k ${CMAKE_CURRENT_LIST_DIR}/gtest_10k.cpp)
target_link_libraries(gtest_10k PRIVATE GTest::gtest)
