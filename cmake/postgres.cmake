# The PostgreSQL extension `quillmarrow` (src/lib/postgres): the engine's
# scoring functions inside the database server. It links the scoring layer
# and the row-at-a-time checks (qm_scalar) and includes the server's headers,
# never CPython's.
#
# QM_BUILD_POSTGRES: AUTO (the default) builds it when pg_config is found and
# its server include directory holds postgres.h (Debian:
# postgresql-server-dev-15); ON requires it; OFF skips it. A wheel build never
# builds it. Install with scripts/install_postgres_extension.sh, or
#   cmake --install BUILD --component quillmarrow_postgres
# which puts the library into `pg_config --pkglibdir` and the control and
# SQL files into `pg_config --sharedir`/extension.
if(SKBUILD)
  set(QM_POSTGRES_DEFAULT OFF)
else()
  set(QM_POSTGRES_DEFAULT AUTO)
endif()
set(QM_BUILD_POSTGRES ${QM_POSTGRES_DEFAULT} CACHE STRING
  "Build the PostgreSQL extension: AUTO (when the server headers are found), ON or OFF")
set_property(CACHE QM_BUILD_POSTGRES PROPERTY STRINGS AUTO ON OFF)

if(NOT QM_BUILD_POSTGRES STREQUAL "OFF")
  find_program(QM_PG_CONFIG pg_config)
  set(QM_PG_INCLUDE "")
  if(QM_PG_CONFIG)
    foreach(item includedir-server pkglibdir sharedir version)
      execute_process(COMMAND ${QM_PG_CONFIG} --${item} OUTPUT_VARIABLE value
        OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
      string(MAKE_C_IDENTIFIER "QM_PG_${item}" name)
      string(TOUPPER "${name}" name)
      set(${name} "${value}")
    endforeach()
    set(QM_PG_INCLUDE "${QM_PG_INCLUDEDIR_SERVER}")
  endif()
  if(QM_PG_INCLUDE AND EXISTS "${QM_PG_INCLUDE}/postgres.h")
    set(QM_POSTGRES_FOUND ON)
  else()
    set(QM_POSTGRES_FOUND OFF)
  endif()
  if(QM_BUILD_POSTGRES STREQUAL "ON" AND NOT QM_POSTGRES_FOUND)
    message(FATAL_ERROR "QM_BUILD_POSTGRES=ON, but no pg_config with the server headers "
      "(postgres.h) was found: apt-get install postgresql-server-dev-15")
  endif()
  if(QM_POSTGRES_FOUND)
    message(STATUS "PostgreSQL extension: building against ${QM_PG_VERSION}")
  else()
    message(STATUS "PostgreSQL extension: not built (no pg_config with the server headers)")
  endif()
endif()

if(QM_POSTGRES_FOUND AND NOT QM_BUILD_POSTGRES STREQUAL "OFF")
  set(QM_PG_SOURCE ${QM_ROOT}/src/lib/postgres)
  file(GLOB QM_PG_SOURCES CONFIGURE_DEPENDS ${QM_PG_SOURCE}/*.cpp)
  add_library(quillmarrow_postgres MODULE ${QM_PG_SOURCES})
  # Default visibility: the server finds the functions by name (PostgreSQL
  # 15's PG_FUNCTION_INFO_V1 does not mark them), and the version script
  # below decides what leaves the library.
  set_target_properties(quillmarrow_postgres PROPERTIES OUTPUT_NAME quillmarrow PREFIX "")
  # The server's headers are not warning-clean C++: read them as system headers.
  target_include_directories(quillmarrow_postgres SYSTEM PRIVATE ${QM_PG_INCLUDE})
  target_link_libraries(quillmarrow_postgres PRIVATE qm_scalar qm_scoring)
  # No C++ exception can start in the extension's own code, so none can
  # reach the server; the layers below never throw on these roads.
  target_compile_options(quillmarrow_postgres PRIVATE -fno-exceptions)
  # Only the module mark and the functions (with their info records) leave
  # the library.
  target_link_options(quillmarrow_postgres PRIVATE
    -Wl,--version-script=${QM_ROOT}/cmake/postgres.map -static-libstdc++ -static-libgcc)
  install(TARGETS quillmarrow_postgres LIBRARY DESTINATION ${QM_PG_PKGLIBDIR}
    COMPONENT quillmarrow_postgres EXCLUDE_FROM_ALL)
  install(FILES ${QM_PG_SOURCE}/quillmarrow.control ${QM_PG_SOURCE}/quillmarrow--0.1.0.sql
    DESTINATION ${QM_PG_SHAREDIR}/extension COMPONENT quillmarrow_postgres EXCLUDE_FROM_ALL)
endif()
