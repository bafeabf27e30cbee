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

# The C++ run-time library goes into each product library and program, and SQLite
# into the platform library, their symbols hidden: a process of the product then
# maps neither libstdc++.so nor libsqlite3.so, whose loading and eager relocation
# cost more than a small program's whole run (qxtrap is started once for every
# trap it sends). The unwinder stays shared (libgcc_s.so): the C library unwinds
# a cancelled or exiting thread with it, through frames of every library, and a
# second copy would meet a state it never set up. Every interface between our libraries and their
# callers is C, so no C++ object crosses from one copy of the run-time library to
# another, and only the platform library opens the registry store files. Sanitized
# builds keep the shared libraries: the sanitizers must see every allocation and
# release through one operator new.
include(CMakeDependentOption)
cmake_dependent_option(QX_STATIC_RUNTIME
  "Link the C++ run-time library and SQLite into the product's libraries and programs" ON
  "NOT QX_SANITIZE" OFF)
set(QX_SQLITE SQLite::SQLite3)
if(QX_STATIC_RUNTIME)
  find_library(QX_SQLITE_ARCHIVE NAMES libsqlite3.a REQUIRED)
  set(QX_SQLITE ${QX_SQLITE_ARCHIVE} m ${CMAKE_DL_LIBS})
endif()
function(qx_product_runtime target)
  if(QX_STATIC_RUNTIME)
    target_link_options(${target} PRIVATE -static-libstdc++
                        LINKER:--exclude-libs,libstdc++.a:libsqlite3.a)
  endif()
endfunction()

# Programs find the libraries in the library folder beside their own folder, and
# libraries find each other in the folder they live in, as installed and as built
# (the build tree has the same layout). The build uses the installed search path
# as it is: a build path padded for rewriting at install time ends in an empty
# entry, which the loader takes for the current folder.
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/${CMAKE_INSTALL_LIBDIR})
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/${CMAKE_INSTALL_LIBDIR})
set(CMAKE_BUILD_WITH_INSTALL_RPATH ON)
set(CMAKE_INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
set(QX_LIBRARY_RPATH "$ORIGIN")

# qx_shared_library(NAME SOURCES... [LINKS ...])
# A product shared library: C exports only, hidden by default.
function(qx_shared_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINKS" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE qx_build_flags ${ARG_LINKS})
  target_link_options(${name} PRIVATE ${QX_NO_UNDEFINED})
  qx_product_runtime(${name})
  set_target_properties(${name} PROPERTIES INSTALL_RPATH "${QX_LIBRARY_RPATH}")
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
