# The whole suite on the simulated card (scripts/bench times it with
# hyperfine). For a baseline of the runner launches alone, hardware_e2e_recording
# starts its runners through bench/runner_recorder.sh, which writes each
# launch down as a shell line before it becomes the real runner.
set(BENCH_RECORDING_RUNNERS ${CMAKE_BINARY_DIR}/bench-recording-runners)
foreach(runner zel-host-e2e zel-hardware-e2e zel-randomized-e2e zel-gemm-e2e
               zel-attention-f16-e2e)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/runner_recorder.sh
                 ${BENCH_RECORDING_RUNNERS}/${runner} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                 GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
# Built like hardware_e2e, with the recording runners' directory.
add_executable(hardware_e2e_recording $<TARGET_OBJECTS:zel_runtime_tests>
                                      ${CMAKE_SOURCE_DIR}/crates/zel-runtime/tests/runner_dir.cpp)
target_link_libraries(hardware_e2e_recording PRIVATE zel_runtime_tests)
target_compile_definitions(hardware_e2e_recording
                           PRIVATE ZEL_RUNNER_DIR_PATH="${BENCH_RECORDING_RUNNERS}")

add_test(NAME bench_tools
         COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/tests/bench_tools_test.py
                 $<TARGET_FILE:hardware_e2e_recording> ${BENCH_RECORDING_RUNNERS}
                 ${ZEL_RUNNER_DIR} $<TARGET_FILE:harness_overhead>)
set_tests_properties(bench_tools PROPERTIES ENVIRONMENT PYTHONPATH=${CMAKE_SOURCE_DIR}/tests/support)
