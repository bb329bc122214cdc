// The machine's and the user's folders through GetWindowsDirectoryW, GetTempPathW and
// SHGetFolderPathW, each into a zero-filled MAX_PATH buffer.  Any thread; nothing is cached.

#include "os/folders.h"
#include "src/internal/win32.h"

namespace os {
namespace {

// SHGetFolderPathW for the current user's folder |csidl|, as it is now (not its default).
Result<std::wstring> ShellFolder(int csidl) {
  wchar_t buffer[kMaxPath] = {};
  const HRESULT hr = ::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer);
  if (FAILED(hr)) {
    // The HRESULT wraps a Win32 error (HRESULT_FROM_WIN32) in all documented cases.
    const auto code = static_cast<ErrorCode>(HRESULT_CODE(hr));
    return Result<std::wstring>::Failure(code != 0 ? code : kErrorPathNotFound);
  }
  return std::wstring(buffer);
}

}  // namespace

Result<std::wstring> GetWindowsDirectory() {
  wchar_t buffer[kMaxPath] = {};
  const UINT length = ::GetWindowsDirectoryW(buffer, static_cast<UINT>(kMaxPath));
  if (length == 0) {
    return Result<std::wstring>::Failure(internal::LastError());
  }
  if (length >= kMaxPath) {
    // The return value is then the size the buffer would need.
    return Result<std::wstring>::Failure(kErrorInsufficientBuffer);
  }
  return std::wstring(buffer, length);
}

Result<std::wstring> GetTempDirectory() {
  wchar_t buffer[kMaxPath] = {};
  const DWORD length = ::GetTempPathW(static_cast<DWORD>(kMaxPath), buffer);
  if (length == 0) {
    return Result<std::wstring>::Failure(internal::LastError());
  }
  if (length >= kMaxPath) {
    return Result<std::wstring>::Failure(kErrorInsufficientBuffer);
  }
  return std::wstring(buffer, length);
}

Result<std::wstring> GetRoamingAppDataDirectory() { return ShellFolder(CSIDL_APPDATA); }

Result<std::wstring> GetUserStateDirectory() { return ShellFolder(CSIDL_LOCAL_APPDATA); }

}  // namespace os
