# Column kernels (qm_columns): scoring and tiering of whole columns of
# numbers, each row through the scoring functions. Pure C++ over the scoring
# layer; its include root shows it nothing else. Included by the top-level
# CMakeLists.txt and by fuzz/CMakeLists.txt (after cmake/engine.cmake).
qm_add_layer(qm_columns columns DEPENDS qm_scoring)

if(QM_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  file(GLOB QM_COLUMNS_TEST_SOURCES CONFIGURE_DEPENDS ${QM_ROOT}/tests/cpp/columns/*.cpp)
  add_executable(columns_tests ${QM_COLUMNS_TEST_SOURCES})
  target_link_libraries(columns_tests PRIVATE qm_columns GTest::gtest GTest::gtest_main)
  gtest_discover_tests(columns_tests DISCOVERY_TIMEOUT 60)
endif()

# The second extension module, quillmarrow_engine._bulk, over these kernels.
if(QM_BUILD_MODULE)
  include(${QM_ROOT}/cmake/bulk_module.cmake)
endif()
