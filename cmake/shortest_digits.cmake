# Where the shortest digits of a double come from. Dragonbox (Debian's
# libdragonbox-dev, header-only) gives the same digits as std::to_chars about
# three times faster; without it, or with -DQM_DRAGONBOX=OFF, the engine uses
# std::to_chars and writes byte-identical text.
#
# A release (scripts/release.sh) sets QM_REQUIRE_DRAGONBOX, so that a wheel
# never ships the slower source by accident: configuration then fails
# without Dragonbox.
option(QM_DRAGONBOX "Take the shortest digits of doubles from Dragonbox when it is found" ON)
option(QM_REQUIRE_DRAGONBOX "Fail configuration unless Dragonbox is found and used" OFF)
if(QM_REQUIRE_DRAGONBOX AND NOT QM_DRAGONBOX)
  message(FATAL_ERROR "QM_REQUIRE_DRAGONBOX is ON but QM_DRAGONBOX is OFF")
endif()
if(QM_DRAGONBOX)
  find_package(dragonbox 1.1 QUIET CONFIG)
endif()
if(QM_REQUIRE_DRAGONBOX AND NOT dragonbox_FOUND)
  message(FATAL_ERROR "QM_REQUIRE_DRAGONBOX is ON but Dragonbox 1.1 or later was not found "
    "(install libdragonbox-dev, or point dragonbox_DIR at its CMake package)")
endif()
if(QM_DRAGONBOX AND dragonbox_FOUND)
  message(STATUS "shortest digits of doubles: Dragonbox ${dragonbox_VERSION}")
else()
  message(STATUS "shortest digits of doubles: std::to_chars")
endif()

# Gives target the digit source: QM_HAVE_DRAGONBOX is 1 (public, so tests can
# compare the two sources) when Dragonbox is used, 0 otherwise.
function(qm_use_shortest_digits target)
  if(QM_DRAGONBOX AND dragonbox_FOUND)
    target_link_libraries(${target} PRIVATE dragonbox::dragonbox)
    target_compile_definitions(${target} PUBLIC QM_HAVE_DRAGONBOX=1)
  else()
    target_compile_definitions(${target} PUBLIC QM_HAVE_DRAGONBOX=0)
  endif()
endfunction()
