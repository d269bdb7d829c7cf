# End-to-end tests of the console output (pretty and terse formats, colour,
# time reporting, output errors), run on harness_selftest.
file(GLOB HARNESS_CONSOLE_E2E CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/e2e/console_*.py)
foreach(script ${HARNESS_CONSOLE_E2E})
  get_filename_component(script_name ${script} NAME_WE)
  add_test(NAME harness_e2e_${script_name}
           COMMAND /usr/bin/python3 ${script} $<TARGET_FILE:harness_selftest>)
  set_tests_properties(harness_e2e_${script_name} PROPERTIES
                       ENVIRONMENT PYTHONPATH=${CMAKE_SOURCE_DIR}/tests/support)
endforeach()
