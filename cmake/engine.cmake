# The engine, one static library per layer, each depending only on the layers
# below it (a layer's folder under src/ has the layer's name):
#
#   qm_contract  contract/  the texts callers may match on (header only).
#                           Depends on nothing.
#   qm_json      json/      JSON syntax: the event reader, numbers, strings,
#                           the writer. Depends on qm_contract.
#   qm_scoring   scoring/   retention and tier arithmetic on plain records.
#                           Depends on nothing.
#   qm_records   records/   the input records: their slots, the record reader
#                           over the JSON reader's events, the decoding errors
#                           and their descriptions, and the engine error
#                           (EngineError, CommandResult). Depends on
#                           qm_contract, qm_json and qm_scoring.
#   qm_results   results/   the texts of the results (a decision, a score)
#                           and the success envelope. Depends on qm_json and
#                           qm_scoring.
#   qm_commands  commands/  run_command on top, the command table, the
#                           commands' event handlers and check_syntax.
#                           Depends on qm_records and qm_results.
#   qm_jsonl     jsonl/     JSON Lines: a chunk of lines, each decoded on its
#                           own as "tier" decodes a payload, the UTF-8 check,
#                           the id capture, members named otherwise than the
#                           fields and recall times in place of day counts.
#                           Depends on qm_records, qm_results and qm_times
#                           (the one rule for recall times); it never goes
#                           through run_command.
#   qm_columns   columns/   the column kernels: whole columns of numbers
#                           through the scoring functions. Depends on
#                           qm_scoring.
#   qm_scalar    scalar/    one item at a time, for the functions databases
#                           call row by row: the argument checks and the day
#                           count from two times, their error texts written
#                           into fixed buffers, never allocating. Depends on
#                           qm_scoring only, so the PostgreSQL extension links
#                           it without the JSON or command layers.
#   qm_times     times/     recall times: the one ISO-8601 grammar, numeric
#                           time texts with a unit, and days since recall over
#                           whole columns, each row through qm_scalar's
#                           days_since_recall. Depends on qm_scalar and
#                           qm_columns.
#
# By floors, each library over some of those on the floors below it:
#
#   4   qm_jsonl
#   3   qm_commands   qm_times
#   2   qm_records    qm_results   qm_columns   qm_scalar
#   1   qm_json       qm_scoring
#   0   qm_contract
#
# quillmarrow_engine is the whole engine as one name, for the tests, the fuzz
# targets and any later target. The modules (cmake/modules.cmake) link only
# the layers they call: quillmarrow_engine_native qm_commands, _bulk qm_jsonl,
# qm_columns, qm_results, qm_scalar and qm_times; the PostgreSQL extension
# (cmake/postgres.cmake) qm_scalar.
#
# A layer sees only its own headers and those of the layers it links: its
# include root is a folder of the build tree holding one link, named after
# the layer, to the layer's folder under src/. A scoring source that writes
# #include "records/..." or "json/..." therefore fails to compile (no such
# file), and tests/layering checks that it does. A new layer is one call:
#   qm_add_layer(qm_columns columns DEPENDS qm_scoring)
# (sources src/columns/*.cpp, headers included as "columns/...").
#
# Included by the top-level CMakeLists.txt and by fuzz/CMakeLists.txt, which
# builds the same layers with its own instrumentation.
get_filename_component(QM_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

# The include root of src/<folder>: a build-tree folder with one link, named
# folder, to it. Sets <folder>'s root in the variable named by out.
function(qm_include_root out folder)
  set(root ${CMAKE_BINARY_DIR}/layers/${folder})
  file(MAKE_DIRECTORY ${root})
  if(NOT EXISTS ${root}/${folder})
    file(CREATE_LINK ${QM_ROOT}/src/${folder} ${root}/${folder} SYMBOLIC)
  endif()
  set(${out} ${root} PARENT_SCOPE)
endfunction()

function(qm_add_layer target folder)
  cmake_parse_arguments(PARSE_ARGV 2 LAYER "" "" "DEPENDS")
  qm_include_root(root ${folder})
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
find_library(QM_LIBM m)
if(QM_LIBM)
  target_link_libraries(qm_scoring PUBLIC ${QM_LIBM})
endif()
qm_add_layer(qm_records records DEPENDS qm_contract qm_json qm_scoring)
qm_add_layer(qm_results results DEPENDS qm_json qm_scoring)
qm_add_layer(qm_commands commands DEPENDS qm_records qm_results)
qm_add_layer(qm_jsonl jsonl DEPENDS qm_records qm_results qm_times)
qm_add_layer(qm_columns columns DEPENDS qm_scoring)
# The column kernels share a call's rows out over threads of their own.
find_package(Threads REQUIRED)
target_link_libraries(qm_columns PUBLIC Threads::Threads)
qm_add_layer(qm_scalar scalar DEPENDS qm_scoring)
qm_add_layer(qm_times times DEPENDS qm_scalar qm_columns)

add_library(quillmarrow_engine INTERFACE)
target_link_libraries(quillmarrow_engine INTERFACE qm_commands qm_jsonl qm_columns qm_scalar qm_times)
# Whoever links the whole engine also finds every folder of src/ by its name.
target_include_directories(quillmarrow_engine INTERFACE ${QM_ROOT}/src)
