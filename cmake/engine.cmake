# The engine, one static library per layer, each depending only on the layers
# below it:
#
#   qm_contract  the texts callers may match on (header only). Depends on
#                nothing.
#   qm_json      JSON syntax: the event reader, numbers, strings, the writer.
#                Depends on qm_contract.
#   qm_scoring   retention and tier arithmetic on plain records. Depends on
#                nothing.
#   qm_commands  run_command, the commands' event handlers and the input
#                records. Depends on qm_contract, qm_json and qm_scoring.
#
# quillmarrow_engine is the whole engine as one name: the module, the tests
# and any later target link it.
#
# A layer sees only its own headers and those of the layers it links: its
# include root is a folder of the build tree holding one link, named after
# the layer, to the layer's folder under src/. A scoring source that writes
# #include "commands/..." or "json/..." therefore fails to compile (no such
# file), and tests/layering checks that it does. A new layer is one call:
#   qm_add_layer(qm_columns columns DEPENDS qm_scoring)
# (sources src/columns/*.cpp, headers included as "columns/...").
#
# Included by the top-level CMakeLists.txt and by fuzz/CMakeLists.txt, which
# builds the same layers with its own instrumentation.
get_filename_component(QM_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

function(qm_add_layer target folder)
  cmake_parse_arguments(PARSE_ARGV 2 LAYER "" "" "DEPENDS")
  set(root ${CMAKE_BINARY_DIR}/layers/${folder})
  file(MAKE_DIRECTORY ${root})
  if(NOT EXISTS ${root}/${folder})
    file(CREATE_LINK ${QM_ROOT}/src/${folder} ${root}/${folder} SYMBOLIC)
  endif()
  file(GLOB sources CONFIGURE_DEPENDS ${QM_ROOT}/src/${folder}/*.cpp)
  if(NOT sources)
    # Headers only.
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${root})
    target_link_libraries(${target} INTERFACE ${LAYER_DEPENDS})
    return()
  endif()
  add_library(${target} STATIC ${sources})
  target_include_directories(${target} PUBLIC ${root})
  target_link_libraries(${target} PUBLIC ${LAYER_DEPENDS})
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
endfunction()

qm_add_layer(qm_contract contract)
qm_add_layer(qm_json json DEPENDS qm_contract)
# The JSON layer writes doubles from shortest digits: Dragonbox or std::to_chars.
include(${CMAKE_CURRENT_LIST_DIR}/shortest_digits.cmake)
qm_use_shortest_digits(qm_json)
qm_add_layer(qm_scoring scoring)
qm_add_layer(qm_commands commands DEPENDS qm_contract qm_json qm_scoring)
find_library(QM_LIBM m)
if(QM_LIBM)
  target_link_libraries(qm_scoring PUBLIC ${QM_LIBM})
endif()

add_library(quillmarrow_engine INTERFACE)
target_link_libraries(quillmarrow_engine INTERFACE qm_commands)
# Whoever links the whole engine also finds every folder of src/ by its name.
target_include_directories(quillmarrow_engine INTERFACE ${QM_ROOT}/src)
