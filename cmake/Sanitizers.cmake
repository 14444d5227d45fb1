# Instrumented builds of the tool's code.
#
#   -DZORFL_SANITIZE=ON   the tool, its library and the unit tests with AddressSanitizer and
#                         UndefinedBehaviorSanitizer; any finding ends the process with an error.
#                         The virtual PC stays uninstrumented: it is preloaded ahead of the
#                         sanitizer runtime and traps the port instructions with its own SIGSEGV
#                         handler. The e2e harness passes the runtime the options that allow this.
#   -DZORFL_FUZZ=ON       libFuzzer targets in fuzz/ (configure with CC=clang CXX=clang++); the
#                         library is built for coverage and with both sanitizers.

option(ZORFL_SANITIZE "Build the tool, its library and the unit tests with ASan and UBSan" OFF)
option(ZORFL_FUZZ "Build the libFuzzer targets in fuzz/ (clang only)" OFF)

set(ZORFL_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all
    -fno-omit-frame-pointer)

if(ZORFL_SANITIZE)
  target_compile_options(zorfl PRIVATE ${ZORFL_SANITIZER_FLAGS})
  # Whatever links the library links the runtimes too.
  target_link_options(zorfl INTERFACE ${ZORFL_SANITIZER_FLAGS})
  foreach(t zorflashlnx2 unit_tests manpage_test)
    if(TARGET ${t})
      target_compile_options(${t} PRIVATE ${ZORFL_SANITIZER_FLAGS})
    endif()
  endforeach()
endif()

if(ZORFL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "ZORFL_FUZZ needs clang++ (libFuzzer): configure with CXX=clang++")
  endif()
  target_compile_options(zorfl PRIVATE ${ZORFL_SANITIZER_FLAGS} -fsanitize=fuzzer-no-link)
  target_link_options(zorfl INTERFACE ${ZORFL_SANITIZER_FLAGS})
  add_subdirectory(${CMAKE_SOURCE_DIR}/fuzz ${CMAKE_BINARY_DIR}/fuzz)
endif()
