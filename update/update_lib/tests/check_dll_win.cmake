# Checks with objdump -p that the DLL LIBRARY exports exactly the three functions, by name, and
# imports from Windows' own DLLs only (the C and C++ runtimes are linked in statically; msvcrt.dll
# is the system's C library that every mingw-w64 program uses).
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND ${OBJDUMP} -p ${LIBRARY} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${LIBRARY}")
endif()

string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]+\n)+" table "${dump}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" entries "${table}")
set(names)
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${entry}")
  list(APPEND names ${name})
endforeach()
list(SORT names)
set(expected DoUpdateOperation SetInitTavoriSDK SetUpdateDelegate)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "exports are '${names}', expected '${expected}'")
endif()

set(system advapi32 bcrypt crypt32 kernel32 msvcrt ole32 oleaut32 shell32 shlwapi user32 winhttp
    wintrust ws2_32)
string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
foreach(import IN LISTS imports)
  string(REGEX REPLACE "DLL Name: (.+)\\.[dD][lL][lL]$" "\\1" dll "${import}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll IN_LIST system)
    message(FATAL_ERROR "imports ${dll}.dll, which is not a Windows system DLL")
  endif()
endforeach()
message(STATUS "exports: ${names}; imports: ${imports}")
