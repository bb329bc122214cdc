// An installer held through a handle that shares reading only: while it is open nobody can
// write, rename or delete the file, and it cannot be opened while someone is writing it.  The
// signature check (trust_win.cc) reads through this handle and the start (shell_win.cc) happens
// while it is held.  The object belongs to one thread at a time.

#include "os/installer_file.h"
#include "os/shell.h"
#include "src/internal/win32.h"

namespace os {
namespace {

// The value ShellExecuteW gives for the same failure to open the file.
uintptr_t ShellErrorFor(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return kShellErrorFileNotFound;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_NETPATH:
      return kShellErrorPathNotFound;
    case ERROR_ACCESS_DENIED:  // also a directory
      return kShellErrorAccessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return kShellErrorShare;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_TOO_MANY_OPEN_FILES:
      return kShellErrorOutOfMemory;
    default:
      return kShellErrorOutOfResources;
  }
}

}  // namespace

InstallerFile InstallerFile::Open(const std::wstring& path) {
  std::wstring name = path.substr(0, path.find(L'\0'));
  HANDLE handle = ::CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    return InstallerFile(std::move(name), kNotOpen, ShellErrorFor(error));
  }
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    // A device or a pipe is nothing the shell starts.
    ::CloseHandle(handle);
    return InstallerFile(std::move(name), kNotOpen, kShellErrorAccessDenied);
  }
  return InstallerFile(std::move(name), reinterpret_cast<intptr_t>(handle), 0);
}

void InstallerFile::CloseNative(intptr_t native) {
  if (native != kNotOpen) {
    ::CloseHandle(reinterpret_cast<HANDLE>(native));
  }
}

}  // namespace os
