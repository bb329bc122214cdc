# libFuzzer targets (clang only), on with -DTAVORI_BUILD_FUZZERS=ON.  They may share a tree with
# the tests: every target of the tree is then compiled with -fsanitize=fuzzer-no-link (coverage
# feedback, no fuzzer runtime), and only the fuzz executables link -fsanitize=fuzzer.  The
# coverage hooks of the other programs are the sanitizer runtime's no-op defaults, so a tree that
# is built needs TAVORI_SANITIZE as well (address,undefined as a rule).
#
# tavori_fuzzer(<name> SOURCES ... [LIBS ...] CORPUS <dir>) makes the executable <name>, adds it
# to the target `fuzzers`, and lists it with its seed folder in <build>/fuzzers.txt (one
# "name|executable|corpus" line each), which scripts/fuzz-smoke reads.

option(TAVORI_BUILD_FUZZERS "Build the libFuzzer targets (clang only)" OFF)

if(TAVORI_BUILD_FUZZERS)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "TAVORI_BUILD_FUZZERS needs clang (libFuzzer)")
  endif()
  if(NOT TAVORI_SANITIZE)
    # A configure that is never built (scripts/tidy's) needs none.
    message(STATUS "TAVORI_BUILD_FUZZERS without TAVORI_SANITIZE: only the fuzz targets will link")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link)
  add_custom_target(fuzzers)
endif()

function(tavori_fuzzer name)
  cmake_parse_arguments(F "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  tavori_target_defaults(${name})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  add_dependencies(fuzzers ${name})
  set_property(GLOBAL APPEND PROPERTY TAVORI_FUZZER_LINES
    "${name}|$<TARGET_FILE:${name}>|${F_CORPUS}")
endfunction()

# Called once, after every component: writes <build>/fuzzers.txt.
function(tavori_write_fuzzer_list)
  get_property(lines GLOBAL PROPERTY TAVORI_FUZZER_LINES)
  list(JOIN lines "\n" content)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/fuzzers.txt CONTENT "${content}\n")
endfunction()
