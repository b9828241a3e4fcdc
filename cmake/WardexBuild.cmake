# Warnings, sanitizers and small helpers shared by every folder.

add_compile_options(-Wall -Wextra -Wpedantic)
if(WARDEX_WERROR)
  add_compile_options(-Werror)
endif()

if(WARDEX_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(WARDEX_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT WARDEX_SANITIZE STREQUAL "")
  message(FATAL_ERROR "WARDEX_SANITIZE must be empty, address or thread")
endif()

if(WARDEX_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "The fuzz targets need clang (libFuzzer)")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM)
  set(CMAKE_CXX_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
  set(CMAKE_C_COMPILER_LAUNCHER ${CCACHE_PROGRAM})
endif()

# A cross build's executables run through CMAKE_CROSSCOMPILING_EMULATOR (ctest
# and gtest discovery put it in front by themselves); as one command-line
# prefix for the tests that start a target executable themselves.
list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " WARDEX_EMULATOR)

function(wardex_add_subdirectory dir)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endfunction()

# wardex_add_test(<name> SOURCES ... LIBRARIES ... [LABELS ...] [RESOURCE_LOCK <name>])
# One GoogleTest executable; its cases are discovered when ctest runs, so a
# sanitizer build does not run every test binary at build time.
function(wardex_add_test name)
  cmake_parse_arguments(T "" "RESOURCE_LOCK" "SOURCES;LIBRARIES;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBRARIES} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  # A case carries its executable's name as its label, so that one
  # executable's cases run with `ctest -L ^<name>$` (scripts/mutate does),
  # unless the test names labels of its own. One label only: a list in a
  # property value given here would be split into property names.
  if(T_LABELS)
    set(props TIMEOUT 120 LABELS ${T_LABELS})
  else()
    set(props TIMEOUT 120 LABELS ${name})
  endif()
  if(T_RESOURCE_LOCK)
    list(APPEND props RESOURCE_LOCK "${T_RESOURCE_LOCK}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES ${props})
endfunction()
