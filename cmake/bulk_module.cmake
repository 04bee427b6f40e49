# quillmarrow_engine._bulk: the column functions and the JSON Lines chunk
# function for Python, a second module
# of the same abi3 wheel, installed inside the quillmarrow_engine package.
# It releases the interpreter lock while the kernels run.
find_package(Python 3.11 REQUIRED COMPONENTS Interpreter Development.SABIModule)
file(GLOB QM_BULK_SOURCES CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/src/lib/bulk/*.cpp
  ${PROJECT_SOURCE_DIR}/src/boundary/*.cpp)
Python_add_library(quillmarrow_bulk MODULE USE_SABI 3.11 WITH_SOABI ${QM_BULK_SOURCES})
set_target_properties(quillmarrow_bulk PROPERTIES OUTPUT_NAME _bulk
  CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_link_libraries(quillmarrow_bulk PRIVATE qm_columns qm_commands qm_scalar)
target_compile_definitions(quillmarrow_bulk PRIVATE Py_LIMITED_API=0x030b0000)
target_include_directories(quillmarrow_bulk PRIVATE ${PROJECT_SOURCE_DIR}/src)
# Only the initialisation function leaves the shared library.
target_link_options(quillmarrow_bulk PRIVATE
  -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/bulk.map -static-libstdc++ -static-libgcc)
install(TARGETS quillmarrow_bulk LIBRARY DESTINATION quillmarrow_engine)
