# End-to-end tests of the JSON event stream and the JUnit document, run on
# harness_selftest (built by core.cmake).
if(TARGET harness_selftest)
  foreach(script machine_json machine_junit)
    add_test(NAME harness_e2e_${script}
             COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/${script}.py
                     $<TARGET_FILE:harness_selftest>)
    set_tests_properties(harness_e2e_${script} PROPERTIES
                         ENVIRONMENT PYTHONPATH=${CMAKE_SOURCE_DIR}/tests/support)
  endforeach()
endif()
