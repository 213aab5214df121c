# Shared settings of every build: warnings as errors, Boost headers, the test
# helpers.

# Warnings are errors in all three builds.
add_compile_options(-Wall -Wextra -Werror)

# Boost is header-only for what we use. A MinGW build must not see the host's
# /usr/include (glibc headers), so Boost is offered through a folder that
# holds nothing but a link to it.
set(KOBARU_BOOST_ROOT /usr/include CACHE PATH "Folder that holds boost/")
set(KOBARU_BOOST_INCLUDE ${CMAKE_BINARY_DIR}/boost-include)
file(MAKE_DIRECTORY ${KOBARU_BOOST_INCLUDE})
file(CREATE_LINK ${KOBARU_BOOST_ROOT}/boost ${KOBARU_BOOST_INCLUDE}/boost SYMBOLIC)
add_library(kobaru_boost INTERFACE)
target_include_directories(kobaru_boost SYSTEM INTERFACE ${KOBARU_BOOST_INCLUDE})

if(KOBARU_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
endif()

if(KOBARU_FUZZ)
  # Coverage for libFuzzer in every object; the fuzz targets link libFuzzer.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=all
                      -fsanitize-coverage-ignorelist=${PROJECT_SOURCE_DIR}/fuzz/coverage-ignore.txt)
  add_link_options(-fsanitize=address,undefined)
endif()

if(WIN32)
  # No MinGW DLL is needed at run time.
  add_link_options(-static -static-libgcc -static-libstdc++)
  # Small programs: optimise for size and drop every function and object
  # nothing refers to.
  add_compile_options(-Os -ffunction-sections -fdata-sections)
  add_link_options(-Wl,--gc-sections)
  # The same bytes from any folder at any time: no link time in the PE
  # header, no build or source path in the code.
  add_link_options(-Wl,--no-insert-timestamp)
  add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)
endif()

# The Debian root that holds the one Wine every Windows run uses
# (scripts/wine32.sh); empty where it cannot be made: then no Windows program
# runs. KOBARU_WINE32: 32-bit Windows code runs there too.
set(KOBARU_WINE_FS "" CACHE PATH "Debian root holding Wine (empty: none)")
option(KOBARU_WINE32 "32-bit Windows code runs under the root's Wine" OFF)
# Folders the root sees at their own paths: the sources and the build.
set(KOBARU_ROOT_BINDS ${PROJECT_SOURCE_DIR}:${CMAKE_BINARY_DIR})

# GoogleTest needs the -posix MinGW compilers, so the i686 deliverables
# (win32 thread model) build no unit tests: build/i686-tests has them.
if(KOBARU_TESTS AND NOT (CMAKE_SYSTEM_PROCESSOR STREQUAL "i686" AND KOBARU_PROGRAMS))
  set(KOBARU_UNIT_TESTS ON)
else()
  set(KOBARU_UNIT_TESTS OFF)
endif()

if(KOBARU_TESTS)
  enable_testing()
  if(WIN32 OR CMAKE_CROSSCOMPILING)
    # GoogleTest from Debian's sources, built with the cross compiler.
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    foreach(t gtest gtest_main)
      # GoogleTest's own sources are not held to our warning set.
      target_compile_options(${t} PRIVATE -w)
    endforeach()
    add_library(kobaru_gtest INTERFACE)
    target_link_libraries(kobaru_gtest INTERFACE gtest_main gtest)
    if(WIN32)
      # Test executables run in a prefix of the build's own, under the
      # root's wine64, or the 32-bit ones in a 32-bit Windows.
      set(KOBARU_WINE_ROOT ${CMAKE_BINARY_DIR}/wine)
      if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
        set(kind KOBARU_WINEARCH=win32 KOBARU_PROGRAM_BITS=32)
      else()
        set(kind KOBARU_WINEARCH=win64 KOBARU_PROGRAM_BITS=64)
      endif()
      set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env KOBARU_WINE_FS=${KOBARU_WINE_FS} ${kind}
        KOBARU_ROOT_BINDS=${KOBARU_ROOT_BINDS}
        ${PROJECT_SOURCE_DIR}/tests/wine/wine-run ${KOBARU_WINE_ROOT})
    endif()
  else()
    find_package(GTest REQUIRED)
    add_library(kobaru_gtest INTERFACE)
    target_link_libraries(kobaru_gtest INTERFACE GTest::gtest_main GTest::gtest)
  endif()
endif()

# kobaru_add_gtest(NAME sources... LIBS libs...)
# A GoogleTest executable registered with CTest. In the MinGW builds it runs
# under the root's Wine through the emulator set above (x86_64: wine64;
# i686-tests: 32-bit Wine in a win32 prefix), and is only built where there
# is no Wine to run it.
function(kobaru_add_gtest name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} kobaru_gtest)
  if(WIN32 AND (NOT KOBARU_WINE_FS OR (CMAKE_SYSTEM_PROCESSOR STREQUAL "i686" AND NOT KOBARU_WINE32)))
    return()
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 600)
endfunction()

# kobaru_add_program(target OUTPUT_NAME SOURCES ... MANIFEST file.in [RC file.in]
#                    [NO_CXX_LIBRARY])
# One of the Windows deliverables: GUI subsystem, static, with its manifest
# (processor architecture filled in for the build) compiled as a resource.
# Without RC the manifest is the only resource. The lean replacements for
# parts of libstdc++ (common/cxx_runtime.cpp) are linked in, except with
# NO_CXX_LIBRARY, for a program that uses nothing of the C++ library.
function(kobaru_add_program target output)
  cmake_parse_arguments(ARG "NO_CXX_LIBRARY" "MANIFEST;RC" "SOURCES;EXTRA_RESOURCE_FILES" ${ARGN})
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
    set(KOBARU_MANIFEST_ARCH X86)
  else()
    set(KOBARU_MANIFEST_ARCH amd64)
  endif()
  set(manifest ${CMAKE_CURRENT_BINARY_DIR}/${output}.manifest)
  configure_file(${ARG_MANIFEST} ${manifest} @ONLY)
  set(KOBARU_MANIFEST_FILE ${manifest})
  if(NOT ARG_RC)
    set(ARG_RC ${PROJECT_SOURCE_DIR}/cmake/manifest_only.rc.in)
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${output}.rc)
  configure_file(${ARG_RC} ${rc} @ONLY)
  add_executable(${target} WIN32 ${ARG_SOURCES} ${rc})
  if(NOT ARG_NO_CXX_LIBRARY)
    target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/common/cxx_runtime.cpp)
  endif()
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${output})
  # No symbol table behind the sections: the appended archive then starts
  # right where the image ends.
  target_link_options(${target} PRIVATE -s)
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS "${manifest};${ARG_EXTRA_RESOURCE_FILES}")
endfunction()
