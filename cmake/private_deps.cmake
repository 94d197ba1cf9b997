# The native libraries korvex_core needs, linked into korvex_core and so into
# every extension module that links it: ICU (case mapping, White_Space),
# simdjson and cctz (time zones, fed from the IANA release embedded in the
# core). All are compiled from source into each module with hidden symbols
# (see deps/CMakeLists.txt), so a module needs none of them on the system
# and shares no state with another copy of them in the same process; the
# core makes its ICU read no data files (core/icu_setup.cpp) and its cctz
# read no zone files (calendar/tz_database.cpp).
#
# KORVEX_DEPS_BUILD_DIR (or the same environment variable) names a build
# tree of cmake/deps made beforehand, which the Makefile shares between its
# build trees; without it, the libraries are compiled here.
if(NOT DEFINED KORVEX_DEPS_BUILD_DIR AND DEFINED ENV{KORVEX_DEPS_BUILD_DIR})
  set(KORVEX_DEPS_BUILD_DIR "$ENV{KORVEX_DEPS_BUILD_DIR}")
endif()
set(KORVEX_DEPS_BUILD_DIR "${KORVEX_DEPS_BUILD_DIR}" CACHE PATH "Prebuilt cmake/deps build tree (optional)")

if(NOT TARGET korvex::icu)
  if(KORVEX_DEPS_BUILD_DIR AND EXISTS "${KORVEX_DEPS_BUILD_DIR}/korvex_private_deps-targets.cmake")
    include("${KORVEX_DEPS_BUILD_DIR}/korvex_private_deps-targets.cmake")
  else()
    if(KORVEX_DEPS_BUILD_DIR)
      message(STATUS "No prebuilt private dependencies in ${KORVEX_DEPS_BUILD_DIR}: compiling them here")
    endif()
    add_subdirectory("${CMAKE_CURRENT_LIST_DIR}/deps" "${CMAKE_BINARY_DIR}/private_deps")
    add_library(korvex::icu ALIAS korvex_icu)
    add_library(korvex::simdjson ALIAS korvex_simdjson)
    add_library(korvex::cctz ALIAS korvex_cctz)
  endif()
endif()

target_link_libraries(korvex_core PUBLIC korvex::icu korvex::simdjson korvex::cctz)

# For every extension module linking the core: drop the library code it
# never reaches, keep the archives' symbols local and, outside sanitizer and
# fuzzing builds (whose runtimes expect the shared libstdc++), take libstdc++
# in statically, so that the module needs nothing from the system beyond
# glibc and libgcc_s.
set(_korvex_is_module "$<STREQUAL:$<TARGET_PROPERTY:TYPE>,MODULE_LIBRARY>")
set(_korvex_instrumented "$<OR:$<BOOL:${KORVEX_SANITIZE}>,$<BOOL:${KORVEX_FUZZ}>>")
target_link_options(korvex_core INTERFACE
  "$<${_korvex_is_module}:LINKER:--gc-sections;LINKER:--exclude-libs,ALL>"
  "$<$<AND:${_korvex_is_module},$<NOT:${_korvex_instrumented}>>:-static-libstdc++>")

# The wheel carries these libraries inside its modules, so it carries their
# licences too (in its .dist-info/licenses).
if(DEFINED SKBUILD_METADATA_DIR)
  get_filename_component(_korvex_tp "${CMAKE_CURRENT_LIST_DIR}/../third_party" ABSOLUTE)
  install(FILES "${_korvex_tp}/icu/LICENSE" DESTINATION "${SKBUILD_METADATA_DIR}/licenses" RENAME ICU-LICENSE)
  install(FILES "${_korvex_tp}/simdjson/LICENSE" DESTINATION "${SKBUILD_METADATA_DIR}/licenses"
          RENAME simdjson-LICENSE)
  install(FILES "${_korvex_tp}/cctz/LICENSE" DESTINATION "${SKBUILD_METADATA_DIR}/licenses" RENAME cctz-LICENSE)
  install(FILES "${_korvex_tp}/tzdata/LICENSE" DESTINATION "${SKBUILD_METADATA_DIR}/licenses" RENAME tzdata-LICENSE)
endif()
