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

# The tests of the column kernels, the row-at-a-time layer and recall times,
# each a binary of its own that links its layer alone (tests/cpp/columns,
# tests/cpp/scalar, tests/cpp/times), so they compile with what that layer sees.
foreach(layer columns scalar times)
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/cpp/${layer}/*.cpp)
  add_executable(${layer}_tests ${sources})
  target_link_libraries(${layer}_tests PRIVATE qm_${layer} GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${layer}_tests DISCOVERY_TIMEOUT 60)
endforeach()

# The layers' include boundaries, checked with each layer's own include path.
# tests/layering/<layer>_sees_<other>.cpp includes one header across a
# boundary and must fail because exactly that header is not found;
# <layer>_sees_below.cpp includes headers of the layers below and must compile.
foreach(probe scoring_sees_commands:qm_scoring scoring_sees_json:qm_scoring
              scoring_sees_contract:qm_scoring
              json_sees_commands:qm_json json_sees_scoring:qm_json json_sees_records:qm_json
              json_sees_below:qm_json
              records_sees_commands:qm_records records_sees_jsonl:qm_records
              records_sees_results:qm_records records_sees_below:qm_records
              results_sees_records:qm_results results_sees_below:qm_results
              commands_sees_jsonl:qm_commands commands_sees_below:qm_commands
              jsonl_sees_commands:qm_jsonl jsonl_sees_below:qm_jsonl
              columns_sees_commands:qm_columns columns_sees_json:qm_columns
              columns_sees_records:qm_columns columns_sees_below:qm_columns
              scalar_sees_json:qm_scalar scalar_sees_times:qm_scalar scalar_sees_below:qm_scalar
              times_sees_json:qm_times times_sees_records:qm_times times_sees_jsonl:qm_times
              times_sees_below:qm_times)
  string(REPLACE ":" ";" probe ${probe})
  list(GET probe 0 name)
  list(GET probe 1 layer)
  set(source ${PROJECT_SOURCE_DIR}/tests/layering/${name}.cpp)
  add_test(NAME layering.${name}
    COMMAND ${CMAKE_CXX_COMPILER} -std=c++20 -fsyntax-only
      "-I$<JOIN:$<TARGET_PROPERTY:${layer},INCLUDE_DIRECTORIES>,;-I>" ${source}
    COMMAND_EXPAND_LISTS)
  if(NOT name MATCHES "_sees_below$")
    file(STRINGS ${source} header REGEX "^#include \"")
    string(REGEX REPLACE "^#include \"([^\"]*)\".*" "\\1" header "${header}")
    # One header, and one that exists: otherwise the probe could pass for a
    # misspelt name rather than for the boundary.
    list(LENGTH header count)
    if(NOT count EQUAL 1 OR NOT EXISTS ${PROJECT_SOURCE_DIR}/src/${header})
      message(FATAL_ERROR "${source} must include exactly one header of src/")
    endif()
    string(REPLACE "." "\\." header "${header}")
    # g++ and clang word it differently.
    set_tests_properties(layering.${name} PROPERTIES
      PASS_REGULAR_EXPRESSION "${header}: No such file or directory|'${header}' file not found")
  endif()
endforeach()

# A release build (scripts/release.sh sets QM_REQUIRE_DRAGONBOX) refuses to
# configure without Dragonbox, whether the package is missing or turned off.
function(qm_require_dragonbox_test name option reason)
  add_test(NAME configure.require_dragonbox_${name}
    COMMAND ${CMAKE_COMMAND} -S ${PROJECT_SOURCE_DIR}
      -B ${CMAKE_CURRENT_BINARY_DIR}/require-dragonbox-${name} -G ${CMAKE_GENERATOR}
      -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER} -DQM_REQUIRE_DRAGONBOX=ON ${option})
  set_tests_properties(configure.require_dragonbox_${name} PROPERTIES
    PASS_REGULAR_EXPRESSION "QM_REQUIRE_DRAGONBOX is ON ${reason}")
endfunction()
qm_require_dragonbox_test(missing -DCMAKE_DISABLE_FIND_PACKAGE_dragonbox=ON
  "but Dragonbox 1.1 or later was not found")
qm_require_dragonbox_test(turned_off -DQM_DRAGONBOX=OFF "but QM_DRAGONBOX is OFF")
