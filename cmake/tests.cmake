# C++ unit tests of the engine, one GoogleTest binary registered with ctest.
find_package(GTest REQUIRED)
include(GoogleTest)

include(${PROJECT_SOURCE_DIR}/cmake/test_support.cmake)
file(GLOB QM_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/cpp/*.cpp)
add_executable(engine_tests ${QM_TEST_SOURCES})
target_link_libraries(engine_tests PRIVATE quillmarrow_engine qm_reference GTest::gtest GTest::gtest_main)
# The conformance test reads the public JSON test suite when it is present.
get_filename_component(QM_SHARED_DIR ${PROJECT_SOURCE_DIR}/../shared ABSOLUTE)
target_compile_definitions(engine_tests PRIVATE
  QM_JSON_TEST_SUITE_DIR="${QM_SHARED_DIR}/conformance/JSONTestSuite/test_parsing")
gtest_discover_tests(engine_tests DISCOVERY_TIMEOUT 60)

# The layers' include boundaries, checked with each layer's own include path:
# a header across a boundary is not found (the probe must fail for exactly
# that reason), and the command layer finds the layers below it.
foreach(probe scoring_sees_commands:qm_scoring scoring_sees_json:qm_scoring
              scoring_sees_contract:qm_scoring
              json_sees_commands:qm_json json_sees_scoring:qm_json
              commands_sees_below:qm_commands)
  string(REPLACE ":" ";" probe ${probe})
  list(GET probe 0 name)
  list(GET probe 1 layer)
  add_test(NAME layering.${name}
    COMMAND ${CMAKE_CXX_COMPILER} -std=c++20 -fsyntax-only
      "-I$<JOIN:$<TARGET_PROPERTY:${layer},INCLUDE_DIRECTORIES>,;-I>"
      ${PROJECT_SOURCE_DIR}/tests/layering/${name}.cpp
    COMMAND_EXPAND_LISTS)
  if(NOT name STREQUAL "commands_sees_below")
    set_tests_properties(layering.${name} PROPERTIES
      PASS_REGULAR_EXPRESSION "No such file or directory|file not found")
  endif()
endforeach()
