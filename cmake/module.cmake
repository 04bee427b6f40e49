# The CPython extension module, built against the stable ABI (abi3) of 3.11.
find_package(Python 3.11 REQUIRED COMPONENTS Interpreter Development.SABIModule)
file(GLOB QM_MODULE_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/src/lib/*.cpp
  ${PROJECT_SOURCE_DIR}/src/boundary/*.cpp)
Python_add_library(quillmarrow_engine_native MODULE USE_SABI 3.11 WITH_SOABI ${QM_MODULE_SOURCES})
target_link_libraries(quillmarrow_engine_native PRIVATE quillmarrow_engine)
target_compile_definitions(quillmarrow_engine_native PRIVATE Py_LIMITED_API=0x030B0000)
if(QM_TEST_HOOKS)
  target_compile_definitions(quillmarrow_engine_native PRIVATE QM_TEST_HOOKS=1)
endif()
# Only the initialisation function leaves the shared library.
set_target_properties(quillmarrow_engine_native PROPERTIES
  CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_link_options(quillmarrow_engine_native PRIVATE
  -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/module.map -static-libstdc++ -static-libgcc)
install(TARGETS quillmarrow_engine_native LIBRARY DESTINATION .)
# Type information for the extension module, installed beside it.
install(FILES ${PROJECT_SOURCE_DIR}/python/quillmarrow_engine_native.pyi DESTINATION .)
