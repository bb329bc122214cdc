# Test support: GoogleTest built from Debian's sources with the project's flags (so that the
# sanitizers see into it), and a helper that registers one ctest test per GoogleTest case.

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

include(GoogleTest)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND TAVORI_SANITIZE MATCHES "undefined")
  # clang's UBSan checks a dynamic type it has not seen through a pipe, and reports an invalid
  # object when it cannot make one: in a test that fills the descriptor table, GoogleTest's own
  # per-thread objects would fail that check.  GoogleTest goes without it; our code keeps it.
  foreach(gtest_target gtest gmock)
    target_compile_options(${gtest_target} PRIVATE -fno-sanitize=vptr)
  endforeach()
endif()

# The main() of every test binary (cmake/test_main/).
if(WIN32)
  add_library(tavori_test_main STATIC ${CMAKE_CURRENT_LIST_DIR}/test_main/test_main_win.cc)
else()
  add_library(tavori_test_main STATIC ${CMAKE_CURRENT_LIST_DIR}/test_main/test_main_posix.cc)
endif()
target_link_libraries(tavori_test_main PUBLIC GTest::gtest GTest::gmock)
target_compile_definitions(tavori_test_main PRIVATE TAVORI_TEST_HOME="${CMAKE_BINARY_DIR}/test-home")
tavori_target_defaults(tavori_test_main)

# tavori_test(<name> SOURCES ... LIBS ... [LABELS ...] [TIMEOUT seconds])
#
# Every test case becomes its own ctest test, so each case runs in a fresh process.  Cases that
# load the update library need that: the library keeps one process-wide instance.  Several labels
# are joined into one ("e2e+tsan"); `ctest -L` takes a regular expression, so -L tsan selects it.
function(tavori_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  tavori_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} tavori_test_main)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  list(JOIN T_LABELS "+" label)
  gtest_discover_tests(${name}
    PROPERTIES LABELS ${label} TIMEOUT ${T_TIMEOUT}
    DISCOVERY_TIMEOUT 60
    DISCOVERY_MODE PRE_TEST)
endfunction()
