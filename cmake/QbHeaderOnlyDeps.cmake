# A cross build finds nlohmann JSON, spdlog and fmt as packages for the target
# platform when they are installed there. Debian ships them for the build
# machine only; all three can be used from their headers alone, so what is not
# found as a target package is taken from the build machine's headers:
#
#   <build>/deps-include/nlohmann -> /usr/include/nlohmann
#   <build>/deps-include/spdlog   -> /usr/include/spdlog   (header-only, external fmt)
#   <build>/deps-include/fmt      -> /usr/include/fmt      (FMT_HEADER_ONLY)
#
# Only those folders are linked: the build machine's include directory itself
# must not reach the cross compiler, whose own C library headers it would hide.
# Nothing is copied; the links are made at configure time.

set(QB_NATIVE_INCLUDE_DIR "/usr/include" CACHE PATH
    "Where a cross build takes the headers of nlohmann JSON, spdlog and fmt when no target package is found")
set(qb_deps_include "${CMAKE_BINARY_DIR}/deps-include")

function(qb_header_only_dependency target folder)
  set(source "${QB_NATIVE_INCLUDE_DIR}/${folder}")
  if(NOT IS_DIRECTORY "${source}")
    message(FATAL_ERROR "${target}: no target package found and no headers at ${source} "
                        "(install the Debian package, or set QB_NATIVE_INCLUDE_DIR)")
  endif()
  file(MAKE_DIRECTORY "${qb_deps_include}")
  file(CREATE_LINK "${source}" "${qb_deps_include}/${folder}" SYMBOLIC)
  string(REPLACE "::" "_" local "qb_dep_${target}")
  add_library(${local} INTERFACE)
  add_library(${target} ALIAS ${local})
  # SYSTEM: their warnings are theirs, not ours.
  target_include_directories(${local} SYSTEM INTERFACE "${qb_deps_include}")
  target_compile_definitions(${local} INTERFACE ${ARGN})
  message(STATUS "${target}: headers from ${source}")
endfunction()

find_package(nlohmann_json 3.10.2 QUIET)
if(NOT nlohmann_json_FOUND)
  qb_header_only_dependency(nlohmann_json::nlohmann_json nlohmann)
endif()

find_package(fmt QUIET)
if(NOT fmt_FOUND)
  qb_header_only_dependency(fmt::fmt fmt FMT_HEADER_ONLY)
endif()

find_package(spdlog QUIET)
if(NOT spdlog_FOUND)
  # Without SPDLOG_COMPILED_LIB spdlog is header-only by itself. Debian's
  # tweakme.h already selects the external fmt; it is said here as well, so
  # that another distribution's headers get the same.
  qb_header_only_dependency(spdlog::spdlog spdlog SPDLOG_FMT_EXTERNAL)
  target_link_libraries(qb_dep_spdlog_spdlog INTERFACE fmt::fmt)
endif()
