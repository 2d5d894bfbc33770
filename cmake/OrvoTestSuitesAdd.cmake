# Run by ctest (through TEST_INCLUDE_FILES, see OrvoTestSuites.cmake): lists the suites of
# ORVO_SUITES_PROGRAM and adds one test per suite.
if(NOT EXISTS "${ORVO_SUITES_PROGRAM}")
  add_test("${ORVO_SUITES_PREFIX}.NOT_BUILT" "${ORVO_SUITES_PREFIX}.NOT_BUILT")
  return()
endif()
execute_process(COMMAND "${ORVO_SUITES_PROGRAM}" --gtest_list_tests
                OUTPUT_VARIABLE listing ERROR_VARIABLE listing_error RESULT_VARIABLE result TIMEOUT 60)
if(NOT result EQUAL 0)
  # The failure shows as a failing test rather than as tests that silently vanish.
  add_test("${ORVO_SUITES_PREFIX}.LIST_FAILED" "${CMAKE_COMMAND}" -E echo
           "cannot list the tests of ${ORVO_SUITES_PROGRAM} (${result}): ${listing_error}")
  set_tests_properties("${ORVO_SUITES_PREFIX}.LIST_FAILED" PROPERTIES
                       FAIL_REGULAR_EXPRESSION "cannot list")
  return()
endif()
# Drop the comments (type and value names) and the characters CMake lists treat specially.
string(REGEX REPLACE "#[^\n]*" "" listing "${listing}")
string(REGEX REPLACE "[][;\\\\]" "" listing "${listing}")
string(REPLACE "\n" ";" lines "${listing}")
foreach(line IN LISTS lines)
  # A suite line names the suite and ends with a dot; its tests follow, indented.
  if(line MATCHES "^([A-Za-z_][A-Za-z0-9_/]*)\\. *$")
    set(suite "${CMAKE_MATCH_1}")
    string(REPLACE "/" "." name "${ORVO_SUITES_PREFIX}.${suite}")
    add_test("${name}" "${ORVO_SUITES_PROGRAM}" "--gtest_filter=${suite}.*")
    set_tests_properties("${name}" PROPERTIES LABELS "${ORVO_SUITES_LABELS}" TIMEOUT "${ORVO_SUITES_TIMEOUT}"
                         WORKING_DIRECTORY "${ORVO_SUITES_WORKING_DIRECTORY}"
                         SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
  endif()
endforeach()
