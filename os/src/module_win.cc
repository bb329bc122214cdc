// Loaded modules through GetModuleHandleExW and GetModuleFileNameW.  Any thread.

#include "os/folders.h"
#include "os/module.h"
#include "src/internal/win32.h"

namespace os {

Result<ModuleHandle> GetModuleHandleFromAddress(const void* address) {
  // The handle is not released: the caller's module stays loaded at least as long as the process
  // uses its path, and each call raises its load count by one, as the library has always done.
  HMODULE module = nullptr;
  if (address == nullptr || !::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                                  static_cast<LPCWSTR>(address), &module)) {
    return Result<ModuleHandle>::Failure(
        address == nullptr ? kErrorInvalidParameter : internal::LastError(kErrorInvalidParameter));
  }
  return static_cast<ModuleHandle>(module);
}

Result<std::wstring> GetModuleFileName(ModuleHandle module) {
  wchar_t buffer[kMaxPath] = {};
  // A path that does not fit is cut and reported through the last error
  // (ERROR_INSUFFICIENT_BUFFER), so the error is read at once; it is cleared first because a
  // successful call leaves it as it was.
  ::SetLastError(ERROR_SUCCESS);
  const DWORD length = ::GetModuleFileNameW(static_cast<HMODULE>(const_cast<void*>(module)), buffer,
                                            static_cast<DWORD>(kMaxPath));
  const DWORD error = ::GetLastError();
  if (error != ERROR_SUCCESS) {
    return Result<std::wstring>::Failure(error);
  }
  if (length == 0 || length >= kMaxPath) {
    return Result<std::wstring>::Failure(length == 0 ? kErrorInvalidParameter
                                                     : kErrorInsufficientBuffer);
  }
  return std::wstring(buffer, length);
}

}  // namespace os
