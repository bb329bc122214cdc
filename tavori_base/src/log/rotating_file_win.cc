// The log file primitives on Win32 handles: LockFileEx on the lock file, the volume serial number
// and file index for the identity, FILE_APPEND_DATA for appends that land at the end whoever
// else writes.  Every handle shares reading, writing and deleting, so that other processes can
// append to the file and rename it while it is open here.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>

#include "os/utf.h"
#include "src/internal/rotating_file.h"

namespace base::log::internal {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE Handle(NativeFile file) { return reinterpret_cast<HANDLE>(file); }

// Opens |path| itself (FILE_FLAG_OPEN_REPARSE_POINT: a link is opened, not followed) and keeps
// it only when it is a regular file.  A new file inherits the folder's ACL: the log folder lies
// in the user's local application data, which only the user (and administrators) can read.
NativeFile OpenRegular(const std::string& path, DWORD access, DWORD disposition) {
  const std::wstring name = os::Utf8ToWide(path);
  HANDLE handle = ::CreateFileW(name.c_str(), access, kShareAll, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return kNoFile;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
      ::GetFileType(handle) != FILE_TYPE_DISK) {
    ::CloseHandle(handle);
    return kNoFile;
  }
  return reinterpret_cast<NativeFile>(handle);
}

FileIdentity IdentityOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return {info.dwVolumeSerialNumber,
          (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

}  // namespace

NativeFile OpenLockFile(const std::string& path) {
  return OpenRegular(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
}

NativeFile OpenForAppend(const std::string& path) {
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end of the file.
  return OpenRegular(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE, OPEN_ALWAYS);
}

void CloseFile(NativeFile file) { ::CloseHandle(Handle(file)); }

bool LockFile(NativeFile file) {
  OVERLAPPED at{};
  return ::LockFileEx(Handle(file), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) != FALSE;
}

void UnlockFile(NativeFile file) {
  OVERLAPPED at{};
  ::UnlockFileEx(Handle(file), 0, 1, 0, &at);
}

bool IdentifyFile(NativeFile file, FileIdentity* identity, uint64_t* size) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(Handle(file), &info)) {
    return false;
  }
  *identity = IdentityOf(info);
  *size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return true;
}

bool IdentifyPath(const std::string& path, FileIdentity* identity) {
  const std::wstring name = os::Utf8ToWide(path);
  HANDLE handle =
      ::CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  const bool ok = ::GetFileInformationByHandle(handle, &info) != FALSE;
  ::CloseHandle(handle);
  if (ok) {
    *identity = IdentityOf(info);
  }
  return ok;
}

bool AppendToFile(NativeFile file, std::string_view data) {
  while (!data.empty()) {
    DWORD written = 0;
    const auto take = static_cast<DWORD>(std::min<size_t>(data.size(), 1U << 30));
    if (!::WriteFile(Handle(file), data.data(), take, &written, nullptr) || written == 0) {
      return false;
    }
    data.remove_prefix(written);
  }
  return true;
}

bool TruncateFile(NativeFile file, const std::string& path) {
  // The appending handle may not change the size; a second handle on the same file may, once it
  // is known to be that file.
  const NativeFile writer = OpenRegular(path, GENERIC_WRITE, OPEN_EXISTING);
  if (writer == kNoFile) {
    return false;
  }
  FileIdentity ours;
  FileIdentity theirs;
  uint64_t size = 0;
  const bool ok = IdentifyFile(file, &ours, &size) && IdentifyFile(writer, &theirs, &size) &&
                  ours == theirs && ::SetEndOfFile(Handle(writer)) != FALSE;
  CloseFile(writer);
  return ok;
}

bool RenameReplacing(const std::string& from, const std::string& to) {
  const std::wstring source = os::Utf8ToWide(from);
  const std::wstring target = os::Utf8ToWide(to);
  if (::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    return true;
  }
  const DWORD error = ::GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace base::log::internal
