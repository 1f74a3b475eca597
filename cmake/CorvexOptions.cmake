# Compiler settings shared by every target of the project.

# Warnings as errors on the project's own code only: link this interface target privately.
add_library(corvex_warnings INTERFACE)
target_compile_options(corvex_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align -Wunused
  -Woverloaded-virtual -Wnull-dereference -Wimplicit-fallthrough -Werror)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  target_compile_options(corvex_warnings INTERFACE -Wthread-safety -Wthread-safety-beta)
endif()

# Internal checks (VANT_ASSERT, util/vant_check.h): on in every build unless switched off. The
# sanitizer and fuzz builds also keep the standard assert() and the standard library's own
# assertions: RelWithDebInfo's -DNDEBUG is dropped there.
option(CORVEX_CHECKS "Compile in the internal checks (VANT_ASSERT)" ON)
if(CORVEX_CHECKS OR CORVEX_FUZZ OR NOT CORVEX_SANITIZE STREQUAL "")
  add_compile_definitions(CORVEX_CHECKS=1)
endif()
if(CORVEX_FUZZ OR NOT CORVEX_SANITIZE STREQUAL "")
  foreach(config RELWITHDEBINFO RELEASE MINSIZEREL)
    string(REPLACE "-DNDEBUG" "" CMAKE_CXX_FLAGS_${config} "${CMAKE_CXX_FLAGS_${config}}")
    string(REPLACE "-DNDEBUG" "" CMAKE_C_FLAGS_${config} "${CMAKE_C_FLAGS_${config}}")
  endforeach()
  add_compile_definitions(_GLIBCXX_ASSERTIONS=1)
endif()

# Fuzzing: every target is instrumented for libFuzzer's coverage and runs under AddressSanitizer
# and UndefinedBehaviorSanitizer; only the fuzz targets link the fuzzer itself (fuzz/).
if(CORVEX_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "CORVEX_FUZZ needs clang: configure with -DCMAKE_CXX_COMPILER=clang++ "
                        "-DCMAKE_C_COMPILER=clang")
  endif()
  if(NOT CORVEX_SANITIZE STREQUAL "")
    message(FATAL_ERROR "CORVEX_FUZZ brings its own sanitizers: leave CORVEX_SANITIZE empty")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  add_compile_definitions(CORVEX_SANITIZED=1 CORVEX_FUZZING=1)
endif()

if(CORVEX_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
  add_compile_definitions(CORVEX_SANITIZED=1)
elseif(CORVEX_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  add_compile_definitions(CORVEX_SANITIZED=1 CORVEX_TSAN=1)
elseif(NOT CORVEX_SANITIZE STREQUAL "")
  message(FATAL_ERROR "CORVEX_SANITIZE must be empty, 'address' or 'thread'")
endif()

find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM)
  set(CMAKE_CXX_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
  set(CMAKE_C_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
endif()
