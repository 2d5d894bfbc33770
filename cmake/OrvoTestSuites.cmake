# One CTest entry per GoogleTest suite of a test program, found by asking the program
# (--gtest_list_tests) each time ctest runs: a suite added to the sources runs without
# being named anywhere. Suites whose tests share one expensive fixture (a private Xvfb,
# started in SetUpTestSuite) use this instead of one entry per test.
#
#   orvo_add_test_suites(TARGET orvo_x11_integration_tests PREFIX x11
#                        LABELS integration x11 TIMEOUT 120)
#
# Entries are named PREFIX.Suite (a typed or parameterized suite Prefix/Suite becomes
# PREFIX.Prefix.Suite). A program that cannot list its tests gives one failing entry.
set(ORVO_TEST_SUITES_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/OrvoTestSuitesAdd.cmake")

function(orvo_add_test_suites)
  cmake_parse_arguments(ARG "" "TARGET;PREFIX;TIMEOUT" "LABELS" ${ARGN})
  set(include_file "${CMAKE_CURRENT_BINARY_DIR}/${ARG_TARGET}_suites.cmake")
  string(JOIN ";" labels ${ARG_LABELS})
  file(GENERATE OUTPUT "${include_file}" CONTENT
"set(ORVO_SUITES_PROGRAM \"$<TARGET_FILE:${ARG_TARGET}>\")
set(ORVO_SUITES_PREFIX \"${ARG_PREFIX}\")
set(ORVO_SUITES_LABELS \"${labels}\")
set(ORVO_SUITES_TIMEOUT \"${ARG_TIMEOUT}\")
set(ORVO_SUITES_WORKING_DIRECTORY \"${CMAKE_CURRENT_BINARY_DIR}\")
include(\"${ORVO_TEST_SUITES_SCRIPT}\")
")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${include_file}")
endfunction()
