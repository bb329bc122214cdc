# Compiler settings shared by every target of the project.

# The project's warning set; third-party headers come in as system headers. Warnings turn into
# errors only when asked: `make test`, scripts/run-tests and the Makefile's developer targets do,
# while a plain configure (a packager's, a newer compiler's) keeps them warnings.
option(TAVORI_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" OFF)
set(TAVORI_WARNINGS -Wall -Wextra -Wpedantic -Wnon-virtual-dtor -Woverloaded-virtual
    -Wimplicit-fallthrough)
# GCC 12 at -O2 and above reports -Wrestrict inside libstdc++'s inlined memcpy on ordinary
# std::string code (`dir = "."`, `"\"" + s + "\""`): a false positive of that release (GCC bug
# 105329), not a fault of ours, so it is off for GCC 12 alone.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
   AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  list(APPEND TAVORI_WARNINGS -Wno-restrict)
endif()
# Clang checks the locking annotations (base/thread_annotations.h): data marked GUARDED_BY
# touched without its lock, a REQUIRES function called without it, a lock left held.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  list(APPEND TAVORI_WARNINGS -Wthread-safety -Wthread-safety-beta)
endif()
if(TAVORI_WARNINGS_AS_ERRORS)
  list(APPEND TAVORI_WARNINGS -Werror)
endif()

if(TAVORI_SANITIZE)
  set(_san -fsanitize=${TAVORI_SANITIZE} -fno-omit-frame-pointer)
  if(TAVORI_SANITIZE MATCHES "undefined")
    list(APPEND _san -fno-sanitize-recover=all)
  endif()
  add_compile_options(${_san})
  add_link_options(${_san})
endif()

# Coverage instrumentation (scripts/coverage): every target of ours and GoogleTest.  The counters
# are updated atomically: threads that bump one counter at once would otherwise lose counts, or
# leave the negative branch counts that gcovr refuses.
option(TAVORI_COVERAGE "Instrument for line and branch coverage (gcov)" OFF)
if(TAVORI_COVERAGE)
  add_compile_options(--coverage -fprofile-update=atomic)
  add_link_options(--coverage)
endif()

# Every target of ours calls this to get the project's warning set.
function(tavori_target_defaults target)
  target_compile_options(${target} PRIVATE ${TAVORI_WARNINGS})
endfunction()
