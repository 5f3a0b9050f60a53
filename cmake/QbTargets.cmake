# Warnings and sanitizers as two small functions, applied per target, so that
# third-party headers and targets keep their own flags.

function(qb_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wnon-virtual-dtor
    -Wold-style-cast -Wcast-align -Woverloaded-virtual -Wnull-dereference -Werror)
endfunction()

function(qb_sanitizers target)
  if(QB_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined
                                             -fno-sanitize-recover=all -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
  if(QB_BUILD_FUZZERS)
    # Coverage for libFuzzer in every library the targets link.
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
  endif()
endfunction()

# Shared libraries that must resolve every symbol themselves. clang's sanitizer
# runtime lives in the executable, so a sanitized clang build cannot check this.
function(qb_no_undefined target)
  if(NOT (QB_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang"))
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()

# Our own targets get both.
function(qb_target target)
  qb_warnings(${target})
  qb_sanitizers(${target})
endfunction()
