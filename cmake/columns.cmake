# Column kernels: scoring and tiering of whole columns of numbers, one row at
# a time through the scoring functions. Pure C++; needs only the scoring layer.
file(GLOB QM_COLUMNS_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/columns/*.cpp)
add_library(quillmarrow_columns STATIC ${QM_COLUMNS_SOURCES})
target_include_directories(quillmarrow_columns PUBLIC ${PROJECT_SOURCE_DIR}/src)
set_target_properties(quillmarrow_columns PROPERTIES
  CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
if(TARGET quillmarrow_scoring)
  target_link_libraries(quillmarrow_columns PUBLIC quillmarrow_scoring)
else()
  target_link_libraries(quillmarrow_columns PUBLIC quillmarrow_engine)
endif()

if(QM_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  file(GLOB QM_COLUMNS_TEST_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/cpp/columns/*.cpp)
  add_executable(columns_tests ${QM_COLUMNS_TEST_SOURCES})
  # The tests compare with the commands' answers, so they link the whole engine.
  target_link_libraries(columns_tests PRIVATE quillmarrow_columns quillmarrow_engine
    GTest::gtest GTest::gtest_main)
  gtest_discover_tests(columns_tests DISCOVERY_TIMEOUT 60)
endif()

# The second extension module, quillmarrow_engine._bulk, over these kernels.
if(QM_BUILD_MODULE)
  include(${PROJECT_SOURCE_DIR}/cmake/bulk_module.cmake)
endif()
