# Registers one ctest test per GoogleTest suite of a test program, run at build time (-P) once
# the program is linked. Each test is one process running its whole suite: starting a
# program costs more than most of its tests, and ctest still reports each suite on its own.
#
#   -D program=<test program> -D out=<file to write> -D working_dir=<folder> -D timeout=<seconds>
#   -D source_dir=<source tree> (given to the tests as PARAVELLE_SOURCE_DIR: tests of the docs read them)
if(NOT EXISTS "${program}")
  message(FATAL_ERROR "no test program at ${program}")
endif()
execute_process(COMMAND "${program}" --gtest_list_tests
  WORKING_DIRECTORY "${working_dir}"
  TIMEOUT 60
  OUTPUT_VARIABLE listing
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${program} --gtest_list_tests failed (${result}):\n${listing}")
endif()

# Suite lines have no indent and end with the suite name and a dot (typed and
# parameterised suites add a comment); test lines are indented; anything else is chatter.
string(REPLACE "\n" ";" lines "${listing}")
set(suites)
foreach(line IN LISTS lines)
  if(line MATCHES "^([^ ]+)\\.( .*)?$")
    list(APPEND suites "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(REMOVE_DUPLICATES suites)
if(NOT suites)
  message(FATAL_ERROR "${program} lists no test suite:\n${listing}")
endif()

set(script "")
foreach(suite IN LISTS suites)
  string(APPEND script
    "add_test([==[${suite}]==] [==[${program}]==] [==[--gtest_filter=${suite}.*]==])\n"
    "set_tests_properties([==[${suite}]==] PROPERTIES WORKING_DIRECTORY [==[${working_dir}]==]"
    " TIMEOUT ${timeout} SKIP_RETURN_CODE 77 ENVIRONMENT [==[PARAVELLE_SOURCE_DIR=${source_dir}]==])\n")
endforeach()
file(WRITE "${out}" "${script}")
