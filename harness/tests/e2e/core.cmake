# The harness core's end-to-end tests, and harness_selftest, the test program
# the harness's end-to-end tests run (its registries are documented at the
# top of selftest/selftest_main.cpp).
add_executable(harness_selftest ${CMAKE_CURRENT_SOURCE_DIR}/selftest/selftest_main.cpp)
target_link_libraries(harness_selftest PRIVATE harness)

file(GLOB HARNESS_CORE_E2E CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/e2e/core_*.py)
foreach(script ${HARNESS_CORE_E2E})
  get_filename_component(script_name ${script} NAME_WE)
  add_test(NAME harness_e2e_${script_name}
           COMMAND /usr/bin/python3 ${script} $<TARGET_FILE:harness_selftest>)
  set_tests_properties(harness_e2e_${script_name} PROPERTIES
                       ENVIRONMENT PYTHONPATH=${CMAKE_SOURCE_DIR}/tests/support)
endforeach()
