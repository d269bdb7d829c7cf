# Run by ctest, from the file zel_discover_tests() generates: lists the
# program's tests and writes the add_test() calls for them to
# ${_zel_tests_file}. Expects _zel_program, _zel_listing_command (the
# environment-cleaning prefix), _zel_prefix, _zel_properties, _zel_timeout and
# _zel_working_dir.

execute_process(
  COMMAND ${_zel_listing_command} "${_zel_program}" --list
  WORKING_DIRECTORY "${_zel_working_dir}"
  TIMEOUT ${_zel_timeout}
  OUTPUT_VARIABLE _zel_listing
  ERROR_VARIABLE _zel_listing_error
  RESULT_VARIABLE _zel_listing_status)
if(NOT _zel_listing_status EQUAL 0)
  message(FATAL_ERROR "Listing the tests of ${_zel_program} failed (${_zel_listing_status}):\n"
                      "${_zel_listing_error}${_zel_listing}")
endif()

# The listing holds one "<name>: test" line per test; names never hold a line
# break, and bracket arguments carry any other character unchanged.
set(_zel_script "")
string(REPLACE "\n" ";" _zel_lines "${_zel_listing}")
foreach(_zel_line IN LISTS _zel_lines)
  if(_zel_line MATCHES "^(.+): test$")
    set(_zel_name "${CMAKE_MATCH_1}")
    string(APPEND _zel_script
           "add_test([==[${_zel_prefix}${_zel_name}]==] [==[${_zel_program}]==] --exact "
           "[==[${_zel_name}]==])\n"
           "set_tests_properties([==[${_zel_prefix}${_zel_name}]==] PROPERTIES "
           "${_zel_properties})\n")
  endif()
endforeach()
file(WRITE "${_zel_tests_file}" "${_zel_script}")
