# Shared build settings and helper functions for every deliverable.

set(QX_WARNINGS -Wall -Wextra -Werror -Wno-unused-parameter)

add_library(qx_build_flags INTERFACE)
target_compile_options(qx_build_flags INTERFACE ${QX_WARNINGS})
target_compile_definitions(qx_build_flags INTERFACE
  QX_ENTERPRISE_NUMBER=${QX_ENTERPRISE_NUMBER}
  _GNU_SOURCE)
target_include_directories(qx_build_flags INTERFACE
  ${PROJECT_SOURCE_DIR}/include
  ${PROJECT_SOURCE_DIR}/platform/include)

# Shared libraries must resolve every symbol at link time, except in sanitized
# builds: clang links the sanitizer runtime into the program only.
set(QX_NO_UNDEFINED -Wl,--no-undefined)
if(QX_SANITIZE)
  set(QX_NO_UNDEFINED)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Fuzzing: every library is instrumented for coverage, so the fuzzers are guided
# through the code they exercise, not only through their own entry file.
if(QX_BUILD_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# Libraries find each other at run time in the folder they live in, as installed
# (lib/) and as built (the build tree's lib/).
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/lib)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/lib)
set(CMAKE_BUILD_RPATH "${PROJECT_BINARY_DIR}/lib")
set(CMAKE_INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR};$ORIGIN")

# qx_shared_library(NAME SOURCES... [LINKS ...])
# A product shared library: C exports only, hidden by default.
function(qx_shared_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINKS" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE qx_build_flags ${ARG_LINKS})
  target_link_options(${name} PRIVATE ${QX_NO_UNDEFINED})
  install(TARGETS ${name} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endfunction()

# qx_test(NAME SOURCES... [LINKS ...] [LABELS ...])
# A GoogleTest program; each test runs with its own state, runtime and temporary
# folders (the test fixture in tests/support sets them).
function(qx_test name)
  if(NOT QX_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LINKS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE qx_build_flags qx_test_support ${ARG_LINKS} GTest::gtest GTest::gmock)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set(props TIMEOUT ${ARG_TIMEOUT})
  if(ARG_LABELS)
    list(APPEND props LABELS "${ARG_LABELS}")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES ${props})
endfunction()
