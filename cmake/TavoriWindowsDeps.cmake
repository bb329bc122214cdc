# The third-party libraries of the Windows build, under the same target names the Linux build
# gets from find_package, so that the components' CMakeLists do not change per platform.
#
# nlohmann/json, spdlog and fmt are used header-only from Debian's packages.  Their headers are
# reached through a folder that holds only links to their own directories: putting /usr/include on
# the include path, even as a system directory, lets glibc's headers shadow mingw-w64's.
# SQLite is the public-domain amalgamation that scripts/fetch-sqlite takes from the npm registry
# (checked against the SHA-256 recorded beside this file), compiled here.

set(_links ${CMAKE_BINARY_DIR}/third_party/include)
file(MAKE_DIRECTORY ${_links})
foreach(_dir nlohmann spdlog fmt)
  if(NOT IS_DIRECTORY /usr/include/${_dir})
    message(FATAL_ERROR "/usr/include/${_dir} is missing: run scripts/install-deps")
  endif()
  file(CREATE_LINK /usr/include/${_dir} ${_links}/${_dir} SYMBOLIC)
endforeach()

add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${_links})

add_library(spdlog::spdlog INTERFACE IMPORTED)
target_include_directories(spdlog::spdlog SYSTEM INTERFACE ${_links})
target_compile_definitions(spdlog::spdlog INTERFACE SPDLOG_HEADER_ONLY FMT_HEADER_ONLY)

set(TAVORI_SQLITE_DIR ${CMAKE_BINARY_DIR}/third_party/sqlite CACHE PATH
    "Where scripts/fetch-sqlite puts the SQLite amalgamation")
if(NOT EXISTS ${TAVORI_SQLITE_DIR}/sqlite3.c OR NOT EXISTS ${TAVORI_SQLITE_DIR}/sqlite3.h)
  execute_process(
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/fetch-sqlite ${TAVORI_SQLITE_DIR}
    RESULT_VARIABLE _fetched)
  if(NOT _fetched EQUAL 0)
    message(FATAL_ERROR "scripts/fetch-sqlite failed")
  endif()
endif()

add_library(tavori_sqlite3 STATIC ${TAVORI_SQLITE_DIR}/sqlite3.c)
target_include_directories(tavori_sqlite3 SYSTEM PUBLIC ${TAVORI_SQLITE_DIR})
target_compile_definitions(tavori_sqlite3 PRIVATE SQLITE_THREADSAFE=1 SQLITE_OMIT_LOAD_EXTENSION)
# The amalgamation takes minutes to optimise fully and is not on a hot path here: -O1 (after the
# build type's flags, so it wins).  Its own code is not held to our warning set.
set_source_files_properties(${TAVORI_SQLITE_DIR}/sqlite3.c PROPERTIES
  COMPILE_OPTIONS "$<IF:$<C_COMPILER_ID:MSVC>,/O1,-O1>;$<$<NOT:$<C_COMPILER_ID:MSVC>>:-w>")
add_library(SQLite::SQLite3 ALIAS tavori_sqlite3)
