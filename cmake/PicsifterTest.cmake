# picsifter_add_test(NAME SOURCES ... LIBS ...): one GoogleTest executable per
# subsystem, registered with CTest under its own name so `ctest -R NAME` runs it.
function(picsifter_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/src)
  target_compile_definitions(${name} PRIVATE
    PICSIFTER_TEST_DATA="${PROJECT_SOURCE_DIR}/tests/data"
    PICSIFTER_CLI_PATH="$<TARGET_FILE:picsifter-cli>")
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 600)
endfunction()
