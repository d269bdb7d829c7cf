# Registers every test of a hardware test program as a CTest test of its own,
# scheduled over cards:
#
#   list(APPEND CMAKE_MODULE_PATH <this folder>)
#   include(ZelDiscoverTests)
#   zel_discover_tests(<target> [TEST_PREFIX <prefix>] [DEFAULT_CARD <id>]
#                      [RUNNER_TIMEOUT <seconds>] [DISCOVERY_TIMEOUT <seconds>]
#                      [PROPERTIES <name> <value> ...])
#
# When ctest starts (not when the project is built, so a listing problem never
# breaks the build) it runs `<program> --list` and registers each test as
# `<prefix><name>` (default prefix `<target>.`) running `<program> --exact
# <name>`, with the label `hardware`, `RESOURCE_GROUPS cards:1` and
# `ENVIRONMENT ZEL_DEFAULT_CARD=<DEFAULT_CARD>` (default `0`). Without a
# resource spec file every test locks that one card (or the `ZEL_CARD` of
# ctest's own environment), so `ctest -j N` never shares it; with
# `ctest --resource-spec-file` the card ctest allocates takes precedence, and
# the program names it on its standard error. ctest hands out cards only to
# the tests it runs at once: `-j` at least the number of cards uses them all.
# `ENVIRONMENT` and `LABELS` given in PROPERTIES are added to these, other
# properties are set as given.
#
# `RUNNER_TIMEOUT <seconds>` bounds every runner: the tests get
# `ZEL_RUNNER_TIMEOUT=<seconds>`, so the program stops a runner that takes
# longer and reports its test, and a `TIMEOUT` of the bound plus 35 s (the
# program's 5 s grace and a margin) as ctest's own backstop. ctest's time also
# counts a wait for the card, which a resource spec file avoids.
#
# The listing runs without the sharding, card and report variables of a test
# engine, so a ctest started inside a CI shard still registers every test; the
# registered tests run without them too, since those variables address the
# engine's own test (the ctest run), not each single-test run of the program.
# `ZEL_REPORT_DIR` is left to the environment: every run, and every attempt of
# `ctest --repeat`, leaves a report of its own there.

set(_ZEL_DISCOVER_TESTS_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/ZelDiscoverTestsAdd.cmake")

# The test-engine variables of the program that never reach a listing or a
# registered single-test run.
set(_ZEL_ENGINE_VARIABLES TEST_TOTAL_SHARDS TEST_SHARD_INDEX TEST_SHARD_STATUS_FILE
    XML_OUTPUT_FILE TEST_PREMATURE_EXIT_FILE TESTBRIDGE_TEST_ONLY)

function(zel_discover_tests target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "TEST_PREFIX;DEFAULT_CARD;RUNNER_TIMEOUT;DISCOVERY_TIMEOUT"
                        "PROPERTIES")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "zel_discover_tests: unexpected arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT DEFINED arg_TEST_PREFIX)
    set(arg_TEST_PREFIX "${target}.")
  endif()
  if(NOT DEFINED arg_DEFAULT_CARD)
    set(arg_DEFAULT_CARD 0)
  endif()
  if(NOT arg_DEFAULT_CARD MATCHES "^[a-z0-9_]+$")
    message(FATAL_ERROR "zel_discover_tests: DEFAULT_CARD is '${arg_DEFAULT_CARD}', expected a "
                        "card id of a-z, 0-9 and _")
  endif()
  if(NOT DEFINED arg_DISCOVERY_TIMEOUT)
    set(arg_DISCOVERY_TIMEOUT 60)
  endif()

  # The properties every registered test gets, with the caller's merged in.
  set(environment "ZEL_DEFAULT_CARD=${arg_DEFAULT_CARD}")
  set(others "")
  if(DEFINED arg_RUNNER_TIMEOUT)
    # Whole seconds without leading zeros, and the fraction; at most a week.
    string(REGEX MATCH "^0*([0-9]*)(\\.[0-9]+)?$" valid "${arg_RUNNER_TIMEOUT}")
    set(whole "0${CMAKE_MATCH_1}")
    set(fraction "${CMAKE_MATCH_2}")
    string(LENGTH "${whole}" digits)
    if(valid STREQUAL "" OR digits GREATER 7)
      message(FATAL_ERROR "zel_discover_tests: RUNNER_TIMEOUT is '${arg_RUNNER_TIMEOUT}', "
                          "expected seconds such as 600 or 2.5")
    endif()
    list(APPEND environment "ZEL_RUNNER_TIMEOUT=${arg_RUNNER_TIMEOUT}")
    # The bound plus 35 s, its fraction kept: ctest takes fractional seconds.
    math(EXPR backstop "${whole} + 35")
    string(APPEND others " TIMEOUT ${backstop}${fraction}")
  endif()
  set(labels "hardware")
  set(key "")
  foreach(item IN LISTS arg_PROPERTIES)
    if(key STREQUAL "")
      set(key "${item}")
      continue()
    endif()
    if(key STREQUAL "ENVIRONMENT")
      list(APPEND environment "${item}")
    elseif(key STREQUAL "LABELS")
      list(APPEND labels "${item}")
    else()
      string(APPEND others " ${key} [==[${item}]==]")
    endif()
    set(key "")
  endforeach()
  if(NOT key STREQUAL "")
    message(FATAL_ERROR "zel_discover_tests: PROPERTIES ends with '${key}' without a value")
  endif()
  set(unset_engine "")
  foreach(variable ${_ZEL_ENGINE_VARIABLES})
    list(APPEND unset_engine "${variable}=unset:")
  endforeach()
  set(properties "LABELS [==[${labels}]==] RESOURCE_GROUPS [==[cards:1]==]")
  string(APPEND properties " ENVIRONMENT [==[${environment}]==]")
  string(APPEND properties " ENVIRONMENT_MODIFICATION [==[${unset_engine}]==]${others}")

  # The listing's environment: no engine, ctest allocation or card variables.
  set(listing_env "${CMAKE_COMMAND}" -E env)
  foreach(variable ${_ZEL_ENGINE_VARIABLES} CTEST_RESOURCE_GROUP_COUNT ZEL_CARD
                   ZEL_DEFAULT_CARD ZEL_CARD_LOCK_DIR)
    list(APPEND listing_env "--unset=${variable}")
  endforeach()

  set(base "${CMAKE_CURRENT_BINARY_DIR}/${target}_zel_tests")
  set(include_file "${base}_include.cmake")
  set(tests_file "${base}_tests.cmake")
  file(GENERATE OUTPUT "${include_file}" CONTENT
"# Generated by zel_discover_tests(${target}): lists the program's tests when
# ctest starts, again whenever the program or this file is newer than the list.
set(_zel_program [===[$<TARGET_FILE:${target}>]===])
set(_zel_tests_file [===[${tests_file}]===])
if(EXISTS \"\${_zel_program}\")
  if(NOT EXISTS \"\${_zel_tests_file}\" OR
     \"\${_zel_program}\" IS_NEWER_THAN \"\${_zel_tests_file}\" OR
     [===[${include_file}]===] IS_NEWER_THAN \"\${_zel_tests_file}\")
    set(_zel_listing_command [===[${listing_env}]===])
    set(_zel_prefix [===[${arg_TEST_PREFIX}]===])
    set(_zel_properties [===[${properties}]===])
    set(_zel_timeout [===[${arg_DISCOVERY_TIMEOUT}]===])
    set(_zel_working_dir [===[${CMAKE_CURRENT_BINARY_DIR}]===])
    include([===[${_ZEL_DISCOVER_TESTS_SCRIPT}]===])
  endif()
  include(\"\${_zel_tests_file}\")
else()
  add_test([===[${target}_NOT_BUILT]===] [===[${target}_NOT_BUILT]===])
endif()
")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${include_file}")
endfunction()
