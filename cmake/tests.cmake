# C++ unit tests of the engine, one GoogleTest binary registered with ctest.
find_package(GTest REQUIRED)
include(GoogleTest)

file(GLOB QM_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/cpp/*.cpp)
add_executable(engine_tests ${QM_TEST_SOURCES})
target_link_libraries(engine_tests PRIVATE quillmarrow_engine GTest::gtest GTest::gtest_main)
# The conformance test reads the public JSON test suite when it is present.
get_filename_component(QM_SHARED_DIR ${PROJECT_SOURCE_DIR}/../shared ABSOLUTE)
target_compile_definitions(engine_tests PRIVATE
  QM_JSON_TEST_SUITE_DIR="${QM_SHARED_DIR}/conformance/JSONTestSuite/test_parsing")
gtest_discover_tests(engine_tests DISCOVERY_TIMEOUT 60)
