# End-to-end tests of the command line and the harness variables: on
# harness_selftest, and the shuffle orders of the hardware program itself.
file(GLOB HARNESS_CLI_E2E CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/e2e/cli_*.py)
foreach(script ${HARNESS_CLI_E2E})
  get_filename_component(script_name ${script} NAME_WE)
  add_test(NAME harness_e2e_${script_name}
           COMMAND /usr/bin/python3 ${script} $<TARGET_FILE:harness_selftest>
                   $<TARGET_FILE:hardware_e2e>)
  set_tests_properties(harness_e2e_${script_name} PROPERTIES
                       ENVIRONMENT PYTHONPATH=${CMAKE_SOURCE_DIR}/tests/support)
endforeach()
