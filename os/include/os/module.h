// Loaded modules: which file the process's executable, or the module holding a given address,
// was loaded from (GetModuleHandleExW with GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, and
// GetModuleFileNameW).  Any thread.

#ifndef OS_MODULE_H_
#define OS_MODULE_H_

#include <string>

#include "os/result.h"

// <windows.h> maps this name onto its A/W functions with macros; here it names the OS layer's own.
// Include <windows.h> before this header, never after it.
#undef GetModuleFileName

namespace os {

// Identifies a loaded module.  Null stands for the process's executable.
using ModuleHandle = const void*;

// The module that contains |address| (code or data of that module).
Result<ModuleHandle> GetModuleHandleFromAddress(const void* address);

// The full path of the file that |module| was loaded from.  A path that does not fit the
// kMaxPath buffer fails with kErrorInsufficientBuffer, as GetModuleFileNameW does.
Result<std::wstring> GetModuleFileName(ModuleHandle module);

}  // namespace os

#endif  // OS_MODULE_H_
