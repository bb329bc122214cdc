# Test support: GoogleTest built from Debian's sources with the project's flags (so that the
# sanitizers see into it), and a helper that registers one ctest test per GoogleTest case.

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

include(GoogleTest)

# tavori_test(<name> SOURCES ... LIBS ... [LABELS ...] [ONE_PROCESS_PER_TEST])
#
# Every test case becomes its own ctest test, so each case runs in a fresh process.  Cases that
# load the update library need that: the library keeps one process-wide instance.
function(tavori_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  tavori_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  # Keep whatever the tests write (logs, configuration, temporary files) inside the build tree;
  # tests that need their own places set them up themselves.
  set(home ${CMAKE_BINARY_DIR}/test-home)
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  gtest_discover_tests(${name}
    PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT}
      ENVIRONMENT "XDG_STATE_HOME=${home}/state;XDG_CONFIG_HOME=${home}/config;TAVORI_SYSTEM_ROOT=${home}/system"
    DISCOVERY_TIMEOUT 60)
endfunction()
