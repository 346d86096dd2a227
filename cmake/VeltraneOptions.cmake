# Build switches shared by every module.
option(VELTRANE_BUILD_TESTS "Build the GoogleTest suites" ON)
option(VELTRANE_BUILD_BENCH "Build the benchmarks in bench/" OFF)
option(VELTRANE_FUZZ "Build libFuzzer targets (needs clang)" OFF)
option(VELTRANE_WARNINGS_AS_ERRORS "Treat compiler warnings as errors (the CI presets turn this on)" OFF)
set(VELTRANE_SANITIZER "" CACHE STRING "Sanitizer build: empty, 'address' (ASan+UBSan) or 'thread' (TSan)")
set_property(CACHE VELTRANE_SANITIZER PROPERTY STRINGS "" address thread)

# Rebuilds after a branch switch or a clean folder come from the cache.
find_program(VELTRANE_CCACHE ccache)
if(VELTRANE_CCACHE)
  foreach(lang C CXX)
    if(NOT CMAKE_${lang}_COMPILER_LAUNCHER)
      set(CMAKE_${lang}_COMPILER_LAUNCHER "${VELTRANE_CCACHE}")
    endif()
  endforeach()
endif()

set(_veltrane_san_flags "")
if(VELTRANE_SANITIZER STREQUAL "address")
  set(_veltrane_san_flags -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(VELTRANE_SANITIZER STREQUAL "thread")
  set(_veltrane_san_flags -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT VELTRANE_SANITIZER STREQUAL "")
  message(FATAL_ERROR "VELTRANE_SANITIZER must be empty, 'address' or 'thread'")
endif()
if(VELTRANE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "VELTRANE_FUZZ needs clang (use the 'fuzz' preset)")
  endif()
  # UBSan findings must stop the run like ASan's, or the fuzzer only prints them.
  # -O1 (assertions kept) runs several times more inputs a second than -O0.
  list(APPEND _veltrane_san_flags -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
       -fno-omit-frame-pointer -O1)
endif()
if(_veltrane_san_flags)
  add_compile_options(${_veltrane_san_flags})
  add_link_options(${_veltrane_san_flags})
endif()

# Applied to every target of ours (not to third-party code).
# Warnings are errors only where asked (the presets): a distribution's newer
# compiler must not fail a plain build over a warning it has just learned.
function(veltrane_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${VELTRANE_WARNINGS_AS_ERRORS}>:-Werror>)
  target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>)
endfunction()

# A module library: veltrane_library(name SOURCES ... DEPS ... PRIVATE ...)
# DEPS are the libraries its headers show (users get them too); PRIVATE the
# ones only its sources use, so the target graph shows what each module needs.
function(veltrane_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  veltrane_defaults(${name})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE})
endfunction()

# A GoogleTest executable registered with CTest.
function(veltrane_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  veltrane_defaults(${name})
  target_link_libraries(${name} PRIVATE veltrane_test_main GTest::gtest GTest::gmock ${ARG_DEPS})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endfunction()
