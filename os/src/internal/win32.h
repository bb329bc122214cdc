// The Windows headers for the OS layer's Win32 backend (*_win.cc), private to it.
//
// <windows.h> maps many function names onto their A/W variants with macros.  The OS layer's own
// functions share some of those names (os::GetModuleFileName, os::PathAppend, ...); the macros
// would rename them in the backend but not in their callers, so they are undefined here.  The
// backend always calls the W functions by their full names.

#ifndef OS_SRC_INTERNAL_WIN32_H_
#define OS_SRC_INTERNAL_WIN32_H_

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <windows.h>

#include "os/result.h"

#undef GetModuleFileName
#undef GetWindowsDirectory
#undef GetTempPath
#undef PathAppend
#undef PathRemoveFileSpec
#undef PathFindFileName
#undef PathFileExists
#undef ShellExecute
#undef RegGetValue
#undef CreateProcess

namespace os::internal {

// GetLastError() as an ErrorCode, never kErrorSuccess: a failed call that left no error behind
// still fails, with |fallback|.
inline ErrorCode LastError(ErrorCode fallback = kErrorInvalidData) {
  const DWORD error = ::GetLastError();
  return error != ERROR_SUCCESS ? static_cast<ErrorCode>(error) : fallback;
}

}  // namespace os::internal

#endif  // OS_SRC_INTERNAL_WIN32_H_
