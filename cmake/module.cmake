# The CPython extension module, built against the stable ABI (abi3) of 3.11.
find_package(Python 3.11 REQUIRED COMPONENTS Interpreter Development.SABIModule)
file(GLOB QM_MODULE_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/src/lib/*.cpp
  ${PROJECT_SOURCE_DIR}/src/boundary/*.cpp)
Python_add_library(quillmarrow_engine_native MODULE USE_SABI 3.11 WITH_SOABI ${QM_MODULE_SOURCES})
target_link_libraries(quillmarrow_engine_native PRIVATE quillmarrow_engine)
# The same text as USE_SABI 3.11 defines, so the two definitions agree.
target_compile_definitions(quillmarrow_engine_native PRIVATE Py_LIMITED_API=0x030b0000)
target_include_directories(quillmarrow_engine_native PRIVATE ${PROJECT_SOURCE_DIR}/src)
if(QM_TEST_HOOKS)
  # Test-only commands that reach the call frame's failure paths; the hook
  # source is compiled only here, so a release build cannot contain it.
  target_compile_definitions(quillmarrow_engine_native PRIVATE QM_TEST_HOOKS=1)
  target_sources(quillmarrow_engine_native PRIVATE ${PROJECT_SOURCE_DIR}/src/lib/hooks/test_hooks.cpp)
endif()
# Only the initialisation function leaves the shared library.
set_target_properties(quillmarrow_engine_native PROPERTIES
  CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_link_options(quillmarrow_engine_native PRIVATE
  -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/module.map -static-libstdc++ -static-libgcc)
install(TARGETS quillmarrow_engine_native LIBRARY DESTINATION .)
# Type information for the extension module, installed beside it.
install(FILES ${PROJECT_SOURCE_DIR}/python/quillmarrow_engine_native.pyi DESTINATION .)
# mypy reads the types of a top-level module from an installed distribution
# only as a stub-only package: the same stub, as <module>-stubs.
install(FILES ${PROJECT_SOURCE_DIR}/python/quillmarrow_engine_native.pyi
  DESTINATION quillmarrow_engine_native-stubs RENAME __init__.pyi)
