# The two CPython extension modules of the wheel, both built against the
# stable ABI (abi3) of 3.11, and the boundary they share:
#
#   qm_boundary                 src/boundary/  the call frame, PyErr, the
#                               exception mapping and object texts; a layer
#                               over qm_contract and qm_json, compiled once
#                               against the limited API, linked by both.
#   quillmarrow_engine_native   src/lib/run/   the module with run(command,
#                               payload_json), over qm_commands. Keeps the
#                               interpreter lock for the whole call.
#   quillmarrow_engine._bulk    src/lib/bulk/  the column functions, the JSON
#                               Lines chunk function and the row-at-a-time
#                               functions for SQLite and DuckDB, over
#                               qm_columns, qm_jsonl, qm_results,
#                               qm_scalar and qm_times; releases the lock while the
#                               kernels run. Installed inside the
#                               quillmarrow_engine package.
#
# src/lib/hooks/ holds test-only commands, compiled into
# quillmarrow_engine_native only with QM_TEST_HOOKS (never in a release).
# A module's sources include its own headers as "lib/...", the boundary's as
# "boundary/..." and the layers' it links by their names; nothing else is on
# its include path. Each module exports nothing but its PyInit_ function.
find_package(Python 3.11 REQUIRED COMPONENTS Interpreter Development.SABIModule)

# The limited API of 3.11, as Python_add_library(... USE_SABI 3.11) defines it
# for the modules: the boundary's headers include Python.h, so whoever
# includes them must see the same definition.
set(QM_LIMITED_API 0x030b0000)

qm_add_layer(qm_boundary boundary DEPENDS qm_contract qm_json)
target_link_libraries(qm_boundary PUBLIC Python::SABIModule)
target_compile_definitions(qm_boundary PUBLIC Py_LIMITED_API=${QM_LIMITED_API})

qm_include_root(QM_LIB_ROOT lib)

# qm_add_module(TARGET NAME FOLDER DEPENDS layers...): the module NAME (the
# last part of its dotted name) from src/lib/FOLDER/*.cpp.
function(qm_add_module target name folder)
  cmake_parse_arguments(PARSE_ARGV 3 MODULE "" "" "DEPENDS")
  file(GLOB sources CONFIGURE_DEPENDS ${QM_ROOT}/src/lib/${folder}/*.cpp)
  Python_add_library(${target} MODULE USE_SABI 3.11 WITH_SOABI ${sources})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${name}
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_link_libraries(${target} PRIVATE qm_boundary ${MODULE_DEPENDS})
  target_include_directories(${target} PRIVATE ${QM_LIB_ROOT})
  # Only the initialisation function leaves the shared library.
  set(map ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
  file(CONFIGURE OUTPUT ${map} CONTENT "{\n  global: PyInit_${name};\n  local: *;\n};\n")
  target_link_options(${target} PRIVATE
    -Wl,--version-script=${map} -static-libstdc++ -static-libgcc)
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${map})
endfunction()

qm_add_module(quillmarrow_engine_native quillmarrow_engine_native run DEPENDS qm_commands)
if(QM_TEST_HOOKS)
  # Test-only commands that reach the call frame's failure paths; the hook
  # source is compiled only here, so a release build cannot contain it.
  target_compile_definitions(quillmarrow_engine_native PRIVATE QM_TEST_HOOKS=1)
  target_sources(quillmarrow_engine_native PRIVATE ${QM_ROOT}/src/lib/hooks/test_hooks.cpp)
endif()
install(TARGETS quillmarrow_engine_native LIBRARY DESTINATION .)
# Type information for the extension module, installed beside it.
install(FILES ${QM_ROOT}/python/quillmarrow_engine_native.pyi DESTINATION .)
# mypy reads the types of a top-level module from an installed distribution
# only as a stub-only package: the same stub, as <module>-stubs.
install(FILES ${QM_ROOT}/python/quillmarrow_engine_native.pyi
  DESTINATION quillmarrow_engine_native-stubs RENAME __init__.pyi)

qm_add_module(quillmarrow_bulk _bulk bulk DEPENDS qm_columns qm_jsonl qm_results qm_scalar qm_times)
install(TARGETS quillmarrow_bulk LIBRARY DESTINATION quillmarrow_engine)
