# Warnings and sanitizers as small functions, applied per target, so that
# third-party headers and targets keep their own flags. Warnings are never made
# errors here: the developer presets and CI switch that on with
# CMAKE_COMPILE_WARNING_AS_ERROR, so a packager's build is not stopped by a
# newer compiler's new warning.

function(qb_warnings target)
  if(MSVC)
    # C4251/C4275: an exported class of the stand-in host holds or derives from standard
    # library and spdlog types. Harmless there: the stand-in, the plug-in and the smoke test
    # are built by one compiler with one C++ library. _CRT_SECURE_NO_WARNINGS: MSVC's C4996
    # calls standard functions such as fopen and strerror unsafe and offers non-standard ones.
    target_compile_options(${target} PRIVATE /W4 /permissive- /utf-8 /EHsc /wd4251 /wd4275)
    target_compile_definitions(${target} PRIVATE _CRT_SECURE_NO_WARNINGS)
  else()
    target_compile_options(${target} PRIVATE
      -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wnon-virtual-dtor
      -Wold-style-cast -Wcast-align -Woverloaded-virtual -Wnull-dereference)
  endif()
endfunction()

function(qb_sanitizers target)
  if(QB_SANITIZE AND NOT MSVC)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined
                                             -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
  if(QB_BUILD_FUZZERS)
    # Coverage for libFuzzer in every library the targets link.
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
  endif()
endfunction()

# Shared libraries that must resolve every symbol themselves (ELF only: a
# Windows DLL always does). clang's sanitizer runtime lives in the executable,
# so a sanitized clang build cannot check this.
function(qb_no_undefined target)
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux"
     AND NOT (QB_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang"))
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()

# GCC reports warnings inside third-party code once it is inlined into ours at
# -O1 and above (asio's scheduler: a "potential null pointer dereference"); the
# system-header exemption does not follow inlined code. Silence that one
# warning for the listed files only, in every configuration.
function(qb_third_party_inlined_warnings)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    set_source_files_properties(${ARGN} DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}"
                                PROPERTIES COMPILE_OPTIONS "-Wno-null-dereference")
  endif()
endfunction()

# Our own targets get both.
function(qb_target target)
  qb_warnings(${target})
  qb_sanitizers(${target})
endfunction()

# Precompiled headers: the heavy third-party headers (GoogleTest, nlohmann JSON,
# spdlog, cpp-httplib, asio) parsed once per target instead of once per file,
# which is most of what a build from scratch spends. Off by default, so that a
# packager's plain build (and tools/build-matrix) still proves that every file
# includes what it uses; the developer presets switch it on.
option(QB_PRECOMPILE_HEADERS "Precompile the heavy third-party headers (faster builds from scratch)"
       OFF)

#   qb_precompile(<target> <header>...)
function(qb_precompile target)
  if(QB_PRECOMPILE_HEADERS)
    target_precompile_headers(${target} PRIVATE ${ARGN})
  endif()
endfunction()

#   qb_precompile_shared(<target> <owner> <header>...): the first target to ask
#   for <owner> makes the precompiled header, the later ones use the same (their
#   flags are the same but for definitions the headers do not use).
function(qb_precompile_shared target owner)
  if(NOT QB_PRECOMPILE_HEADERS)
    return()
  endif()
  get_property(made GLOBAL PROPERTY "qb_pch_${owner}")
  if(made)
    target_precompile_headers(${target} REUSE_FROM ${made})
  else()
    target_precompile_headers(${target} PRIVATE ${ARGN})
    set_property(GLOBAL PROPERTY "qb_pch_${owner}" ${target})
  endif()
endfunction()
