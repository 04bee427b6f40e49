# The reference road, for the tests and the fuzz targets only (never in the
# module): JSON text parsed into a value tree, records decoded from the tree,
# results and trees written back as text. Headers are included as
# "reference/...". Needs the engine's layers (cmake/engine.cmake).
file(GLOB QM_REFERENCE_SOURCES CONFIGURE_DEPENDS ${QM_ROOT}/tests/support/reference/*.cpp)
add_library(qm_reference STATIC ${QM_REFERENCE_SOURCES})
target_include_directories(qm_reference PUBLIC ${QM_ROOT}/tests/support)
target_link_libraries(qm_reference PUBLIC qm_commands qm_records qm_json qm_scoring)
