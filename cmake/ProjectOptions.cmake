# Compiler settings shared by every target of the project.

set(SOVRA_SANITIZE "" CACHE STRING "Sanitizer build: empty, 'address' (ASan+UBSan) or 'thread'")

if(SOVRA_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(SOVRA_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT SOVRA_SANITIZE STREQUAL "")
  message(FATAL_ERROR "SOVRA_SANITIZE must be empty, 'address' or 'thread'")
endif()

# Warnings as errors only where we ask for them (our presets and CI):
# distributions build with their own compilers and flags, whose new
# warnings must not stop a build of released source.
option(SOVRA_WARNINGS_AS_ERRORS "Treat warnings in the project's own code as errors" OFF)

# Warnings on our own code only; third-party headers come in as system
# includes and stay quiet. clang's -Wconversion also covers sign
# conversions, which GCC's does not: keep both compilers to the same set so
# that code clean under one builds under the other.
function(sovra_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wconversion
    $<$<BOOL:${SOVRA_WARNINGS_AS_ERRORS}>:-Werror>
    $<$<CXX_COMPILER_ID:Clang>:-Wno-sign-conversion>)
endfunction()

# A library or program of the project: C++20, our warnings, includes from src/.
function(sovra_target target)
  target_compile_features(${target} PUBLIC cxx_std_20)
  sovra_warnings(${target})
endfunction()

# The fuzz preset: every library and program is instrumented for coverage
# (and checked by ASan and UBSan) so that a fuzzer sees into the code it
# drives; only the fuzz targets link libFuzzer's own main (fuzz/).
if(SOVRA_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "SOVRA_FUZZ needs clang; use the fuzz preset")
  endif()
  if(NOT SOVRA_SANITIZE STREQUAL "")
    message(FATAL_ERROR "SOVRA_FUZZ brings its own sanitizers; leave SOVRA_SANITIZE empty")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
    -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
