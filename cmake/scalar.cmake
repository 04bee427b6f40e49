# One item at a time, for the functions that databases call row by row
# (qm_scalar): the argument checks and the day count from two times, with
# their error texts written into fixed buffers, never allocating. Over the
# scoring layer only, so the PostgreSQL extension can link it without the
# JSON or command layers. Included after cmake/engine.cmake.
qm_add_layer(qm_scalar scalar DEPENDS qm_scoring)

if(QM_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  file(GLOB QM_SCALAR_TEST_SOURCES CONFIGURE_DEPENDS ${QM_ROOT}/tests/cpp/scalar/*.cpp)
  add_executable(scalar_tests ${QM_SCALAR_TEST_SOURCES})
  target_link_libraries(scalar_tests PRIVATE qm_scalar GTest::gtest GTest::gtest_main)
  gtest_discover_tests(scalar_tests DISCOVERY_TIMEOUT 60)
endif()
