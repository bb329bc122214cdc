# Toolchain file for the Windows x86-64 cross build with mingw-w64 (Debian's posix thread model
# compilers: the win32 model has no std::mutex).  Used by scripts/windows:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Headers and libraries come from the mingw-w64 sysroot only: glibc's headers must never shadow
# mingw's, so /usr/include is never searched.  Programs (the build tools) are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes (libgcc, libstdc++, winpthread) are linked in statically, so the DLL and
# the test programs depend on no DLL but Windows' own.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# ctest runs the test programs under Wine (scripts/windows starts its server first).
find_program(TAVORI_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT TAVORI_WINE64)
  find_program(TAVORI_WINE64 NAMES wine64)
endif()
if(TAVORI_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TAVORI_WINE64})
endif()
