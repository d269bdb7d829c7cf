# End-to-end tests of the JSON event stream and the JUnit document: on
# harness_selftest (built by core.cmake), and on hardware_e2e with the
# simulated runners.
if(TARGET harness_selftest)
  foreach(script machine_json machine_junit)
    add_test(NAME harness_e2e_${script}
             COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/${script}.py
                     $<TARGET_FILE:harness_selftest>)
    set_tests_properties(harness_e2e_${script} PROPERTIES
                         ENVIRONMENT PYTHONPATH=${CMAKE_SOURCE_DIR}/tests/support)
  endforeach()
endif()

# hardware_e2e and its runners are defined after the harness, so the test is
# added once the whole project has been read.
function(zel_add_machine_hardware_test script)
  if(TARGET hardware_e2e)
    add_test(NAME harness_e2e_machine_hardware
             COMMAND /usr/bin/python3 ${script} $<TARGET_FILE:hardware_e2e>)
    set_tests_properties(harness_e2e_machine_hardware PROPERTIES
                         ENVIRONMENT PYTHONPATH=${CMAKE_SOURCE_DIR}/tests/support)
  endif()
endfunction()
cmake_language(EVAL CODE "
  cmake_language(DEFER DIRECTORY \${CMAKE_SOURCE_DIR}
                 CALL zel_add_machine_hardware_test [[${CMAKE_CURRENT_LIST_DIR}/machine_hardware.py]])")
